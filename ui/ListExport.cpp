#include "ui/ListExport.h"

#include "ui/NameListModel.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Rows go to the file in pieces of about this size, so saving never holds more than one piece.
constexpr size_t WRITE_PIECE = 64 * 1024;

template <class Text>
void AppendCell(Text& text, const QByteArray& cell)
{
    qsizetype nFrom = 0;
    for (qsizetype nLf = cell.indexOf('\n'); nLf >= 0; nLf = cell.indexOf('\n', nFrom))
    {
        text.append(cell.constData() + nFrom, nLf - nFrom);
        text.append("\r\n", 2);
        nFrom = nLf + 1;
    }
    text.append(cell.constData() + nFrom, cell.size() - nFrom);
    text.append("\t", 1);
}

// Counts are read afresh after every row and cell, so the text always matches the list as it is.
template <class Text>
void AppendRow(Text& text, const CNameListModel& list, int nRow)
{
    for (int nColumn = 0; nColumn < list.columnCount(); ++nColumn)
        AppendCell(text, list.GetCellText(nRow, nColumn));
    text.append("\r", 1);
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
        return Fail(strPath, QStringLiteral("It is a symbolic link. Choose the file it points to, or another name."));
    if (bExists && !S_ISREG(existing.st_mode))
        return Fail(
            strPath,
            QStringLiteral("It is not a regular file but a folder, device, pipe or socket. Choose another name."));

    // A new file gets the permissions fopen would give it; an existing one keeps its own, and is
    // private until then.
    QByteArray baTemporary;
    const int fd = CreateTemporary(QFileInfo(strPath).path(), bExists ? 0600 : 0666, &baTemporary);
    if (fd < 0)
        return Fail(strPath, qt_error_string(errno));
    bool bWritten = !bExists || ::fchmod(fd, existing.st_mode & 0777) == 0;

    std::string strPiece;
    strPiece.reserve(WRITE_PIECE + 4096);
    for (int nRow = 0; bWritten && nRow < list.rowCount(); ++nRow)
    {
        AppendRow(strPiece, list, nRow);
        if (strPiece.size() >= WRITE_PIECE)
        {
            bWritten = WriteAll(fd, strPiece);
            strPiece.clear();
        }
    }
    bWritten = bWritten && WriteAll(fd, strPiece) && ::fdatasync(fd) == 0;
    int nError = errno;
    if (::close(fd) != 0 && bWritten)
    {
        bWritten = false;
        nError = errno;
    }
    if (bWritten && ::rename(baTemporary.constData(), baPath.constData()) == 0)
        return true;
    if (bWritten)
        nError = errno;
    ::unlink(baTemporary.constData());
    return Fail(strPath, qt_error_string(nError));
}

bool CListExport::Fail(const QString& strPath, const QString& strReason)
{
    m_strError = QStringLiteral("The list could not be saved to %1.\n%2").arg(strPath, strReason);
    return false;
}
