#pragma once

#include <QIcon>
#include <QJsonObject>
#include <QString>

// Access to what res/tarrow.qrc compiles into the program. Every loader registers the resources
// first, so a program that links only the libraries still finds them.
void EnsureResources();

// Image nIndex (0 green, 1 yellow, 2 red) of the list's 16-pixel image strip, the mask colour
// RGB(0,128,128) made transparent, with the same image from the 32-pixel strip for 2x screens. A
// null icon for an index outside the strip.
QIcon LoadListImage(int nIndex);

// The application icon in every size it is drawn in (16 to 256 pixels).
QIcon LoadAppIcon();

// The entry whose "id" is nId in the array pszList of the JSON resource strPath (":/res/menus.json",
// "menus"), or an empty object when there is none.
QJsonObject FindResourceEntry(const QString& strPath, const char* pszList, int nId);

// Text of the string table entry nId (IDS_ABOUTBOX, ...), empty when there is none.
QString LoadResourceString(int nId);
