#include "templates/DialogTemplate.h"

#include "res/Resource.h"
#include "templates/MenuResource.h"
#include "templates/Resources.h"

#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QIcon>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenuBar>
#include <QPixmap>
#include <QPushButton>
#include <QTableView>

namespace {
// Window styles read from the templates.
constexpr quint32 WS_VISIBLE = 0x10000000;
constexpr quint32 WS_DISABLED = 0x08000000;
constexpr quint32 WS_SYSMENU = 0x00080000;
constexpr quint32 WS_MINIMIZEBOX = 0x00020000;
constexpr quint32 WS_MAXIMIZEBOX = 0x00010000;
constexpr quint32 WS_TABSTOP = 0x00010000;
constexpr quint32 WS_EX_APPWINDOW = 0x00040000;
constexpr quint32 BS_TYPEMASK = 0x0000000F;
constexpr quint32 BS_DEFPUSHBUTTON = 0x00000001;
constexpr quint32 SS_TYPEMASK = 0x0000001F;
constexpr quint32 SS_CENTER = 0x00000001;
constexpr quint32 SS_RIGHT = 0x00000002;
constexpr quint32 SS_ICON = 0x00000003;
constexpr quint32 SS_BITMAP = 0x0000000E;
constexpr quint32 SS_SUNKEN = 0x00001000;

// Windows' MulDiv: the product rounded half away from zero, not truncated.
int MulDiv(int nNumber, int nNumerator, int nDenominator)
{
    const long long nProduct = static_cast<long long>(nNumber) * nNumerator;
    const long long nHalf = nDenominator / 2;
    return static_cast<int>(nProduct >= 0 ? (nProduct + nHalf) / nDenominator : (nProduct - nHalf) / nDenominator);
}

// Styles are written as hexadecimal text, which JSON numbers cannot hold readably.
quint32 ReadStyle(const QJsonValue& value)
{
    if (value.isString())
        return value.toString().toUInt(nullptr, 0);
    return static_cast<quint32>(value.toDouble());
}

// A screen denser than 1x gets the picture drawn at twice the size (NAME@2x.png beside it) where there
// is one: the label scales what it is given to its size, and enlarging the small one blurs it.
QPixmap LoadBitmap(const QString& strPath, qreal dDevicePixelRatio)
{
    if (dDevicePixelRatio > 1)
    {
        const QFileInfo info(strPath);
        QPixmap pixLarge(info.path() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral("@2x.")
                         + info.suffix());
        if (!pixLarge.isNull())
        {
            pixLarge.setDevicePixelRatio(2);
            return pixLarge;
        }
    }
    return QPixmap(strPath);
}

QWidget* CreateStatic(const SDialogItem& item, QWidget* pParent)
{
    auto* pLabel = new QLabel(pParent);
    const quint32 nType = item.nStyle & SS_TYPEMASK;
    if (nType == SS_BITMAP)
    {
        // The bitmap fills the control, so the banner keeps its place in the layout whatever the
        // font makes of the dialog units.
        pLabel->setPixmap(LoadBitmap(item.strText, pParent->devicePixelRatioF()));
        pLabel->setScaledContents(true);
    }
    else if (nType == SS_ICON)
    {
        pLabel->setPixmap(QIcon(item.strText).pixmap(QSize(32, 32)));
        pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }
    else
    {
        pLabel->setTextFormat(Qt::PlainText);
        pLabel->setText(item.strText);
        pLabel->setWordWrap(false);
        Qt::Alignment nAlign = Qt::AlignLeft;
        if (nType == SS_CENTER)
            nAlign = Qt::AlignHCenter;
        else if (nType == SS_RIGHT)
            nAlign = Qt::AlignRight;
        pLabel->setAlignment(nAlign | Qt::AlignTop);
    }
    if (item.nStyle & SS_SUNKEN)
    {
        pLabel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pLabel->setLineWidth(1);
    }
    return pLabel;
}

QWidget* CreateButton(const SDialogItem& item, QDialog* pDialog)
{
    auto* pButton = new QPushButton(item.strText, pDialog);
    if ((item.nStyle & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
        pButton->setDefault(true);
    // What the dialog manager does with the two standard command ids.
    if (item.nId == IDOK)
        QObject::connect(pButton, &QPushButton::clicked, pDialog, &QDialog::accept);
    else if (item.nId == IDCANCEL)
        QObject::connect(pButton, &QPushButton::clicked, pDialog, &QDialog::reject);
    return pButton;
}
} // namespace

bool CDialogTemplate::Load(int nTemplateId)
{
    EnsureResources();
    QFile file(QStringLiteral(":/res/dialog_%1.json").arg(nTemplateId));
    if (!file.open(QIODevice::ReadOnly))
    {
        m_strError = QStringLiteral("Dialog template %1 not found").arg(nTemplateId);
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!doc.isObject())
    {
        m_strError =
            QStringLiteral("Dialog template %1 is not valid: %2").arg(nTemplateId).arg(parseError.errorString());
        return false;
    }

    const QJsonObject objTemplate = doc.object();
    m_nId = objTemplate.value("id").toInt();
    m_strCaption = objTemplate.value("caption").toString();
    m_sizeUnits = QSize(objTemplate.value("width").toInt(), objTemplate.value("height").toInt());
    m_nMenuId = objTemplate.value("menu").toInt();
    m_nStyle = ReadStyle(objTemplate.value("style"));
    m_nExStyle = ReadStyle(objTemplate.value("exStyle"));
    m_items.clear();
    for (const QJsonValue& value : objTemplate.value("controls").toArray())
    {
        const QJsonObject objItem = value.toObject();
        SDialogItem item;
        item.nId = objItem.value("id").toInt(-1);
        item.strName = objItem.value("name").toString();
        item.strClass = objItem.value("class").toString();
        item.strText = objItem.value("text").toString();
        item.nStyle = ReadStyle(objItem.value("style"));
        item.rcUnits = QRect(objItem.value("x").toInt(), objItem.value("y").toInt(), objItem.value("w").toInt(),
                             objItem.value("h").toInt());
        m_items.push_back(item);
    }
    m_strError.clear();
    return true;
}

bool CDialogTemplate::Create(QDialog* pDialog) const
{
    if (pDialog == nullptr || m_nId == 0)
        return false;

    pDialog->setWindowTitle(m_strCaption);
    Qt::WindowFlags nFlags = (m_nExStyle & WS_EX_APPWINDOW) ? Qt::Window : Qt::Dialog;
    nFlags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (m_nStyle & WS_SYSMENU)
        nFlags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (m_nStyle & WS_MINIMIZEBOX)
        nFlags |= Qt::WindowMinimizeButtonHint;
    if (m_nStyle & WS_MAXIMIZEBOX)
        nFlags |= Qt::WindowMaximizeButtonHint;
    pDialog->setWindowFlags(nFlags);

    const QSize sizeBase = GetBaseUnits(pDialog->font());
    int nMenuHeight = 0;
    QMenuBar* pMenuBar = nullptr;
    if (m_nMenuId != 0)
    {
        pMenuBar = CMenuResource::CreateMenuBar(m_nMenuId, pDialog);
        if (pMenuBar == nullptr)
        {
            m_strError = QStringLiteral("Menu %1 of dialog template %2 not found").arg(m_nMenuId).arg(m_nId);
            return false;
        }
        nMenuHeight = pMenuBar->sizeHint().height();
    }

    QWidget* pPrevious = nullptr;
    for (const SDialogItem& item : m_items)
    {
        QWidget* pControl = nullptr;
        if (item.strClass == QLatin1String("button"))
            pControl = CreateButton(item, pDialog);
        else if (item.strClass == QLatin1String("static"))
            pControl = CreateStatic(item, pDialog);
        else if (item.strClass == QLatin1String("combobox"))
            pControl = new QComboBox(pDialog);
        else if (item.strClass == QLatin1String("listview"))
            pControl = new QTableView(pDialog);
        else
        {
            m_strError =
                QStringLiteral("Unknown control class \"%1\" in dialog template %2").arg(item.strClass).arg(m_nId);
            return false;
        }

        QRect rcControl = MapDialogRect(item.rcUnits, sizeBase).translated(0, nMenuHeight);
        // A drop-down's height in the template includes its dropped list; closed, it is as high
        // as its font makes it.
        if (auto* pCombo = qobject_cast<QComboBox*>(pControl))
            rcControl.setHeight(pCombo->sizeHint().height());
        // Linux fonts set dots and blanks wider than the font the template was drawn for, so a
        // line can need more than its rectangle; it may then run on into the free space to its
        // right rather than lose its end.
        auto* pLabel = qobject_cast<QLabel*>(pControl);
        if (pLabel != nullptr && pLabel->pixmap().isNull() && pLabel->sizeHint().width() > rcControl.width())
            rcControl.setWidth(pLabel->sizeHint().width());
        pControl->setGeometry(rcControl);
        pControl->setObjectName(item.strName);
        pControl->setProperty("controlId", item.nId);
        if (pControl->focusPolicy() != Qt::NoFocus && !(item.nStyle & WS_TABSTOP))
            pControl->setFocusPolicy(Qt::ClickFocus);
        pControl->setEnabled(!(item.nStyle & WS_DISABLED));
        pControl->setVisible(item.nStyle & WS_VISIBLE);

        if (pControl->focusPolicy() & Qt::TabFocus)
        {
            if (pPrevious != nullptr)
                QWidget::setTabOrder(pPrevious, pControl);
            pPrevious = pControl;
        }
    }

    const QRect rcClient = MapDialogRect(QRect(QPoint(0, 0), m_sizeUnits), sizeBase);
    if (pMenuBar != nullptr)
        pMenuBar->setGeometry(0, 0, rcClient.width(), nMenuHeight);
    pDialog->setFixedSize(rcClient.width(), rcClient.height() + nMenuHeight);
    m_strError.clear();
    return true;
}

QSize CDialogTemplate::GetBaseUnits(const QFont& font)
{
    const QFontMetrics metrics(font);
    const int nWidth =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return QSize((nWidth / 26 + 1) / 2, metrics.height());
}

QRect CDialogTemplate::MapDialogRect(const QRect& rcUnits, const QSize& sizeBase)
{
    return QRect(MulDiv(rcUnits.x(), sizeBase.width(), 4), MulDiv(rcUnits.y(), sizeBase.height(), 8),
                 MulDiv(rcUnits.width(), sizeBase.width(), 4), MulDiv(rcUnits.height(), sizeBase.height(), 8));
}

QWidget* GetDlgItem(const QWidget* pDialog, int nId)
{
    if (pDialog == nullptr)
        return nullptr;
    const auto children = pDialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* pChild : children)
    {
        const QVariant varId = pChild->property("controlId");
        if (varId.isValid() && varId.toInt() == nId)
            return pChild;
    }
    return nullptr;
}
