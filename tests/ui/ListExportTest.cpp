// The export's bytes, the name it is written under, and what happens when writing fails.
#include "ui/ListExport.h"
#include "ui/NameListModel.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray ReadAll(const QString& strPath)
{
    QFile file(strPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void WriteAll(const QString& strPath, const QByteArray& bytes)
{
    QFile file(strPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class CListExportTest : public QObject
{
    Q_OBJECT

private slots:
    void FormatsRowsNewestFirstWithTrailingTabsAndCr()
    {
        CNameListModel list;
        QVERIFY(list.AddName("mail.example.org"));
        QVERIFY(list.AddName("ns1.example.net"));
        const QByteArray expected = "ns1.example.net\t" + list.GetCellText(0, 1) + "\t\r"
                                    "mail.example.org\t" + list.GetCellText(1, 1) + "\t\r";
        QCOMPARE(CListExport::FormatText(list), expected);
        QVERIFY(!expected.contains('\n'));
    }

    void WritesLfInsideACellAsCrLfAndKeepsEveryOtherByte()
    {
        CNameListModel list;
        const char name[] = "a\nb\rc\x01\xff";
        QVERIFY(list.AddName(name, sizeof name - 1));
        const QByteArray text = CListExport::FormatText(list);
        QVERIFY(text.startsWith(QByteArray("a\r\nb\rc\x01\xff\t")));
        QCOMPARE(text.count('\n'), 1);
    }

    void EmptyListGivesNoBytes()
    {
        CNameListModel list;
        QVERIFY(CListExport::FormatText(list).isEmpty());

        QTemporaryDir dir;
        CListExport listExport;
        QVERIFY(listExport.Write(dir.filePath("empty.txt"), QByteArray()));
        QCOMPARE(QFileInfo(dir.filePath("empty.txt")).size(), 0);
    }

    void AddsTxtOnlyWhenTheExtensionIsEmpty_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("written");
        QTest::newRow("no dot") << "/tmp/x/capture" << "/tmp/x/capture.txt";
        QTest::newRow("ends in a dot") << "/tmp/x/capture." << "/tmp/x/capture..txt";
        QTest::newRow("other extension") << "/tmp/x/capture.log" << "/tmp/x/capture.log";
        QTest::newRow("txt already") << "/tmp/x/capture.txt" << "/tmp/x/capture.txt";
        QTest::newRow("dot only in the folder") << "/tmp/x.d/capture" << "/tmp/x.d/capture.txt";
    }
    void AddsTxtOnlyWhenTheExtensionIsEmpty()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, written);
        QCOMPARE(CListExport::AddDefaultExtension(chosen), written);
    }

    void ReplacesAnExistingFileWhole()
    {
        QTemporaryDir dir;
        const QString strPath = dir.filePath("capture.txt");
        WriteAll(strPath, QByteArray(4096, 'x'));
        CListExport listExport;
        QVERIFY(listExport.Write(strPath, "new\t\r"));
        QCOMPARE(ReadAll(strPath), QByteArray("new\t\r"));
    }

    void MissingFolderIsReportedWithTheFileName()
    {
        QTemporaryDir dir;
        const QString strPath = dir.filePath("no/such/folder/capture.txt");
        CListExport listExport;
        QVERIFY(!listExport.Write(strPath, "x"));
        QVERIFY(listExport.GetErrorText().contains(strPath));
    }

    void ReadOnlyFolderIsReportedAndItsFileKept()
    {
        QTemporaryDir dir;
        const QString strFolder = dir.filePath("ro");
        QVERIFY(QDir().mkpath(strFolder));
        const QString strPath = strFolder + "/capture.txt";
        WriteAll(strPath, "old contents");
        // Root writes through permission bits, so there the folder becomes a read-only mount.
        const bool bMounted = geteuid() == 0
            && mount(strFolder.toLocal8Bit(), strFolder.toLocal8Bit(), nullptr, MS_BIND, nullptr) == 0
            && mount(nullptr, strFolder.toLocal8Bit(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
        if (geteuid() != 0)
            QVERIFY(chmod(strFolder.toLocal8Bit(), 0555) == 0);
        else if (!bMounted)
            QSKIP("cannot make a read-only bind mount here");

        CListExport listExport;
        const bool bWritten = listExport.Write(strPath, "new");
        const QByteArray after = ReadAll(strPath);
        if (bMounted)
            umount2(strFolder.toLocal8Bit(), MNT_DETACH);
        else
            chmod(strFolder.toLocal8Bit(), 0755);

        QVERIFY(!bWritten);
        QVERIFY(listExport.GetErrorText().contains(strPath));
        QCOMPARE(after, QByteArray("old contents"));
    }

    void DeviceThatIsFullFailsAndStaysADevice()
    {
        CListExport listExport;
        QVERIFY(!listExport.Write("/dev/full", "some names\t\r"));
        QVERIFY(listExport.GetErrorText().contains("/dev/full"));
        struct stat info {};
        QVERIFY(stat("/dev/full", &info) == 0);
        QVERIFY(S_ISCHR(info.st_mode));
    }

    void ShortWriteLeavesTheOldFileWhole()
    {
        QTemporaryDir dir;
        const QString strPath = dir.filePath("capture.txt");
        const QByteArray old(1000, 'o');
        WriteAll(strPath, old);

        // A file size limit makes the write fall short, as a full disk would.
        struct rlimit saved {};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limited = saved;
        limited.rlim_cur = 64 * 1024;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
        CListExport listExport;
        const bool bWritten = listExport.Write(strPath, QByteArray(1024 * 1024, 'n'));
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(!bWritten);
        QVERIFY(listExport.GetErrorText().contains(strPath));
        QCOMPARE(ReadAll(strPath), old);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"capture.txt"});
    }
};

QTEST_MAIN(CListExportTest)
#include "ListExportTest.moc"
