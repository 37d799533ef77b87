// Addresses reach the browser whole, through the desktop's URL handling and never a shell.
#include "links/LinkControl.h"

#include "common/ModalAnswer.h"
#include "common/UrlCatcher.h"

#include <QTest>

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
};

QTEST_MAIN(CLinkControlTest)
#include "LinkControlTest.moc"
