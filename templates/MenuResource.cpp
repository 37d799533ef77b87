#include "templates/MenuResource.h"

#include "templates/Resources.h"

#include <QAction>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QMenuBar>

namespace {
// The pop-ups of menu resource nMenuId, or an empty array when there is no such menu.
QJsonArray FindPopups(int nMenuId)
{
    return FindResourceEntry(QStringLiteral(":/res/menus.json"), "menus", nMenuId).value("popups").toArray();
}

void FillPopup(QMenu* pMenu, const QJsonObject& objPopup)
{
    for (const QJsonValue& value : objPopup.value("items").toArray())
    {
        const QJsonObject objItem = value.toObject();
        if (objItem.value("separator").toBool())
        {
            pMenu->addSeparator();
            continue;
        }
        QAction* pAction = pMenu->addAction(objItem.value("text").toString());
        pAction->setData(objItem.value("id").toInt());
        pAction->setObjectName(objItem.value("name").toString());
    }
}
} // namespace

QMenuBar* CMenuResource::CreateMenuBar(int nMenuId, QWidget* pParent)
{
    const QJsonArray arrPopups = FindPopups(nMenuId);
    if (arrPopups.isEmpty())
        return nullptr;
    auto* pMenuBar = new QMenuBar(pParent);
    // The menu bar belongs to the dialog, also where the desktop would move it to a global bar.
    pMenuBar->setNativeMenuBar(false);
    for (const QJsonValue& value : arrPopups)
    {
        const QJsonObject objPopup = value.toObject();
        FillPopup(pMenuBar->addMenu(objPopup.value("text").toString()), objPopup);
    }
    return pMenuBar;
}

QMenu* CMenuResource::CreatePopup(int nMenuId, int nSubMenu, QWidget* pParent)
{
    const QJsonArray arrPopups = FindPopups(nMenuId);
    if (nSubMenu < 0 || nSubMenu >= arrPopups.size())
        return nullptr;
    const QJsonObject objPopup = arrPopups.at(nSubMenu).toObject();
    auto* pMenu = new QMenu(objPopup.value("text").toString(), pParent);
    FillPopup(pMenu, objPopup);
    return pMenu;
}
