#include "platform/RootRights.h"

#include <cerrno>
#include <cstring>
#include <linux/securebits.h>
#include <memory>
#include <sys/capability.h>
#include <unistd.h>

namespace {

using CCaps = std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)>;

constexpr unsigned ROOT_GETS_NOTHING =
    SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_CAP_AMBIENT_RAISE | SECBIT_NO_CAP_AMBIENT_RAISE_LOCKED;

bool Failed(std::string* pstrWhy, const char* pszStep)
{
    *pstrWhy = std::string(pszStep) + ": " + std::strerror(errno);
    return false;
}

bool IsEffective(cap_t caps, cap_value_t nCap)
{
    cap_flag_value_t bSet = CAP_CLEAR;
    return cap_get_flag(caps, nCap, CAP_EFFECTIVE, &bSet) == 0 && bSet == CAP_SET;
}

// A saved uid 0 counts: the process may take it back as its effective uid without any right.
bool IsRoot()
{
    uid_t nReal = 0, nEffective = 0, nSaved = 0;
    return getresuid(&nReal, &nEffective, &nSaved) != 0 || nReal == 0 || nEffective == 0 || nSaved == 0;
}

// The rights the capture helper's file may grant: to capture, and to attach the program that names
// the sender of each query.
bool IsHelperRight(cap_value_t nCap)
{
    return nCap == CAP_NET_RAW || nCap == CAP_BPF || nCap == CAP_PERFMON;
}

bool DropBoundingSetButHelperRights(std::string* pstrWhy)
{
    for (cap_value_t nCap = 0; nCap < cap_value_t(cap_max_bits()); ++nCap)
    {
        if (!IsHelperRight(nCap) && cap_get_bound(nCap) == 1 && cap_drop_bound(nCap) != 0)
            return Failed(pstrWhy, "dropping a capability from the bounding set");
    }
    return true;
}

} // namespace

bool GiveUpRootRights(std::string* pstrWhy)
{
    errno = ENOMEM;
    const CCaps pNow(cap_get_proc(), &cap_free);
    const CCaps pNone(cap_init(), &cap_free);
    if (!pNow || !pNone)
        return Failed(pstrWhy, "reading the capabilities");
    const bool bRoot = IsRoot();
    if (!bRoot && cap_compare(pNow.get(), pNone.get()) == 0)
        return true;
    if (bRoot)
    {
        // Both steps need CAP_SETPCAP, so they come before the capabilities go.
        const unsigned nBits = cap_get_secbits();
        if ((nBits & ROOT_GETS_NOTHING) != ROOT_GETS_NOTHING && cap_set_secbits(nBits | ROOT_GETS_NOTHING) != 0)
            return Failed(pstrWhy, "locking the securebits that keep root's programs from getting capabilities");
        if (!DropBoundingSetButHelperRights(pstrWhy))
            return false;
    }
    else if (IsEffective(pNow.get(), CAP_SETPCAP) && !DropBoundingSetButHelperRights(pstrWhy))
        return false;
    if (cap_set_proc(pNone.get()) != 0)
        return Failed(pstrWhy, "clearing the capabilities");
    if (cap_reset_ambient() != 0)
        return Failed(pstrWhy, "clearing the ambient capabilities");
    return true;
}
