#pragma once

// What the BPF program hands the helper for each lookup a program asks of the C library: once when
// the call begins, so that a resolver's query for it can be told, and once when it returns, with
// what it found. Shared by the program and the helper, so both lay it out alike.

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

#include "../../channel/LookupCodes.h"

// Bounded apart from the events of sent queries, so that a program that looks names up in a loop
// can crowd out only lookups, never the naming of a query.
#define LOOKUP_RING_BYTES (1024 * 1024)
// A name's text is at most 253 bytes; one more shows that it was longer.
#define LOOKUP_NAME_BYTES 256
#define LOOKUP_ADDRESSES 8

struct lookup_event
{
    __u64 began_ns; /* CLOCK_MONOTONIC */
    __u64 ended_ns; /* 0 while it runs */
    __u64 cgroup_id;
    __u32 pid; /* the kernel's tgid, in the first pid namespace */
    __u32 tid;
    __u32 uid;
    __u32 netns;
    char comm[16];
    __s32 result;
    __u8 phase;
    __u8 call;
    __u8 result_kind;
    __u8 family; /* AF_UNSPEC, AF_INET or AF_INET6, as asked; getnameinfo(): the address's */
    __u8 flags;
    __u8 addresses;
    __u8 name_length; /* of name, no NUL: the name asked, or getnameinfo()'s host found */
    __u8 pad;
    __u8 address_versions[LOOKUP_ADDRESSES]; /* 4 or 6; getnameinfo(): the address asked, first */
    __u8 address[LOOKUP_ADDRESSES][16];      /* network order; IPv4 in the first four bytes */
    char name[LOOKUP_NAME_BYTES];
};
