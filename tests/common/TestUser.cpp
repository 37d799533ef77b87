#include "common/TestUser.h"

#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

CTestUser::CTestUser(const std::string& strName) : m_strName(strName)
{
    // One left by a crashed run goes first.
    std::system(("userdel -r " + strName + " >/dev/null 2>&1").c_str());
    if (std::system(("useradd --create-home --user-group " + strName).c_str()) != 0)
        return;
    if (const passwd* pEntry = getpwnam(strName.c_str()))
    {
        m_uid = pEntry->pw_uid;
        m_gid = pEntry->pw_gid;
    }
}

CTestUser::~CTestUser()
{
    if (IsReady())
        std::system(("userdel -r " + m_strName + " >/dev/null 2>&1").c_str());
}

pid_t CTestUser::Start(const std::function<int()>& pfnRun) const
{
    if (!IsReady())
        return -1;
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Leaving root this way clears every capability.
    const gid_t groups[] = {m_gid};
    if (setgroups(1, groups) != 0 || setresgid(m_gid, m_gid, m_gid) != 0 || setresuid(m_uid, m_uid, m_uid) != 0)
        _exit(120);
    _exit(pfnRun());
}

int WaitForChild(pid_t pid)
{
    int nStatus = 0;
    if (pid <= 0 || waitpid(pid, &nStatus, 0) != pid)
        return -1;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}
