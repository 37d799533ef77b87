// Names the thread behind each packet this machine sends to port 53, at the moment it is queued
// to a device: the tracepoint net_dev_queue fires in the sending thread for every transmit,
// loopback and veth included, on every kernel the helper supports, and needs no kprobe. Only a
// system call on the packet's own socket names anybody: the thread's own, or the send call that
// sent the query of a packet that leaves later.
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "SenderEvent.h"
#include "TaskFacts.h"

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
// Whether the helper also tells encrypted DNS: then the packets that open a connection to port 853
// or 443 are named too, each connection's first data segment or QUIC handshake packet, and nothing
// else of it.
const volatile __u8 capture_encrypted = 0;

#define PROTO_TCP 6
#define PROTO_UDP 17
#define PF_KTHREAD 0x00200000
#define AF_INET 2
#define AF_INET6 10
// The smallest kernel stack of the architectures the helper is built for.
#define TASK_STACK_BYTES (16 * 1024)

// The send calls of a socket, each with who made it and the query it sent: a packet that leaves
// later from a softirq (after neighbour discovery, from a queue that was held) is named only by a
// send call whose DNS id and peer it carries. So a socket handed on, shared, or closed and reused at
// the same address never passes one process's query off as another's: the later sender's own call
// names it, or nobody does.
struct send_call
{
    __u64 sent_ns;
    __u64 cgroup_id;
    __u64 daddr[2]; /* as in sender_event: IPv4 in the first four bytes */
    __u32 pid;
    __u32 tid;
    __u32 uid;
    __u16 dport; /* network order */
    __u16 dns_id;
    char comm[16];
};
#define SEND_CALLS 4
struct sender
{
    __u64 inode; /* for a socket known by its address, which a new socket there does not share */
    // A send the program cannot read (io_uring, a 32-bit call, write(), sendfile, splice) may have
    // queued a packet with any id: until then, no packet of the socket is named from its calls.
    __u64 doubtful_until_ns;
    __u32 next;
    __u32 pad;
    struct send_call calls[SEND_CALLS];
};
// Keyed by the socket's address. A new socket at the address of a freed one has another inode, and
// its first send call starts the entry afresh; a packet of a closed socket, which has no inode left
// to compare, is still named only by a call with its id and peer.
struct
{
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 4096);
    __type(key, __u64);
    __type(value, struct sender);
} senders SEC(".maps");
// A new entry's first value: larger than the stack holds.
static const struct sender NO_SENDER = {};

// Longer than a packet waits for its neighbour: the kernel gives up after three probes a second
// apart.
#define SENDER_HOLD_NS (5ULL * 1000 * 1000 * 1000)

#if defined(__TARGET_ARCH_x86)
#define NR_SENDFILE 40
#define NR_SENDTO 44
#define NR_SENDMSG 46
#define NR_SPLICE 275
#define NR_SENDMMSG 307
#define TS_COMPAT 0x0002
// This libbpf names the registers of five arguments only; the sixth is the same for both kinds of
// call.
#define SYSCALL_PARM6(x) BPF_CORE_READ((x), r9)
#define SYSCALL_NUMBER(x) BPF_CORE_READ((x), orig_ax)
#elif defined(__TARGET_ARCH_arm64)
#define NR_SENDFILE 71
#define NR_SPLICE 76
#define NR_SENDTO 206
#define NR_SENDMSG 211
#define NR_SENDMMSG 269
#define TIF_32BIT 22
#define SYSCALL_PARM6(x) BPF_CORE_READ((const struct user_pt_regs*)(x), regs[5])
#define SYSCALL_NUMBER(x) BPF_CORE_READ((x), syscallno)
#else
#error "the system calls of this architecture are not known"
#endif
#define NR_IO_URING_ENTER 426
#define PF_IO_WORKER 0x00000010

// A 32-bit process's calls are numbered otherwise, and their structures laid out otherwise.
static __always_inline bool IsCompat(struct task_struct* pTask)
{
#if defined(__TARGET_ARCH_x86)
    return (BPF_CORE_READ(pTask, thread_info.status) & TS_COMPAT) != 0;
#else
    return (BPF_CORE_READ(pTask, thread_info.flags) & (1UL << TIF_32BIT)) != 0;
#endif
}

