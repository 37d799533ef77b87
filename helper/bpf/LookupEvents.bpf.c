// Tells each lookup a program asks of the C library: the name and family at the call's entry,
// and at its return what it found and when. Attached by the helper, as uprobes, to the functions
// of the libc the machine's programs load: getaddrinfo(), the gethostbyname() family and
// getnameinfo(). A lookup that the library answers from the hosts file, a cache or a local
// resolver's socket sends no packet that any capture could see; this is how it is seen.
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "LookupEvent.h"
#include "TaskFacts.h"

char LICENSE[] SEC("license") = "GPL";

struct
{
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, LOOKUP_RING_BYTES);
} lookups SEC(".maps");

// Read by the helper through the skeleton's mapped .bss, with no system call.
__u64 lost_lookups = 0;

// The network namespace the helper captures in: only its programs' lookups are told.
const volatile __u32 capture_netns = 0;

#define AF_INET 2
#define AF_INET6 10
#define AI_NUMERICHOST 0x0004
#define NI_NUMERICHOST 1
// Entries of getaddrinfo()'s list walked at most: it holds each address once per socket type.
#define LIST_READS 24
// A lookup of a thread that has run this long was left, its thread gone: the next begins afresh.
#define LOOKUP_HOLD_NS (60ULL * 1000 * 1000 * 1000)

#if defined(__TARGET_ARCH_x86)
#define UPROBE_PARM6(x) ((x)->r9)
// The seventh argument is on the stack, above the return address.
static __always_inline __u64 UprobeParm7(struct pt_regs* pRegs)
{
    __u64 nValue = 0;
    bpf_probe_read_user(&nValue, sizeof(nValue), (const void*)(pRegs->sp + 8));
    return nValue;
}
#elif defined(__TARGET_ARCH_arm64)
#define UPROBE_PARM6(x) (((const struct user_pt_regs*)(x))->regs[5])
static __always_inline __u64 UprobeParm7(struct pt_regs* pRegs)
{
    return ((const struct user_pt_regs*)pRegs)->regs[6];
}
#else
#error "the calling convention of this architecture is not known"
#endif

// The C library's structures as a 64-bit program lays them out; a 32-bit program loads another
// libc, which is not probed.
struct user_addrinfo
{
    __s32 ai_flags;
    __s32 ai_family;
    __s32 ai_socktype;
    __s32 ai_protocol;
    __u32 ai_addrlen;
    __u32 pad;
    __u64 ai_addr;
    __u64 ai_canonname;
    __u64 ai_next;
};
struct user_hostent
{
    __u64 h_name;
    __u64 h_aliases;
    __s32 h_addrtype;
    __s32 h_length;
    __u64 h_addr_list;
};

// A thread's lookup from its entry to its return. The library calls the family's functions from
// inside each other (gethostbyname() through gethostbyname_r()): those calls are counted, not
// told, and the h_errno an inner one leaves is kept for an outer one that returns none.
struct lookup_state
{
    struct lookup_event event;
    __u64 result_at; /* where the call leaves its result's pointer */
    __u64 herrno_at;
    __u64 host_at; /* getnameinfo()'s buffer */
    __u64 inner_herrno_at;
    __u32 depth;
    __s32 inner_herrno;
    __u8 has_inner;
    __u8 pad[7];
};
struct
{
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 8192);
    __type(key, __u64);
    __type(value, struct lookup_state);
} running SEC(".maps");
// A new entry's first value: larger than the stack holds.
static const struct lookup_state NO_LOOKUP = {};

// Every entry of a probed function is balanced by its return: the state of a call that is no
// lookup of its own (another namespace's is not kept at all) has call 0. Returns the new lookup's
// state, or NULL; an inner call leaves its outer one in *ppOuter.
static __always_inline struct lookup_state* Begin(__u8 nCall, struct lookup_state** ppOuter)
{
    *ppOuter = NULL;
    struct task_struct* pTask = (struct task_struct*)bpf_get_current_task_btf();
    const __u32 nNetns = BPF_CORE_READ(pTask, nsproxy, net_ns, ns.inum);
    if (nNetns != capture_netns)
        return NULL;
    const __u64 nKey = bpf_get_current_pid_tgid();
    const __u64 nNow = bpf_ktime_get_ns();
    struct lookup_state* pState = bpf_map_lookup_elem(&running, &nKey);
    if (pState != NULL && nNow - pState->event.began_ns < LOOKUP_HOLD_NS)
    {
        pState->depth++;
        *ppOuter = pState;
        return NULL;
    }
    bpf_map_update_elem(&running, &nKey, &NO_LOOKUP, BPF_ANY);
    pState = bpf_map_lookup_elem(&running, &nKey);
    if (pState == NULL)
        return NULL;
    struct lookup_event* pEvent = &pState->event;
    pEvent->began_ns = nNow;
    pEvent->phase = LOOKUP_PHASE_BEGAN;
    pEvent->call = nCall;
    pEvent->netns = nNetns;
    ReadSender(pTask, &pEvent->pid, &pEvent->tid, &pEvent->uid, &pEvent->cgroup_id, &pEvent->comm);
    return pState;
}

