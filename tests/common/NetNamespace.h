#pragma once

#include <string>

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
