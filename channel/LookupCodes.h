#pragma once

// The numbers a lookup's record carries, shared by the BPF program that tells lookups (C, built
// against the kernel's types) and everything after it in C++: the function called, the phase, how
// the result reads, and what could not be read.

enum lookup_call
{
    LOOKUP_CALL_GETADDRINFO = 1,
    LOOKUP_CALL_GETHOSTBYNAME = 2,
    LOOKUP_CALL_GETHOSTBYNAME2 = 3,
    LOOKUP_CALL_GETHOSTBYNAME_R = 4,
    LOOKUP_CALL_GETHOSTBYNAME2_R = 5,
    LOOKUP_CALL_GETNAMEINFO = 6,
};

enum lookup_phase
{
    LOOKUP_PHASE_BEGAN = 1,
    LOOKUP_PHASE_ENDED = 2,
};

// How the result is to be read.
enum lookup_result_kind
{
    LOOKUP_KIND_UNREAD = 0, // it could not be read (a gethostbyname() that failed, a fault)
    LOOKUP_KIND_EAI = 1,    // getaddrinfo()'s and getnameinfo()'s return: 0 or EAI_*
    LOOKUP_KIND_HERRNO = 2, // the gethostbyname() family's h_errno: 0 or HOST_NOT_FOUND...
};

enum lookup_flag
{
    LOOKUP_FLAG_NAME_CUT = 1,         // the name was longer than LOOKUP_NAME_BYTES - 1
    LOOKUP_FLAG_ADDRESSES_CUT = 2,    // the result held more addresses than were read
    LOOKUP_FLAG_ADDRESSES_UNREAD = 4, // reading the result failed part of the way
};
