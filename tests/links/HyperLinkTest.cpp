#include "links/HyperLink.h"
#include "links/Pages.h"

#include "common/UrlCatcher.h"

#include <QLabel>
#include <QTest>
#include <QWidget>

#include <memory>

class CHyperLinkTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QWidget> m_pDialog;
    QLabel* m_pLabel = nullptr;

private slots:
    void init()
    {
        m_pDialog = std::make_unique<QWidget>();
        QFont font("DejaVu Sans");
        font.setPointSize(11);
        m_pDialog->setFont(font);
        m_pLabel = new QLabel("Some product does something useful.", m_pDialog.get());
        m_pLabel->setGeometry(10, 10, 400, 20);
    }

    void cleanup() { m_pDialog.reset(); }

    void startsWithTheMakerHome()
    {
        CHyperLink link;
        QCOMPARE(link.GetURL(), QByteArray(PAGE_MAKER_HOME));
        QVERIFY(link.GetControl() == nullptr);
    }

    void looksLikeALink()
    {
        const QPalette palBefore = m_pLabel->palette();
        CHyperLink link;
        link.Attach(m_pLabel);
        QCOMPARE(link.GetControl(), m_pLabel);

        const QFont font = m_pLabel->font();
        QVERIFY(font.underline());
        QCOMPARE(font.family(), m_pDialog->font().family());
        QCOMPARE(font.pointSize(), 11);
        QCOMPARE(font.weight(), m_pDialog->font().weight());

        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
            QCOMPARE(m_pLabel->palette().color(group, m_pLabel->foregroundRole()), QColor(0, 0, 255));
        QCOMPARE(m_pLabel->palette().color(QPalette::Window), palBefore.color(QPalette::Window));
        QVERIFY(!m_pLabel->autoFillBackground());
        QCOMPARE(m_pLabel->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(m_pLabel->text(), QString("Some product does something useful."));
    }

    void leftPressOpensOnceOnThePress()
    {
        CUrlCatcher catcher;
        CHyperLink link;
        link.SetURL(PAGE_OTHER_PRODUCT);
        link.Attach(m_pLabel);

        QTest::mousePress(m_pLabel, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(catcher.m_urls, QList<QUrl> {QUrl(PAGE_OTHER_PRODUCT)});
        QTest::mouseRelease(m_pLabel, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(catcher.m_urls.size(), 1);

        QTest::mouseClick(m_pLabel, Qt::RightButton, {}, QPoint(5, 5));
        QTest::mouseClick(m_pLabel, Qt::MiddleButton, {}, QPoint(5, 5));
        QCOMPARE(catcher.m_urls.size(), 1);
    }

    void blankPartRightOfTheTextIsLinkToo()
    {
        CUrlCatcher catcher;
        CHyperLink link;
        link.Attach(m_pLabel);
        const QPoint ptBlank(m_pLabel->width() - 2, m_pLabel->height() / 2);
        QVERIFY(m_pLabel->fontMetrics().horizontalAdvance(m_pLabel->text()) < ptBlank.x());
        QCOMPARE(m_pLabel->childAt(ptBlank), nullptr);
        QTest::mousePress(m_pLabel, Qt::LeftButton, {}, ptBlank);
        QCOMPARE(catcher.m_urls, QList<QUrl> {QUrl(PAGE_MAKER_HOME)});
    }

    void emptyAddressTakesTheTextAndKeepsIt()
    {
        CUrlCatcher catcher;
        CHyperLink link;
        link.Attach(m_pLabel);
        link.SetURL("");
        m_pLabel->setText("https://docs.example.net/start");

        QTest::mousePress(m_pLabel, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(link.GetURL(), QByteArray("https://docs.example.net/start"));

        m_pLabel->setText("https://other.example.net/");
        QTest::mousePress(m_pLabel, Qt::LeftButton, {}, QPoint(5, 5));
        const QList<QUrl> expected = {QUrl("https://docs.example.net/start"), QUrl("https://docs.example.net/start")};
        QCOMPARE(catcher.m_urls, expected);
    }

    void addressCanChangeBeforeOrAfterAttaching()
    {
        CUrlCatcher catcher;
        CHyperLink link;
        link.SetURL("http://one.example.com/");
        link.Attach(m_pLabel);
        QTest::mousePress(m_pLabel, Qt::LeftButton, {}, QPoint(5, 5));
        link.SetURL("http://two.example.com/");
        QTest::mousePress(m_pLabel, Qt::LeftButton, {}, QPoint(5, 5));
        const QList<QUrl> expected = {QUrl("http://one.example.com/"), QUrl("http://two.example.com/")};
        QCOMPARE(catcher.m_urls, expected);
    }

    void eitherMayDieFirst()
    {
        CUrlCatcher catcher;
        {
            CHyperLink link;
            link.Attach(m_pLabel);
        }
        QTest::mousePress(m_pLabel, Qt::LeftButton, {}, QPoint(5, 5));
        QVERIFY(catcher.m_urls.isEmpty());

        CHyperLink link;
        link.Attach(m_pLabel);
        delete m_pLabel;
        m_pLabel = nullptr;
        QVERIFY(link.GetControl() == nullptr);
    }
};

QTEST_MAIN(CHyperLinkTest)
#include "HyperLinkTest.moc"
