#pragma once

#include <QByteArray>
#include <QString>

class CNameListModel;

// Saving the captured-names list as tab-separated text: every cell followed by a TAB, the last one
// too, each row ended by a single CR, rows from the newest down, no header. An LF inside a cell is
// written as CR LF, as a text-mode write on the original platform did.
class CListExport
{
public:
    static QByteArray FormatText(const CNameListModel& list);

    // The name the file is written under: ".txt" is added when the chosen name has an empty
    // extension (no dot in its file name, or a dot at its end).
    static QString AddDefaultExtension(const QString& strPath);

    // Writes through a temporary file in the same folder that replaces the target only when every
    // byte is on disk, so an existing file is never left truncated. False with the reason in
    // GetErrorText().
    bool Write(const QString& strPath, const QByteArray& text);
    QString GetErrorText() const { return m_strError; }

private:
    bool Fail(const QString& strPath, const QString& strReason);

    QString m_strError;
};
