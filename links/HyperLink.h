#pragma once

#include "links/LinkControl.h"

#include <QColor>
#include <QFont>

class QPalette;

// Turns a text label of a dialog into a link: the dialog's font underlined, pure blue text on the
// dialog's own background, the hand cursor over the whole label, and a left-button press opens
// the address in the browser. Where pure blue is unreadable on the background (a dark theme), the
// text takes the palette's link colour, or a lighter blue.
class CHyperLink : public CLinkControl
{
    Q_OBJECT

public:
    explicit CHyperLink(QObject* parent = nullptr);

    // WCAG's contrast ratio of two colours' relative luminances, from 1 (same) to 21 (black on white).
    static double ContrastRatio(const QColor& cr1, const QColor& cr2);
    // The link colour for text on crBackground: pure blue where it reaches 4.5:1 (WCAG AA for text),
    // else crPaletteLink where that does, else pure blue lightened just enough.
    static QColor ChooseTextColor(const QColor& crBackground, const QColor& crPaletteLink);

protected:
    void PreSubclassWindow() override;
    void OnPaletteChange() override;

private:
    void ApplyTextColor();

    QColor m_crText;
    QFont m_font;
};
