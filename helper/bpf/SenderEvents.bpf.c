// Names the thread behind each packet this machine sends to port 53, at the moment it is queued
// to a device: the tracepoint net_dev_queue fires in the sending thread for every transmit,
// loopback and veth included, on every kernel the helper supports, and needs no kprobe.
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "SenderEvent.h"

char LICENSE[] SEC("license") = "GPL";

struct
{
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, SENDER_RING_BYTES);
} events SEC(".maps");

// Read by the helper through the skeleton's mapped .bss, with no system call.
__u64 lost_events = 0;

// Where the helper captures, set before loading: the network namespace's inode and the
// interface's index there.
const volatile __u32 capture_netns = 0;
const volatile __s32 capture_ifindex = 0;

#define PROTO_TCP 6
#define PROTO_UDP 17
#define PF_KTHREAD 0x00200000
#define AF_INET 2
#define AF_INET6 10
// The smallest kernel stack of the architectures the helper is built for.
#define TASK_STACK_BYTES (16 * 1024)

// Who last sent on a socket, from its own thread or at its send call: a packet that leaves later
// from a softirq (after neighbour discovery, a retransmission, a queue that was held) is still
// theirs. Keyed by the socket's address; the socket's inode number, which a new socket at the same
// address does not share, is kept beside the sender. A socket that was closed while its packet
// waited has no inode any more, and is known by its address alone.
struct sender
{
    __u64 inode;
    __u64 cgroup_id;
    __u64 sent_ns; /* the last send */
    // Another process sent on the socket too, recently enough that a packet of its may still wait:
    // until then a packet that leaves from a softirq might be either's, and is left unknown.
    __u64 shared_until_ns;
    // Where the sender held the socket, when it was taken at a system call: a socket it handed on
    // and closed is no longer its own, whoever sends on it next with write().
    __u64 files;
    __u32 fd;
    __u32 pid;
    __u32 tid;
    __u32 uid;
    char comm[16];
};
struct
{
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 4096);
    __type(key, __u64);
    __type(value, struct sender);
} senders SEC(".maps");

// Only a thread that sends names its sender. A packet also leaves from a softirq (after neighbour
// discovery, on a retransmission, from a queue that was held), on whatever thread it interrupted.
// A softirq runs on the interrupt stack, in a kernel thread, or on the stack of a thread that was
// interrupted in user mode; a thread that sends is on its own stack, inside a system call.
static __always_inline bool InSendingThread(struct task_struct* pTask)
{
    if ((BPF_CORE_READ(pTask, flags) & PF_KTHREAD) != 0)
        return false;
    const __u64 nStack = (__u64)BPF_CORE_READ(pTask, stack);
    volatile __u8 bHere = 0;
    const __u64 nHere = (__u64)&bHere;
    if (nHere < nStack || nHere >= nStack + TASK_STACK_BYTES)
        return false;
    struct pt_regs* pRegs = (struct pt_regs*)bpf_task_pt_regs(pTask);
#if defined(__TARGET_ARCH_x86)
    return (long)BPF_CORE_READ(pRegs, orig_ax) >= 0;
#elif defined(__TARGET_ARCH_arm64)
    return BPF_CORE_READ(pRegs, syscallno) >= 0;
#else
#error "the system call register of this architecture is not known"
#endif
}

// Longer than a packet waits for its neighbour: the kernel gives up after three probes a second
// apart.
#define SENDER_HOLD_NS (5ULL * 1000 * 1000 * 1000)

// 0 for a socket without a file: the kernel's own, or one that was closed.
static __always_inline __u64 InodeOf(struct sock* pSocket)
{
    return BPF_CORE_READ(pSocket, sk_socket, file, f_inode, i_ino);
}

static __always_inline void ReadSender(struct task_struct* pTask, struct sender* pHere)
{
    const __u64 nPidTid = bpf_get_current_pid_tgid();
    pHere->pid = nPidTid >> 32;
    pHere->tid = (__u32)nPidTid;
    pHere->uid = (__u32)bpf_get_current_uid_gid();
    pHere->cgroup_id = bpf_get_current_cgroup_id();
    // The process's command, not the thread's: dig sends from a thread it calls isc-net-0000.
    BPF_CORE_READ_STR_INTO(&pHere->comm, pTask, group_leader, comm);
}

