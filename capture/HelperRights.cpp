#include "capture/HelperRights.h"

#include <cerrno>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/capability.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string UserName()
{
    const passwd* pUser = getpwuid(getuid());
    return pUser != nullptr ? pUser->pw_name : std::to_string(getuid());
}

bool HasGroupNow(gid_t gid)
{
    if (getegid() == gid)
        return true;
    const int nGroups = getgroups(0, nullptr);
    std::vector<gid_t> groups(size_t(nGroups > 0 ? nGroups : 0));
    if (nGroups > 0 && getgroups(nGroups, groups.data()) != nGroups)
        return false;
    for (const gid_t group : groups)
    {
        if (group == gid)
            return true;
    }
    return false;
}

// Whether the group database lists the user in the group: true while the process lacks it means
// the user joined since they logged in.
bool IsListedIn(gid_t gid)
{
    const passwd* pUser = getpwuid(getuid());
    if (pUser == nullptr)
        return false;
    int nGroups = 64;
    std::vector<gid_t> groups(static_cast<size_t>(nGroups), 0);
    if (getgrouplist(pUser->pw_name, pUser->pw_gid, groups.data(), &nGroups) < 0)
    {
        groups.resize(size_t(nGroups));
        if (getgrouplist(pUser->pw_name, pUser->pw_gid, groups.data(), &nGroups) < 0)
            return false;
    }
    for (int i = 0; i < nGroups; ++i)
    {
        if (groups[size_t(i)] == gid)
            return true;
    }
    return false;
}

bool FileGrantsNetRaw(const std::string& strPath)
{
    const std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)> pCaps(cap_get_file(strPath.c_str()),
                                                                                   &cap_free);
    cap_flag_value_t nSet = CAP_CLEAR;
    return pCaps && cap_get_flag(pCaps.get(), CAP_NET_RAW, CAP_PERMITTED, &nSet) == 0 && nSet == CAP_SET;
}

} // namespace

CHelperDiagnosis DiagnoseHelper(const std::string& strPath, const std::string& strInstalledPath)
{
    CHelperDiagnosis diagnosis {strPath, {}, {}};
    struct stat file
    {};
    if (stat(strPath.c_str(), &file) != 0)
    {
        diagnosis.strWhy = "it does not exist";
        diagnosis.strFix = "scripts/start.sh (from a clone), or install the package";
        return diagnosis;
    }
    if (access(strPath.c_str(), X_OK) != 0)
    {
        const group* pGroup = getgrgid(file.st_gid);
        const std::string strGroup = pGroup != nullptr ? pGroup->gr_name : std::to_string(file.st_gid);
        const bool bGroupMayRun = (file.st_mode & S_IXGRP) != 0 && file.st_gid != 0;
        if (bGroupMayRun && !HasGroupNow(file.st_gid) && IsListedIn(file.st_gid))
        {
            diagnosis.strWhy = "you joined the group " + strGroup + " after you logged in";
            diagnosis.strFix = "log out and in again (or, in this shell only: newgrp " + strGroup + ")";
        }
        else if (bGroupMayRun && !HasGroupNow(file.st_gid))
        {
            diagnosis.strWhy = UserName() + " may not run it: only members of the group " + strGroup + " may";
            diagnosis.strFix = "sudo usermod -aG " + strGroup + " " + UserName() + ", then log out and in again";
        }
        else
        {
            diagnosis.strWhy = UserName() + " may not run it: it is another user's";
            diagnosis.strFix = "scripts/start.sh (from a clone: it grants a copy of your own)";
        }
        return diagnosis;
    }
    if (!FileGrantsNetRaw(strPath))
    {
        diagnosis.strWhy = "it lacks cap_net_raw";
        // A build tree's helper is never granted: whoever can write the tree could swap the file
        // between a check and the grant. A root-owned copy of it is, which start.sh makes.
        diagnosis.strFix = file.st_uid == 0 && strPath == strInstalledPath
                               ? "sudo setcap cap_net_raw,cap_bpf,cap_perfmon=p " + strPath
                               : "scripts/start.sh (from a clone: it grants a root-owned copy)";
        return diagnosis;
    }
    diagnosis.strWhy = "its grant of cap_net_raw was refused (a file system mounted nosuid, or a process whose "
                       "bounding set lacks cap_net_raw, as in some containers)";
    diagnosis.strFix = "findmnt -T " + strPath + " (to see whether it is mounted nosuid)";
    return diagnosis;
}

std::string ExplainRefusal(const std::vector<std::string>& tried, const std::string& strInstalledPath)
{
    std::string strText;
    CHelperDiagnosis last;
    for (const std::string& strPath : tried)
    {
        last = DiagnoseHelper(strPath, strInstalledPath);
        strText += (strText.empty() ? "" : "\n") + std::string("The capture helper ") + strPath
                   + " was tried: " + last.strWhy + ".";
    }
    if (!last.strFix.empty())
        strText += "\nTo fix it: " + last.strFix;
    return strText;
}
