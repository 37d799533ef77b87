#pragma once

#include <functional>
#include <string>
#include <vector>

// Takes CAP_NET_RAW from this process and from whatever it runs: execve grants no file capability
// after PR_SET_NO_NEW_PRIVS, and root's own set is rebuilt from the bounding set.
bool DropCaptureRight();

// Runs pfnCheck in a child process that has dropped the capture right; true when it held there.
bool HoldsWithoutCaptureRight(const std::function<bool()>& pfnCheck);

// Open descriptors of this process, from /proc/self.
int CountOpenDescriptors();
// This process's children that have not been reaped yet, zombies included.
std::vector<int> ListChildProcesses();
// The value of a field of /proc/PID/status ("CapEff", "Seccomp", ...), empty when there is none.
std::string ReadProcessStatus(int nPid, const std::string& strField);
// Whether this process holds a packet socket of the current network namespace (any /proc/self/fd
// entry whose socket inode /proc/net/packet lists).
bool HoldsPacketSocket();
