#include "links/LinkAccessible.h"

#include "links/LinkControl.h"

#include <QLabel>

namespace {

QAccessibleInterface* CreateLinkAccessible(const QString& strClassName, QObject* pObject)
{
    auto* pLabel = qobject_cast<QLabel*>(pObject);
    if (strClassName != QLatin1String("QLabel") || pLabel == nullptr || CLinkControl::FromControl(pLabel) == nullptr)
        return nullptr;
    return new CLinkAccessible(pLabel);
}

} // namespace

CLinkAccessible::CLinkAccessible(QWidget* pLabel) : QAccessibleWidget(pLabel, QAccessible::Link)
{}

QString CLinkAccessible::text(QAccessible::Text nText) const
{
    if (nText == QAccessible::Name && widget()->accessibleName().isEmpty())
        return static_cast<const QLabel*>(widget())->text();
    return QAccessibleWidget::text(nText);
}

QAccessible::State CLinkAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.linked = true;
    return state;
}

QStringList CLinkAccessible::actionNames() const
{
    return {pressAction()};
}

void CLinkAccessible::doAction(const QString& strAction)
{
    CLinkControl* pLink = CLinkControl::FromControl(widget());
    // Queued: the request comes from the accessibility bus, which waits for its answer, and the
    // page may fail to open with a message box that waits for the user.
    if (strAction == pressAction() && pLink != nullptr)
        QMetaObject::invokeMethod(pLink, &CLinkControl::Follow, Qt::QueuedConnection);
}

QStringList CLinkAccessible::keyBindingsForAction(const QString&) const
{
    return {};
}

void CLinkAccessible::Adopt(QWidget* pLabel)
{
    static const bool bInstalled = (QAccessible::installFactory(&CreateLinkAccessible), true);
    (void)bInstalled;
    QAccessibleInterface* pKept = QAccessible::queryAccessibleInterface(pLabel);
    if (pKept != nullptr && dynamic_cast<CLinkAccessible*>(pKept) == nullptr)
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(pKept));
}
