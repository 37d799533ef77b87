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
    __u8 active; /* between a call's entry and its return */
    __u8 pad[6];
};
// Kept with the thread itself, for its life: found without a hash, and gone with the thread.
struct
{
    __uint(type, BPF_MAP_TYPE_TASK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct lookup_state);
} running SEC(".maps");

// Every entry of a probed function is balanced by its return: the state of a call that is no
// lookup of its own (another namespace's is not kept at all) has call 0. Returns the new lookup's
// state, or NULL; an inner call leaves its outer one in *ppOuter.
static __always_inline struct lookup_state* Begin(__u8 nCall, struct lookup_state** ppOuter)
{
    *ppOuter = NULL;
    struct task_struct* pTask = (struct task_struct*)bpf_get_current_task_btf();
    const __u64 nNow = bpf_ktime_get_ns();
    struct lookup_state* pState = bpf_task_storage_get(&running, pTask, NULL, 0);
    if (pState != NULL && pState->active && nNow - pState->event.began_ns < LOOKUP_HOLD_NS)
    {
        pState->depth++;
        *ppOuter = pState;
        return NULL;
    }
    // Loads through the task's typed pointers, which cost no helper call.
    const __u32 nNetns = pTask->nsproxy->net_ns->ns.inum;
    if (nNetns != capture_netns)
        return NULL;
    if (pState == NULL)
        pState = bpf_task_storage_get(&running, pTask, NULL, BPF_LOCAL_STORAGE_GET_F_CREATE);
    if (pState == NULL)
        return NULL;
    // All but the texts and the addresses, which are written before they are read.
    __builtin_memset(&pState->event, 0, __builtin_offsetof(struct lookup_event, address_versions));
    pState->result_at = pState->herrno_at = pState->host_at = pState->inner_herrno_at = 0;
    pState->depth = 0;
    pState->has_inner = 0;
    pState->active = 1;
    struct lookup_event* pEvent = &pState->event;
    pEvent->began_ns = nNow;
    pEvent->phase = LOOKUP_PHASE_BEGAN;
    pEvent->call = nCall;
    pEvent->netns = nNetns;
    ReadSender(pTask, &pEvent->pid, &pEvent->tid, &pEvent->uid, &pEvent->cgroup_id, &pEvent->comm);
    return pState;
}

// The helper is woken at most this often: each wakeup costs the looking-up thread an interrupt
// of its own processor, and a program that looks names up in a loop would pay it on every call.
// A query's frame wakes the helper anyway, and it drains the lookups first, so the beginning of a
// lookup that a resolver asks for is always read before the resolver's query.
#define WAKEUP_EVERY_NS (10ULL * 1000 * 1000)
__u64 last_wakeup_ns = 0;

static __always_inline void Tell(struct lookup_event* pEvent)
{
    const __u64 nNow = bpf_ktime_get_ns();
    const bool bWake = nNow - last_wakeup_ns >= WAKEUP_EVERY_NS;
    if (bWake)
        last_wakeup_ns = nNow;
    // Up to the name's end: most names are short, and what is copied is what each call pays.
    __u32 nSize = (__builtin_offsetof(struct lookup_event, name) + pEvent->name_length + 7) & ~7U;
    if (nSize > sizeof(*pEvent))
        nSize = sizeof(*pEvent);
    if (bpf_ringbuf_output(&lookups, pEvent, nSize, bWake ? BPF_RB_FORCE_WAKEUP : BPF_RB_NO_WAKEUP) != 0)
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
    struct lookup_state* pState =
        bpf_task_storage_get(&running, (struct task_struct*)bpf_get_current_task_btf(), NULL, 0);
    if (pState == NULL || !pState->active)
        return NULL;
    if (pState->depth > 0)
    {
        pState->depth--;
        *ppOuter = pState;
        return NULL;
    }
    if (pState->event.call == 0)
    {
        pState->active = 0;
        return NULL;
    }
    pState->event.ended_ns = bpf_ktime_get_ns();
    pState->event.phase = LOOKUP_PHASE_ENDED;
    return pState;
}

static __always_inline void Finish(struct lookup_state* pState)
{
    Tell(&pState->event);
    pState->active = 0;
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

// Where the gethostbyname() family leaves the entry and h_errno: the _r forms say, in their fifth
// and sixth arguments (gethostbyname2_r(), which also takes the family, in its sixth and
// seventh); the others return the entry and leave h_errno where no probe can read it.
static __always_inline void ResultPlacesOf(struct pt_regs* ctx, __u8 nCall, __u64* pResultAt, __u64* pHerrnoAt)
{
    if (nCall == LOOKUP_CALL_GETHOSTBYNAME_R)
    {
        *pResultAt = PT_REGS_PARM5(ctx);
        *pHerrnoAt = UPROBE_PARM6(ctx);
    }
    else if (nCall == LOOKUP_CALL_GETHOSTBYNAME2_R)
    {
        *pResultAt = UPROBE_PARM6(ctx);
        *pHerrnoAt = UprobeParm7(ctx);
    }
}

static __always_inline bool IsPlainHostByName(__u8 nCall)
{
    return nCall == LOOKUP_CALL_GETHOSTBYNAME || nCall == LOOKUP_CALL_GETHOSTBYNAME2;
}

static __always_inline void BeginHostByName(struct pt_regs* ctx, __u8 nCall, __u64 nName, __u8 nFamily)
{
    struct lookup_state* pOuter = NULL;
    struct lookup_state* pState = Begin(nCall, &pOuter);
    __u64 nResultAt = 0, nHerrnoAt = 0;
    // Called inside a gethostbyname() that returns no h_errno: the inner call's is the one.
    if (pOuter != NULL && IsPlainHostByName(pOuter->event.call))
    {
        ResultPlacesOf(ctx, nCall, &nResultAt, &nHerrnoAt);
        pOuter->inner_herrno_at = nHerrnoAt;
    }
    if (pState == NULL)
        return;
    if (!ReadName(&pState->event, nName))
    {
        pState->event.call = 0;
        return;
    }
    ResultPlacesOf(ctx, nCall, &nResultAt, &nHerrnoAt);
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
    if (pOuter != NULL && pOuter->inner_herrno_at != 0 && IsPlainHostByName(pOuter->event.call)
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
    BeginHostByName(ctx, LOOKUP_CALL_GETHOSTBYNAME, (__u64)pszName, AF_INET);
    return 0;
}

SEC("uprobe")
int BPF_KPROBE(OnGethostbyname2, const char* pszName, int nFamily)
{
    BeginHostByName(ctx, LOOKUP_CALL_GETHOSTBYNAME2, (__u64)pszName, (__u8)nFamily);
    return 0;
}

SEC("uprobe")
int BPF_KPROBE(OnGethostbynameR, const char* pszName)
{
    BeginHostByName(ctx, LOOKUP_CALL_GETHOSTBYNAME_R, (__u64)pszName, AF_INET);
    return 0;
}

SEC("uprobe")
int BPF_KPROBE(OnGethostbyname2R, const char* pszName, int nFamily)
{
    BeginHostByName(ctx, LOOKUP_CALL_GETHOSTBYNAME2_R, (__u64)pszName, (__u8)nFamily);
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