static __always_inline void Tell(struct lookup_event* pEvent)
{
    if (bpf_ringbuf_output(&lookups, pEvent, sizeof(*pEvent), 0) != 0)
        __sync_fetch_and_add(&lost_lookups, 1);
}

// A name's text, bounded: one that fills the buffer is marked as cut.
static __always_inline bool ReadName(struct lookup_event* pEvent, __u64 nText)
{
    const long nRead = bpf_probe_read_user_str(pEvent->name, sizeof(pEvent->name), (const void*)nText);
    if (nRead <= 1)
        return false;
    pEvent->name_length = (__u8)(nRead - 1);
    if (nRead == sizeof(pEvent->name))
        pEvent->flags |= LOOKUP_FLAG_NAME_CUT;
    return true;
}

// The state of the lookup that returns now, or NULL: an inner call's return, counted off its
// outer one (*ppOuter), or a call that was none.
static __always_inline struct lookup_state* End(struct lookup_state** ppOuter)
{
    *ppOuter = NULL;
    const __u64 nKey = bpf_get_current_pid_tgid();
    struct lookup_state* pState = bpf_map_lookup_elem(&running, &nKey);
    if (pState == NULL)
        return NULL;
    if (pState->depth > 0)
    {
        pState->depth--;
        *ppOuter = pState;
        return NULL;
    }
    if (pState->event.call == 0)
    {
        bpf_map_delete_elem(&running, &nKey);
        return NULL;
    }
    pState->event.ended_ns = bpf_ktime_get_ns();
    pState->event.phase = LOOKUP_PHASE_ENDED;
    return pState;
}

static __always_inline void Finish(struct lookup_state* pState)
{
    Tell(&pState->event);
    const __u64 nKey = bpf_get_current_pid_tgid();
    bpf_map_delete_elem(&running, &nKey);
}

static __always_inline bool SameAddress(const __u8* pA, const __u8* pB)
{
    bool bSame = true;
    for (int i = 0; i < 16; ++i)
        bSame = bSame && pA[i] == pB[i];
    return bSame;
}

// Keeps an address of the result, unless it is the one kept last (the list repeats each address
// for every socket type).
static __always_inline void KeepAddress(struct lookup_event* pEvent, __u8 nVersion, const void* pAddress)
{
    const __u32 nKept = pEvent->addresses;
    __u8 abAddress[16] = {};
    if (bpf_probe_read_user(abAddress, nVersion == 4 ? 4 : 16, pAddress) != 0)
    {
        pEvent->flags |= LOOKUP_FLAG_ADDRESSES_UNREAD;
        return;
    }
    if (nKept > 0 && nKept <= LOOKUP_ADDRESSES && pEvent->address_versions[(nKept - 1) & 7] == nVersion
        && SameAddress(pEvent->address[(nKept - 1) & 7], abAddress))
        return;
    if (nKept >= LOOKUP_ADDRESSES)
    {
        pEvent->flags |= LOOKUP_FLAG_ADDRESSES_CUT;
        return;
    }
    pEvent->address_versions[nKept & 7] = nVersion;
    __builtin_memcpy(pEvent->address[nKept & 7], abAddress, 16);
    pEvent->addresses = nKept + 1;
}

// The addresses of a socket address of the family, when it is one.
static __always_inline void KeepSocketAddress(struct lookup_event* pEvent, __s32 nFamily, __u64 nAddress)
{
    if (nFamily == AF_INET)
        KeepAddress(pEvent, 4, (const void*)(nAddress + 4));
    else if (nFamily == AF_INET6)
        KeepAddress(pEvent, 6, (const void*)(nAddress + 8));
}

