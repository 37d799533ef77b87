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
    CUrlCatcher m_catcher;

private slots:
    void init()
    {
        m_pDialog = std::make_unique<QWidget>();
        QFont font("DejaVu Sans");
        font.setPointSize(11);
        m_pDialog->setFont(font);
        m_pLabel = new QLabel("Some product does something useful.", m_pDialog.get());
        m_pLabel->setGeometry(10, 10, 400, 20);
        m_catcher.m_urls.clear();
    }

    void cleanup() { m_pDialog.reset(); }

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

    void contrastRatio_data()
    {
        QTest::addColumn<QColor>("cr1");
        QTest::addColumn<QColor>("cr2");
        QTest::addColumn<double>("dRatio");
        QTest::newRow("black on white") << QColor(Qt::black) << QColor(Qt::white) << 21.0;
        QTest::newRow("either order") << QColor(Qt::white) << QColor(Qt::black) << 21.0;
        QTest::newRow("same colour") << QColor("#323232") << QColor("#323232") << 1.0;
        QTest::newRow("pure blue, light theme") << QColor(0, 0, 255) << QColor("#efefef") << 7.47;
        QTest::newRow("pure blue, Adwaita dark") << QColor(0, 0, 255) << QColor("#323232") << 1.49;
    }

    void contrastRatio()
    {
        QFETCH(QColor, cr1);
        QFETCH(QColor, cr2);
        QFETCH(double, dRatio);
        QVERIFY2(qAbs(CHyperLink::ContrastRatio(cr1, cr2) - dRatio) < 0.005,
                 qPrintable(QString::number(CHyperLink::ContrastRatio(cr1, cr2))));
    }

    // An invalid expected colour: pure blue lightened, just enough.
    void chooseTextColor_data()
    {
        QTest::addColumn<QColor>("crBackground");
        QTest::addColumn<QColor>("crPaletteLink");
        QTest::addColumn<QColor>("crExpected");
        QTest::newRow("light theme") << QColor("#efefef") << QColor(0, 0, 255) << QColor(0, 0, 255);
        QTest::newRow("blue wins where it reads") << QColor(Qt::white) << QColor("#1a5fb4") << QColor(0, 0, 255);
        QTest::newRow("dark, readable palette link") << QColor("#323232") << QColor("#8ab4f8") << QColor("#8ab4f8");
        QTest::newRow("dark, palette link pure blue") << QColor("#323232") << QColor(0, 0, 255) << QColor();
        QTest::newRow("dark, palette link too dark") << QColor("#323232") << QColor("#1a5fb4") << QColor();
        QTest::newRow("black, no palette link") << QColor(Qt::black) << QColor() << QColor();
    }

    void chooseTextColor()
    {
        QFETCH(QColor, crBackground);
        QFETCH(QColor, crPaletteLink);
        QFETCH(QColor, crExpected);
        const QColor crText = CHyperLink::ChooseTextColor(crBackground, crPaletteLink);
        if (crExpected.isValid())
        {
            QCOMPARE(crText, crExpected);
            return;
        }
        QVERIFY(CHyperLink::ContrastRatio(crText, crBackground) >= 4.5);
        QCOMPARE(crText.blue(), 255);
        QCOMPARE(crText.red(), crText.green());
        const QColor crOneStepDarker(crText.red() - 1, crText.green() - 1, 255);
        QVERIFY(CHyperLink::ContrastRatio(crOneStepDarker, crBackground) < 4.5);
    }

    // The label follows the dialog's background, set before the link is attached or after (a theme
    // switched while the window is open), and back again.
    void textStaysReadableOnTheBackground()
    {
        const QPalette palLight = m_pDialog->palette();
        QPalette palDark = palLight;
        palDark.setColor(QPalette::Window, QColor("#323232"));
        palDark.setColor(QPalette::WindowText, QColor("#eeeeee"));
        const auto textOn = [this](const QColor& crBackground) {
            QCOMPARE(m_pDialog->palette().color(QPalette::Window), crBackground);
            for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
                QVERIFY2(CHyperLink::ContrastRatio(m_pLabel->palette().color(group, QPalette::WindowText), crBackground)
                             >= 4.5,
                         qPrintable(m_pLabel->palette().color(group, QPalette::WindowText).name()));
        };

        m_pDialog->setPalette(palDark);
        CHyperLink link;
        link.Attach(m_pLabel);
        textOn(QColor("#323232"));
        QVERIFY(m_pLabel->palette().color(QPalette::WindowText) != QColor(0, 0, 255));

        m_pDialog->setPalette(palLight);
        QCOMPARE(m_pLabel->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        m_pDialog->setPalette(palDark);
        textOn(QColor("#323232"));
        QCOMPARE(m_pLabel->palette().color(QPalette::Window), QColor("#323232"));
    }

    // With no address set, the maker's home page opens.
    void blankPartRightOfTheTextIsLinkToo()
    {
        CHyperLink link;
        link.Attach(m_pLabel);
        const QPoint ptBlank(m_pLabel->width() - 2, m_pLabel->height() / 2);
        QVERIFY(m_pLabel->fontMetrics().horizontalAdvance(m_pLabel->text()) < ptBlank.x());
        QCOMPARE(m_pLabel->childAt(ptBlank), nullptr);
        QTest::mousePress(m_pLabel, Qt::LeftButton, {}, ptBlank);
        QCOMPARE(m_catcher.m_urls, QList<QUrl> {QUrl(PAGE_MAKER_HOME)});
    }

    void emptyAddressTakesTheTextAndKeepsIt()
    {
        CHyperLink link;
        link.Attach(m_pLabel);
        link.SetURL("");
        m_pLabel->setText("https://docs.example.net/start");

        QTest::mousePress(m_pLabel, Qt::LeftButton, {}, QPoint(5, 5));

        m_pLabel->setText("https://other.example.net/");
        QTest::mousePress(m_pLabel, Qt::LeftButton, {}, QPoint(5, 5));
        const QList<QUrl> expected = {QUrl("https://docs.example.net/start"), QUrl("https://docs.example.net/start")};
        QCOMPARE(m_catcher.m_urls, expected);
    }

    void eitherMayDieFirst()
    {
        {
            CHyperLink link;
            link.Attach(m_pLabel);
        }
        QTest::mousePress(m_pLabel, Qt::LeftButton, {}, QPoint(5, 5));
        QVERIFY(m_catcher.m_urls.isEmpty());

        CHyperLink link;
        link.Attach(m_pLabel);
        delete m_pLabel;
        m_pLabel = nullptr;
        QVERIFY(link.GetControl() == nullptr);
    }
};

QTEST_MAIN(CHyperLinkTest)
#include "HyperLinkTest.moc"
