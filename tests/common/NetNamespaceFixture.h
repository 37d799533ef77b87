#pragma once

#include "common/NetNamespace.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

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
