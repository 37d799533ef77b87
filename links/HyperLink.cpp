#include "links/HyperLink.h"

#include <QPalette>

CHyperLink::CHyperLink(QObject* parent) : CLinkControl(parent), m_crText(0, 0, 255)
{}

void CHyperLink::PreSubclassWindow()
{
    QLabel* pControl = GetControl();
    m_font = pControl->font();
    m_font.setUnderline(true);
    pControl->setFont(m_font);

    QPalette palette = pControl->palette();
    palette.setColor(QPalette::WindowText, m_crText);
    pControl->setPalette(palette);
    // Only the text is drawn, so the dialog's own background shows behind it.
    pControl->setAutoFillBackground(false);
}
