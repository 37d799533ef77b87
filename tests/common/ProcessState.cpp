#include "common/ProcessState.h"

#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <set>
#include <sstream>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

bool DropCaptureRight()
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    if (geteuid() == 0 && prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0) != 0)
        return false;
    __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[0].effective &= ~(1u << CAP_NET_RAW);
    data[0].permitted &= ~(1u << CAP_NET_RAW);
    data[0].inheritable &= ~(1u << CAP_NET_RAW);
    return syscall(SYS_capset, &header, data) == 0;
}

bool HoldsWithoutCaptureRight(const std::function<bool()>& pfnCheck)
{
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0)
        _exit(DropCaptureRight() && pfnCheck() ? 0 : 1);
    int nStatus = 0;
    return waitpid(pid, &nStatus, 0) == pid && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

int CountOpenDescriptors()
{
    int nCount = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++nCount;
    return nCount;
}

std::vector<int> ListChildProcesses()
{
    std::vector<int> children;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    {
        std::ifstream list(task.path() / "children");
        int nPid = 0;
        while (list >> nPid)
            children.push_back(nPid);
    }
    return children;
}

std::string ReadProcessStatus(int nPid, const std::string& strField)
{
    std::ifstream status("/proc/" + std::to_string(nPid) + "/status");
    std::string strLine;
    while (std::getline(status, strLine))
    {
        if (strLine.rfind(strField + ":", 0) == 0)
        {
            const size_t nStart = strLine.find_first_not_of(" \t", strField.size() + 1);
            return nStart == std::string::npos ? std::string() : strLine.substr(nStart);
        }
    }
    return {};
}

bool HoldsPacketSocket()
{
    // Columns: sk RefCnt Type Proto Iface R Rmem User Inode.
    std::set<std::string> inodes;
    std::ifstream packets("/proc/net/packet");
    std::string strLine;
    std::getline(packets, strLine);
    while (std::getline(packets, strLine))
    {
        std::istringstream fields(strLine);
        std::string strField;
        for (int i = 0; i < 9 && fields >> strField; ++i)
        {}
        inodes.insert("socket:[" + strField + "]");
    }
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    {
        std::error_code error;
        if (inodes.count(std::filesystem::read_symlink(entry.path(), error).string()) != 0)
            return true;
    }
    return false;
}
