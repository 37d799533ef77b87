// The export's bytes, the name it is written under, what it refuses to write to, and what happens
// when writing fails.
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

// Enough names to fill many of the pieces the export writes; every hundredth holds an LF.
void FillList(CNameListModel& list, int nCount)
{
    for (int i = 0; i < nCount; ++i)
        list.AddName(QByteArray("host") + QByteArray::number(i) + (i % 100 ? ".example.net" : ".exam\nple.net"));
}

mode_t ModeOf(const QString& strPath)
{
    struct stat info
    {};
    return lstat(QFile::encodeName(strPath).constData(), &info) == 0 ? info.st_mode : 0;
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
        const QByteArray expected = "ns1.example.net\t" + list.GetCellText(0, 1)
                                    + "\t\r"
                                      "mail.example.org\t"
                                    + list.GetCellText(1, 1) + "\t\r";
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
        QVERIFY(listExport.Write(dir.filePath("empty.txt"), list));
        QCOMPARE(QFileInfo(dir.filePath("empty.txt")).size(), 0);
    }

    void StreamsTheFormattedBytesIntoANewFile()
    {
        CNameListModel list;
        FillList(list, 20000);
        QTemporaryDir dir;
        const QString strPath = dir.filePath("capture.txt");
        const mode_t nOldMask = umask(027);
        CListExport listExport;
        const bool bWritten = listExport.Write(strPath, list);
        umask(nOldMask);
        QVERIFY2(bWritten, qPrintable(listExport.GetErrorText()));
        const QByteArray saved = ReadAll(strPath);
        QVERIFY(saved.size() > 8 * 64 * 1024);
        QCOMPARE(saved, CListExport::FormatText(list));
        QCOMPARE(saved.count('\n'), 200);
        QCOMPARE(ModeOf(strPath) & 0777, mode_t(0640));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList {"capture.txt"});
    }

    void AddsTxtOnlyWhenTheExtensionIsEmpty_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("written");
        QTest::newRow("no dot") << "/tmp/x/capture"
                                << "/tmp/x/capture.txt";
        QTest::newRow("ends in a dot") << "/tmp/x/capture."
                                       << "/tmp/x/capture..txt";
        QTest::newRow("other extension") << "/tmp/x/capture.log"
                                         << "/tmp/x/capture.log";
        QTest::newRow("txt already") << "/tmp/x/capture.txt"
                                     << "/tmp/x/capture.txt";
        QTest::newRow("dot only in the folder") << "/tmp/x.d/capture"
                                                << "/tmp/x.d/capture.txt";
    }
    void AddsTxtOnlyWhenTheExtensionIsEmpty()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, written);
        QCOMPARE(CListExport::AddDefaultExtension(chosen), written);
    }

    void ReplacesAnExistingFileWholeKeepingItsPermissions()
    {
        QTemporaryDir dir;
        const QString strPath = dir.filePath("capture.txt");
        WriteAll(strPath, QByteArray(4096, 'x'));
        QVERIFY(chmod(QFile::encodeName(strPath).constData(), 0604) == 0);
        CNameListModel list;
        QVERIFY(list.AddName("new.example"));
        CListExport listExport;
        QVERIFY(listExport.Write(strPath, list));
        QCOMPARE(ReadAll(strPath), CListExport::FormatText(list));
        QCOMPARE(ModeOf(strPath) & 0777, mode_t(0604));
    }

    void MissingFolderIsReportedWithTheFileName()
    {
        QTemporaryDir dir;
        const QString strPath = dir.filePath("no/such/folder/capture.txt");
        CNameListModel list;
        CListExport listExport;
        QVERIFY(!listExport.Write(strPath, list));
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
        const bool bMounted =
            geteuid() == 0 && mount(strFolder.toLocal8Bit(), strFolder.toLocal8Bit(), nullptr, MS_BIND, nullptr) == 0
            && mount(nullptr, strFolder.toLocal8Bit(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
        if (geteuid() != 0)
            QVERIFY(chmod(strFolder.toLocal8Bit(), 0555) == 0);
        else if (!bMounted)
            QSKIP("cannot make a read-only bind mount here");

        CNameListModel list;
        list.AddName("new.example");
        CListExport listExport;
        const bool bWritten = listExport.Write(strPath, list);
        const QByteArray after = ReadAll(strPath);
        if (bMounted)
            umount2(strFolder.toLocal8Bit(), MNT_DETACH);
        else
            chmod(strFolder.toLocal8Bit(), 0755);

        QVERIFY(!bWritten);
        QVERIFY(listExport.GetErrorText().contains(strPath));
        QCOMPARE(after, QByteArray("old contents"));
    }

    // Nothing at these paths is opened: a pipe without a reader would hold the window forever, and
    // a link in a shared folder may point into someone else's files.
    void RefusesLinksFoldersPipesAndDevicesAndLeavesThemAlone()
    {
        QTemporaryDir dir;
        const QString strTarget = dir.filePath("private/capture.txt");
        QVERIFY(QDir().mkpath(dir.filePath("private")));
        WriteAll(strTarget, "not yours");
        QVERIFY(QFile::link(strTarget, dir.filePath("link.txt")));
        QVERIFY(QFile::link(dir.filePath("private/nothing.txt"), dir.filePath("dangling.txt")));
        QVERIFY(mkfifo(QFile::encodeName(dir.filePath("pipe.txt")).constData(), 0600) == 0);

        CNameListModel list;
        list.AddName("new.example");
        const struct
        {
            QString strPath;
            const char* pszReason;
            mode_t nType;
        } refused[] = {
            {dir.filePath("link.txt"), "It is a symbolic link. Choose the file it points to, or another name.",
             S_IFLNK},
            {dir.filePath("dangling.txt"), "It is a symbolic link.", S_IFLNK},
            {dir.filePath("pipe.txt"),
             "It is not a regular file but a folder, device, pipe or socket. Choose another name.", S_IFIFO},
            {"/dev/full", "It is not a regular file", S_IFCHR},
            {dir.filePath("private"), "It is not a regular file", S_IFDIR},
        };
        for (const auto& item : refused)
        {
            CListExport listExport;
            QVERIFY2(!listExport.Write(item.strPath, list), qPrintable(item.strPath));
            QVERIFY2(listExport.GetErrorText().startsWith(
                         QStringLiteral("The list could not be saved to %1.\n%2").arg(item.strPath, item.pszReason)),
                     qPrintable(listExport.GetErrorText()));
            QCOMPARE(ModeOf(item.strPath) & S_IFMT, item.nType);
        }
        QCOMPARE(ReadAll(strTarget), QByteArray("not yours"));
        QVERIFY(!QFileInfo::exists(dir.filePath("private/nothing.txt")));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
                 (QStringList {"dangling.txt", "link.txt", "pipe.txt"}));
    }

    void ShortWriteLeavesTheOldFileWhole()
    {
        QTemporaryDir dir;
        const QString strPath = dir.filePath("capture.txt");
        const QByteArray old(1000, 'o');
        WriteAll(strPath, old);
        CNameListModel list;
        FillList(list, 20000);

        // A file size limit makes the write fall short, as a full disk would.
        struct rlimit saved
        {};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limited = saved;
        limited.rlim_cur = 64 * 1024;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
        CListExport listExport;
        const bool bWritten = listExport.Write(strPath, list);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(!bWritten);
        QVERIFY(listExport.GetErrorText().contains(strPath));
        QCOMPARE(ReadAll(strPath), old);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList {"capture.txt"});
    }
};

QTEST_MAIN(CListExportTest)
#include "ListExportTest.moc"
