#pragma once

#include "links/LinkControl.h"

#include <QColor>
#include <QFont>

// Turns a text label of a dialog into a link: the dialog's font underlined, pure blue text on the
// dialog's own background, the hand cursor over the whole label, and a left-button press opens
// the address in the browser.
class CHyperLink : public CLinkControl
{
    Q_OBJECT

public:
    explicit CHyperLink(QObject* parent = nullptr);

protected:
    void PreSubclassWindow() override;

private:
    QColor m_crText;
    QFont m_font;
};
