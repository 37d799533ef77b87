#include "ui/ListExport.h"

#include "ui/NameListModel.h"

#include <QFileInfo>
#include <QSaveFile>

QByteArray CListExport::FormatText(const CNameListModel& list)
{
    QByteArray text;
    // Counts are read afresh after every row and cell, so the text always matches the list as it is.
    for (int nRow = 0; nRow < list.rowCount(); ++nRow) {
        for (int nColumn = 0; nColumn < list.columnCount(); ++nColumn) {
            const QByteArray cell = list.GetCellText(nRow, nColumn);
            for (const char ch : cell) {
                if (ch == '\n')
                    text.append('\r');
                text.append(ch);
            }
            text.append('\t');
        }
        text.append('\r');
    }
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

bool CListExport::Write(const QString& strPath, const QByteArray& text)
{
    // A device or a pipe cannot be replaced by a renamed temporary file (as root, that would swap
    // /dev/full for a plain file), so those are written in place.
    const QFileInfo info(strPath);
    if (info.exists() && !info.isFile()) {
        QFile file(strPath);
        if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.flush())
            return true;
        return Fail(strPath, file.errorString());
    }

    // An uncommitted QSaveFile removes its temporary file, leaving any existing file untouched.
    QSaveFile file(strPath);
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit())
        return true;
    return Fail(strPath, file.errorString());
}

bool CListExport::Fail(const QString& strPath, const QString& strReason)
{
    m_strError = QStringLiteral("The list could not be saved to %1.\n%2").arg(strPath, strReason);
    return false;
}
