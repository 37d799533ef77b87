#include "platform/AddressText.h"

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
