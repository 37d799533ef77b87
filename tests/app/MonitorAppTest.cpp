// The application object names the program and runs the main dialog until it ends.
#include "app/MonitorApp.h"
#include "common/ModalAnswer.h"

#include "ProjectFacts.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>
#include <QTimer>

class CMonitorAppTest : public QObject
{
    Q_OBJECT

private slots:
    void namesTheProgram()
    {
        QCOMPARE(QApplication::applicationName(), QString("Tarrow"));
        QCOMPARE(QApplication::applicationVersion(), QString(TARROW_VERSION));
        QVERIFY(!QApplication::windowIcon().isNull());
        // The window's app id has to name the entry that is installed, or the desktop shows a stranger.
        const QStringList entries = QDir(QStringLiteral(TARROW_PACKAGING_DIR)).entryList({QStringLiteral("*.desktop")});
        QCOMPARE(entries.size(), 1);
        QCOMPARE(QGuiApplication::desktopFileName(), QFileInfo(entries.value(0)).completeBaseName());
    }

    void initInstanceReturnsWhenTheMainDialogEnds()
    {
        // Esc on the dialog ends it.
        QString strTitle;
        OnNextModal([&strTitle](QWidget* pDialog) {
            strTitle = pDialog->windowTitle();
            QTest::keyClick(pDialog, Qt::Key_Escape);
        });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { qFatal("the main dialog did not end"); });
        guard.start(10000);
        QCOMPARE(qobject_cast<CMonitorApp*>(qApp)->InitInstance(), 0);
        QCOMPARE(strTitle, QString("Tarrow"));
    }
};

int main(int argc, char** argv)
{
    // The object under test is the application itself, so QTEST_MAIN's own cannot stand in.
    CMonitorApp app(argc, argv);
    CMonitorAppTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "MonitorAppTest.moc"
