#pragma once

// What loading either of the helper's BPF programs asks first and says after: the rights, libbpf
// kept quiet, and its results turned into errno.

// Asked first, so that a helper without cap_bpf and cap_perfmon never tries, and says EPERM
// whatever libbpf would have made of the refusal.
bool HoldsBpfLoadRights();
// The helper's stderr is /dev/null, and past the sandbox a write kills it: libbpf says nothing.
void SilenceLibbpf();
// libbpf returns -errno, or NULL with errno set: true for success, otherwise errno is set.
bool CheckLibbpf(int nResult);
