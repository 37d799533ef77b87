#include "templates/MenuResource.h"
#include "res/Resource.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QWidget>

namespace
{
// A menu's items as "text=id" and "-" for separators.
QStringList Describe(const QMenu* pMenu)
{
    QStringList items;
    for (const QAction* pAction : pMenu->actions())
        items << (pAction->isSeparator() ? QStringLiteral("-")
                                         : QStringLiteral("%1=%2").arg(pAction->text()).arg(pAction->data().toInt()));
    return items;
}
} // namespace

class CMenuResourceTest : public QObject
{
    Q_OBJECT

private slots:
    void mainMenuBar()
    {
        QWidget parent;
        QMenuBar* pMenuBar = CMenuResource::CreateMenuBar(IDR_MAIN_MENU, &parent);
        QVERIFY(pMenuBar != nullptr);
        QCOMPARE(pMenuBar->parent(), &parent);
        QCOMPARE(pMenuBar->actions().size(), 1);
        QAction* pFiles = pMenuBar->actions().first();
        QCOMPARE(pFiles->text(), QString("Files"));
        QVERIFY(pFiles->menu() != nullptr);
        const QStringList expected = {"Product Page=32774", "-", "Freeware Software=32775", "-",
                                      "Network Tools=32776", "-", "Desktop Utilities=32777", "-",
                                      "About=32778"};
        QCOMPARE(Describe(pFiles->menu()), expected);
        for (const QAction* pAction : pFiles->menu()->actions())
        {
            QVERIFY(pAction->isEnabled());
            QVERIFY(!pAction->isCheckable());
        }
    }

    void listPopup()
    {
        QWidget parent;
        QMenu* pPopup = CMenuResource::CreatePopup(IDR_LIST_POPUP, 0, &parent);
        QVERIFY(pPopup != nullptr);
        QCOMPARE(pPopup->parent(), &parent);
        const QStringList expected = {"Open URL...=32772", "-", "&Save List...=32771",
                                      "Clear List..=32773", "-", "Close...=2"};
        QCOMPARE(Describe(pPopup), expected);
        QCOMPARE(pPopup->actions().at(5)->data().toInt(), IDCANCEL);
        QCOMPARE(pPopup->actions().at(2)->data().toInt(), ID_SAVE_LIST);
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
