#include "common/DnsQuery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

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
    return sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&address), nLength)
           == ssize_t(payload.size());
}
