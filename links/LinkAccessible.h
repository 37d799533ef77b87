#pragma once

#include <QAccessibleWidget>

// What assistive technology sees of a label that a CLinkControl has made a link: the link role, the
// label's text (or its accessible name) as its name, and a press action that opens the address as a
// left press does. The label stays out of the tab order.
class CLinkAccessible : public QAccessibleWidget
{
public:
    explicit CLinkAccessible(QWidget* pLabel);

    QString text(QAccessible::Text nText) const override;
    QAccessible::State state() const override;
    QStringList actionNames() const override;
    void doAction(const QString& strAction) override;
    QStringList keyBindingsForAction(const QString& strAction) const override;

    // Makes Qt hand out this interface for pLabel, which a link has just been attached to: puts the
    // factory in place (once per process) and drops the plain label's interface that Qt may
    // already keep, made when the label got its text.
    static void Adopt(QWidget* pLabel);
};
