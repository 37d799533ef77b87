#include "links/BannerLink.h"

#include "links/Pages.h"

#include <QDesktopServices>
#include <QEvent>
#include <QMouseEvent>
#include <QUrl>

void OpenInBrowser(const QByteArray& strAddress)
{
    // No shell in between: the address is never taken apart as a command line.
    QDesktopServices::openUrl(QUrl(QString::fromUtf8(strAddress), QUrl::TolerantMode));
}

CBannerLink::CBannerLink(QObject* parent)
    : QObject(parent)
{
    SetURL(PAGE_MAKER_HOME);
    m_hCursor = QCursor(Qt::PointingHandCursor);
}

CBannerLink::~CBannerLink()
{
    if (m_pControl)
        m_pControl->removeEventFilter(this);
}

void CBannerLink::SetURL(const char* pszText)
{
    m_strURL = QByteArray(pszText != nullptr ? pszText : "");
}

void CBannerLink::Attach(QLabel* pControl)
{
    if (pControl == nullptr || pControl == m_pControl)
        return;
    if (m_pControl)
        m_pControl->removeEventFilter(this);
    m_pControl = pControl;
    m_pControl->setCursor(m_hCursor);
    m_pControl->installEventFilter(this);
}

bool CBannerLink::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    // The type is tested first: a label being destroyed still sends events, and is no longer a
    // QLabel to compare with.
    if (pEvent->type() == QEvent::MouseButtonPress && pWatched == m_pControl
        && static_cast<QMouseEvent*>(pEvent)->button() == Qt::LeftButton)
        OnLButtonDown();
    return QObject::eventFilter(pWatched, pEvent);
}

void CBannerLink::OnLButtonDown()
{
    if (m_strURL.isEmpty() && m_pControl)
        m_strURL = m_pControl->text().toUtf8();
    OpenInBrowser(m_strURL);
}
