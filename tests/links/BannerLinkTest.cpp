#include "links/BannerLink.h"
#include "links/Pages.h"

#include "common/UrlCatcher.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QLabel>
#include <QPixmap>
#include <QTest>

class CBannerLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void opensOnTheLeftPressOnly()
    {
        CUrlCatcher catcher;
        QWidget dialog;
        auto* pBanner = new QLabel(&dialog);
        pBanner->setPixmap(QPixmap(60, 20));
        pBanner->setGeometry(0, 0, 60, 20);
        CBannerLink banner;
        banner.Attach(pBanner);
        QCOMPARE(banner.GetControl(), pBanner);

        QTest::mousePress(pBanner, Qt::LeftButton, {}, QPoint(30, 10));
        QCOMPARE(catcher.m_urls, QList<QUrl> {QUrl(PAGE_MAKER_HOME)});
        QTest::mouseRelease(pBanner, Qt::LeftButton, {}, QPoint(30, 10));
        QTest::mouseClick(pBanner, Qt::RightButton, {}, QPoint(30, 10));
        QCOMPARE(catcher.m_urls.size(), 1);

        banner.SetURL(PAGE_PRODUCT);
        QTest::mousePress(pBanner, Qt::LeftButton, {}, QPoint(59, 19));
        QCOMPARE(catcher.m_urls.size(), 2);
        QCOMPARE(catcher.m_urls.last(), QUrl(PAGE_PRODUCT));

        // A screen reader reads what the picture shows, and can press it.
        QAccessibleInterface* pAccessible = QAccessible::queryAccessibleInterface(pBanner);
        QCOMPARE(pAccessible->role(), QAccessible::Link);
        QVERIFY(pAccessible->text(QAccessible::Name).startsWith("Tarrow: Watches the DNS queries"));
        pAccessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(catcher.m_urls.size(), 3);
        QCOMPARE(catcher.m_urls.last(), QUrl(PAGE_PRODUCT));
    }

    void handCursorAndLookUnchanged()
    {
        QWidget dialog;
        auto* pBanner = new QLabel(&dialog);
        pBanner->setPixmap(QPixmap(60, 20));
        const QFont fontBefore = pBanner->font();
        const QPalette palBefore = pBanner->palette();
        CBannerLink banner;
        banner.Attach(pBanner);
        QCOMPARE(pBanner->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(pBanner->font(), fontBefore);
        QVERIFY(!pBanner->font().underline());
        QCOMPARE(pBanner->palette(), palBefore);
    }
};

QTEST_MAIN(CBannerLinkTest)
#include "BannerLinkTest.moc"
