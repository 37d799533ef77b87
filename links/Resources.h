#pragma once

#include <QIcon>
#include <QString>

// Access to what res/tarrow.qrc compiles into the program. Every loader registers the resources
// first, so a program that links only the libraries still finds them.
void EnsureResources();

// Image nIndex (0 green, 1 yellow, 2 red) of the list's 16-pixel image strip, the mask colour
// RGB(0,128,128) made transparent. A null icon for an index outside the strip.
QIcon LoadListImage(int nIndex);

// The application icon in every size it is drawn in (16 to 256 pixels).
QIcon LoadAppIcon();

// Text of the string table entry nId (IDS_ABOUTBOX, ...), empty when there is none.
QString LoadResourceString(int nId);
