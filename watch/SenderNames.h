#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

// Names for what the helper tells of a sending process: its user's login name, and its systemd unit
// or, outside any unit, its cgroup. A cgroup's id is the inode number of its folder in the cgroup2
// tree, so the tree is walked once and cached; a new cgroup walks it again, at most once a second,
// so a flood of unknown ids cannot keep tarrow-watch walking, and an id the walk did not find is
// not asked about again until then.
class CSenderNames
{
public:
    explicit CSenderNames(std::string strCgroupRoot = CgroupRoot()) : m_strCgroupRoot(std::move(strCgroupRoot)) {}

    // Where the cgroup2 tree is mounted: /sys/fs/cgroup on a unified system, its unified folder on
    // a hybrid one.
    static std::string CgroupRoot();

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
