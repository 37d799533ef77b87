#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

// Names for what the helper tells of a sending process: its user's login name, and its systemd unit
// or, outside any unit, its cgroup. On cgroup v2 a cgroup's id is the inode number of its folder, so
// the tree is walked once and cached; a new cgroup walks it again, at most once a second, so a
// flood of unknown ids cannot keep tarrow-watch walking.
class CSenderNames
{
public:
    explicit CSenderNames(std::string strCgroupRoot = "/sys/fs/cgroup") : m_strCgroupRoot(std::move(strCgroupRoot)) {}

    // The login name, or the number when the user has none.
    const std::string& UserName(std::uint32_t nUid);
    // The unit, or the cgroup's path below the root; empty when no folder has that id.
    const std::string& UnitOf(std::uint64_t nCgroupId);

    // The last component of a cgroup path that is a service or a scope, otherwise the path itself.
    static std::string_view UnitOfPath(std::string_view path);

private:
    void WalkCgroups();

    std::string m_strCgroupRoot;
    std::unordered_map<std::uint32_t, std::string> m_users;
    std::unordered_map<std::uint64_t, std::string> m_units;
    std::chrono::steady_clock::time_point m_lastWalk {};
    bool m_bWalked = false;
    std::string m_strNone;
};
