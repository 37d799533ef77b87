#include "links/AboutDlg.h"
#include "links/Pages.h"
#include "res/Resource.h"
#include "templates/DialogTemplate.h"

#include "common/UrlCatcher.h"

#include <QPushButton>
#include <QTest>

#include <functional>
#include <utility>

class CAboutDlgTest : public QObject
{
    Q_OBJECT

private slots:
    void contents()
    {
        CAboutDlg dlg;
        QCOMPARE(dlg.windowTitle(), QString("About Tarrow"));
        QCOMPARE(dlg.minimumSize(), dlg.maximumSize());

        const auto labels = dlg.findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
        QCOMPARE(labels.size(), 4);
        QVERIFY(!labels[0]->pixmap().isNull());
        QCOMPARE(labels[1]->text(), QString("Tarrow Version 1.3"));

        auto* pNotice = GetDlgItemAs<QLabel>(&dlg, IDC_ABOUT_NOTICE);
        auto* pUrl = GetDlgItemAs<QLabel>(&dlg, IDC_ABOUT_URL);
        QVERIFY(pNotice != nullptr && pUrl != nullptr);
        QVERIFY(pNotice->text().startsWith("Copyright (C) 2026 "));
        QCOMPARE(pUrl->text(), QString(PAGE_MAKER_HOME));

        auto* pOk = GetDlgItemAs<QPushButton>(&dlg, IDOK);
        QVERIFY(pOk != nullptr);
        QCOMPARE(pOk->text(), QString("OK"));
        QVERIFY(pOk->isDefault());
    }

    void bothLinesAreLinksToTheMakerHome()
    {
        CUrlCatcher catcher;
        CAboutDlg dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(dlg.m_linkUrl.GetControl(), GetDlgItem(&dlg, IDC_ABOUT_URL));
        QCOMPARE(dlg.m_linkNotice.GetControl(), GetDlgItem(&dlg, IDC_ABOUT_NOTICE));
        // How a link reads is the links' own (LinkControlTest, HyperLinkTest); its look the dialog could still undo.
        for (const CHyperLink* pLink : {&dlg.m_linkUrl, &dlg.m_linkNotice})
        {
            QLabel* pLabel = pLink->GetControl();
            QVERIFY(pLabel->font().underline());
            QCOMPARE(pLabel->palette().color(pLabel->foregroundRole()), QColor(0, 0, 255));
            QCOMPARE(pLabel->cursor().shape(), Qt::PointingHandCursor);
            QTest::mousePress(pLabel, Qt::LeftButton, {}, QPoint(3, 3));
        }
        const QList<QUrl> expected = {QUrl(PAGE_MAKER_HOME), QUrl(PAGE_MAKER_HOME)};
        QCOMPARE(catcher.m_urls, expected);
        QVERIFY(dlg.isVisible());
    }

    void closesByEnterOkEscOrTheCloseBox()
    {
        const std::pair<std::function<void(CAboutDlg&)>, int> ways[] = {
            {[](CAboutDlg& dlg) { QTest::keyClick(&dlg, Qt::Key_Return); }, QDialog::Accepted},
            {[](CAboutDlg& dlg) { QTest::mouseClick(GetDlgItem(&dlg, IDOK), Qt::LeftButton); }, QDialog::Accepted},
            {[](CAboutDlg& dlg) { QTest::keyClick(&dlg, Qt::Key_Escape); }, QDialog::Rejected},
            {[](CAboutDlg& dlg) { dlg.close(); }, QDialog::Rejected},
        };
        for (const auto& [fnClose, nResult] : ways)
        {
            CAboutDlg dlg;
            dlg.setResult(-1);
            dlg.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dlg));
            fnClose(dlg);
            QVERIFY(!dlg.isVisible());
            QCOMPARE(dlg.result(), nResult);
        }
    }
};

QTEST_MAIN(CAboutDlgTest)
#include "AboutDlgTest.moc"
