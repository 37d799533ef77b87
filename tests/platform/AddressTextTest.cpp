#include "platform/CaptureTarget.h"

#include <gtest/gtest.h>

#include <string>

TEST(AddressTextTest, TakesOnlyAddressesAsInetPtonReadsThemAndLinkLocalWithAnInterface)
{
    for (const char* pszGood :
         {"0.0.0.0", "127.0.0.1", "10.53.0.1", "255.255.255.255", "::1", "fd53:1::1", "2001:db8:0:0:0:0:0:1",
          "fe80::1%eth0", "fe80::a:b%tc12345_999c", "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"})
        EXPECT_TRUE(IsAddressText(pszGood)) << pszGood;
    for (const char* pszBad :
         {"", "1.2.3", "1.2.3.4.", ".1.2.3.4", "1..2.3", "1.2.3.4.5", "255.255.255.256", "256.0.0.1", "01.2.3.4",
          "1.2.3.04", "1.2.3.4 ", " 1.2.3.4", "0x7f.0.0.1", "-1.2.3.4", "1.2.3.+4", "1111.2.3.4", "0255.255.255.25",
          "localhost",
          // IPv6: a link-local address names no interface without its scope, and
          // only a link-local one takes a scope; the scope is an interface name.
          "fe80::1", "fd53:1::1%eth0", "1.2.3.4%eth0", "fe80::1%", "fe80::1%eth0%eth1", "fe80::1%a/b", "fe80::1%a b",
          "fe80::1%..", "fe80::1%abcdefghijklmnop", "[::1]", "::1 ", ":::", "1::2::3", "fe80::1%eth0\n"})
        EXPECT_FALSE(IsAddressText(pszBad)) << '"' << pszBad << '"';
    EXPECT_FALSE(IsAddressText(nullptr));
    // Length is checked without reading past the limit: a long run of digits and dots stops early.
    EXPECT_FALSE(IsAddressText(std::string(5000, '1').c_str()));
    EXPECT_FALSE(IsAddressText(("fe80::1%" + std::string(5000, 'e')).c_str()));
}

TEST(AddressTextTest, TheHelpersPlaceIsAnAddressAnInterfaceByNameOrAny)
{
    const struct
    {
        const char* pszText;
        CCaptureTarget::Kind nKind;
    } cases[] = {
        {"any", CCaptureTarget::ANY_INTERFACE},
        {"10.53.0.1", CCaptureTarget::ADDRESS},
        {"fe80::1%eth0", CCaptureTarget::ADDRESS},
        {"if:eth0", CCaptureTarget::INTERFACE},
        {"if:any", CCaptureTarget::INTERFACE},
        {"if:10.53.0.1", CCaptureTarget::INTERFACE},
        {"if:abcdefghijklmno", CCaptureTarget::INTERFACE}, // 15 bytes: the longest
        {"if:abcdefghijklmnop", CCaptureTarget::NONE},
        {"if:", CCaptureTarget::NONE},
        {"if:..", CCaptureTarget::NONE},
        {"if:a/b", CCaptureTarget::NONE},
        {"if:a b", CCaptureTarget::NONE},
        {"if:a\tb", CCaptureTarget::NONE},
        {"if:eth0\n", CCaptureTarget::NONE},
        {"if:a:b", CCaptureTarget::NONE},
        {"eth0", CCaptureTarget::NONE},
        {"ANY", CCaptureTarget::NONE},
        {"any ", CCaptureTarget::NONE},
        {"IF:eth0", CCaptureTarget::NONE},
    };
    for (const auto& one : cases)
    {
        CCaptureTarget target;
        EXPECT_EQ(ParseCaptureTarget(one.pszText, target), one.nKind != CCaptureTarget::NONE) << one.pszText;
        EXPECT_EQ(target.nKind, one.nKind) << one.pszText;
    }
    CCaptureTarget target;
    ASSERT_TRUE(ParseCaptureTarget(InterfaceTargetText("veth-x").c_str(), target));
    EXPECT_STREQ(target.szInterface, "veth-x");
    EXPECT_EQ(InterfaceTargetText("any"), "any");
}
