// The export's bytes, the name it is written under, what it refuses to write to, what an existing
// file keeps, and what happens when writing fails.
#include "ui/ListExport.h"
#include "ui/NameListModel.h"

#include "common/HostileNames.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <ctime>
#include <functional>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
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

bool Add(CNameListModel& list, const QByteArray& name)
{
    return list.AddName(name.constData(), size_t(name.size()), 1783112405); // July 03 2026 21:00:05 UTC
}

// What a list holding only "new.example" saves.
const QByteArray NEW_EXAMPLE_TEXT = "new.example\tJuly 03 2026 21:00:05\t\r";

// Saves a list holding only "new.example" under the umask given: empty when written, else why not.
QString SaveNewExample(const QString& strPath, mode_t nMask = 022)
{
    CNameListModel list;
    Add(list, "new.example");
    const mode_t nOldMask = umask(nMask);
    CListExport listExport;
    const bool bWritten = listExport.Write(strPath, list);
    umask(nOldMask);
    return bWritten ? QString() : "not written: " + listExport.GetErrorText();
}

// Enough names to fill many of the pieces the export writes; every hundredth holds an LF.
void FillList(CNameListModel& list, int nCount)
{
    for (int i = 0; i < nCount; ++i)
        Add(list, QByteArray("host") + QByteArray::number(i) + (i % 100 ? ".example.net" : ".exam\nple.net"));
}

// The bytes such a list saves: newest first, the LF in its presentation form.
QByteArray FilledListText(int nCount)
{
    QByteArray text;
    for (int i = nCount - 1; i >= 0; --i)
        text += QByteArray("host") + QByteArray::number(i) + (i % 100 ? ".example.net" : ".exam\\010ple.net")
                + "\tJuly 03 2026 21:00:05\t\r";
    return text;
}

struct stat StatOf(const QString& strPath)
{
    struct stat info
    {};
    lstat(QFile::encodeName(strPath).constData(), &info);
    return info;
}

// Every extended attribute, an ACL (system.posix_acl_access) included, by name.
QMap<QByteArray, QByteArray> AttributesOf(const QString& strPath)
{
    const QByteArray baPath = QFile::encodeName(strPath);
    QByteArray names(65536, '\0');
    const ssize_t nNames = llistxattr(baPath.constData(), names.data(), size_t(names.size()));
    QMap<QByteArray, QByteArray> attributes;
    for (const QByteArray& name : names.left(qMax<ssize_t>(nNames, 0)).split('\0'))
    {
        if (name.isEmpty())
            continue;
        QByteArray value(65536, '\0');
        const ssize_t nValue = lgetxattr(baPath.constData(), name.constData(), value.data(), size_t(value.size()));
        attributes.insert(name, nValue < 0 ? QByteArray("<unreadable>") : value.left(nValue));
    }
    return attributes;
}

bool SetAcl(const QStringList& args)
{
    return QProcess::execute(QStringLiteral("setfacl"), args) == 0;
}

// Root writes through permission bits, so as root the saving runs in a child that has become
// nobody, and files it is to own are given to nobody. The child's exit code says whether fnSave held.
constexpr uid_t NOBODY = 65534;

bool AsUnprivileged(const std::function<bool()>& fnSave)
{
    if (geteuid() != 0)
        return fnSave();
    const pid_t pid = fork();
    if (pid == 0)
    {
        const bool bDropped = setgroups(0, nullptr) == 0 && setresgid(NOBODY, NOBODY, NOBODY) == 0
                              && setresuid(NOBODY, NOBODY, NOBODY) == 0;
        _exit(bDropped && fnSave() ? 0 : 1);
    }
    int nStatus = 0;
    return pid > 0 && waitpid(pid, &nStatus, 0) == pid && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

} // namespace

class CListExportTest : public QObject
{
    Q_OBJECT

private slots:
    // Times are saved in local time: one zone, so the files read the same everywhere.
    void initTestCase()
    {
        qputenv("TZ", "UTC0");
        tzset();
    }

