#include "links/HyperLink.h"

#include "links/BannerLink.h"
#include "links/Pages.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPalette>

CHyperLink::CHyperLink(QObject* parent)
    : QObject(parent)
{
    m_crText = QColor(0, 0, 255);
    SetURL(PAGE_MAKER_HOME);
    m_hCursor = QCursor(Qt::PointingHandCursor);
}

CHyperLink::~CHyperLink()
{
    if (m_pControl)
        m_pControl->removeEventFilter(this);
}

void CHyperLink::SetURL(const char* pszText)
{
    m_strURL = QByteArray(pszText != nullptr ? pszText : "");
}

void CHyperLink::Attach(QLabel* pControl)
{
    if (pControl == nullptr || pControl == m_pControl)
        return;
    if (m_pControl)
        m_pControl->removeEventFilter(this);
    m_pControl = pControl;
    PreSubclassWindow();
    // The label spans the template's full width, so the blank part right of the text is link too.
    m_pControl->setCursor(m_hCursor);
    m_pControl->installEventFilter(this);
}

void CHyperLink::PreSubclassWindow()
{
    m_font = m_pControl->font();
    m_font.setUnderline(true);
    m_pControl->setFont(m_font);

    QPalette palette = m_pControl->palette();
    palette.setColor(QPalette::WindowText, m_crText);
    m_pControl->setPalette(palette);
    // Only the text is drawn, so the dialog's own background shows behind it.
    m_pControl->setAutoFillBackground(false);
}

bool CHyperLink::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    // The type is tested first: a label being destroyed still sends events, and is no longer a
    // QLabel to compare with.
    if (pEvent->type() == QEvent::MouseButtonPress && pWatched == m_pControl
        && static_cast<QMouseEvent*>(pEvent)->button() == Qt::LeftButton)
        OnLButtonDown();
    // The press still reaches the label, as a subclassed control passes it on to its default
    // handling.
    return QObject::eventFilter(pWatched, pEvent);
}

void CHyperLink::OnLButtonDown()
{
    if (m_strURL.isEmpty() && m_pControl)
        m_strURL = m_pControl->text().toUtf8();
    OpenInBrowser(m_strURL);
}
