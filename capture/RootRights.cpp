#include "capture/RootRights.h"

#include <memory>
#include <sys/capability.h>
#include <unistd.h>

namespace {

using CCaps = std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)>;

bool IsEffective(cap_t caps, cap_value_t nCap)
{
    cap_flag_value_t bSet = CAP_CLEAR;
    return cap_get_flag(caps, nCap, CAP_EFFECTIVE, &bSet) == 0 && bSet == CAP_SET;
}

} // namespace

bool GiveUpRootRights()
{
    const CCaps pNow(cap_get_proc(), &cap_free);
    const CCaps pNone(cap_init(), &cap_free);
    if (!pNow || !pNone)
        return false;
    if (geteuid() != 0 && cap_compare(pNow.get(), pNone.get()) == 0)
        return true;
    if (IsEffective(pNow.get(), CAP_SETPCAP))
    {
        for (cap_value_t nCap = 0; nCap < cap_value_t(cap_max_bits()); ++nCap)
        {
            if (nCap != CAP_NET_RAW && cap_drop_bound(nCap) != 0)
                return false;
        }
    }
    return cap_set_proc(pNone.get()) == 0 && cap_reset_ambient() == 0;
}
