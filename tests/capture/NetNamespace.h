#pragma once

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// A capture side and a peer side, each a private network namespace, joined by a veth pair with
// one address of each family at each end (10.53.N.1 and fd53:N::1 capture, 10.53.N.2 and
// fd53:N::2 peer, usable at once: no duplicate address detection, no link-local address made by
// the kernel), loopback up on both. Everything is removed again by the destructor; pairs left by
// a crashed run are removed by the next one.
class CNetNamespace
{
public:
    // Empty when namespaces can be built here, otherwise the reason.
    static std::string WhyUnavailable();

    CNetNamespace();
    ~CNetNamespace();
    CNetNamespace(const CNetNamespace&) = delete;
    CNetNamespace& operator=(const CNetNamespace&) = delete;

    bool IsReady() const { return m_strError.empty(); }
    const std::string& GetErrorText() const { return m_strError; }

    const std::string& GetCaptureName() const { return m_strCapture; }
    const std::string& GetPeerName() const { return m_strPeer; }
    const std::string& GetCaptureInterface() const { return m_strCaptureIf; }
    const std::string& GetPeerInterface() const { return m_strPeerIf; }
    const std::string& GetCaptureAddress() const { return m_strCaptureAddress; }
    const std::string& GetPeerAddress() const { return m_strPeerAddress; }
    const std::string& GetCaptureAddress6() const { return m_strCaptureAddress6; }
    const std::string& GetPeerAddress6() const { return m_strPeerAddress6; }

    // Runs a shell command inside the namespace; the exit status, with stdout and stderr in *pOutput.
    static int RunIn(const std::string& strNamespace, const std::string& strCommand, std::string* pOutput = nullptr);

    // A socket made inside the namespace (a socket stays in the namespace it was made in, whatever
    // thread uses it later), bound to the address and port when strAddress is not empty; IPv6 when
    // the address is, otherwise IPv4. -1 on failure.
    static int OpenSocketIn(const std::string& strNamespace, int nType, const std::string& strAddress = {},
                            unsigned short nPort = 0);

    // Moves the calling thread into the namespace until destroyed. Threads started meanwhile are
    // created inside it and stay there.
    class CEnter
    {
    public:
        explicit CEnter(const std::string& strNamespace);
        ~CEnter();
        CEnter(const CEnter&) = delete;
        CEnter& operator=(const CEnter&) = delete;
        bool IsEntered() const { return m_bEntered; }

    private:
        int m_hPrevious = -1;
        bool m_bEntered = false;
    };

private:
    static void RemoveStalePairs();

    std::string m_strCapture, m_strPeer, m_strCaptureIf, m_strPeerIf;
    std::string m_strCaptureAddress, m_strPeerAddress, m_strCaptureAddress6, m_strPeerAddress6;
    std::string m_strError;
};

// A fixture whose test body runs on the capture side of a fresh pair: sockets it opens and threads
// it starts belong to the capture namespace. Skips where namespaces cannot be built.
class CNetNamespaceTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Silent listeners, so no datagram of the test draws an ICMP error that might pass the filter.
    int Listen(const std::string& strNamespace, const std::string& strAddress, unsigned short nPort);

    std::unique_ptr<CNetNamespace> m_pNet;
    std::unique_ptr<CNetNamespace::CEnter> m_pEnter;
    // Closed by TearDown.
    std::vector<int> m_fds;
};

// Takes CAP_NET_RAW from this process and from whatever it runs: execve grants no file capability
// after PR_SET_NO_NEW_PRIVS, and root's own set is rebuilt from the bounding set.
bool DropCaptureRight();

// Runs pfnCheck in a child process that has dropped the capture right; true when it held there.
bool HoldsWithoutCaptureRight(const std::function<bool()>& pfnCheck);

// Open descriptors and threads of this process, from /proc/self.
int CountOpenDescriptors();
int CountThreads();
// This process's children that have not been reaped yet, zombies included.
std::vector<int> ListChildProcesses();
// The value of a field of /proc/PID/status ("CapEff", "Seccomp", ...), empty when there is none.
std::string ReadProcessStatus(int nPid, const std::string& strField);
// Whether this process holds a packet socket of the current network namespace (any /proc/self/fd
// entry whose socket inode /proc/net/packet lists).
bool HoldsPacketSocket();

using CBytes = std::vector<unsigned char>;

// A query for one name as a stub resolver sends it, with nPadding zero bytes after the question.
CBytes MakeDnsQuery(const std::string& strName, size_t nPadding = 0);
// The address and port as a socket address of the address's family; its length, 0 if no address.
socklen_t MakeSocketAddress(const std::string& strAddress, unsigned short nPort, sockaddr_storage& address);
// False (with errno) unless the whole payload left. Either family.
bool SendUdp(int fd, const std::string& strAddress, unsigned short nPort, const CBytes& payload);
