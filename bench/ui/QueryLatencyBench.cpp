// Idle latency from a query on the wire to its row in the shown window: the offscreen main dialog
// captures on loopback in a network namespace of its own (root), one query is sent every 200 ms, and
// the time until the list shows its row is measured. Prints the median and the worst of the runs,
// and how long "Run" held the window while the capture helper started.
//   QT_QPA_PLATFORM=offscreen QueryLatencyBench [QUERIES]

#include "res/Resource.h"
#include "templates/DialogTemplate.h"
#include "ui/MonitorDlg.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// A private network namespace with loopback up, so the queries reach nobody else.
bool EnterPrivateLoopback()
{
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request {};
    std::snprintf(request.ifr_name, sizeof(request.ifr_name), "lo");
    const bool bUp = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0
                     && (request.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    if (fd >= 0)
        close(fd);
    return bUp;
}

void SendQuery(int fd, int nIndex)
{
    QByteArray query("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
    const QByteArray label = "latency" + QByteArray::number(nIndex);
    query.append(char(label.size())).append(label).append("\007example", 8).append("\x00\x00\x01\x00\x01", 5);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(53);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, query.constData(), size_t(query.size()), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
}

} // namespace

int main(int argc, char** argv)
{
    if (!EnterPrivateLoopback())
    {
        std::fprintf(stderr, "needs root: a network namespace of its own with loopback up\n");
        return 1;
    }
    QApplication app(argc, argv);
    const int nQueries = argc > 1 ? std::atoi(argv[1]) : 30;
    CMonitorDlg dlg;
    dlg.show();
    auto* pCombo = GetDlgItemAs<QComboBox>(&dlg, IDC_INTERFACE);
    const int nLoopback = pCombo->findText("127.0.0.1");
    pCombo->setCurrentIndex(nLoopback);
    emit pCombo->activated(nLoopback);
    QElapsedTimer run;
    run.start();
    dlg.OnRun();
    const double dRunMs = double(run.nsecsElapsed()) / 1e6;

    // A listener, so no ICMP error comes back.
    const int hServer = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at {};
    at.sin_family = AF_INET;
    at.sin_port = htons(53);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(hServer, reinterpret_cast<const sockaddr*>(&at), sizeof(at));
    const int hClient = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);

    std::vector<double> latencies;
    QElapsedTimer sent;
    int nSent = 0;
    QObject::connect(GetDlgItemAs<QTableView>(&dlg, IDC_NAME_LIST)->model(), &QAbstractItemModel::rowsInserted, [&] {
        latencies.push_back(double(sent.nsecsElapsed()) / 1e6);
        if (int(latencies.size()) == nQueries)
            QCoreApplication::quit();
    });
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, [&] {
        if (nSent == int(latencies.size()) && nSent < nQueries)
        {
            sent.start();
            SendQuery(hClient, nSent++);
        }
    });
    pace.start(200);
    // A capture that ends early says why in a message box, which is still open when time runs out.
    QString strFailure;
    QTimer::singleShot(nQueries * 400 + 5000, &app, [&strFailure] {
        if (auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            strFailure = pBox->text();
        QCoreApplication::quit();
    });
    app.exec();
    dlg.OnStop();

    if (latencies.empty())
    {
        std::fprintf(stderr, "no row appeared: %s\n", qPrintable(strFailure));
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("query to row, %zu idle queries: median %.1f ms, worst %.1f ms; \"Run\" took %.1f ms\n",
                latencies.size(), latencies[latencies.size() / 2], latencies.back(), dRunMs);
    return 0;
}
