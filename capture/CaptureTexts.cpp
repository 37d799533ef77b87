#include "capture/CaptureTexts.h"

#include "channel/Channel.h"

#include <cstdio>
#include <cerrno>
#include <cstring>

namespace CaptureTexts {

namespace {

// The socket's steps keep the words they always had; the steps of Tarrow's own also say the error
// in words.
struct CStepText
{
    Channel::OpenStep nStep;
    const char* pszFormat;
    bool bErrorInWords;
};
constexpr CStepText STEP_TEXTS[] = {
    {Channel::STEP_OPEN, "socket() failed, errno=%d", false},
    {Channel::STEP_OPTIONS, "SetSockOpt Failed error num = %d", false},
    {Channel::STEP_BIND, "bind() failed, error no %d", false},
    {Channel::STEP_NO_PLACE, "Tarrow already runs %d captures for this user. Stop one and try again.", false},
    {Channel::STEP_SANDBOX, "The capture helper could not give up its rights, error no %d", true},
    {Channel::STEP_PLACES, "Tarrow could not count this user's running captures, error no %d", true},
};

} // namespace

std::string OpenFailureText(std::int32_t nStep, std::int32_t nValue)
{
    for (const CStepText& entry : STEP_TEXTS)
    {
        if (entry.nStep == nStep)
            return FormatText(entry.pszFormat, nValue)
                   + (entry.bErrorInWords ? std::string(" (") + std::strerror(nValue) + ")" : std::string());
    }
    return FormatText(STEP_TEXTS[0].pszFormat, nValue);
}

std::string FormatText(const char* pszFormat, int nValue)
{
    char szText[160];
    std::snprintf(szText, sizeof(szText), pszFormat, nValue);
    return szText;
}

std::string ReceiveAllNotice(int nError)
{
    // The window's text ends its own line; a terminal's goes on to say what follows.
    std::string strText = FormatText(RECEIVE_ALL_FAILED_FORMAT, nError);
    strText.pop_back();
    return strText + " (the capture runs without promiscuous mode)";
}

std::string SendersNotice(int nError)
{
    return std::string("programs are not named: ") + std::strerror(nError);
}

std::string LookupsNotice(int nError)
{
    // The reasons a user can act on, in words; the rest as the system says them.
    if (nError == ENOENT)
        return "lookups are not shown: no C library was found to watch";
    if (nError == EPERM)
        return "lookups are not shown: the capture helper has no right to load the program that tells them";
    return std::string("lookups are not shown: ") + std::strerror(nError);
}

std::string MissingHelperText(const std::vector<std::string>& missing)
{
    std::string strPlaces;
    for (size_t i = 0; i < missing.size(); ++i)
        strPlaces += (i == 0 ? "" : i + 1 == missing.size() ? " and " : ", ") + missing[i];
    return "Tarrow's capture helper is missing: it was looked for at " + strPlaces
           + ". Reinstall the package, or start Tarrow from its clone with scripts/start.sh.";
}

} // namespace CaptureTexts
