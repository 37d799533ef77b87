#include "watch/LookupResult.h"

#include <charconv>
#include <netdb.h>

using namespace Channel;

namespace {

struct CResultName
{
    lookup_result_kind nKind;
    std::int32_t nResult;
    const char* pszName;
};
constexpr CResultName RESULT_NAMES[] = {
    {LOOKUP_KIND_EAI, 0, "SUCCESS"},
    {LOOKUP_KIND_EAI, EAI_BADFLAGS, "EAI_BADFLAGS"},
    {LOOKUP_KIND_EAI, EAI_NONAME, "EAI_NONAME"},
    {LOOKUP_KIND_EAI, EAI_AGAIN, "EAI_AGAIN"},
    {LOOKUP_KIND_EAI, EAI_FAIL, "EAI_FAIL"},
    {LOOKUP_KIND_EAI, EAI_NODATA, "EAI_NODATA"},
    {LOOKUP_KIND_EAI, EAI_FAMILY, "EAI_FAMILY"},
    {LOOKUP_KIND_EAI, EAI_SOCKTYPE, "EAI_SOCKTYPE"},
    {LOOKUP_KIND_EAI, EAI_SERVICE, "EAI_SERVICE"},
    {LOOKUP_KIND_EAI, EAI_ADDRFAMILY, "EAI_ADDRFAMILY"},
    {LOOKUP_KIND_EAI, EAI_MEMORY, "EAI_MEMORY"},
    {LOOKUP_KIND_EAI, EAI_SYSTEM, "EAI_SYSTEM"},
    {LOOKUP_KIND_EAI, EAI_OVERFLOW, "EAI_OVERFLOW"},
    {LOOKUP_KIND_EAI, EAI_INTR, "EAI_INTR"},
    {LOOKUP_KIND_EAI, EAI_IDN_ENCODE, "EAI_IDN_ENCODE"},
    {LOOKUP_KIND_HERRNO, 0, "SUCCESS"},
    {LOOKUP_KIND_HERRNO, HOST_NOT_FOUND, "HOST_NOT_FOUND"},
    {LOOKUP_KIND_HERRNO, TRY_AGAIN, "TRY_AGAIN"},
    {LOOKUP_KIND_HERRNO, NO_RECOVERY, "NO_RECOVERY"},
    {LOOKUP_KIND_HERRNO, NO_DATA, "NO_DATA"},
    {LOOKUP_KIND_HERRNO, NETDB_INTERNAL, "NETDB_INTERNAL"},
};
constexpr std::string_view UNREAD = "UNREAD";
// The prefixes of a result without a name, before its number.
constexpr std::string_view EAI_PREFIX = "EAI", HERRNO_PREFIX = "H_ERRNO";

} // namespace

std::string LookupResultName(lookup_result_kind nKind, std::int32_t nResult)
{
    if (nKind == LOOKUP_KIND_UNREAD)
        return std::string(UNREAD);
    for (const CResultName& name : RESULT_NAMES)
    {
        if (name.nKind == nKind && name.nResult == nResult)
            return name.pszName;
    }
    std::string strName(nKind == LOOKUP_KIND_EAI ? EAI_PREFIX : HERRNO_PREFIX);
    strName += std::to_string(nResult);
    return strName;
}

bool IsLookupResultName(std::string_view text)
{
    if (text == UNREAD)
        return true;
    for (const CResultName& name : RESULT_NAMES)
    {
        if (text == name.pszName)
            return true;
    }
    for (const std::string_view prefix : {HERRNO_PREFIX, EAI_PREFIX})
    {
        if (!text.starts_with(prefix))
            continue;
        const std::string_view number = text.substr(prefix.size());
        std::int32_t nValue = 0;
        const auto result = std::from_chars(number.data(), number.data() + number.size(), nValue);
        return !number.empty() && result.ec == std::errc() && result.ptr == number.data() + number.size()
               && LookupResultName(prefix == EAI_PREFIX ? LOOKUP_KIND_EAI : LOOKUP_KIND_HERRNO, nValue) == text;
    }
    return false;
}
