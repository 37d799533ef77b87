#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

// A user account made for a test (useradd, with a home folder and a group of its own) and removed
// again with its home by the destructor. Root only.
class CTestUser
{
public:
    explicit CTestUser(const std::string& strName);
    ~CTestUser();
    CTestUser(const CTestUser&) = delete;
    CTestUser& operator=(const CTestUser&) = delete;

    bool IsReady() const { return m_uid != uid_t(-1); }
    uid_t GetUid() const { return m_uid; }

    // Runs pfnRun in a child process that is this user and nothing more (no other group, no
    // capability); the child's exit status is what pfnRun returns. Returns the child's pid, which
    // the caller waits for, or -1.
    pid_t Start(const std::function<int()>& pfnRun) const;

private:
    std::string m_strName;
    uid_t m_uid = uid_t(-1);
    gid_t m_gid = gid_t(-1);
};

// Waits for a child; its exit status, or 128 + the signal that ended it, or -1.
int WaitForChild(pid_t pid);
