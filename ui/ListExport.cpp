#include "ui/ListExport.h"

#include "dns/PresentationForm.h"
#include "res/Resource.h"
#include "templates/Resources.h"
#include "ui/NameListModel.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Rows go to the file in pieces of about this size, so saving never holds more than one piece.
constexpr size_t WRITE_PIECE = 64 * 1024;

// A row is the name, a tab, the time, a tab and a carriage return. The name goes in its
// presentation form, with a spreadsheet's formula start escaped too, so no byte a sender chose can
// end the row or the field early, or be run by whatever opens the file.
template <class Text>
void AppendRow(Text& text, const CNameListModel& list, int nRow)
{
    AppendPresented(text, list.GetNameView(nRow), true);
    text.append("\t", 1);
    const QByteArray baTime = list.GetCellText(nRow, CNameListModel::COLUMN_TIME);
    text.append(baTime.constData(), size_t(baTime.size()));
    text.append("\t\r", 2);
}

bool WriteAll(int fd, const std::string& strText)
{
    const char* p = strText.data();
    size_t nLeft = strText.size();
    while (nLeft > 0)
    {
        const ssize_t nWritten = ::write(fd, p, nLeft);
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten <= 0)
        {
            if (nWritten == 0)
                errno = EIO;
            return false;
        }
        p += nWritten;
        nLeft -= size_t(nWritten);
    }
    return true;
}

