#pragma once

// What both programs say of the thread that runs them: the sender facts of a query or a lookup.
// For the programs only, built against the kernel's own types.

// The sender facts of the running thread.
static __always_inline void ReadSender(struct task_struct* pTask, __u32* pPid, __u32* pTid, __u32* pUid, __u64* pCgroup,
                                       char (*pComm)[16])
{
    const __u64 nPidTid = bpf_get_current_pid_tgid();
    *pPid = nPidTid >> 32;
    *pTid = (__u32)nPidTid;
    *pUid = (__u32)bpf_get_current_uid_gid();
    *pCgroup = bpf_get_current_cgroup_id();
    // The process's command, not the thread's: dig sends from a thread it calls isc-net-0000. Read
    // through the task's typed pointer, which costs no helper call.
    __builtin_memcpy(*pComm, pTask->group_leader->comm, sizeof(*pComm));
}
