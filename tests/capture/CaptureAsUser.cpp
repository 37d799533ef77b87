// Starts a capture on 127.0.0.1 as whoever runs it, sends one DNS query to 127.0.0.1:53 and waits
// for the session to hand back its name. The package test runs it as an unprivileged user, so the
// socket has to come from the installed helper.
// Exit status: 0 the name was captured; 1 nothing arrived in time; 2 Start failed (its text is
// printed as "start failed: TEXT").

#include "capture/CaptureSession.h"
#include "common/DnsQuery.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int CAPTURE_WAIT_MS = 5000;
constexpr int RESEND_MS = 250;

class COwner : public QObject, public CCaptureOwner
{
    Q_OBJECT

public:
    explicit COwner(const QByteArray& expected) : m_expected(expected) {}

    void OnCapturedNames(const CCapturedNames& names) override
    {
        for (size_t i = 0; i < names.GetCount(); ++i)
        {
            if (names.GetName(i) != std::string_view(m_expected.constData(), size_t(m_expected.size())))
                continue;
            std::printf("captured %s\n", m_expected.constData());
            QCoreApplication::exit(0);
        }
    }

    void OnQueriesMissed(std::uint64_t) override {}

    void OnCaptureFailed() override
    {
        std::printf("capture failed\n");
        QCoreApplication::exit(1);
    }

private:
    QByteArray m_expected;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray name = "as-user-" + QByteArray::number(getpid()) + ".tarrow.example";
    COwner owner(name);
    CCaptureSession session;
    session.SetOwner(&owner, "127.0.0.1");
    if (!session.Start())
    {
        std::printf("start failed: %s\n", session.GetErrorText().c_str());
        return 2;
    }

    const int hSender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const CBytes query = MakeDnsQuery(name.toStdString());
    // Sent again until seen: the first copy may leave before the helper's ring is in place.
    const auto send = [&]() { SendUdp(hSender, "127.0.0.1", 53, query); };
    QTimer resend;
    QObject::connect(&resend, &QTimer::timeout, send);
    resend.start(RESEND_MS);
    send();
    QTimer::singleShot(CAPTURE_WAIT_MS, &app, []() {
        std::printf("nothing captured within %d ms\n", CAPTURE_WAIT_MS);
        QCoreApplication::exit(1);
    });

    const int nResult = QCoreApplication::exec();
    session.Stop();
    close(hSender);
    return nResult;
}

#include "CaptureAsUser.moc"
