// What every link shares, the text line and the banner alike; addresses reach the browser whole,
// through the desktop's URL handling and never a shell.
#include "links/BannerLink.h"
#include "links/HyperLink.h"
#include "links/LinkControl.h"
#include "links/Pages.h"

#include "common/ModalAnswer.h"
#include "common/UrlCatcher.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QLabel>
#include <QPixmap>
#include <QTest>

#include <memory>

class CLinkControlTest : public QObject
{
    Q_OBJECT

private slots:
    void openInBrowserHandsOverTheAddress()
    {
        CUrlCatcher catcher;
        OpenInBrowser("https://merrow.example.org/a/b?c=d");
        OpenInBrowser("http://www.example.com/");
        // An address with a blank is not a command line to split; it stays one address.
        OpenInBrowser("http://www.example.com/two words; rm -rf x");
        QCOMPARE(catcher.m_urls.size(), 3);
        QCOMPARE(catcher.m_urls[0].toString(), QString("https://merrow.example.org/a/b?c=d"));
        QCOMPARE(catcher.m_urls[1].toString(), QString("http://www.example.com/"));
        QCOMPARE(catcher.m_urls[2].host(), QString("www.example.com"));
        QCOMPARE(catcher.m_urls[2].path(), QString("/two words; rm -rf x"));
    }

    void saysSoWhenNoBrowserTakesTheAddress()
    {
        // No handler for this scheme and no desktop to ask: the open fails, and the user is told.
        QString strShown;
        AnswerMessageBox(&strShown);
        QVERIFY(!OpenInBrowser(QUrl("nosuchscheme://merrow.example.org/")));
        QVERIFY(strShown.contains("merrow.example.org"));
    }

    // A screen reader reads a link, with no tab stop, and can press it; a banner is named by the text
    // its picture shows and keeps its look. Either opens on the left button's press (not its release,
    // nor another button) anywhere on it, at the address set before attaching or after.
    void readsAsALinkThatOpensOnTheLeftPress_data()
    {
        QTest::addColumn<bool>("bBanner");
        QTest::newRow("text line") << false;
        QTest::newRow("banner") << true;
    }
    void readsAsALinkThatOpensOnTheLeftPress()
    {
        QFETCH(bool, bBanner);
        CUrlCatcher catcher;
        QWidget dialog;
        auto* pLabel = new QLabel("Some product does something useful.", &dialog);
        pLabel->setGeometry(0, 0, 400, 20);
        if (bBanner)
            pLabel->setPixmap(QPixmap(400, 20));
        const QFont fontBefore = pLabel->font();
        const QPalette palBefore = pLabel->palette();
        std::unique_ptr<CLinkControl> pLink;
        if (bBanner)
            pLink = std::make_unique<CBannerLink>();
        else
            pLink = std::make_unique<CHyperLink>();
        pLink->SetURL(PAGE_OTHER_PRODUCT);
        pLink->Attach(pLabel);
        QCOMPARE(pLink->GetControl(), pLabel);
        QCOMPARE(pLabel->cursor().shape(), Qt::PointingHandCursor);
        if (bBanner)
            QVERIFY(pLabel->font() == fontBefore && pLabel->palette() == palBefore);

        QAccessibleInterface* pAccessible = QAccessible::queryAccessibleInterface(pLabel);
        QCOMPARE(pAccessible->role(), QAccessible::Link);
        const QString strName = pAccessible->text(QAccessible::Name);
        QVERIFY2(bBanner ? strName.startsWith("Tarrow: Watches the DNS queries") : strName == pLabel->text(),
                 qPrintable(strName));
        QVERIFY(pAccessible->state().linked);
        QVERIFY(!pAccessible->state().focusable);
        QCOMPARE(pLabel->focusPolicy(), Qt::NoFocus);
        QAccessibleActionInterface* pActions = pAccessible->actionInterface();
        QCOMPARE(pActions->actionNames(), QStringList {QAccessibleActionInterface::pressAction()});
        pActions->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(catcher.m_urls, QList<QUrl> {QUrl(PAGE_OTHER_PRODUCT)});

        pLink->SetURL(PAGE_PRODUCT);
        QTest::mousePress(pLabel, Qt::LeftButton, {}, QPoint(399, 19));
        QCOMPARE(catcher.m_urls, (QList<QUrl> {QUrl(PAGE_OTHER_PRODUCT), QUrl(PAGE_PRODUCT)}));
        QTest::mouseRelease(pLabel, Qt::LeftButton, {}, QPoint(399, 19));
        QTest::mouseClick(pLabel, Qt::RightButton, {}, QPoint(5, 5));
        QTest::mouseClick(pLabel, Qt::MiddleButton, {}, QPoint(5, 5));
        QCOMPARE(catcher.m_urls.size(), 2);
    }
};

QTEST_MAIN(CLinkControlTest)
#include "LinkControlTest.moc"
