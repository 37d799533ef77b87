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

bool SendUdp(int fd, const std::string& strAddress, unsigned short nPort, const CBytes& payload)
{
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    inet_pton(AF_INET, strAddress.c_str(), &addr.sin_addr);
    return sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) ==
           ssize_t(payload.size());
}
