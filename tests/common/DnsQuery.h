#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <string>
#include <vector>

using CBytes = std::vector<unsigned char>;

// A query for one name as a stub resolver sends it, with nPadding zero bytes after the question.
CBytes MakeDnsQuery(const std::string& strName, size_t nPadding = 0);
// The address and port as a socket address of the address's family; its length, 0 if no address.
socklen_t MakeSocketAddress(const std::string& strAddress, unsigned short nPort, sockaddr_storage& address);
// False (with errno) unless the whole payload left. Either family.
bool SendUdp(int fd, const std::string& strAddress, unsigned short nPort, const CBytes& payload);
