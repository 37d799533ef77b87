#pragma once

#include <string>

// --check: starts a capture on loopback as this user and says what worked: the capture, the
// naming of programs, the kernel's type information. The text, and whether the capture ran.
class CRightsCheck
{
public:
    bool Run();
    const std::string& GetText() const { return m_strText; }

private:
    std::string m_strText;
};
