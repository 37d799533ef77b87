#include "ui/NameListDelegate.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QPainter>
#include <QStyle>
#include <QTableView>

#include <cmath>

void CNameListDelegate::paint(QPainter* pPainter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const bool bOwnText = qobject_cast<const QTableView*>(opt.widget) != nullptr && opt.showDecorationSelected
                          && !(opt.state & (QStyle::State_Selected | QStyle::State_HasFocus | QStyle::State_Editing))
                          && !(opt.features & QStyleOptionViewItem::WrapText) && !opt.text.isEmpty();
    if (!bOwnText)
    {
        QStyledItemDelegate::paint(pPainter, option, index);
        return;
    }
    const QStyle* pStyle = opt.widget->style();
    const QRect rectText = TextRect(opt, pStyle).translated(opt.rect.topLeft());

    // Background and icon as the style draws them, then the text where and as it would.
    const QString strText = opt.text;
    opt.text.clear();
    opt.features &= ~QStyleOptionViewItem::HasDisplay;
    pStyle->drawControl(QStyle::CE_ItemViewItem, &opt, pPainter, opt.widget);

    const int nTextMargin = pStyle->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, opt.widget) + 1;
    const QRect rectLine = rectText.adjusted(nTextMargin, 0, -nTextMargin, 0);
    const QFontMetricsF metrics(opt.font);
    const Qt::Alignment align = QStyle::visualAlignment(opt.direction, opt.displayAlignment);
    CLaidOut& laidOut = m_laidOut[index.column() % 2];
    if (laidOut.strText != strText || laidOut.font != opt.font)
        laidOut = CLaidOut {strText, opt.font, -1, 0, QStaticText()};
    // A text that comes again is laid out once for all the rows that share it.
    if (++laidOut.nUses == 2)
    {
        laidOut.dWidth = metrics.horizontalAdvance(strText);
        laidOut.staticText.setTextFormat(Qt::PlainText);
        laidOut.staticText.setText(strText);
        laidOut.staticText.prepare(pPainter->transform(), opt.font);
    }
    const bool bStatic = laidOut.dWidth >= 0 && laidOut.dWidth <= rectLine.width();
    QString strShown = strText;
    qreal dWidth = laidOut.dWidth;
    // Left aligned, as the list's cells are, a text that surely fits needs no width.
    if (!bStatic && !((align & Qt::AlignLeft) && SurelyFits(strText, opt.font, rectLine.width())))
    {
        if (dWidth < 0)
            dWidth = metrics.horizontalAdvance(strShown);
        if (dWidth > rectLine.width())
        {
            strShown = metrics.elidedText(strText, opt.textElideMode, rectLine.width());
            dWidth = metrics.horizontalAdvance(strShown);
        }
    }
    const int nLineHeight = static_cast<int>(std::ceil(metrics.ascent() + metrics.descent()));
    const QRect rectPlaced = QStyle::alignedRect(
        opt.direction, align, QSize(static_cast<int>(qMax<qreal>(0, dWidth)), nLineHeight), rectLine);

    QPalette::ColorGroup group = (opt.state & QStyle::State_Enabled) ? QPalette::Normal : QPalette::Disabled;
    if (group == QPalette::Normal && !(opt.state & QStyle::State_Active))
        group = QPalette::Inactive;
    pPainter->save();
    pPainter->setPen(opt.palette.color(group, QPalette::Text));
    pPainter->setFont(opt.font);
    if (bStatic)
        pPainter->drawStaticText(rectPlaced.topLeft(), laidOut.staticText);
    else
        pPainter->drawText(QPointF(rectPlaced.left(), rectPlaced.top() + metrics.ascent()), strShown);
    pPainter->restore();
}

bool CNameListDelegate::SurelyFits(const QString& strText, const QFont& font, qreal dWidth) const
{
    if (m_dWidestAscii < 0 || m_fontAdvances != font)
    {
        const QFontMetricsF metrics(font);
        m_fontAdvances = font;
        m_dWidestAscii = 0;
        for (char16_t ch = 0x20; ch < 0x7F; ++ch)
            m_dWidestAscii = qMax(m_dWidestAscii, metrics.horizontalAdvance(QChar(ch)));
        // Room for what shaping may add between letters.
        m_dWidestAscii += 1;
    }
    for (const QChar ch : strText)
    {
        if (ch.unicode() < 0x20 || ch.unicode() >= 0x7F)
            return false;
    }
    return strText.size() * m_dWidestAscii <= dWidth;
}

QRect CNameListDelegate::TextRect(const QStyleOptionViewItem& option, const QStyle* pStyle) const
{
    const bool bDecoration = option.features & QStyleOptionViewItem::HasDecoration;
    for (const CTextPlace& place : m_places)
    {
        if (place.sizeCell == option.rect.size() && place.bDecoration == bDecoration
            && place.direction == option.direction && place.font == option.font)
            return place.rectText;
    }
    // Any text stands in for the cell's: only whether there is one moves the text's place.
    QStyleOptionViewItem optStandIn = option;
    optStandIn.text = QStringLiteral("x");
    CTextPlace& place = m_places[m_nNextPlace];
    m_nNextPlace = (m_nNextPlace + 1) % 2;
    place = CTextPlace {option.rect.size(), bDecoration, option.direction, option.font,
                        pStyle->subElementRect(QStyle::SE_ItemViewItemText, &optStandIn, option.widget)
                            .translated(-option.rect.topLeft())};
    return place.rectText;
}
