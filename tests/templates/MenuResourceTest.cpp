#include "templates/MenuResource.h"
#include "res/Resource.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QWidget>

class CMenuResourceTest : public QObject
{
    Q_OBJECT

private slots:
    // What the items are and which command each carries is checked against res/ in ResourceIdsTest.
    void menusBelongToTheirParent()
    {
        QWidget parent;
        QMenuBar* pMenuBar = CMenuResource::CreateMenuBar(IDR_MAIN_MENU, &parent);
        QVERIFY(pMenuBar != nullptr);
        QCOMPARE(pMenuBar->parent(), &parent);
        QVERIFY(!pMenuBar->isNativeMenuBar());
        QCOMPARE(pMenuBar->actions().size(), 1);
        QMenu* pFiles = pMenuBar->actions().first()->menu();
        QVERIFY(pFiles != nullptr);
        for (const QAction* pAction : pFiles->actions())
        {
            QVERIFY(pAction->isEnabled());
            QVERIFY(!pAction->isCheckable());
        }

        QMenu* pPopup = CMenuResource::CreatePopup(IDR_LIST_POPUP, 0, &parent);
        QVERIFY(pPopup != nullptr);
        QCOMPARE(pPopup->parent(), &parent);
    }

    void unknownMenusGiveNothing()
    {
        QWidget parent;
        QVERIFY(CMenuResource::CreateMenuBar(4242, &parent) == nullptr);
        QVERIFY(CMenuResource::CreatePopup(4242, 0, &parent) == nullptr);
        QVERIFY(CMenuResource::CreatePopup(IDR_LIST_POPUP, 1, &parent) == nullptr);
        QVERIFY(CMenuResource::CreatePopup(IDR_LIST_POPUP, -1, &parent) == nullptr);
        QVERIFY(parent.findChildren<QObject*>().isEmpty());
    }
};

QTEST_MAIN(CMenuResourceTest)
#include "MenuResourceTest.moc"
