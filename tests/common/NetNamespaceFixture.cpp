#include "common/NetNamespaceFixture.h"

#include <sys/socket.h>
#include <unistd.h>

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