static __always_inline void ReadAddrinfoList(struct lookup_event* pEvent, __u64 nNode)
{
    for (int i = 0; i < LIST_READS && nNode != 0; ++i)
    {
        struct user_addrinfo node;
        if (bpf_probe_read_user(&node, sizeof(node), (const void*)nNode) != 0)
        {
            pEvent->flags |= LOOKUP_FLAG_ADDRESSES_UNREAD;
            return;
        }
        if (node.ai_addr != 0)
            KeepSocketAddress(pEvent, node.ai_family, node.ai_addr);
        nNode = node.ai_next;
    }
    if (nNode != 0)
        pEvent->flags |= LOOKUP_FLAG_ADDRESSES_CUT;
}

static __always_inline void ReadHostent(struct lookup_event* pEvent, __u64 nHost)
{
    struct user_hostent host;
    if (bpf_probe_read_user(&host, sizeof(host), (const void*)nHost) != 0
        || (host.h_addrtype != AF_INET && host.h_addrtype != AF_INET6))
    {
        pEvent->flags |= LOOKUP_FLAG_ADDRESSES_UNREAD;
        return;
    }
    const __u8 nVersion = host.h_addrtype == AF_INET ? 4 : 6;
    for (int i = 0; i <= LOOKUP_ADDRESSES; ++i)
    {
        __u64 nAddress = 0;
        if (bpf_probe_read_user(&nAddress, sizeof(nAddress), (const void*)(host.h_addr_list + i * 8)) != 0)
        {
            pEvent->flags |= LOOKUP_FLAG_ADDRESSES_UNREAD;
            return;
        }
        if (nAddress == 0)
            return;
        KeepAddress(pEvent, nVersion, (const void*)nAddress);
    }
}

SEC("uprobe")
int BPF_KPROBE(OnGetaddrinfo, const char* pszNode, const char* pszService, const struct user_addrinfo* pHints,
               void* ppResult)
{
    struct lookup_state* pOuter = NULL;
    struct lookup_state* pState = Begin(LOOKUP_CALL_GETADDRINFO, &pOuter);
    if (pState == NULL)
        return 0;
    struct user_addrinfo hints = {};
    if (pHints != NULL)
        bpf_probe_read_user(&hints, sizeof(hints), pHints);
    // A service alone, or an address given as text, is no lookup of a name.
    if (pszNode == NULL || (hints.ai_flags & AI_NUMERICHOST) != 0 || !ReadName(&pState->event, (__u64)pszNode))
    {
        pState->event.call = 0;
        return 0;
    }
    pState->event.family = (__u8)hints.ai_family;
    pState->result_at = (__u64)ppResult;
    Tell(&pState->event);
    return 0;
}

SEC("uretprobe")
int BPF_KRETPROBE(OnGetaddrinfoReturn, int nResult)
{
    struct lookup_state* pOuter = NULL;
    struct lookup_state* pState = End(&pOuter);
    if (pState == NULL)
        return 0;
    pState->event.result_kind = LOOKUP_KIND_EAI;
    pState->event.result = nResult;
    __u64 nList = 0;
    if (nResult == 0 && bpf_probe_read_user(&nList, sizeof(nList), (const void*)pState->result_at) != 0)
        pState->event.flags |= LOOKUP_FLAG_ADDRESSES_UNREAD;
    else if (nResult == 0)
        ReadAddrinfoList(&pState->event, nList);
    Finish(pState);
    return 0;
}

static __always_inline void BeginHostByName(__u8 nCall, __u64 nName, __u8 nFamily, __u64 nResultAt, __u64 nHerrnoAt)
{
    struct lookup_state* pOuter = NULL;
    struct lookup_state* pState = Begin(nCall, &pOuter);
    if (pOuter != NULL)
        pOuter->inner_herrno_at = nHerrnoAt;
    if (pState == NULL)
        return;
    if (!ReadName(&pState->event, nName))
    {
        pState->event.call = 0;
        return;
    }
    pState->event.family = nFamily;
    pState->result_at = nResultAt;
    pState->herrno_at = nHerrnoAt;
    Tell(&pState->event);
}