// Taken only in a thread that holds the socket, so it always has its inode.
static __always_inline void Remember(struct sock* pSocket, struct sender* pHere, __u64 nNow)
{
    const __u64 nKey = (__u64)pSocket;
    pHere->inode = InodeOf(pSocket);
    if (pHere->inode == 0)
        return;
    pHere->sent_ns = nNow;
    pHere->shared_until_ns = 0;
    const struct sender* pLast = bpf_map_lookup_elem(&senders, &nKey);
    if (pLast != NULL && pLast->inode == pHere->inode)
    {
        pHere->shared_until_ns = pLast->shared_until_ns;
        if (pLast->pid != pHere->pid && pLast->sent_ns + SENDER_HOLD_NS > pHere->shared_until_ns)
            pHere->shared_until_ns = pLast->sent_ns + SENDER_HOLD_NS;
    }
    bpf_map_update_elem(&senders, &nKey, pHere, BPF_ANY);
}

static __always_inline struct file* FileAt(struct files_struct* pFiles, __u64 nFd)
{
    struct fdtable* pTable = BPF_CORE_READ(pFiles, fdt);
    if (nFd >= BPF_CORE_READ(pTable, max_fds))
        return NULL;
    struct file** ppFiles = BPF_CORE_READ(pTable, fd);
    struct file* pFile = NULL;
    bpf_probe_read_kernel(&pFile, sizeof(pFile), ppFiles + nFd);
    return pFile;
}

static __always_inline void TakeSender(struct sock* pSocket, struct task_struct* pTask, struct sender_event* pEvent)
{
    struct sender here = {};
    if (InSendingThread(pTask))
    {
        ReadSender(pTask, &here);
        Remember(pSocket, &here, pEvent->ktime_ns);
    }
    else
    {
        const __u64 nKey = (__u64)pSocket;
        const struct sender* pSender = bpf_map_lookup_elem(&senders, &nKey);
        if (pSender == NULL || pEvent->ktime_ns < pSender->shared_until_ns)
            return;
        const __u64 nInode = InodeOf(pSocket);
        if (nInode != 0)
        {
            if (nInode != pSender->inode)
                return;
            if (pSender->files != 0
                && FileAt((struct files_struct*)pSender->files, pSender->fd)
                       != BPF_CORE_READ(pSocket, sk_socket, file))
                return;
        }
        // Closed while its packet waited (a resolver that gave up before the neighbour answered):
        // nobody can send on it any more, so the packet is its last sender's, if that was lately.
        // The kernel's own sockets keep theirs, and stay unknown.
        else if (BPF_CORE_READ(pSocket, sk_socket) != NULL || pEvent->ktime_ns >= pSender->sent_ns + SENDER_HOLD_NS)
            return;
        __builtin_memcpy(&here, pSender, sizeof(here));
    }
    pEvent->sender_known = 1;
    pEvent->pid = here.pid;
    pEvent->tid = here.tid;
    pEvent->uid = here.uid;
    pEvent->cgroup_id = here.cgroup_id;
    __builtin_memcpy(pEvent->comm, here.comm, sizeof(pEvent->comm));
}

