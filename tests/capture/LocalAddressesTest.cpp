#include "platform/AddressText.h"
#include "capture/LocalAddresses.h"
#include "common/NetNamespace.h"

#include <gtest/gtest.h>

namespace {

TEST(LocalAddressesTest, Ipv4InKernelOrderThenIpv6LinkLocalLastAndLoopbackAfterAllDuplicatesKept)
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
    const std::string strSetUp =
        "ip link add tdup type veth peer name tdupp && ip link set tdup addrgenmode none && "
        "ip link set tdup up && "
        "ip addr add "
        + net.GetCaptureAddress()
        + "/32 dev tdup && "
          "ip addr add fe80::77/64 dev tdup nodad && "
          "ip addr add 2001:db8::77/64 dev tdup nodad && "
          "ip addr add "
        + strSecond + "/24 dev " + net.GetCaptureInterface()
        + " && "
          "ip addr add 127.0.0.9/8 dev lo && "
          "ip link add tdown type veth peer name tdownp && ip addr add 198.51.100.9/24 dev tdown && "
          "ip addr add 2001:db8:1::9/64 dev tdown nodad";
    ASSERT_EQ(CNetNamespace::RunIn(strNs, strSetUp, &strOutput), 0) << strOutput;

    std::vector<std::string> addresses;
    {
        CNetNamespace::CEnter enter(strNs);
        ASSERT_TRUE(enter.IsEntered());
        addresses = ListLocalIpAddresses();
    }
    const std::vector<std::string> expected = {net.GetCaptureAddress(),
                                               strSecond,
                                               net.GetCaptureAddress(),
                                               net.GetCaptureAddress6(),
                                               "2001:db8::77",
                                               "fe80::77%tdup",
                                               "127.0.0.1",
                                               "127.0.0.9",
                                               "::1"};
    EXPECT_EQ(addresses, expected);
    // Each as the capture takes it.
    for (const std::string& strAddress : addresses)
    {
        CAddressText address;
        EXPECT_TRUE(ParseAddressText(strAddress.c_str(), address)) << strAddress;
    }

    ASSERT_EQ(CNetNamespace::RunIn(strNs, "ip link set lo down", &strOutput), 0) << strOutput;
    {
        CNetNamespace::CEnter enter(strNs);
        addresses = ListLocalIpAddresses();
    }
    EXPECT_EQ(addresses, std::vector<std::string>(expected.begin(), expected.begin() + 6));
}

} // namespace
