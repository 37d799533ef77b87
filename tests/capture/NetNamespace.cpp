#include "NetNamespace.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
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

    const std::string steps[] = {
        "ip netns add " + m_strCapture,
        "ip netns add " + m_strPeer,
        "ip link add " + m_strCaptureIf + " netns " + m_strCapture + " type veth peer name " + m_strPeerIf +
            " netns " + m_strPeer,
        "ip -n " + m_strCapture + " addr add " + m_strCaptureAddress + "/24 dev " + m_strCaptureIf,
        "ip -n " + m_strPeer + " addr add " + m_strPeerAddress + "/24 dev " + m_strPeerIf,
        "ip -n " + m_strCapture + " link set " + m_strCaptureIf + " addrgenmode none",
        "ip -n " + m_strPeer + " link set " + m_strPeerIf + " addrgenmode none",
        "ip -n " + m_strCapture + " addr add " + m_strCaptureAddress6 + "/64 dev " + m_strCaptureIf + " nodad",
        "ip -n " + m_strPeer + " addr add " + m_strPeerAddress6 + "/64 dev " + m_strPeerIf + " nodad",
        "ip -n " + m_strCapture + " link set lo up",
        "ip -n " + m_strPeer + " link set lo up",
        "ip -n " + m_strCapture + " link set " + m_strCaptureIf + " up",
        "ip -n " + m_strPeer + " link set " + m_strPeerIf + " up",
    };
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

void CNetNamespaceTest::SetUp()
{
    const std::string strWhy = CNetNamespace::WhyUnavailable();
    if (!strWhy.empty())
        GTEST_SKIP() << strWhy;
    m_pNet = std::make_unique<CNetNamespace>();
    ASSERT_TRUE(m_pNet->IsReady()) << m_pNet->GetErrorText();
    m_pEnter = std::make_unique<CNetNamespace::CEnter>(m_pNet->GetCaptureName());
    ASSERT_TRUE(m_pEnter->IsEntered());
}

void CNetNamespaceTest::TearDown()
{
    for (int fd : m_fds)
        close(fd);
    m_pEnter.reset();
    m_pNet.reset();
}

int CNetNamespaceTest::Listen(const std::string& strNamespace, const std::string& strAddress, unsigned short nPort)
{
    const int fd = CNetNamespace::OpenSocketIn(strNamespace, SOCK_DGRAM, strAddress, nPort);
    EXPECT_GE(fd, 0);
    m_fds.push_back(fd);
    return fd;
}

bool DropCaptureRight()
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    if (geteuid() == 0 && prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0) != 0)
        return false;
    __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[0].effective &= ~(1u << CAP_NET_RAW);
    data[0].permitted &= ~(1u << CAP_NET_RAW);
    data[0].inheritable &= ~(1u << CAP_NET_RAW);
    return syscall(SYS_capset, &header, data) == 0;
}

bool HoldsWithoutCaptureRight(const std::function<bool()>& pfnCheck)
{
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0)
        _exit(DropCaptureRight() && pfnCheck() ? 0 : 1);
    int nStatus = 0;
    return waitpid(pid, &nStatus, 0) == pid && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

int CountOpenDescriptors()
{
    int nCount = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++nCount;
    return nCount;
}

int CountThreads()
{
    int nCount = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++nCount;
    return nCount;
}

std::vector<int> ListChildProcesses()
{
    std::vector<int> children;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    {
        std::ifstream list(task.path() / "children");
        int nPid = 0;
        while (list >> nPid)
            children.push_back(nPid);
    }
    return children;
}

std::string ReadProcessStatus(int nPid, const std::string& strField)
{
    std::ifstream status("/proc/" + std::to_string(nPid) + "/status");
    std::string strLine;
    while (std::getline(status, strLine))
    {
        if (strLine.rfind(strField + ":", 0) == 0)
        {
            const size_t nStart = strLine.find_first_not_of(" \t", strField.size() + 1);
            return nStart == std::string::npos ? std::string() : strLine.substr(nStart);
        }
    }
    return {};
}

bool HoldsPacketSocket()
{
    // Columns: sk RefCnt Type Proto Iface R Rmem User Inode.
    std::set<std::string> inodes;
    std::ifstream packets("/proc/net/packet");
    std::string strLine;
    std::getline(packets, strLine);
    while (std::getline(packets, strLine))
    {
        std::istringstream fields(strLine);
        std::string strField;
        for (int i = 0; i < 9 && fields >> strField; ++i)
        {
        }
        inodes.insert("socket:[" + strField + "]");
    }
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    {
        std::error_code error;
        if (inodes.count(std::filesystem::read_symlink(entry.path(), error).string()) != 0)
            return true;
    }
    return false;
}

CBytes MakeDnsQuery(const std::string& strName, size_t nPadding)
{
    CBytes query = {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    size_t nStart = 0;
    while (nStart <= strName.size())
    {
        size_t nDot = strName.find('.', nStart);
        if (nDot == std::string::npos)
            nDot = strName.size();
        query.push_back(static_cast<unsigned char>(nDot - nStart));
        query.insert(query.end(), strName.begin() + long(nStart), strName.begin() + long(nDot));
        nStart = nDot + 1;
    }
    query.insert(query.end(), {0x00, 0x00, 0x01, 0x00, 0x01});
    query.insert(query.end(), nPadding, 0);
    return query;
}

socklen_t MakeSocketAddress(const std::string& strAddress, unsigned short nPort, sockaddr_storage& address)
{
    address = {};
    auto* pIn = reinterpret_cast<sockaddr_in*>(&address);
    if (inet_pton(AF_INET, strAddress.c_str(), &pIn->sin_addr) == 1)
    {
        pIn->sin_family = AF_INET;
        pIn->sin_port = htons(nPort);
        return sizeof(sockaddr_in);
    }
    auto* pIn6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET6, strAddress.c_str(), &pIn6->sin6_addr) == 1)
    {
        pIn6->sin6_family = AF_INET6;
        pIn6->sin6_port = htons(nPort);
        return sizeof(sockaddr_in6);
    }
    return 0;
}

bool SendUdp(int fd, const std::string& strAddress, unsigned short nPort, const CBytes& payload)
{
    sockaddr_storage address {};
    const socklen_t nLength = MakeSocketAddress(strAddress, nPort, address);
    return sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&address), nLength) ==
           ssize_t(payload.size());
}
