#include "templates/Resources.h"

#include <QImage>
#include <QPixmap>
#include <QTest>

class CResourcesTest : public QObject
{
    Q_OBJECT

private slots:
    void listImagesHaveTheMaskColourTransparent_data()
    {
        QTest::addColumn<int>("nIndex");
        QTest::addColumn<QColor>("crFill");
        QTest::newRow("green") << 0 << QColor(0, 255, 0);
        QTest::newRow("yellow") << 1 << QColor(255, 255, 0);
        QTest::newRow("red") << 2 << QColor(255, 0, 0);
    }

    void listImagesHaveTheMaskColourTransparent()
    {
        QFETCH(int, nIndex);
        QFETCH(QColor, crFill);
        const QIcon icon = LoadListImage(nIndex);
        QVERIFY(!icon.isNull());
        const QImage image = icon.pixmap(QSize(16, 15)).toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(image.size(), QSize(16, 15));
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(image.pixel(15, 14)), 0);
        QCOMPARE(QColor(image.pixel(7, 7)), crFill);
        QCOMPARE(qAlpha(image.pixel(7, 7)), 255);

        // Nothing of the mask colour is left visible.
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (qAlpha(image.pixel(x, y)) != 0)
                    QVERIFY(QColor(image.pixel(x, y)).rgb() != QColor(0, 128, 128).rgb());

        // A 2x screen gets the glyph drawn at twice the size, not the small one enlarged.
        const QPixmap pixLarge = icon.pixmap(QSize(16, 15), 2.0);
        QCOMPARE(pixLarge.devicePixelRatio(), 2.0);
        const QImage imageLarge = pixLarge.toImage().convertToFormat(QImage::Format_ARGB32);
        const QImage imageArt = QImage(":/res/images/list_images@2x.png")
                                    .copy(nIndex * 32, 0, 32, 30)
                                    .convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(imageLarge.size(), QSize(32, 30));
        for (int y = 0; y < imageLarge.height(); ++y)
            for (int x = 0; x < imageLarge.width(); ++x)
                if (QColor(imageArt.pixel(x, y)).rgb() != QColor(0, 128, 128).rgb())
                    QCOMPARE(imageLarge.pixel(x, y), imageArt.pixel(x, y));
                else
                    QCOMPARE(qAlpha(imageLarge.pixel(x, y)), 0);
    }

    void artHasItsSizes()
    {
        EnsureResources();
        QCOMPARE(QPixmap(":/res/images/banner.png").size(), QSize(609, 86));
        QCOMPARE(QImage(":/res/images/banner.png").hasAlphaChannel(), false);
        QCOMPARE(QPixmap(":/res/images/banner@2x.png").size(), QSize(1218, 172));
        QCOMPARE(QPixmap(":/res/images/list_images.png").size(), QSize(48, 15));
        QCOMPARE(QPixmap(":/res/images/list_images@2x.png").size(), QSize(96, 30));
        const QIcon icon = LoadAppIcon();
        const QList<QSize> sizes = icon.availableSizes();
        for (int nSize : {16, 24, 32, 48, 64, 128, 256})
            QVERIFY(sizes.contains(QSize(nSize, nSize)));
        QVERIFY(!QImage(":/res/images/tarrow.svg").isNull());
        QVERIFY(!QImage(":/res/images/tarrow.ico").isNull());
    }

    void unknownIdsGiveNothing()
    {
        QVERIFY(LoadListImage(-1).isNull());
        QVERIFY(LoadListImage(3).isNull());
        QVERIFY(LoadResourceString(4242).isEmpty());
    }
};

QTEST_MAIN(CResourcesTest)
#include "ResourcesTest.moc"
