#include "links/LinkControl.h"

#include "links/LinkAccessible.h"
#include "links/Pages.h"
#include "res/Resource.h"
#include "templates/Resources.h"
#include "templates/MessageBox.h"

#include <QDesktopServices>
#include <QEvent>
#include <QMouseEvent>
#include <QUrl>

namespace {
// The dynamic property of a label that names the link attached to it.
constexpr char LINK_PROPERTY[] = "tarrowLink";
} // namespace

bool OpenInBrowser(const QUrl& url, QWidget* pParent)
{
    // No shell in between: the address is never taken apart as a command line.
    if (QDesktopServices::openUrl(url))
        return true;
    ShowMessageBox(pParent, QMessageBox::Warning, LoadResourceString(IDS_NO_BROWSER).arg(url.toDisplayString()));
    return false;
}

bool OpenInBrowser(const QByteArray& strAddress, QWidget* pParent)
{
    return OpenInBrowser(QUrl(QString::fromUtf8(strAddress), QUrl::TolerantMode), pParent);
}

CLinkControl::CLinkControl(QObject* parent) : QObject(parent)
{
    SetURL(PAGE_MAKER_HOME);
    m_hCursor = QCursor(Qt::PointingHandCursor);
}

CLinkControl::~CLinkControl()
{
    if (m_pControl)
    {
        m_pControl->removeEventFilter(this);
        m_pControl->setProperty(LINK_PROPERTY, QVariant());
    }
}

CLinkControl* CLinkControl::FromControl(const QWidget* pControl)
{
    return pControl ? qobject_cast<CLinkControl*>(pControl->property(LINK_PROPERTY).value<QObject*>()) : nullptr;
}

void CLinkControl::SetURL(const char* pszText)
{
    m_strURL = QByteArray(pszText != nullptr ? pszText : "");
}

void CLinkControl::Attach(QLabel* pControl)
{
    if (pControl == nullptr || pControl == m_pControl)
        return;
    if (m_pControl)
    {
        m_pControl->removeEventFilter(this);
        m_pControl->setProperty(LINK_PROPERTY, QVariant());
    }
    m_pControl = pControl;
    m_pControl->setProperty(LINK_PROPERTY, QVariant::fromValue(static_cast<QObject*>(this)));
    CLinkAccessible::Adopt(m_pControl);
    PreSubclassWindow();
    // On the whole label: a text label spans the template's full width, so the blank part right of
    // the text is link too.
    m_pControl->setCursor(m_hCursor);
    m_pControl->installEventFilter(this);
}

bool CLinkControl::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    // The type is tested first: a label being destroyed still sends events, and is no longer a
    // QLabel to compare with.
    if (pEvent->type() == QEvent::MouseButtonPress && pWatched == m_pControl
        && static_cast<QMouseEvent*>(pEvent)->button() == Qt::LeftButton)
        Follow();
    else if (pEvent->type() == QEvent::PaletteChange && pWatched == m_pControl)
        OnPaletteChange();
    // The press still reaches the label, as a subclassed control passes it on to its default
    // handling.
    return QObject::eventFilter(pWatched, pEvent);
}

void CLinkControl::Follow()
{
    if (m_strURL.isEmpty() && m_pControl)
        m_strURL = m_pControl->text().toUtf8();
    OpenInBrowser(m_strURL, m_pControl ? m_pControl->window() : nullptr);
}
