#include "watch/SenderNames.h"

#include <algorithm>
#include <cstdio>
#include <ftw.h>
#include <mntent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// nftw takes a plain function: the walk in progress.
std::unordered_map<std::uint64_t, std::string>* s_pUnits = nullptr;
size_t s_nRootLength = 0;

int OnFolder(const char* pszPath, const struct stat* pStat, int nFlag, FTW*)
{
    if (nFlag == FTW_D)
    {
        std::string_view path(pszPath);
        path.remove_prefix(std::min(s_nRootLength, path.size()));
        (*s_pUnits)[pStat->st_ino] = path.empty() ? "/" : std::string(path);
    }
    return 0;
}

bool EndsWith(std::string_view text, std::string_view tail)
{
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

} // namespace

const std::string& CSenderNames::UserName(std::uint32_t nUid)
{
    auto found = m_users.find(nUid);
    if (found != m_users.end())
        return found->second;
    std::string strName = std::to_string(nUid);
    passwd entry {};
    passwd* pEntry = nullptr;
    long nSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(nSize > 0 ? size_t(nSize) : 16384);
    if (getpwuid_r(nUid, &entry, buffer.data(), buffer.size(), &pEntry) == 0 && pEntry != nullptr)
        strName = pEntry->pw_name;
    return m_users.emplace(nUid, std::move(strName)).first->second;
}

const std::string& CSenderNames::UnitOf(std::uint64_t nCgroupId)
{
    const auto found = m_units.find(nCgroupId);
    if (found != m_units.end())
        return found->second;
    const auto now = std::chrono::steady_clock::now();
    if (m_bWalked && now - m_lastWalk < std::chrono::seconds(1))
        return m_strNone;
    m_lastWalk = now;
    m_bWalked = true;
    WalkCgroups();
    return m_units.try_emplace(nCgroupId).first->second;
}

std::string CSenderNames::CgroupRoot()
{
    std::string strRoot = "/sys/fs/cgroup";
    if (std::FILE* pMounts = setmntent("/proc/self/mounts", "re"))
    {
        while (const mntent* pEntry = getmntent(pMounts))
        {
            if (std::string_view(pEntry->mnt_type) == "cgroup2")
            {
                strRoot = pEntry->mnt_dir;
                break;
            }
        }
        endmntent(pMounts);
    }
    return strRoot;
}

void CSenderNames::WalkCgroups()
{
    std::unordered_map<std::uint64_t, std::string> paths;
    s_pUnits = &paths;
    s_nRootLength = m_strCgroupRoot.size();
    // Folders that vanish or cannot be read during the walk are simply not named.
    nftw(m_strCgroupRoot.c_str(), OnFolder, 32, FTW_PHYS | FTW_MOUNT);
    s_pUnits = nullptr;
    m_units.clear();
    for (auto& [nId, strPath] : paths)
        m_units.emplace(nId, std::string(UnitOfPath(strPath)));
}

std::string_view CSenderNames::UnitOfPath(std::string_view whole)
{
    std::string_view path = whole;
    while (!path.empty())
    {
        const size_t nSlash = path.rfind('/');
        const std::string_view last = path.substr(nSlash == std::string_view::npos ? 0 : nSlash + 1);
        if (EndsWith(last, ".service") || EndsWith(last, ".scope"))
            return last;
        if (nSlash == std::string_view::npos)
            break;
        path = path.substr(0, nSlash);
    }
    return whole;
}
