// Makes the README's picture: the real window capturing on loopback while a few queries are sent.
// Needs root (packet socket) and an X server: scripts/screenshot.sh runs it under xvfb-run.
#include "res/Resource.h"
#include "templates/DialogTemplate.h"
#include "ui/MonitorDlg.h"

#include <QApplication>
#include <QComboBox>
#include <QTableView>
#include <QTest>

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void SendQuery(const QByteArray& name)
{
    QByteArray query("\x4a\x21\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
    for (const QByteArray& label : name.split('.'))
    {
        query.append(char(label.size()));
        query.append(label);
    }
    query.append("\x00\x00\x01\x00\x01", 5);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(53);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, query.constData(), query.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(fd);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: WindowScreenshot OUTPUT.png\n");
        return 2;
    }
    CMonitorDlg dlg;
    dlg.show();
    if (!QTest::qWaitForWindowExposed(&dlg))
        return 1;

    auto* pCombo = GetDlgItemAs<QComboBox>(&dlg, IDC_INTERFACE);
    const int nLoopback = pCombo->findText("127.0.0.1");
    if (nLoopback < 0)
        return 1;
    pCombo->setCurrentIndex(nLoopback);
    emit pCombo->activated(nLoopback);
    dlg.OnRun();

    auto* pList = GetDlgItemAs<QTableView>(&dlg, IDC_NAME_LIST);
    const char* const names[] = {"www.example.org", "mail.example.net",    "cdn.assets.example.com",
                                 "ntp.example.org", "updates.example.net", "Api.Example.COM"};
    for (const char* pszName : names)
    {
        SendQuery(pszName);
        QTest::qWait(1100); // a second apart, so the times differ
    }
    if (!QTest::qWaitFor([pList] { return pList->model()->rowCount() == 6; }, 5000))
    {
        std::fprintf(stderr, "WindowScreenshot: captured %d of 6 names (root needed)\n", pList->model()->rowCount());
        return 1;
    }
    pList->selectRow(1);
    QTest::qWait(200);
    dlg.OnStop();
    return dlg.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
