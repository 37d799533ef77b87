#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

// A size field of /proc/self/status ("VmRSS", "VmHWM") in MiB; -1 when there is none.
inline double ProcStatusMiB(const char* pszField)
{
    FILE* pFile = std::fopen("/proc/self/status", "r");
    if (pFile == nullptr)
        return -1.0;
    char szLine[256];
    const size_t nFieldLength = std::strlen(pszField);
    double dKiB = -1.0;
    while (std::fgets(szLine, sizeof(szLine), pFile) != nullptr)
    {
        if (std::strncmp(szLine, pszField, nFieldLength) == 0 && szLine[nFieldLength] == ':')
        {
            dKiB = std::strtod(szLine + nFieldLength + 1, nullptr);
            break;
        }
    }
    std::fclose(pFile);
    return dKiB / 1024.0;
}
