#pragma once

// What the BPF program hands the helper for each packet a local thread sends to port 53: shared by
// the program (built against the kernel's own types) and the helper, so both lay it out alike.

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

// Bounded: a flood from another namespace fills it and is counted, it never grows. At about 100
// bytes an event, it holds some 10,000 of them, well over what arrives between two drains.
#define SENDER_RING_BYTES (1024 * 1024)
#define SENDER_PORT 53
/* What encrypted DNS goes to, when the helper tells it: over TLS or QUIC, and over HTTPS. */
#define ENCRYPTED_TLS_PORT 853
#define ENCRYPTED_HTTPS_PORT 443

struct sender_event
{
    __u64 ktime_ns; /* CLOCK_MONOTONIC, when it was sent */
    __u64 cgroup_id;
    __u32 pid; /* the kernel's tgid, in the first pid namespace */
    __u32 tid;
    __u32 uid;
    __u32 netns; /* inode of the sending device's network namespace */
    char comm[16];
    __u8 saddr[16]; /* network order; IPv4 in the first four bytes */
    __u8 daddr[16];
    __u16 sport; /* host order */
    __u16 dport;
    __u16 dns_id;
    __u8 ip_version; /* 4 or 6 */
    __u8 protocol;   /* IPPROTO_UDP or IPPROTO_TCP */
    __u8 id_known;   /* 0: the payload was not in the packet's linear part (TCP on most devices) */
    /* 0: sent by a local socket, but no system call on it names who sent it: only the tuple is
       known */
    __u8 sender_known;
    __u8 pad[6];
};