    // A list of names, and an empty one, each in a file of its own, as the one text the list formats.
    void streamsTheFormattedBytesIntoANewFile()
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
        QCOMPARE(saved, FilledListText(20000));
        QCOMPARE(CListExport::FormatText(list), saved);
        QCOMPARE(StatOf(strPath).st_mode & 0777, mode_t(0640));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList {"capture.txt"});

        CNameListModel empty;
        QVERIFY(CListExport::FormatText(empty).isEmpty());
        QVERIFY(listExport.Write(dir.filePath("empty.txt"), empty));
        QCOMPARE(ReadAll(dir.filePath("empty.txt")), QByteArray());
    }

    // Each name a sender could aim at whatever reads the file, as the decoder hands it on, stays one
    // field of one row, as the list shows it or escaped further.
    void hostileNamesStayOneFieldOfOneRow()
    {
        for (const CHostileName& hostile : HostileNames())
        {
            CNameListModel list;
            Add(list, QByteArray(hostile.strName.data(), qsizetype(hostile.strName.size())));
            QCOMPARE(CListExport::FormatText(list).toStdString(),
                     (hostile.strSaved.empty() ? hostile.strShown : hostile.strSaved) + "\tJuly 03 2026 21:00:05\t\r");
        }
    }

    void addsTxtOnlyWhenTheExtensionIsEmpty_data()
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
    void addsTxtOnlyWhenTheExtensionIsEmpty()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, written);
        QCOMPARE(CListExport::AddDefaultExtension(chosen), written);
    }

    // Only the file is written to: the user may write it but not the folder it is in.
    void fileInAFolderTheSaverMayNotWriteIsWrittenInPlace_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("written");
        QTest::newRow("writable file") << 0644 << true;
        QTest::newRow("read-only file") << 0444 << false;
    }
    void fileInAFolderTheSaverMayNotWriteIsWrittenInPlace()
    {
        QFETCH(int, mode);
        QFETCH(bool, written);
        QTemporaryDir dir;
        QVERIFY(chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
        const QString strFolder = dir.filePath("ro");
        QVERIFY(QDir().mkpath(strFolder));
        const QString strPath = strFolder + "/capture.txt";
        WriteAll(strPath, "old contents");
        QVERIFY(geteuid() != 0 || chown(QFile::encodeName(strPath).constData(), NOBODY, NOBODY) == 0);
        QVERIFY(chmod(QFile::encodeName(strPath).constData(), mode) == 0);
        QVERIFY(chmod(QFile::encodeName(strFolder).constData(), 0555) == 0);

        const bool bAsExpected = AsUnprivileged([&] {
            const QString strError = SaveNewExample(strPath);
            if (strError.isEmpty() != written)
                qWarning("%s", qPrintable(strError));
            return written ? strError.isEmpty() && ReadAll(strPath) == NEW_EXAMPLE_TEXT
                           : ReadAll(strPath) == "old contents" && strError.contains(strPath);
        });
        chmod(QFile::encodeName(strFolder).constData(), 0755);
        QVERIFY(bAsExpected);
        QCOMPARE(QDir(strFolder).entryList(QDir::Files | QDir::Hidden), QStringList {"capture.txt"});
    }

    // Whatever else sees the file, through another link, its owner, group, permissions, ACL or
    // another attribute, sees it as before with the new text (with an ACL, the group bits are only
    // its mask), and it gains nothing from the folder. In the build tree, as tmpfs may keep no user
    // attributes.
    void keepsWhoMayDoWhatWithAnExistingFile_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("otherOwner");
        QTest::addColumn<bool>("secondLink");
        QTest::addColumn<QString>("fileAcl");
        QTest::addColumn<QByteArray>("userAttribute");
        QTest::addColumn<QString>("folderDefaultAcl");
        QTest::newRow("second hard link") << 0644 << false << true << QString() << QByteArray() << QString();
        QTest::newRow("another user's 0666 file") << 0666 << true << false << QString() << QByteArray() << QString();
        QTest::newRow("own file more open than the umask")
            << 0666 << false << false << QString() << QByteArray() << QString();
        QTest::newRow("ACL letting nobody write")
            << 0640 << false << false << "u:nobody:rw" << QByteArray() << QString();
        QTest::newRow("ACL keeping nobody out")
            << 0644 << false << false << "u:nobody:---" << QByteArray() << QString();
        QTest::newRow("user attribute") << 0640 << false << false << QString() << QByteArray("user.tarrow.kept")
                                        << QString();
        QTest::newRow("folder's default ACL") << 0640 << false << false << QString() << QByteArray() << "u:nobody:r";
    }
    void keepsWhoMayDoWhatWithAnExistingFile()
    {
        QFETCH(int, mode);
        QFETCH(bool, otherOwner);
        QFETCH(bool, secondLink);
        QFETCH(QString, fileAcl);
        QFETCH(QByteArray, userAttribute);
        QFETCH(QString, folderDefaultAcl);
        if (otherOwner && geteuid() != 0)
            QSKIP("only root can give a file to another user");
        QTemporaryDir dir(QCoreApplication::applicationDirPath() + "/ListExportTest-XXXXXX");
        QVERIFY(dir.isValid());
        const QString strPath = dir.filePath("capture.txt");
        const QByteArray baPath = QFile::encodeName(strPath);
        WriteAll(strPath, QByteArray(4096, 'x')); // longer than the new text, which replaces it whole
        QVERIFY(chmod(baPath.constData(), mode) == 0);
        if (otherOwner)
            QVERIFY(chown(baPath.constData(), NOBODY, NOBODY) == 0);
        if (secondLink)
            QVERIFY(link(baPath.constData(), QFile::encodeName(dir.filePath("other.txt")).constData()) == 0);
        if (!fileAcl.isEmpty() && !SetAcl({"-m", fileAcl, strPath}))
            QSKIP("setfacl could not give the file an ACL here");
        if (!userAttribute.isEmpty() && lsetxattr(baPath.constData(), userAttribute.constData(), "kept", 4, 0) != 0)
            QSKIP(qPrintable("the file system here keeps no user attributes: " + qt_error_string(errno)));
        if (!folderDefaultAcl.isEmpty() && !SetAcl({"-d", "-m", folderDefaultAcl, dir.path()}))
            QSKIP("setfacl could not give the folder a default ACL here");
        const QMap<QByteArray, QByteArray> attributesBefore = AttributesOf(strPath);
        QCOMPARE(attributesBefore.isEmpty(), fileAcl.isEmpty() && userAttribute.isEmpty());
        const struct stat before = StatOf(strPath);

        // The umask of users with a group of their own, which lets a new file's mode match an ACL's mask.
        QCOMPARE(SaveNewExample(strPath, 002), QString());
        const struct stat after = StatOf(strPath);
        QCOMPARE(ReadAll(strPath), NEW_EXAMPLE_TEXT);
        QCOMPARE(AttributesOf(strPath), attributesBefore);
        QCOMPARE(after.st_nlink, before.st_nlink);
        QCOMPARE(after.st_uid, before.st_uid);
        QCOMPARE(after.st_gid, before.st_gid);
        QCOMPARE(after.st_mode, before.st_mode);
        if (secondLink)
            QCOMPARE(ReadAll(dir.filePath("other.txt")), NEW_EXAMPLE_TEXT);
        // The same file: a new one with these permissions would be more open than the umask allows.
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), secondLink ? 2 : 1);
    }

    // In a sticky folder that others may write, a file laid out by another user is never filled,
    // root's save included, as the kernel's protected_regular would refuse even where it is off.
    void refusesAnotherUsersFileInASharedStickyFolder_data()
    {
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<uint>("folderOwner");
        QTest::addColumn<uint>("fileOwner");
        QTest::addColumn<bool>("saved");
        QTest::newRow("another user's file, all may write") << 01777 << 0u << uint(NOBODY) << false;
        QTest::newRow("another user's file, the group may write") << 01770 << 0u << uint(NOBODY) << false;
        QTest::newRow("another user's file, only the owner may write") << 01755 << 0u << uint(NOBODY) << true;
        QTest::newRow("the saver's file") << 01777 << 0u << 0u << true;
        QTest::newRow("the folder owner's file") << 01777 << uint(NOBODY) << uint(NOBODY) << true;
    }
    void refusesAnotherUsersFileInASharedStickyFolder()
    {
        QFETCH(int, folderMode);
        QFETCH(uint, folderOwner);
        QFETCH(uint, fileOwner);
        QFETCH(bool, saved);
        if (geteuid() != 0)
            QSKIP("only root can give a file and a folder to another user");
        QTemporaryDir dir;
        const QString strFolder = dir.filePath("shared");
        const QString strPath = strFolder + "/names.txt";
        const QByteArray baPath = QFile::encodeName(strPath);
        QVERIFY(QDir().mkpath(strFolder));
        WriteAll(strPath, "old contents");
        QVERIFY(chmod(baPath.constData(), 0666) == 0);
        QVERIFY(chown(baPath.constData(), fileOwner, fileOwner) == 0);
        QVERIFY(chown(QFile::encodeName(strFolder).constData(), folderOwner, folderOwner) == 0);
        QVERIFY(chmod(QFile::encodeName(strFolder).constData(), folderMode) == 0);
        const struct stat before = StatOf(strPath);

        const QString strError = SaveNewExample(strPath);
        const struct stat after = StatOf(strPath);
        QCOMPARE(ReadAll(strPath), saved ? NEW_EXAMPLE_TEXT : QByteArray("old contents"));
        QCOMPARE(strError, saved ? QString()
                                 : QStringLiteral("not written: The list could not be saved. It belongs to another "
                                                  "user in a folder that others share. Choose another name.\n%1")
                                       .arg(strPath));
        QCOMPARE(after.st_uid, before.st_uid);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(QDir(strFolder).entryList(QDir::Files | QDir::Hidden), QStringList {"names.txt"});
    }

    // Nothing at these paths is opened: a pipe without a reader would hold the window forever, and
    // a link in a shared folder may point into someone else's files.
    void refusesLinksFoldersPipesAndDevicesAndLeavesThemAlone()
    {
        QTemporaryDir dir;
        const QString strTarget = dir.filePath("private/capture.txt");
        QVERIFY(QDir().mkpath(dir.filePath("private")));
        WriteAll(strTarget, "not yours");
        QVERIFY(QFile::link(strTarget, dir.filePath("link.txt")));
        QVERIFY(QFile::link(dir.filePath("private/nothing.txt"), dir.filePath("dangling.txt")));
        QVERIFY(mkfifo(QFile::encodeName(dir.filePath("pipe.txt")).constData(), 0600) == 0);

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
            const QString strError = SaveNewExample(item.strPath);
            QVERIFY2(
                strError.startsWith(QStringLiteral("not written: The list could not be saved. %1").arg(item.pszReason))
                    && strError.endsWith(QLatin1Char('\n') + item.strPath),
                qPrintable(strError));
            QCOMPARE(StatOf(item.strPath).st_mode & S_IFMT, item.nType);
        }
        QCOMPARE(ReadAll(strTarget), QByteArray("not yours"));
        QVERIFY(!QFileInfo::exists(dir.filePath("private/nothing.txt")));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
                 (QStringList {"dangling.txt", "link.txt", "pipe.txt"}));
    }

    void shortWriteLeavesTheOldFileWhole()
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
