#include "dns/DnsTypes.h"

#include <iterator>

namespace {

struct CTypeName
{
    std::uint16_t nType;
    const char* pszName;
};
// The types with a mnemonic that are still asked for; obsolete ones (MD, MF, MB, NULL, WKS...) come
// as TYPE and their number.
constexpr CTypeName TYPE_NAMES[] = {
    {1, "A"},       {2, "NS"},      {5, "CNAME"},  {6, "SOA"},      {12, "PTR"},        {13, "HINFO"},
    {15, "MX"},     {16, "TXT"},    {17, "RP"},    {18, "AFSDB"},   {24, "SIG"},        {25, "KEY"},
    {28, "AAAA"},   {29, "LOC"},    {33, "SRV"},   {35, "NAPTR"},   {36, "KX"},         {37, "CERT"},
    {39, "DNAME"},  {42, "APL"},    {43, "DS"},    {44, "SSHFP"},   {45, "IPSECKEY"},   {46, "RRSIG"},
    {47, "NSEC"},   {48, "DNSKEY"}, {49, "DHCID"}, {50, "NSEC3"},   {51, "NSEC3PARAM"}, {52, "TLSA"},
    {53, "SMIMEA"}, {55, "HIP"},    {59, "CDS"},   {60, "CDNSKEY"}, {61, "OPENPGPKEY"}, {62, "CSYNC"},
    {63, "ZONEMD"}, {64, "SVCB"},   {65, "HTTPS"}, {99, "SPF"},     {108, "EUI48"},     {109, "EUI64"},
    {249, "TKEY"},  {250, "TSIG"},  {251, "IXFR"}, {252, "AXFR"},   {255, "ANY"},       {256, "URI"},
    {257, "CAA"},
};

} // namespace

std::string DnsTypeName(std::uint16_t nType)
{
    for (const CTypeName& entry : TYPE_NAMES)
    {
        if (entry.nType == nType)
            return entry.pszName;
    }
    return "TYPE" + std::to_string(nType);
}

std::string DnsRcodeName(std::uint8_t nRcode)
{
    static constexpr const char* NAMES[] = {"NOERROR",  "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED",
                                            "YXDOMAIN", "YXRRSET", "NXRRSET",  "NOTAUTH",  "NOTZONE"};
    if (nRcode < std::size(NAMES))
        return NAMES[nRcode];
    return "RCODE" + std::to_string(nRcode);
}
