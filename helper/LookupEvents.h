#pragma once

// The kernel's side of telling the lookups programs ask of the C library: the fixed BPF program
// of helper/bpf/LookupEvents.bpf.c, loaded and attached as uprobes while the helper still holds
// cap_bpf and cap_perfmon, and the ring it fills, mapped into the helper.

#include "helper/EventRing.h"
#include "helper/bpf/LookupEvent.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

struct lookup_events;
struct bpf_link;

class CLookupEvents
{
public:
    CLookupEvents() = default;
    ~CLookupEvents();
    CLookupEvents(const CLookupEvents&) = delete;
    CLookupEvents& operator=(const CLookupEvents&) = delete;

    // The functions whose lookups are told, in the order the probes take them.
    static constexpr const char* FUNCTIONS[] = {"getaddrinfo",     "gethostbyname",    "gethostbyname2",
                                                "gethostbyname_r", "gethostbyname2_r", "getnameinfo"};
    // The C library the machine's programs load, as the dynamic loader found it for this helper:
    // its file and where in the file each function begins. False when it cannot be told.
    struct CLibrary
    {
        std::string strPath;
        std::uint64_t anOffsets[std::size(FUNCTIONS)] = {};
    };
    static bool FindLibrary(CLibrary& library);

    // Loads the program for the lookups of this network namespace and attaches it to every
    // lookup function of the library. False with errno: EPERM without cap_bpf and cap_perfmon,
    // EOPNOTSUPP when this build cannot, ENOENT when no library or function was found, or
    // whatever loading met. A failure leaves nothing loaded.
    bool Open();
    bool IsOpen() const { return m_ring.IsMapped(); }
    // Readable for poll() while events wait in the ring.
    int GetFd() const;

    // Calls pfnEvent(const lookup_event&) for at most nMost events, oldest first; true when more
    // were left in the ring.
    template <class F>
    bool Drain(size_t nMost, F&& pfnEvent)
    {
        // An event ends with its name.
        return m_ring.Drain<lookup_event, offsetof(lookup_event, name)>(nMost, pfnEvent);
    }

    // Events the ring had no room for, since the start.
    std::uint64_t GetLost() const;

private:
    void Close();
    // Loads the program, and attaches it through one link per program (the kernel's uprobe_multi
    // links, which need no more than cap_bpf and cap_perfmon) or, on a kernel without them,
    // through perf events, which a kernel that holds uprobes to cap_sys_admin refuses (EACCES).
    bool Load(bool bMultiLinks);
    bool AttachMulti(const CLibrary& library);
    bool AttachThroughPerf(const CLibrary& library);

    lookup_events* m_pSkeleton = nullptr;
    std::vector<bpf_link*> m_links;
    std::vector<int> m_linkFds;
    CEventRing m_ring;
};