// Only a thread inside a system call sends in its own name. A packet also leaves from a softirq
// (after neighbour discovery, on a retransmission, from a queue that was held), on whatever thread
// it interrupted. A softirq runs on the interrupt stack, in a kernel thread, or on the stack of a
// thread that was interrupted in user mode; a thread that sends is on its own stack, inside a
// system call. The call, when there is one, is left in *pCall.
static __always_inline bool InSystemCall(struct task_struct* pTask, struct pt_regs** ppRegs, long* pCall)
{
    if ((BPF_CORE_READ(pTask, flags) & PF_KTHREAD) != 0)
        return false;
    const __u64 nStack = (__u64)BPF_CORE_READ(pTask, stack);
    volatile __u8 bHere = 0;
    const __u64 nHere = (__u64)&bHere;
    if (nHere < nStack || nHere >= nStack + TASK_STACK_BYTES)
        return false;
    *ppRegs = (struct pt_regs*)bpf_task_pt_regs(pTask);
    *pCall = SYSCALL_NUMBER(*ppRegs);
    return *pCall >= 0;
}

// 0 for a socket without a file: the kernel's own, or one that was closed.
static __always_inline __u64 InodeOf(struct sock* pSocket)
{
    return BPF_CORE_READ(pSocket, sk_socket, file, f_inode, i_ino);
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

// The entry of a socket, when it is that socket's; with bCreate, started afresh when the socket at
// its address is a new one.
static __always_inline struct sender* SenderOf(struct sock* pSocket, bool bCreate)
{
    const __u64 nKey = (__u64)pSocket;
    const __u64 nInode = InodeOf(pSocket);
    struct sender* pSender = bpf_map_lookup_elem(&senders, &nKey);
    if (pSender != NULL && (nInode == 0 || nInode == pSender->inode))
        return pSender;
    if (!bCreate)
        return NULL;
    bpf_map_update_elem(&senders, &nKey, &NO_SENDER, BPF_ANY);
    pSender = bpf_map_lookup_elem(&senders, &nKey);
    if (pSender != NULL)
        pSender->inode = nInode;
    return pSender;
}

// Names the packet from the send call that sent its query: the one call of the socket's recent
// ones with its id and peer, or the calls that agree on who made them. Several calls from different
// processes with the same id and peer name nobody.
static __always_inline void TakeFromCalls(struct sender* pSender, struct sender_event* pEvent)
{
    if (pEvent->ktime_ns < pSender->doubtful_until_ns)
        return;
    __u64 nTo[2] = {};
    __builtin_memcpy(nTo, pEvent->daddr, sizeof(nTo));
    const struct send_call* pFound = NULL;
    for (int i = 0; i < SEND_CALLS; ++i)
    {
        const struct send_call* pCall = &pSender->calls[i];
        if (pCall->sent_ns == 0 || pEvent->ktime_ns >= pCall->sent_ns + SENDER_HOLD_NS
            || pCall->dns_id != pEvent->dns_id || pCall->dport != bpf_htons(pEvent->dport) || pCall->daddr[0] != nTo[0]
            || pCall->daddr[1] != nTo[1])
            continue;
        if (pFound != NULL && pFound->pid != pCall->pid)
            return;
        pFound = pCall;
    }
    if (pFound == NULL)
        return;
    pEvent->sender_known = 1;
    pEvent->pid = pFound->pid;
    pEvent->tid = pFound->tid;
    pEvent->uid = pFound->uid;
    pEvent->cgroup_id = pFound->cgroup_id;
    __builtin_memcpy(pEvent->comm, pFound->comm, sizeof(pEvent->comm));
}

static __always_inline void TakeSender(struct sock* pSocket, struct task_struct* pTask, struct sender_event* pEvent)
{
    struct pt_regs* pRegs = NULL;
    long nCall = -1;
    bool bOwnCall = false;
    if (InSystemCall(pTask, &pRegs, &nCall))
    {
        // A softirq may also run at the end of another thread's system call, and send a packet
        // that waited: the thread names the packet only when its call is on this very socket.
        // A closed socket, or the kernel's own, has no file, as no call's first argument has.
        const struct file* pFile = FileAt(BPF_CORE_READ(pTask, files), PT_REGS_PARM1_CORE_SYSCALL(pRegs));
        bOwnCall = pFile != NULL && pFile == BPF_CORE_READ(pSocket, sk_socket, file);
    }
    const bool bUdp = pEvent->protocol == PROTO_UDP;
    if (bUdp)
    {
        const bool bReadCall = !IsCompat(pTask) && (nCall == NR_SENDTO || nCall == NR_SENDMSG || nCall == NR_SENDMMSG);
        if ((bOwnCall && !bReadCall) || nCall == NR_IO_URING_ENTER || nCall == NR_SPLICE
            || (BPF_CORE_READ(pTask, flags) & PF_IO_WORKER) != 0)
        {
            struct sender* pSender = SenderOf(pSocket, true);
            if (pSender != NULL)
                pSender->doubtful_until_ns = pEvent->ktime_ns + SENDER_HOLD_NS;
        }
        else if (!bOwnCall && pEvent->id_known)
        {
            struct sender* pSender = SenderOf(pSocket, false);
            if (pSender != NULL)
                TakeFromCalls(pSender, pEvent);
        }
    }
    if (!bOwnCall)
        return;
    pEvent->sender_known = 1;
    ReadSender(pTask, &pEvent->pid, &pEvent->tid, &pEvent->uid, &pEvent->cgroup_id, &pEvent->comm);
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
    __u64 nTcpPayload = 0;
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
        nTcpPayload = nIpPayload - nHeader;
    }
    else
        return 0;
    if (e.dport != SENDER_PORT
        && !(capture_encrypted && (e.dport == ENCRYPTED_TLS_PORT || e.dport == ENCRYPTED_HTTPS_PORT)))
        return 0;
    // Of a connection to those ports only what opens it is named: over TCP its first data, sent
    // when the socket has sent nothing else (its hello, or what the filter drops anyway); over UDP a
    // QUIC packet of the handshake, with the long header and the fixed bit. The data of one that
    // runs is never named.
    if (e.dport != SENDER_PORT && e.protocol == PROTO_TCP
        && BPF_CORE_READ((struct tcp_sock*)pSocket, bytes_sent) != nTcpPayload)
        return 0;
    if (e.dport != SENDER_PORT && e.protocol == PROTO_UDP)
    {
        __u8 nQuicFirst = 0;
        if (nDns >= nTail || bpf_probe_read_kernel(&nQuicFirst, 1, pHead + nDns) != 0
            || (nQuicFirst & 0xC0) != 0xC0)
            return 0;
    }
    // The payload of a TCP segment usually lies in page fragments, out of reach here: such an
    // event is joined by its tuple alone.
    __u16 nId = 0;
    if (e.dport == SENDER_PORT && nDns + 2 <= nTail && bpf_probe_read_kernel(&nId, 2, pHead + nDns) == 0)
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

// The first query to a neighbour not yet found waits for it and leaves from a softirq, often after
// its socket was closed: the calls that send on UDP sockets are read at their entry, while the
// process still runs, each message of a sendmmsg() with them. Taken at the entry to each system
// call, as the trampolines that would reach the protocol's own send are not on every kernel, and
// the per-call tracepoints need the tracing file system, which the helper cannot read. write() and
// writev() are not read: every file write on the machine would walk the file table to learn it is
// not a query. A packet they send from their own thread is named there, and marks its socket
// doubtful.
#define S_IFMT 00170000
#define S_IFSOCK 0140000
// glibc sends two queries in one call; a call of more messages than this is doubtful.
#define READ_MESSAGES 8

// What a send call says of one message: its peer, as the packet will carry it, and its DNS id.
struct message_to
{
    __u64 daddr[2];
    __u16 dport; /* network order; 0: none named */
    __u16 dns_id;
    bool id_known;
};

// The peer a user's address names, an IPv4-mapped IPv6 one as the IPv4 packet carries it.
static __always_inline void ReadPeer(const void* pAddress, __u64 nLength, struct message_to* pTo)
{
    struct sockaddr_in6 address = {};
    if (pAddress == NULL || nLength < 8)
        return;
    if (bpf_probe_read_user(&address, nLength < sizeof(address) ? 8 : sizeof(address), pAddress) != 0)
        return;
    pTo->dport = address.sin6_port;
    if (address.sin6_family == AF_INET)
        __builtin_memcpy(pTo->daddr, &((const struct sockaddr_in*)&address)->sin_addr, 4);
    else if (address.sin6_family == AF_INET6 && nLength >= sizeof(address))
    {
        __builtin_memcpy(pTo->daddr, &address.sin6_addr, 16);
        if (pTo->daddr[0] == 0 && (__u32)pTo->daddr[1] == bpf_htonl(0xffff))
        {
            pTo->daddr[0] = pTo->daddr[1] >> 32;
            pTo->daddr[1] = 0;
        }
    }
    else
        pTo->dport = 0;
}

static __always_inline void ReadId(const void* pData, __u64 nLength, struct message_to* pTo)
{
    __u16 nId = 0;
    if (nLength >= 2 && bpf_probe_read_user(&nId, sizeof(nId), pData) == 0)
    {
        pTo->dns_id = bpf_ntohs(nId);
        pTo->id_known = true;
    }
}

// A message without a peer of its own goes to the socket's.
static __always_inline void ReadMessage(const struct user_msghdr* pMessage, struct message_to* pTo)
{
    ReadPeer(pMessage->msg_name, pMessage->msg_namelen, pTo);
    struct iovec first = {};
    if (pMessage->msg_iovlen > 0 && bpf_probe_read_user(&first, sizeof(first), pMessage->msg_iov) == 0)
        ReadId(first.iov_base, first.iov_len, pTo);
}

// The UDP socket behind a file descriptor of the running task, or NULL.
static __always_inline struct sock* UdpSocketAt(struct task_struct* pTask, __u64 nFd)
{
    struct file* pFile = FileAt(BPF_CORE_READ(pTask, files), nFd);
    if (pFile == NULL || (BPF_CORE_READ(pFile, f_inode, i_mode) & S_IFMT) != S_IFSOCK)
        return NULL;
    struct socket* pSocketFile = BPF_CORE_READ(pFile, private_data);
    struct sock* pSocket = BPF_CORE_READ(pSocketFile, sk);
    const __u16 nFamily = BPF_CORE_READ(pSocket, __sk_common.skc_family);
    if ((nFamily != AF_INET && nFamily != AF_INET6) || BPF_CORE_READ(pSocket, sk_protocol) != PROTO_UDP)
        return NULL;
    return pSocket;
}

// Fills in the socket's peer for a message that names none; true when the message is a query.
static __always_inline bool IsQuery(struct sock* pSocket, struct message_to* pTo)
{
    if (pTo->dport == 0)
    {
        pTo->dport = BPF_CORE_READ(pSocket, __sk_common.skc_dport);
        const bool bMapped =
            BPF_CORE_READ(pSocket, __sk_common.skc_v6_daddr.in6_u.u6_addr32[0]) == 0
            && BPF_CORE_READ(pSocket, __sk_common.skc_v6_daddr.in6_u.u6_addr32[1]) == 0
            && BPF_CORE_READ(pSocket, __sk_common.skc_v6_daddr.in6_u.u6_addr32[2]) == bpf_htonl(0xffff);
        if (BPF_CORE_READ(pSocket, __sk_common.skc_family) == AF_INET6 && !bMapped)
            BPF_CORE_READ_INTO(&pTo->daddr, pSocket, __sk_common.skc_v6_daddr);
        else
            pTo->daddr[0] = BPF_CORE_READ(pSocket, __sk_common.skc_daddr);
    }
    return pTo->dport == bpf_htons(SENDER_PORT) && pTo->id_known;
}

static __always_inline void Remember(struct sender* pSender, struct task_struct* pTask, const struct message_to* pTo,
                                     __u64 nNow)
{
    struct send_call* pCall = &pSender->calls[pSender->next++ % SEND_CALLS];
    pCall->sent_ns = nNow;
    pCall->daddr[0] = pTo->daddr[0];
    pCall->daddr[1] = pTo->daddr[1];
    pCall->dport = pTo->dport;
    pCall->dns_id = pTo->dns_id;
    ReadSender(pTask, &pCall->pid, &pCall->tid, &pCall->uid, &pCall->cgroup_id, &pCall->comm);
}

// The call of one message, when it sends a query on a UDP socket.
static __always_inline void RememberOne(struct task_struct* pTask, __u64 nFd, struct message_to* pTo, __u64 nNow)
{
    struct sock* pSocket = UdpSocketAt(pTask, nFd);
    struct sender* pSender = pSocket != NULL && IsQuery(pSocket, pTo) ? SenderOf(pSocket, true) : NULL;
    if (pSender != NULL)
        Remember(pSender, pTask, pTo, nNow);
}

// Where a call names its peer, what it names decides before the file table is read.
static __always_inline bool MayBeQuery(const struct message_to* pTo)
{
    return pTo->dport == 0 || pTo->dport == bpf_htons(SENDER_PORT);
}

SEC("tp_btf/sys_enter")
int BPF_PROG(OnSystemCall, struct pt_regs* pRegs, long nCall)
{
    if (nCall != NR_SENDTO && nCall != NR_SENDMSG && nCall != NR_SENDMMSG)
        return 0;
    struct task_struct* pTask = (struct task_struct*)bpf_get_current_task_btf();
    // A 32-bit call is not read: its packets, named in their own thread, mark the socket doubtful.
    if (IsCompat(pTask))
        return 0;
    const __u64 nNow = bpf_ktime_get_ns();
    const __u64 nFd = PT_REGS_PARM1_CORE_SYSCALL(pRegs);
    if (nCall == NR_SENDTO)
    {
        struct message_to to = {};
        ReadPeer((const void*)PT_REGS_PARM5_CORE_SYSCALL(pRegs), SYSCALL_PARM6(pRegs), &to);
        if (!MayBeQuery(&to))
            return 0;
        ReadId((const void*)PT_REGS_PARM2_CORE_SYSCALL(pRegs), PT_REGS_PARM3_CORE_SYSCALL(pRegs), &to);
        RememberOne(pTask, nFd, &to, nNow);
        return 0;
    }
    if (nCall == NR_SENDMSG)
    {
        struct user_msghdr message;
        struct message_to to = {};
        if (bpf_probe_read_user(&message, sizeof(message), (const void*)PT_REGS_PARM2_CORE_SYSCALL(pRegs)) != 0)
            return 0;
        ReadMessage(&message, &to);
        if (MayBeQuery(&to))
            RememberOne(pTask, nFd, &to, nNow);
        return 0;
    }
    // Every message of a sendmmsg(), whichever of them goes to port 53: first only their peers, so
    // that a call with no query in it costs no more than that.
    const struct mmsghdr* pMessages = (const struct mmsghdr*)PT_REGS_PARM2_CORE_SYSCALL(pRegs);
    const __u32 nMessages = PT_REGS_PARM3_CORE_SYSCALL(pRegs);
    bool bAny = nMessages > READ_MESSAGES;
    for (__u32 i = 0; !bAny && i < READ_MESSAGES && i < nMessages; ++i)
    {
        struct user_msghdr message;
        struct message_to to = {};
        bAny = bpf_probe_read_user(&message, sizeof(message), &pMessages[i].msg_hdr) != 0;
        if (!bAny)
        {
            ReadPeer(message.msg_name, message.msg_namelen, &to);
            bAny = MayBeQuery(&to);
        }
    }
    struct sock* pSocket = bAny ? UdpSocketAt(pTask, nFd) : NULL;
    if (pSocket == NULL)
        return 0;
    struct sender* pSender = NULL;
    // A call this program cannot read whole may hold a query with any id.
    bool bDoubtful = nMessages > READ_MESSAGES;
    for (__u32 i = 0; i < READ_MESSAGES && i < nMessages; ++i)
    {
        struct user_msghdr message;
        struct message_to to = {};
        if (bpf_probe_read_user(&message, sizeof(message), &pMessages[i].msg_hdr) != 0)
        {
            bDoubtful = true;
            break;
        }
        ReadMessage(&message, &to);
        if (!IsQuery(pSocket, &to))
            continue;
        if (pSender == NULL)
            pSender = SenderOf(pSocket, true);
        if (pSender != NULL)
            Remember(pSender, pTask, &to, nNow);
    }
    if (bDoubtful && (pSender != NULL || (pSender = SenderOf(pSocket, true)) != NULL))
        pSender->doubtful_until_ns = nNow + SENDER_HOLD_NS;
    return 0;
}
