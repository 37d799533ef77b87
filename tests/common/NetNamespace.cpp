#include "common/NetNamespace.h"

#include "common/DnsQuery.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <vector>
#include <unistd.h>

namespace {

constexpr char NAME_PREFIX[] = "trwcap";

std::atomic<int> s_nCounter {0};

int Run(const std::string& strCommand, std::string* pOutput = nullptr)
{
    FILE* pPipe = popen((strCommand + " 2>&1").c_str(), "r");
    if (pPipe == nullptr)
        return -1;
    std::string strOutput;
    char szChunk[512];
    size_t nRead = 0;
    while ((nRead = fread(szChunk, 1, sizeof(szChunk), pPipe)) > 0)
        strOutput.append(szChunk, nRead);
    const int nStatus = pclose(pPipe);
    if (pOutput != nullptr)
        *pOutput = strOutput;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

std::string Quote(const std::string& strText)
{
    std::string strQuoted = "'";
    for (char c : strText)
        strQuoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return strQuoted + "'";
}

std::string CanonicalIpv6(const std::string& strAddress)
{
    in6_addr address {};
    char szText[INET6_ADDRSTRLEN] = {};
    inet_pton(AF_INET6, strAddress.c_str(), &address);
    return inet_ntop(AF_INET6, &address, szText, sizeof(szText));
}

} // namespace

std::string CNetNamespace::WhyUnavailable()
{
    if (geteuid() != 0)
        return "needs root to build private network namespaces and open packet sockets";
    if (Run("ip netns list") != 0)
        return "the ip command cannot list network namespaces";
    return {};
}

void CNetNamespace::RemoveStalePairs()
{
    std::string strList;
    Run("ip netns list", &strList);
    std::istringstream lines(strList);
    std::string strLine;
    while (std::getline(lines, strLine))
    {
        const std::string strName = strLine.substr(0, strLine.find(' '));
        if (strName.rfind(NAME_PREFIX, 0) != 0)
            continue;
        // Names carry the creating process id: a pair whose process is gone is left over.
        const int nPid = std::atoi(strName.c_str() + sizeof(NAME_PREFIX) - 1);
        if (nPid > 0 && kill(nPid, 0) != 0 && errno == ESRCH)
            Run("ip netns delete " + strName);
    }
}

CNetNamespace::CNetNamespace()
{
    RemoveStalePairs();
    const int nPid = getpid();
    const int nSerial = s_nCounter.fetch_add(1);
    const std::string strStem = std::string(NAME_PREFIX) + std::to_string(nPid) + "_" + std::to_string(nSerial);
    m_strCapture = strStem + "c";
    m_strPeer = strStem + "p";
    // Interface names are limited to 15 characters.
    const std::string strIfStem = "tc" + std::to_string(nPid % 100000) + "_" + std::to_string(nSerial % 1000);
    m_strCaptureIf = strIfStem + "c";
    m_strPeerIf = strIfStem + "p";
    const std::string strNet = "10.53." + std::to_string(nSerial % 250) + ".";
    m_strCaptureAddress = strNet + "1";
    m_strPeerAddress = strNet + "2";
    // In the form inet_ntop writes (fd53:0::1 is listed as fd53::1).
    const std::string strNet6 = "fd53:" + std::to_string(nSerial % 250) + "::";
    m_strCaptureAddress6 = CanonicalIpv6(strNet6 + "1");
    m_strPeerAddress6 = CanonicalIpv6(strNet6 + "2");

    std::vector<std::string> steps = {
        "ip netns add " + m_strCapture,
        "ip netns add " + m_strPeer,
        "ip link add " + m_strCaptureIf + " netns " + m_strCapture + " type veth peer name " + m_strPeerIf + " netns "
            + m_strPeer,
    };
    for (const auto& [strNs, strIf, strAddress, strAddress6] :
         {std::tie(m_strCapture, m_strCaptureIf, m_strCaptureAddress, m_strCaptureAddress6),
          std::tie(m_strPeer, m_strPeerIf, m_strPeerAddress, m_strPeerAddress6)})
    {
        const std::string strIn = "ip -n " + strNs + " ";
        steps.insert(steps.end(), {strIn + "addr add " + strAddress + "/24 dev " + strIf,
                                   strIn + "link set " + strIf + " addrgenmode none",
                                   strIn + "addr add " + strAddress6 + "/64 dev " + strIf + " nodad",
                                   strIn + "link set lo up", strIn + "link set " + strIf + " up"});
    }
    for (const std::string& strStep : steps)
    {
        std::string strOutput;
        if (Run(strStep, &strOutput) != 0)
        {
            m_strError = strStep + ": " + strOutput;
            return;
        }
    }
    // Datagrams sent before the carrier is up would wait for address resolution or be lost.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end)
    {
        std::string strOutput;
        Run("ip -n " + m_strCapture + " link show " + m_strCaptureIf, &strOutput);
        if (strOutput.find("LOWER_UP") != std::string::npos)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_strError = "the veth pair never came up";
}

CNetNamespace::~CNetNamespace()
{
    // Deleting a namespace takes its end of the veth pair, and so the whole pair, with it.
    Run("ip netns delete " + m_strCapture);
    Run("ip netns delete " + m_strPeer);
}

int CNetNamespace::RunIn(const std::string& strNamespace, const std::string& strCommand, std::string* pOutput)
{
    return Run("ip netns exec " + strNamespace + " sh -c " + Quote(strCommand), pOutput);
}

CNetNamespace::CEnter::CEnter(const std::string& strNamespace)
{
    m_hPrevious = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int hTarget = open(("/var/run/netns/" + strNamespace).c_str(), O_RDONLY | O_CLOEXEC);
    if (m_hPrevious >= 0 && hTarget >= 0)
        m_bEntered = setns(hTarget, CLONE_NEWNET) == 0;
    if (hTarget >= 0)
        close(hTarget);
}

CNetNamespace::CEnter::~CEnter()
{
    if (m_bEntered)
        setns(m_hPrevious, CLONE_NEWNET);
    if (m_hPrevious >= 0)
        close(m_hPrevious);
}

int CNetNamespace::OpenSocketIn(const std::string& strNamespace, int nType, const std::string& strAddress,
                                unsigned short nPort)
{
    CEnter enter(strNamespace);
    if (!enter.IsEntered())
        return -1;
    sockaddr_storage address {};
    const socklen_t nLength = MakeSocketAddress(strAddress, nPort, address);
    const int fd = socket(nLength != 0 ? address.ss_family : AF_INET, nType | SOCK_CLOEXEC, 0);
    if (fd < 0 || nLength == 0)
        return fd;
    const int nOn = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), nLength) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}
