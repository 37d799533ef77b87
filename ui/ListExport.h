#pragma once

#include <QByteArray>
#include <QString>

class CNameListModel;

// Saving the captured-names list as tab-separated text: every cell followed by a TAB, the last one
// too, each row ended by a single CR, rows from the newest down, no header. Names are written in
// their presentation form, a formula start escaped too, so none can end a row or a field.
class CListExport
{
public:
    // The bytes Write puts in the file, as one text.
    static QByteArray FormatText(const CNameListModel& list);

    // The name the file is written under: ".txt" is added when the chosen name has an empty
    // extension (no dot in its file name, or a dot at its end).
    static QString AddDefaultExtension(const QString& strPath);

    // Streams the rows into the file. An existing file keeps its owner, group, permissions, links,
    // ACL and other extended attributes: it is replaced whole by a temporary file in the same
    // folder, so it is never left truncated, when that file would get the same owner, group and
    // permissions, it has no other link and neither has an extended attribute; otherwise it is
    // written in place (after checking that the file opened is the regular file checked), which
    // also works in a folder the user may not write. A new file gets 0666 less the umask, as fopen
    // gives. A path that is a symbolic link or anything but a regular file (a folder, device, pipe
    // or socket) is refused before anything is opened: following the link would bypass the
    // kernel's checks on links in shared folders, and opening a pipe can wait forever. So is a file
    // in a sticky folder that others may write when neither the saver nor the folder's owner owns
    // it, as the kernel's protected_regular rule would; that is checked again on the file opened.
    // False with the reason in GetErrorText().
    bool Write(const QString& strPath, const CNameListModel& list);
    QString GetErrorText() const { return m_strError; }

private:
    bool Fail(const QString& strPath, const QString& strReason);

    QString m_strError;
};
