#include "channel/Channel.h"

#include <cstdio>

namespace Channel {

bool IsFailureStep(std::int32_t nStep)
{
    for (const CStepText& entry : STEP_TEXTS)
        if (entry.nStep == nStep)
            return true;
    return false;
}

std::string OpenFailureText(std::int32_t nStep, std::int32_t nError)
{
    for (const CStepText& entry : STEP_TEXTS)
        if (entry.nStep == nStep)
            return FormatText(entry.pszFormat, entry.bTakesLimit ? MAX_CAPTURES_PER_USER : nError);
    return OpenFailureText(STEP_OPEN, nError);
}

std::string FormatText(const char* pszFormat, int nValue)
{
    char szText[160];
    std::snprintf(szText, sizeof(szText), pszFormat, nValue);
    return szText;
}

} // namespace Channel