SEC("tp_btf/net_dev_queue")
int BPF_PROG(OnDevQueue, struct sk_buff* skb)
{
    // A forwarded packet has no socket: it is not this machine's own.
    struct sock* pSocket = BPF_CORE_READ(skb, sk);
    if (pSocket == NULL)
        return 0;
    // What a loopback device carries crosses no other device: unless it is the captured one, no
    // frame will ever come for the event. Left out, a flood on a container's own loopback cannot
    // crowd the events of captured queries out of the ring.
    struct net_device* pDevice = BPF_CORE_READ(skb, dev);
    const __u32 nNetns = BPF_CORE_READ(pDevice, nd_net.net, ns.inum);
    if ((BPF_CORE_READ(pDevice, flags) & IFF_LOOPBACK) != 0
        && (nNetns != capture_netns || BPF_CORE_READ(pDevice, ifindex) != capture_ifindex))
        return 0;
    unsigned char* pHead = BPF_CORE_READ(skb, head);
    const __u32 nNetwork = BPF_CORE_READ(skb, network_header);
    const __u32 nTail = BPF_CORE_READ(skb, tail);
    struct sender_event e = {};
    __u8 nFirst = 0;
    if (bpf_probe_read_kernel(&nFirst, 1, pHead + nNetwork) != 0)
        return 0;
    __u32 nTransport = 0, nIpPayload = 0;
    if (nFirst >> 4 == 4)
    {
        struct iphdr ip;
        if (bpf_probe_read_kernel(&ip, sizeof(ip), pHead + nNetwork) != 0)
            return 0;
        const __u32 nHeader = (nFirst & 0xf) * 4;
        // Only a first fragment starts with the transport header.
        if (nHeader < sizeof(ip) || (bpf_ntohs(ip.frag_off) & 0x1fff) != 0)
            return 0;
        e.ip_version = 4;
        e.protocol = ip.protocol;
        __builtin_memcpy(e.saddr, &ip.saddr, 4);
        __builtin_memcpy(e.daddr, &ip.daddr, 4);
        nTransport = nNetwork + nHeader;
        nIpPayload = bpf_ntohs(ip.tot_len) > nHeader ? bpf_ntohs(ip.tot_len) - nHeader : 0;
    }
    else if (nFirst >> 4 == 6)
    {
        struct ipv6hdr ip6;
        if (bpf_probe_read_kernel(&ip6, sizeof(ip6), pHead + nNetwork) != 0)
            return 0;
        e.ip_version = 6;
        e.protocol = ip6.nexthdr;
        __builtin_memcpy(e.saddr, &ip6.saddr, 16);
        __builtin_memcpy(e.daddr, &ip6.daddr, 16);
        nTransport = nNetwork + sizeof(ip6);
        nIpPayload = bpf_ntohs(ip6.payload_len);
    }
    else
        return 0;

    __u32 nDns = 0;
    if (e.protocol == PROTO_UDP)
    {
        struct udphdr udp;
        if (bpf_probe_read_kernel(&udp, sizeof(udp), pHead + nTransport) != 0)
            return 0;
        e.sport = bpf_ntohs(udp.source);
        e.dport = bpf_ntohs(udp.dest);
        nDns = nTransport + sizeof(udp);
        if (nIpPayload < sizeof(udp) + 2)
            return 0;
    }
    else if (e.protocol == PROTO_TCP)
    {
        struct tcphdr tcp;
        if (bpf_probe_read_kernel(&tcp, sizeof(tcp), pHead + nTransport) != 0)
            return 0;
        e.sport = bpf_ntohs(tcp.source);
        e.dport = bpf_ntohs(tcp.dest);
        // Only a thread that holds the socket sends in its own name: a retransmission, or a
        // segment sent when an acknowledgement came in, runs on whatever thread it interrupted.
        if (BPF_CORE_READ(pSocket, sk_lock.owned) == 0)
            return 0;
        const __u32 nHeader = tcp.doff * 4;
        // The id follows the message's two-byte length; a segment without payload carries none.
        nDns = nTransport + nHeader + 2;
        if (nIpPayload < nHeader + 4)
            return 0;
    }
    else
        return 0;
    if (e.dport != SENDER_PORT)
        return 0;
    // The payload of a TCP segment usually lies in page fragments, out of reach here: such an
    // event is joined by its tuple alone.
    __u16 nId = 0;
    if (nDns + 2 <= nTail && bpf_probe_read_kernel(&nId, 2, pHead + nDns) == 0)
    {
        e.dns_id = bpf_ntohs(nId);
        e.id_known = 1;
    }

    e.ktime_ns = bpf_ktime_get_ns();
    TakeSender(pSocket, (struct task_struct*)bpf_get_current_task_btf(), &e);
    e.netns = nNetns;
    // The kernel's own choice: a wakeup only for the first event after the helper drained the ring
    // to its end, one per drain however many follow. The helper waits for it only after a quiet
    // spell, so a flood is drained from its first event on, and a busy resolver costs no turn.
    if (bpf_ringbuf_output(&events, &e, sizeof(e), 0) != 0)
        __sync_fetch_and_add(&lost_events, 1);
    return 0;
}

