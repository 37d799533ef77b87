#include "helper/BpfLoad.h"

#include <cerrno>
#include <memory>
#include <sys/capability.h>

#ifdef TARROW_NAMES_SENDERS
#include <bpf/libbpf.h>
#endif

bool HoldsBpfLoadRights()
{
    const std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)> pCaps(cap_get_proc(), &cap_free);
    if (!pCaps)
        return false;
    for (const cap_value_t nCap : {CAP_BPF, CAP_PERFMON})
    {
        cap_flag_value_t nValue = CAP_CLEAR;
        if (cap_get_flag(pCaps.get(), nCap, CAP_EFFECTIVE, &nValue) != 0 || nValue != CAP_SET)
        {
            errno = EPERM;
            return false;
        }
    }
    return true;
}

#ifdef TARROW_NAMES_SENDERS

namespace {

int Silent(libbpf_print_level, const char*, va_list)
{
    return 0;
}

} // namespace

void SilenceLibbpf()
{
    libbpf_set_print(Silent);
}

#else

void SilenceLibbpf()
{}

#endif

bool CheckLibbpf(int nResult)
{
    if (nResult == 0)
        return true;
    errno = -nResult;
    return false;
}
