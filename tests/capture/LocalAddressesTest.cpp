#include "capture/LocalAddresses.h"
#include "common/NetNamespace.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace {

bool IsLoopbackText(const std::string& strAddress)
{
    return strAddress.rfind("127.", 0) == 0;
}

TEST(LocalAddressesTest, HostListIsDottedIpv4WithLoopbackLast)
{
    const std::vector<std::string> addresses = ListLocalIPv4Addresses();
    bool bSeenLoopback = false;
    for (const std::string& strAddress : addresses)
    {
        in_addr addr {};
        EXPECT_EQ(inet_pton(AF_INET, strAddress.c_str(), &addr), 1) << strAddress;
        if (IsLoopbackText(strAddress))
            bSeenLoopback = true;
        else
            EXPECT_FALSE(bSeenLoopback) << strAddress << " listed after a loopback address";
    }
}

TEST(LocalAddressesTest, UpInterfacesInKernelOrderLoopbackLastDuplicatesKept)
{
    const std::string strWhy = CNetNamespace::WhyUnavailable();
    if (!strWhy.empty())
        GTEST_SKIP() << strWhy;
    CNetNamespace net;
    ASSERT_TRUE(net.IsReady()) << net.GetErrorText();
    const std::string& strNs = net.GetCaptureName();
    const std::string strSecond = "192.0.2.77";
    std::string strOutput;
    // The extra pairs come after the first veth in index order; the one left down must not be listed.
    const std::string strSetUp = "ip link add tdup type veth peer name tdupp && ip link set tdup up && "
                                 "ip addr add " + net.GetCaptureAddress() + "/32 dev tdup && "
                                 "ip addr add " + strSecond + "/24 dev " + net.GetCaptureInterface() + " && "
                                 "ip addr add 127.0.0.9/8 dev lo && "
                                 "ip link add tdown type veth peer name tdownp && ip addr add 198.51.100.9/24 dev tdown";
    ASSERT_EQ(CNetNamespace::RunIn(strNs, strSetUp, &strOutput), 0) << strOutput;

    std::vector<std::string> addresses;
    {
        CNetNamespace::CEnter enter(strNs);
        ASSERT_TRUE(enter.IsEntered());
        addresses = ListLocalIPv4Addresses();
    }
    const std::vector<std::string> expected = {net.GetCaptureAddress(), strSecond, net.GetCaptureAddress(),
                                               "127.0.0.1", "127.0.0.9"};
    EXPECT_EQ(addresses, expected);

    ASSERT_EQ(CNetNamespace::RunIn(strNs, "ip link set lo down", &strOutput), 0) << strOutput;
    {
        CNetNamespace::CEnter enter(strNs);
        addresses = ListLocalIPv4Addresses();
    }
    const std::vector<std::string> withoutLoopback = {net.GetCaptureAddress(), strSecond, net.GetCaptureAddress()};
    EXPECT_EQ(addresses, withoutLoopback);
}

} // namespace
