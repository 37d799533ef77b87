#include "helper/LookupRecords.h"

#include "dns/PresentationForm.h"
#include "helper/SenderFacts.h"
#include "helper/SenderPrivacy.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

using namespace Channel;

// The program in the kernel and the channel bound alike.
static_assert(LOOKUP_ADDRESSES == MAX_LOOKUP_ADDRESSES && LOOKUP_NAME_BYTES - 1 == MAX_LOOKUP_NAME_BYTES);
// A name of 255 bytes, each written \DDD, fits a record.
static_assert(4 * MAX_LOOKUP_NAME_BYTES <= MAX_NAME_BYTES + 1);

void CLookupRecords::AppendReverseName(std::string& strOut, std::uint8_t nVersion, const std::uint8_t* pAddress)
{
    constexpr char HEX[] = "0123456789abcdef";
    if (nVersion == 4)
    {
        for (int i = 3; i >= 0; --i)
            strOut.append(std::to_string(pAddress[i])).append(".");
        strOut += "in-addr.arpa";
        return;
    }
    for (int i = 15; i >= 0; --i)
    {
        const char nibbles[4] = {HEX[pAddress[i] & 0xf], '.', HEX[pAddress[i] >> 4], '.'};
        strOut.append(nibbles, sizeof(nibbles));
    }
    strOut += "ip6.arpa";
}

bool CLookupRecords::IsAddressText(std::string_view text)
{
    // inet_pton() wants its text ended; a name is no longer than an IPv6 address with a scope.
    char szText[64] = {};
    if (text.size() >= sizeof(szText))
        return false;
    std::memcpy(szText, text.data(), text.size());
    if (char* pScope = std::strchr(szText, '%'))
        *pScope = '\0';
    unsigned char abAddress[16];
    return inet_pton(AF_INET, szText, abAddress) == 1 || inet_pton(AF_INET6, szText, abAddress) == 1;
}

bool CLookupRecords::Make(const lookup_event& event, std::int64_t nRealMinusMonotonicNs)
{
    // It never crossed a wire the capturing user could see: another person's lookup is not told,
    // not even that there was one.
    if (!MayNameSender(event.uid, m_nOwnUid))
        return false;
    // An address given as text is taken as it is, without asking anyone (dig's server, say): no
    // lookup.
    const std::string_view text(event.name, std::min<size_t>(event.name_length, MAX_LOOKUP_NAME_BYTES));
    if (event.call != LOOKUP_CALL_GETNAMEINFO && IsAddressText(text))
        return false;
    CLookupRecord& record = m_record;
    record = CLookupRecord();
    record.nPhase = event.phase;
    record.nCall = event.call;
    record.nFamily = event.family;
    record.nFlags = event.flags & (LOOKUP_FLAG_NAME_CUT | LOOKUP_FLAG_ADDRESSES_CUT | LOOKUP_FLAG_ADDRESSES_UNREAD);
    if (event.phase == LOOKUP_PHASE_ENDED)
    {
        record.nResultKind =
            event.result_kind <= LOOKUP_KIND_HERRNO ? event.result_kind : std::uint8_t(LOOKUP_KIND_UNREAD);
        record.nResult = record.nResultKind == LOOKUP_KIND_UNREAD ? 0 : event.result;
        record.nLatencyNs = event.ended_ns >= event.began_ns ? event.ended_ns - event.began_ns : 0;
    }
    const std::int64_t nReal = std::int64_t(event.began_ns) + nRealMinusMonotonicNs;
    record.nSeconds = std::clamp<std::int64_t>(nReal / 1000000000, 0, LAST_REAL_SECOND);
    record.nNanoseconds = nReal < 0 ? 0 : std::uint32_t(nReal % 1000000000);
    record.sender = SenderFactsOf(event);
    m_strTail.clear();
    if (event.call == LOOKUP_CALL_GETNAMEINFO)
    {
        // The address asked comes first; the host found is what the call returned.
        const std::uint8_t nVersion = event.address_versions[0] == 6 ? 6 : 4;
        AppendReverseName(m_strTail, nVersion, event.address[0]);
        record.nLength = std::uint16_t(m_strTail.size());
        if (event.phase == LOOKUP_PHASE_ENDED && record.nResult == 0 && record.nResultKind == LOOKUP_KIND_EAI)
            AppendDottedName(m_strTail, text);
        record.nHostLength = std::uint16_t(m_strTail.size() - record.nLength);
        return true;
    }
    AppendDottedName(m_strTail, text);
    record.nLength = std::uint16_t(m_strTail.size());
    if (event.phase == LOOKUP_PHASE_ENDED)
    {
        record.nAddresses = std::min<std::uint8_t>(event.addresses, MAX_LOOKUP_ADDRESSES);
        for (size_t i = 0; i < record.nAddresses; ++i)
        {
            record.anAddressVersions[i] = event.address_versions[i] == 6 ? 6 : 4;
            std::memcpy(record.aabAddresses[i], event.address[i], 16);
        }
    }
    return true;
}