// A gethostbyname() or gethostbyname2() returns the entry, or NULL with h_errno set, which lives
// where no probe can read it: the inner call's h_errno tells, when there was one.
static __always_inline void EndHostByName(__u64 nHost)
{
    struct lookup_state* pOuter = NULL;
    struct lookup_state* pState = End(&pOuter);
    if (pOuter != NULL && pOuter->inner_herrno_at != 0
        && bpf_probe_read_user(&pOuter->inner_herrno, sizeof(pOuter->inner_herrno),
                               (const void*)pOuter->inner_herrno_at)
               == 0)
        pOuter->has_inner = 1;
    if (pState == NULL)
        return;
    struct lookup_event* pEvent = &pState->event;
    if (pState->result_at != 0 && bpf_probe_read_user(&nHost, sizeof(nHost), (const void*)pState->result_at) != 0)
        nHost = 0;
    if (nHost != 0)
    {
        pEvent->result_kind = LOOKUP_KIND_HERRNO;
        pEvent->result = 0;
        ReadHostent(pEvent, nHost);
    }
    else if (pState->herrno_at != 0
             && bpf_probe_read_user(&pEvent->result, sizeof(pEvent->result), (const void*)pState->herrno_at) == 0)
        pEvent->result_kind = LOOKUP_KIND_HERRNO;
    else if (pState->has_inner)
    {
        pEvent->result_kind = LOOKUP_KIND_HERRNO;
        pEvent->result = pState->inner_herrno;
    }
    Finish(pState);
}

SEC("uprobe")
int BPF_KPROBE(OnGethostbyname, const char* pszName)
{
    BeginHostByName(LOOKUP_CALL_GETHOSTBYNAME, (__u64)pszName, AF_INET, 0, 0);
    return 0;
}

SEC("uprobe")
int BPF_KPROBE(OnGethostbyname2, const char* pszName, int nFamily)
{
    BeginHostByName(LOOKUP_CALL_GETHOSTBYNAME2, (__u64)pszName, (__u8)nFamily, 0, 0);
    return 0;
}

SEC("uprobe")
int BPF_KPROBE(OnGethostbynameR, const char* pszName)
{
    BeginHostByName(LOOKUP_CALL_GETHOSTBYNAME_R, (__u64)pszName, AF_INET, PT_REGS_PARM5(ctx), UPROBE_PARM6(ctx));
    return 0;
}

SEC("uprobe")
int BPF_KPROBE(OnGethostbyname2R, const char* pszName, int nFamily)
{
    BeginHostByName(LOOKUP_CALL_GETHOSTBYNAME2_R, (__u64)pszName, (__u8)nFamily, UPROBE_PARM6(ctx), UprobeParm7(ctx));
    return 0;
}

// Every one of the family returns through here: the _r forms return 0 or an errno, and leave the
// entry where result_at points; the others return the entry.
SEC("uretprobe")
int BPF_KRETPROBE(OnGethostbynameReturn, void* pHost)
{
    EndHostByName((__u64)pHost);
    return 0;
}

SEC("uprobe")
int BPF_KPROBE(OnGetnameinfo, const void* pAddress, __u32 nAddressLength, char* pszHost, __u32 nHostLength)
{
    struct lookup_state* pOuter = NULL;
    struct lookup_state* pState = Begin(LOOKUP_CALL_GETNAMEINFO, &pOuter);
    if (pState == NULL)
        return 0;
    struct lookup_event* pEvent = &pState->event;
    __u16 nFamily = 0;
    // Without a buffer for the host, or asked for the number, it looks up no name.
    if (pszHost == NULL || nHostLength == 0 || (UprobeParm7(ctx) & NI_NUMERICHOST) != 0
        || bpf_probe_read_user(&nFamily, sizeof(nFamily), pAddress) != 0)
        nFamily = 0;
    KeepSocketAddress(pEvent, nFamily, (__u64)pAddress);
    if (pEvent->addresses != 1)
    {
        pEvent->call = 0;
        return 0;
    }
    pEvent->family = (__u8)nFamily;
    pState->host_at = (__u64)pszHost;
    Tell(pEvent);
    return 0;
}

SEC("uretprobe")
int BPF_KRETPROBE(OnGetnameinfoReturn, int nResult)
{
    struct lookup_state* pOuter = NULL;
    struct lookup_state* pState = End(&pOuter);
    if (pState == NULL)
        return 0;
    pState->event.result_kind = LOOKUP_KIND_EAI;
    pState->event.result = nResult;
    if (nResult == 0 && !ReadName(&pState->event, pState->host_at))
        pState->event.flags |= LOOKUP_FLAG_ADDRESSES_UNREAD;
    Finish(pState);
    return 0;
}