// A new name in the target's folder that nobody else can have made: O_EXCL never opens an existing
// file or follows a link.
int CreateTemporary(const QString& strFolder, mode_t nMode, QByteArray* pbaTemporary)
{
    for (int nTry = 0; nTry < 64; ++nTry)
    {
        const QString strName = QStringLiteral("/.tarrow-save-%1").arg(QRandomGenerator::global()->generate64(), 0, 36);
        *pbaTemporary = QFile::encodeName(strFolder + strName);
        const int fd = ::open(pbaTemporary->constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, nMode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

QString LinkReason()
{
    return LoadResourceString(IDS_SAVE_IS_LINK);
}

QString NotRegularReason()
{
    return LoadResourceString(IDS_SAVE_NOT_REGULAR);
}

QString SharedFolderReason()
{
    return LoadResourceString(IDS_SAVE_OTHERS_FILE);
}

// The kernel's protected_regular rule, which it applies only to opens that may create: in a sticky
// folder that others may write, nobody but the file's owner or the folder's owner opens the file,
// root included, so that another user cannot lay a file out for the saver to fill. The in-place
// open cannot create, so the rule is applied here, whether the kernel's is on or not.
bool IsOthersInSharedFolder(const struct stat& file, const struct stat& folder)
{
    const bool bShared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return bShared && file.st_uid != ::geteuid() && file.st_uid != folder.st_uid;
}

// Takes what llistxattr or flistxattr answered. Any attribute counts: an ACL (with one, the group
// bits of the mode are only its mask), a security label, a user's own. Copying them all to a
// replacement would need privileges the saver may lack (security.*, trusted.*) and a fallback when
// one is refused, so a file that has any is written in place, which keeps every one. A file system
// without attributes has none; an answer that cannot be had counts as some.
bool HasAttributes(ssize_t nNamesSize)
{
    return nNamesSize > 0 || (nNamesSize < 0 && errno != ENOTSUP);
}

// Streams the rows in pieces, puts them on disk and closes fd; on failure errno says why.
bool WriteRowsAndClose(int fd, const CNameListModel& list)
{
    std::string strPiece;
    strPiece.reserve(WRITE_PIECE + 4096);
    bool bWritten = true;
    for (int nRow = 0; bWritten && nRow < list.rowCount(); ++nRow)
    {
        AppendRow(strPiece, list, nRow);
        if (strPiece.size() >= WRITE_PIECE)
        {
            bWritten = WriteAll(fd, strPiece);
            strPiece.clear();
        }
    }
    bWritten = bWritten && WriteAll(fd, strPiece) && ::fsync(fd) == 0;
    const int nError = errno;
    if (::close(fd) != 0 && bWritten)
        return false;
    errno = nError;
    return bWritten;
}

// The new file takes the old one's place unseen only if it looks the same to everyone else. The old
// one has no attributes, so the new one must not have been given any either (by the folder's
// default ACL or a security module).
bool KeepsIdentity(int fd, const struct stat& existing)
{
    struct stat created
    {};
    return ::fstat(fd, &created) == 0 && created.st_uid == existing.st_uid && created.st_gid == existing.st_gid
           && (created.st_mode & 07777) == (existing.st_mode & 07777) && !HasAttributes(::flistxattr(fd, nullptr, 0));
}

// Since the check, the name may have been given to a link, a pipe or another file: the open
// neither follows the link nor waits for a reader, and nothing is truncated until the file opened
// is known to be the one checked and one the saver may open.
bool WriteInPlace(const QByteArray& baPath, const struct stat& checked, const struct stat& folder,
                  const CNameListModel& list, QString* pstrReason)
{
    const int fd = ::open(baPath.constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
    {
        const int nError = errno;
        *pstrReason = nError == ELOOP                       ? LinkReason()
                      : nError == EISDIR || nError == ENXIO ? NotRegularReason()
                                                            : qt_error_string(nError);
        return false;
    }
    struct stat opened
    {};
    if (::fstat(fd, &opened) != 0)
        *pstrReason = qt_error_string(errno);
    else if (!S_ISREG(opened.st_mode))
        *pstrReason = NotRegularReason();
    else if (IsOthersInSharedFolder(opened, folder))
        *pstrReason = SharedFolderReason();
    else if (opened.st_dev != checked.st_dev || opened.st_ino != checked.st_ino)
        *pstrReason = LoadResourceString(IDS_SAVE_NAME_TAKEN);
    else if (const int nFlags = ::fcntl(fd, F_GETFL);
             nFlags < 0 || ::fcntl(fd, F_SETFL, nFlags & ~O_NONBLOCK) != 0 || ::ftruncate(fd, 0) != 0)
        *pstrReason = qt_error_string(errno);
    if (!pstrReason->isEmpty())
    {
        ::close(fd);
        return false;
    }
    if (WriteRowsAndClose(fd, list))
        return true;
    *pstrReason = qt_error_string(errno);
    return false;
}

} // namespace

QByteArray CListExport::FormatText(const CNameListModel& list)
{
    QByteArray text;
    for (int nRow = 0; nRow < list.rowCount(); ++nRow)
        AppendRow(text, list, nRow);
    return text;
}

QString CListExport::AddDefaultExtension(const QString& strPath)
{
    const QString strFileName = QFileInfo(strPath).fileName();
    const qsizetype nDot = strFileName.lastIndexOf(QLatin1Char('.'));
    if (nDot < 0 || nDot == strFileName.size() - 1)
        return strPath + QStringLiteral(".txt");
    return strPath;
}

bool CListExport::Write(const QString& strPath, const CNameListModel& list)
{
    const QByteArray baPath = QFile::encodeName(strPath);
    struct stat existing
    {};
    const bool bExists = ::lstat(baPath.constData(), &existing) == 0;
    if (!bExists && errno != ENOENT)
        return Fail(strPath, qt_error_string(errno));
    if (bExists && S_ISLNK(existing.st_mode))
        return Fail(strPath, LinkReason());
    if (bExists && !S_ISREG(existing.st_mode))
        return Fail(strPath, NotRegularReason());
    const QString strFolder = QFileInfo(strPath).path();
    struct stat folder
    {};
    if (bExists && ::stat(QFile::encodeName(strFolder).constData(), &folder) != 0)
        return Fail(strPath, qt_error_string(errno));
    if (bExists && IsOthersInSharedFolder(existing, folder))
        return Fail(strPath, SharedFolderReason());

    // Replacing the file whole keeps the old text intact until the new one is on disk, but it must
    // not change what others see: other links would keep the old text, and the new file gets the
    // saver's owner and group and no more permissions than the umask (or the folder's default ACL)
    // gives a new file, and none of the old file's ACL or other attributes. It is created with the
    // old file's permissions and kept only if it came out with the same owner, group and permissions
    // and, like the old file, no attributes; otherwise the file itself is written.
    int fd = -1;
    QByteArray baTemporary;
    if (!bExists
        || (existing.st_nlink == 1 && (existing.st_mode & 07777 & ~0666) == 0
            && !HasAttributes(::llistxattr(baPath.constData(), nullptr, 0))))
    {
        fd = CreateTemporary(strFolder, bExists ? existing.st_mode & 0666 : 0666, &baTemporary);
        // A folder the user may not write can still hold a file the user may.
        if (fd < 0 && (!bExists || (errno != EACCES && errno != EPERM && errno != EROFS)))
            return Fail(strPath, qt_error_string(errno));
        if (fd >= 0 && bExists && !KeepsIdentity(fd, existing))
        {
            ::close(fd);
            ::unlink(baTemporary.constData());
            fd = -1;
        }
    }
    if (fd < 0)
    {
        QString strReason;
        return WriteInPlace(baPath, existing, folder, list, &strReason) || Fail(strPath, strReason);
    }

    if (WriteRowsAndClose(fd, list) && ::rename(baTemporary.constData(), baPath.constData()) == 0)
        return true;
    const int nError = errno;
    ::unlink(baTemporary.constData());
    return Fail(strPath, qt_error_string(nError));
}

bool CListExport::Fail(const QString& strPath, const QString& strReason)
{
    // The reason first: a long path must not push it out of sight.
    QString strSentence = strReason;
    if (!strSentence.endsWith(QLatin1Char('.')))
        strSentence += QLatin1Char('.');
    m_strError = LoadResourceString(IDS_SAVE_FAILED).arg(strSentence, strPath);
    return false;
}
