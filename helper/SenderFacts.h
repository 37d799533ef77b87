#pragma once

#include "channel/Channel.h"

#include <cstring>

// What a record carries of the process behind an event of either BPF program: both name it
// alike. The command always ends in a NUL, whatever the event holds.
template <class TEvent>
Channel::CSenderFacts SenderFactsOf(const TEvent& event)
{
    Channel::CSenderFacts facts;
    facts.nPid = event.pid;
    facts.nTid = event.tid;
    facts.nUid = event.uid;
    facts.nCgroupId = event.cgroup_id;
    facts.nNetNs = event.netns;
    static_assert(sizeof(facts.szCommand) == sizeof(event.comm));
    std::memcpy(facts.szCommand, event.comm, sizeof(facts.szCommand) - 1);
    return facts;
}
