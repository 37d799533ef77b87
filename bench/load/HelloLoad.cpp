// The load of new HTTPS connections that bench/load/run-hellos.sh measures the capture under:
//   HelloLoad serve ADDRESS PORT                       accepts every connection and closes it
//   HelloLoad send ADDRESS PORT RATE SECONDS NAME      opens RATE connections a second for SECONDS,
//                                                      each sending one ClientHello for NAME
// Each connection is what a browser's first moments of one put on the wire: the handshake, a
// ClientHello of a browser's size (server name, ALPN, padding), and the end, closed with a reset so
// that no port waits in TIME_WAIT. Prints the connections sent.
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using CBytes = std::vector<unsigned char>;

void Put(CBytes& bytes, std::uint32_t nValue, size_t nBytes)
{
    for (size_t i = nBytes; i > 0; --i)
        bytes.push_back(static_cast<unsigned char>(nValue >> (8 * (i - 1))));
}

CBytes Counted(size_t nLengthBytes, const CBytes& inside)
{
    CBytes bytes;
    Put(bytes, std::uint32_t(inside.size()), nLengthBytes);
    bytes.insert(bytes.end(), inside.begin(), inside.end());
    return bytes;
}

CBytes Extension(std::uint16_t nType, const CBytes& data)
{
    CBytes bytes;
    Put(bytes, nType, 2);
    const CBytes inside = Counted(2, data);
    bytes.insert(bytes.end(), inside.begin(), inside.end());
    return bytes;
}

CBytes Hello(const std::string& strName)
{
    CBytes name {0};
    const CBytes host = Counted(2, CBytes(strName.begin(), strName.end()));
    name.insert(name.end(), host.begin(), host.end());
    CBytes alpn;
    for (const std::string strProtocol : {"h2", "http/1.1"})
    {
        const CBytes protocol = Counted(1, CBytes(strProtocol.begin(), strProtocol.end()));
        alpn.insert(alpn.end(), protocol.begin(), protocol.end());
    }
    CBytes extensions;
    for (const CBytes& extension : {Extension(0, Counted(2, name)), Extension(16, Counted(2, alpn)),
                                    Extension(51, CBytes(38, 0x11)), Extension(21, CBytes(400, 0))})
        extensions.insert(extensions.end(), extension.begin(), extension.end());
    CBytes body {3, 3};
    body.resize(body.size() + 32, 0x5a);
    body.push_back(32);
    body.resize(body.size() + 32, 0x33);
    const CBytes suites = Counted(2, {0x13, 0x01, 0x13, 0x02, 0x13, 0x03, 0xc0, 0x2b});
    body.insert(body.end(), suites.begin(), suites.end());
    body.insert(body.end(), {1, 0});
    const CBytes list = Counted(2, extensions);
    body.insert(body.end(), list.begin(), list.end());
    CBytes handshake {1};
    const CBytes inside = Counted(3, body);
    handshake.insert(handshake.end(), inside.begin(), inside.end());
    CBytes record {22, 3, 1};
    const CBytes payload = Counted(2, handshake);
    record.insert(record.end(), payload.begin(), payload.end());
    return record;
}

sockaddr_in Address(const char* pszAddress, const char* pszPort)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(std::atoi(pszPort)));
    if (inet_pton(AF_INET, pszAddress, &address.sin_addr) != 1)
    {
        std::fprintf(stderr, "HelloLoad: not an IPv4 address: %s\n", pszAddress);
        std::exit(2);
    }
    return address;
}

int Serve(const sockaddr_in& address)
{
    const int hListen = socket(AF_INET, SOCK_STREAM, 0);
    const int nOn = 1;
    setsockopt(hListen, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    if (bind(hListen, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 || listen(hListen, 4096) != 0)
    {
        std::perror("HelloLoad serve");
        return 1;
    }
    for (;;)
    {
        const int hConnection = accept(hListen, nullptr, nullptr);
        if (hConnection >= 0)
            close(hConnection);
    }
}

int Send(const sockaddr_in& address, double dRate, double dSeconds, const std::string& strName)
{
    const CBytes hello = Hello(strName);
    const linger reset {1, 0};
    using CClock = std::chrono::steady_clock;
    const auto start = CClock::now();
    const auto period = std::chrono::duration<double>(1.0 / dRate);
    const auto nTotal = static_cast<unsigned long>(dRate * dSeconds);
    unsigned long nSent = 0;
    for (unsigned long i = 0; i < nTotal; ++i)
    {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<CClock::duration>(period * double(i)));
        const int hSocket = socket(AF_INET, SOCK_STREAM, 0);
        if (hSocket < 0)
            continue;
        if (connect(hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0
            && write(hSocket, hello.data(), hello.size()) == ssize_t(hello.size()))
            ++nSent;
        setsockopt(hSocket, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        close(hSocket);
    }
    std::printf("sent %lu\n", nSent);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "serve") == 0)
        return Serve(Address(argv[2], argv[3]));
    if (argc == 7 && std::strcmp(argv[1], "send") == 0)
        return Send(Address(argv[2], argv[3]), std::atof(argv[4]), std::atof(argv[5]), argv[6]);
    std::fputs("usage: HelloLoad serve ADDRESS PORT | send ADDRESS PORT RATE SECONDS NAME\n", stderr);
    return 2;
}
