#include "links/HyperLink.h"

#include <QPalette>

#include <algorithm>
#include <cmath>

namespace {

constexpr double MIN_TEXT_CONTRAST = 4.5;

double RelativeLuminance(const QColor& cr)
{
    const auto linear = [](double dChannel) {
        return dChannel <= 0.04045 ? dChannel / 12.92 : std::pow((dChannel + 0.055) / 1.055, 2.4);
    };
    const QColor crRgb = cr.toRgb();
    return 0.2126 * linear(crRgb.redF()) + 0.7152 * linear(crRgb.greenF()) + 0.0722 * linear(crRgb.blueF());
}

} // namespace

CHyperLink::CHyperLink(QObject* parent) : CLinkControl(parent), m_crText(0, 0, 255)
{}

double CHyperLink::ContrastRatio(const QColor& cr1, const QColor& cr2)
{
    const double d1 = RelativeLuminance(cr1);
    const double d2 = RelativeLuminance(cr2);
    return (std::max(d1, d2) + 0.05) / (std::min(d1, d2) + 0.05);
}

QColor CHyperLink::ChooseTextColor(const QColor& crBackground, const QColor& crPaletteLink)
{
    const QColor crBlue(0, 0, 255);
    if (ContrastRatio(crBlue, crBackground) >= MIN_TEXT_CONTRAST)
        return crBlue;
    if (crPaletteLink.isValid() && ContrastRatio(crPaletteLink, crBackground) >= MIN_TEXT_CONTRAST)
        return crPaletteLink.toRgb();
    // Towards white, one step at a time, so the blue stays as deep as the background allows. A
    // background no blue can reach 4.5:1 on gets the most readable one.
    QColor crBest = crBlue;
    for (int n = 1; n <= 255; ++n)
    {
        const QColor crLighter(n, n, 255);
        if (ContrastRatio(crLighter, crBackground) > ContrastRatio(crBest, crBackground))
            crBest = crLighter;
        if (ContrastRatio(crBest, crBackground) >= MIN_TEXT_CONTRAST)
            break;
    }
    return crBest;
}

void CHyperLink::PreSubclassWindow()
{
    QLabel* pControl = GetControl();
    m_font = pControl->font();
    m_font.setUnderline(true);
    pControl->setFont(m_font);
    ApplyTextColor();
    // Only the text is drawn, so the dialog's own background shows behind it.
    pControl->setAutoFillBackground(false);
}

void CHyperLink::OnPaletteChange()
{
    ApplyTextColor();
}

void CHyperLink::ApplyTextColor()
{
    QLabel* pControl = GetControl();
    QPalette palette = pControl->palette();
    const QColor crText = ChooseTextColor(palette.color(QPalette::Active, QPalette::Window),
                                          palette.color(QPalette::Active, QPalette::Link));
    // Setting the colour changes the palette again; the second time round nothing is left to do.
    if (palette.color(QPalette::Active, QPalette::WindowText) == crText
        && palette.color(QPalette::Inactive, QPalette::WindowText) == crText)
        return;
    m_crText = crText;
    palette.setColor(QPalette::WindowText, m_crText);
    pControl->setPalette(palette);
}
