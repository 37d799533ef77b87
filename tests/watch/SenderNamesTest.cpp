// The names of a query's sender: the unit of its cgroup, its user.
#include "watch/SenderNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <sys/stat.h>

// The unit of a cgroup path, a user's name, and this process's own unit found in the cgroup2 tree.
TEST(SenderNamesTest, UnitsUsersAndThisProcesssOwnCgroup)
{
    const std::pair<const char*, const char*> units[] = {
        {"/system.slice/systemd-resolved.service", "systemd-resolved.service"},
        {"/user.slice/user-1000.slice/user@1000.service/app.slice/app-firefox-12.scope/tab", "app-firefox-12.scope"},
        {"/user.slice/user-1000.slice", "/user.slice/user-1000.slice"},
        {"/", "/"},
        {"/a.services/b", "/a.services/b"},
    };
    for (const auto& [pszPath, pszUnit] : units)
        EXPECT_EQ(CSenderNames::UnitOfPath(pszPath), pszUnit) << pszPath;

    CSenderNames senders;
    EXPECT_EQ(senders.UserName(0), "root");
    EXPECT_EQ(senders.UserName(4000000000u), "4000000000");
    // This process's own cgroup, found in the cgroup2 tree wherever it is mounted, and an id that
    // is in none, asked twice (the second time from what the first walk left).
    std::ifstream cgroups("/proc/self/cgroup");
    std::string strLine;
    while (std::getline(cgroups, strLine) && strLine.rfind("0::", 0) != 0)
        ;
    const std::string strOwn = strLine.substr(std::min<size_t>(3, strLine.size()));
    struct stat own
    {};
    ASSERT_EQ(stat((CSenderNames::CgroupRoot() + strOwn).c_str(), &own), 0) << strOwn;
    EXPECT_EQ(senders.UnitOf(own.st_ino), CSenderNames::UnitOfPath(strOwn)) << strOwn;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(senders.UnitOf(~std::uint64_t(0)), "");
}
