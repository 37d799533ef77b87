#pragma once

#include <cstddef>
#include <string>
#include <vector>

using CBytes = std::vector<unsigned char>;

// A query for one name as a stub resolver sends it, with nPadding zero bytes after the question.
CBytes MakeDnsQuery(const std::string& strName, size_t nPadding = 0);
// False (with errno) unless the whole payload left.
bool SendUdp(int fd, const std::string& strAddress, unsigned short nPort, const CBytes& payload);
