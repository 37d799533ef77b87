#pragma once

#include <QRect>
#include <QSize>
#include <QString>
#include <vector>

class QDialog;
class QFont;
class QWidget;

// One control of a dialog template, positions in dialog units.
struct SDialogItem
{
    int nId = -1;       // control id; -1 for unnamed statics
    QString strName;    // IDC_RUN, IDOK, ...; empty for unnamed statics
    QString strClass;   // "button", "static", "combobox", "listview"
    QString strText;    // caption; for a bitmap or icon static, the resource path of its image
    quint32 nStyle = 0; // the Windows style bits, kept so the behaviour can be read from them
    QRect rcUnits;      // x, y, width, height in dialog units
};

// A dialog template kept as data in res/ (dialog_<id>.json), and the code that turns it into Qt
// widgets. Dialog units map to pixels from the dialog font's average character size, as on
// Windows (x * cx / 4, y * cy / 8), so the layout keeps its proportions with any font.
class CDialogTemplate
{
public:
    int m_nId = 0;
    QString m_strCaption;
    QSize m_sizeUnits; // client area in dialog units
    int m_nMenuId = 0; // menu bar resource, 0 for none
    quint32 m_nStyle = 0;
    quint32 m_nExStyle = 0;
    std::vector<SDialogItem> m_items; // template order, which is the tab order

    // Reads :/res/dialog_<id>.json. False with the reason in GetErrorText().
    bool Load(int nTemplateId);
    QString GetErrorText() const { return m_strError; }

    // Creates every control inside pDialog in template order, gives the dialog its caption and a
    // fixed size, and places a menu bar above the controls when the template names one. Each
    // control's id is its "controlId" property and its name its objectName.
    bool Create(QDialog* pDialog) const;

    // Average character width and height of the font, as Windows computes the dialog base units.
    static QSize GetBaseUnits(const QFont& font);
    static QRect MapDialogRect(const QRect& rcUnits, const QSize& sizeBase);

private:
    // Create is const but still reports why it failed.
    mutable QString m_strError;
};

// The control with the given id inside a dialog built from a template, or null.
QWidget* GetDlgItem(const QWidget* pDialog, int nId);

template <typename T>
T* GetDlgItemAs(const QWidget* pDialog, int nId)
{
    return qobject_cast<T*>(GetDlgItem(pDialog, nId));
}
