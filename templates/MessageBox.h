#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

// Every message Tarrow shows goes through here. Names, paths and error texts in a message may come
// from anyone who can send a packet, so every line of the box is plain text: no tag is ever read
// as markup and no link is ever live. A word too wide for the screen (a long path, or a name that
// is all escapes) is cut in its middle, so no box runs past the screen's edge. Titled with the program's name unless strTitle says
// otherwise. The button pressed, or QMessageBox::NoButton when the box was closed.
QMessageBox::StandardButton ShowMessageBox(QWidget* pParent, QMessageBox::Icon nIcon, const QString& strText,
                                           const QString& strInformative = QString(),
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                           QMessageBox::StandardButton nDefault = QMessageBox::NoButton,
                                           const QString& strTitle = QString());