// The first query to a neighbour not yet found waits for it and leaves from a softirq, on a socket
// that net_dev_queue may never have seen sending: its sender is remembered at the send call, while
// the process still runs. Taken at the entry to each system call, as the trampolines that would
// reach the protocol's own send are not on every kernel, and the per-call tracepoints need the
// tracing file system, which the helper cannot read. write() and writev() are not watched: every
// file write on the machine would walk the file table to learn it is not a query. A connected
// socket that sends with them was connected in its own thread, and connect is where its peer is
// set.
#if defined(__TARGET_ARCH_x86)
#define NR_CONNECT 42
#define NR_SENDTO 44
#define NR_SENDMSG 46
#define NR_SENDMMSG 307
#define TS_COMPAT 0x0002
// This libbpf names the registers of five arguments only; the sixth is the same for both kinds of
// call.
#define SYSCALL_PARM6(x) BPF_CORE_READ((x), r9)
#elif defined(__TARGET_ARCH_arm64)
#define NR_CONNECT 203
#define NR_SENDTO 206
#define NR_SENDMSG 211
#define NR_SENDMMSG 269
#define TIF_32BIT 22
#define SYSCALL_PARM6(x) BPF_CORE_READ((const struct user_pt_regs*)(x), regs[5])
#endif
#define S_IFMT 00170000
#define S_IFSOCK 0140000

// The port a user's address names, network order (at the same place in both families'), or 0.
static __always_inline __u16 PortIn(const void* pAddress, __u64 nLength)
{
    __u16 nPort = 0;
    if (pAddress == NULL || nLength < 4 || bpf_probe_read_user(&nPort, sizeof(nPort), (const __u8*)pAddress + 2) != 0)
        return 0;
    return nPort;
}

SEC("tp_btf/sys_enter")
int BPF_PROG(OnSystemCall, struct pt_regs* pRegs, long nCall)
{
    if (nCall != NR_SENDTO && nCall != NR_SENDMSG && nCall != NR_SENDMMSG && nCall != NR_CONNECT)
        return 0;
    struct task_struct* pTask = (struct task_struct*)bpf_get_current_task_btf();
    // A 32-bit process's calls are numbered otherwise.
#if defined(__TARGET_ARCH_x86)
    if ((BPF_CORE_READ(pTask, thread_info.status) & TS_COMPAT) != 0)
        return 0;
#elif defined(__TARGET_ARCH_arm64)
    if ((BPF_CORE_READ(pTask, thread_info.flags) & (1UL << TIF_32BIT)) != 0)
        return 0;
#endif
    // Where the call names its peer, what it names decides before the file table is read.
    __u16 nPort = 0;
    bool bNamed = true;
    if (nCall == NR_CONNECT)
        nPort = PortIn((const void*)PT_REGS_PARM2_CORE_SYSCALL(pRegs), PT_REGS_PARM3_CORE_SYSCALL(pRegs));
    else if (nCall == NR_SENDTO)
    {
        const void* pTo = (const void*)PT_REGS_PARM5_CORE_SYSCALL(pRegs);
        bNamed = pTo != NULL;
        nPort = PortIn(pTo, SYSCALL_PARM6(pRegs));
    }
    else
    {
        // The first message of a sendmmsg() starts like a sendmsg()'s.
        struct user_msghdr message;
        if (bpf_probe_read_user(&message, sizeof(message), (const void*)PT_REGS_PARM2_CORE_SYSCALL(pRegs)) != 0)
            return 0;
        bNamed = message.msg_name != NULL;
        nPort = PortIn(message.msg_name, message.msg_namelen);
    }
    if (bNamed && nPort != bpf_htons(SENDER_PORT))
        return 0;

    const __u64 nFd = PT_REGS_PARM1_CORE_SYSCALL(pRegs);
    struct files_struct* pFiles = BPF_CORE_READ(pTask, files);
    struct file* pFile = FileAt(pFiles, nFd);
    if (pFile == NULL || (BPF_CORE_READ(pFile, f_inode, i_mode) & S_IFMT) != S_IFSOCK)
        return 0;
    struct socket* pSocketFile = BPF_CORE_READ(pFile, private_data);
    struct sock* pSocket = BPF_CORE_READ(pSocketFile, sk);
    const __u16 nFamily = BPF_CORE_READ(pSocket, __sk_common.skc_family);
    const __u16 nProtocol = BPF_CORE_READ(pSocket, sk_protocol);
    if ((nFamily != AF_INET && nFamily != AF_INET6) || (nProtocol != PROTO_UDP && nProtocol != PROTO_TCP))
        return 0;
    if (!bNamed && BPF_CORE_READ(pSocket, __sk_common.skc_dport) != bpf_htons(SENDER_PORT))
        return 0;
    struct sender here = {.files = (__u64)pFiles, .fd = nFd};
    ReadSender(pTask, &here);
    Remember(pSocket, &here, bpf_ktime_get_ns());
    return 0;
}
