#pragma once

#include <QFont>
#include <QRect>
#include <QStaticText>
#include <QString>
#include <QStyledItemDelegate>

// Paints the list's cells as the style paints item-view cells, but lays each cell's text out only
// once. The style measures, elides and lays out a cell's text three or four times on every paint;
// under a stream of names every shown row is new at each update, and that text work cost more than
// everything else the window did. Cells that are selected or have the focus, and cells of views
// that are not a table, are left to the style.
class CNameListDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* pPainter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    // Where the style puts the text of a cell of this size, relative to the cell: in a table it
    // fills what the icon leaves, whatever the text.
    QRect TextRect(const QStyleOptionViewItem& option, const QStyle* pStyle) const;
    // True when the text surely fits this width, told without laying it out.
    bool SurelyFits(const QString& strText, const QFont& font, qreal dWidth) const;

    struct CTextPlace
    {
        QSize sizeCell;
        bool bDecoration = false;
        Qt::LayoutDirection direction = Qt::LeftToRight;
        QFont font;
        QRect rectText;
    };
    mutable CTextPlace m_places[2];
    mutable int m_nNextPlace = 0;

    // The last text painted in each column, laid out: rows of one second share their time text.
    struct CLaidOut
    {
        QString strText;
        QFont font;
        qreal dWidth = -1; // once it came again
        int nUses = 0;
        QStaticText staticText;
    };
    mutable CLaidOut m_laidOut[2];
    // Advances of the printable ASCII characters, the only ones a name shows, in this font.
    mutable QFont m_fontAdvances;
    mutable qreal m_dWidestAscii = -1;
};
