#pragma once

#include <string>

// A copy of the helper holding rights as file capabilities, as an installed one does, in a fresh
// folder of root's that every user may enter; removed with the folder. Root only.
class CGrantedHelper
{
public:
    CGrantedHelper(const std::string& strHelper, const char* pszRights);
    ~CGrantedHelper();
    CGrantedHelper(const CGrantedHelper&) = delete;
    CGrantedHelper& operator=(const CGrantedHelper&) = delete;

    // Empty when the copy could not be made or given its rights.
    const std::string& GetPath() const { return m_strPath; }
    const std::string& GetFolder() const { return m_strFolder; }

private:
    std::string m_strFolder, m_strPath;
};
