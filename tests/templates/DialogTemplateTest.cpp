#include "templates/DialogTemplate.h"
#include "res/Resource.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

class CDialogTemplateTest : public QObject
{
    Q_OBJECT

private:
    static void Build(int nTemplateId, QDialog& dlg)
    {
        CDialogTemplate dlgTemplate;
        QVERIFY2(dlgTemplate.Load(nTemplateId), qPrintable(dlgTemplate.GetErrorText()));
        QVERIFY2(dlgTemplate.Create(&dlg), qPrintable(dlgTemplate.GetErrorText()));
    }

    static QRect Rect(const QDialog& dlg, int nId)
    {
        QWidget* pControl = GetDlgItem(&dlg, nId);
        return pControl != nullptr ? pControl->geometry() : QRect();
    }

private slots:
    void missingTemplateFailsWithAReason()
    {
        CDialogTemplate dlgTemplate;
        QVERIFY(!dlgTemplate.Load(999));
        QVERIFY(dlgTemplate.GetErrorText().contains("999"));
        QDialog dlg;
        QVERIFY(!dlgTemplate.Create(&dlg));
    }

    void dialogUnitsRoundAsWindowsDoes()
    {
        // 7 * 6 / 4 = 10.5 and 409 * 6 / 4 = 613.5 round up; 115 * 13 / 8 = 186.875 rounds up too.
        QCOMPARE(CDialogTemplate::MapDialogRect(QRect(7, 115, 409, 200), QSize(6, 13)), QRect(11, 187, 614, 325));
        QCOMPARE(CDialogTemplate::MapDialogRect(QRect(1, 1, 2, 4), QSize(6, 13)), QRect(2, 2, 3, 7));
        QCOMPARE(CDialogTemplate::MapDialogRect(QRect(0, 0, 4, 8), QSize(7, 14)), QRect(0, 0, 7, 14));
    }

    void mainDialogWidgetsAndFrame()
    {
        QDialog dlg;
        Build(IDD_MONITOR_DIALOG, dlg);
        QCOMPARE(dlg.windowTitle(), QString("Tarrow"));

        auto* pRun = GetDlgItemAs<QPushButton>(&dlg, IDC_RUN);
        QVERIFY(pRun != nullptr);
        QCOMPARE(pRun->text(), QString("Run"));
        QVERIFY(pRun->isDefault());
        for (int nId : {IDC_STOP, IDC_DOWNLOAD_1, IDC_DOWNLOAD_2})
        {
            auto* pButton = GetDlgItemAs<QPushButton>(&dlg, nId);
            QVERIFY(pButton != nullptr);
            QVERIFY(!pButton->isDefault());
        }
        QCOMPARE(GetDlgItemAs<QPushButton>(&dlg, IDC_DOWNLOAD_1)->text(), QString("Download Here"));

        auto* pCombo = GetDlgItemAs<QComboBox>(&dlg, IDC_INTERFACE);
        QVERIFY(pCombo != nullptr);
        QVERIFY(!pCombo->isEditable());
        QVERIFY(GetDlgItemAs<QTableView>(&dlg, IDC_NAME_LIST) != nullptr);

        auto* pBanner = GetDlgItemAs<QLabel>(&dlg, IDC_BANNER);
        QVERIFY(pBanner != nullptr);
        QCOMPARE(pBanner->pixmap().size(), QSize(609, 86));
        QCOMPARE(pBanner->frameShadow(), QFrame::Sunken);

        auto* pPromo = GetDlgItemAs<QLabel>(&dlg, IDC_PROMO_1);
        QVERIFY(pPromo != nullptr);
        QVERIFY(!pPromo->wordWrap());
        QCOMPARE(pPromo->alignment(), Qt::AlignLeft | Qt::AlignTop);
        QVERIFY(!pPromo->text().isEmpty());

        QVERIFY(GetDlgItem(&dlg, 4242) == nullptr);
        QVERIFY(GetDlgItem(nullptr, IDC_RUN) == nullptr);

        QCOMPARE(dlg.minimumSize(), dlg.maximumSize());
        QVERIFY(dlg.windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(!(dlg.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(dlg.windowFlags() & Qt::WindowCloseButtonHint);

        auto* pMenuBar = dlg.findChild<QMenuBar*>();
        QVERIFY(pMenuBar != nullptr);
        QCOMPARE(pMenuBar->geometry().top(), 0);
        QVERIFY(Rect(dlg, IDC_BANNER).top() >= pMenuBar->geometry().bottom());

        QDialog dlgAbout;
        Build(IDD_ABOUTBOX, dlgAbout);
        QVERIFY(dlgAbout.findChild<QMenuBar*>() == nullptr);
        QVERIFY(!(dlgAbout.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(dlgAbout.windowFlags() & Qt::WindowMaximizeButtonHint));
    }

    void layoutKeepsItsShape()
    {
        QDialog dlg;
        Build(IDD_MONITOR_DIALOG, dlg);
        const QRect rcBanner = Rect(dlg, IDC_BANNER);
        const QRect rcPromo1 = Rect(dlg, IDC_PROMO_1);
        const QRect rcPromo2 = Rect(dlg, IDC_PROMO_2);
        const QRect rcRun = Rect(dlg, IDC_RUN);
        const QRect rcStop = Rect(dlg, IDC_STOP);
        const QRect rcCombo = Rect(dlg, IDC_INTERFACE);
        const QRect rcList = Rect(dlg, IDC_NAME_LIST);
        const QRect rcDownload1 = Rect(dlg, IDC_DOWNLOAD_1);
        const QRect rcDownload2 = Rect(dlg, IDC_DOWNLOAD_2);

        QVERIFY(rcBanner.bottom() < rcPromo1.top());
        QVERIFY(rcPromo1.bottom() < rcPromo2.top());
        for (const QRect& rcWorking : {rcRun, rcStop, rcCombo})
        {
            QVERIFY(rcPromo2.bottom() < rcWorking.top());
            QVERIFY(rcWorking.bottom() < rcList.top());
        }
        QVERIFY(rcCombo.right() < rcRun.left());
        QVERIFY(rcRun.right() < rcStop.left());

        // Each "Download Here" stands at the right end of its promotional line.
        QVERIFY(rcDownload2.top() <= rcPromo1.bottom() && rcDownload2.bottom() >= rcPromo1.top());
        QVERIFY(rcDownload1.top() <= rcPromo2.bottom() && rcDownload1.bottom() >= rcPromo2.top());
        QVERIFY(rcDownload2.left() > rcPromo1.right());
        QVERIFY(rcDownload1.left() > rcPromo2.right());
        QCOMPARE(rcDownload1.right(), rcStop.right());
        QCOMPARE(rcDownload2.right(), rcStop.right());

        const QRect rcClient = dlg.rect();
        for (QWidget* pChild : dlg.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            QVERIFY2(rcClient.contains(pChild->geometry()), qPrintable(pChild->objectName()));
    }

    void nothingIsClipped_data()
    {
        QTest::addColumn<int>("nTemplateId");
        QTest::newRow("main") << IDD_MONITOR_DIALOG;
        QTest::newRow("about") << IDD_ABOUTBOX;
    }

    void nothingIsClipped()
    {
        QFETCH(int, nTemplateId);
        QDialog dlg;
        Build(nTemplateId, dlg);
        QList<QWidget*> controls;
        for (QWidget* pChild : dlg.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (pChild->property("controlId").isValid())
                controls << pChild;

        for (QWidget* pControl : controls)
        {
            const QRect rc = pControl->geometry();
            if (auto* pLabel = qobject_cast<QLabel*>(pControl))
            {
                QVERIFY2(pLabel->sizeHint().width() <= rc.width(), qPrintable(pLabel->text()));
                QVERIFY2(pLabel->sizeHint().height() <= rc.height(), qPrintable(pLabel->text()));
            }
            if (auto* pButton = qobject_cast<QPushButton*>(pControl))
                QVERIFY2(pButton->fontMetrics().horizontalAdvance(pButton->text()) + 8 <= rc.width(),
                         qPrintable(pButton->text()));
        }
        // A line that runs on past its rectangle must not run into its neighbour.
        for (qsizetype i = 0; i < controls.size(); ++i)
            for (qsizetype j = i + 1; j < controls.size(); ++j)
                QVERIFY2(!controls[i]->geometry().intersects(controls[j]->geometry()),
                         qPrintable(controls[i]->objectName() + " / " + controls[j]->objectName()));
    }

    void enterPressesTheDefaultButtonUnlessAnotherHasFocus()
    {
        QDialog dlg;
        Build(IDD_MONITOR_DIALOG, dlg);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        auto* pRun = GetDlgItemAs<QPushButton>(&dlg, IDC_RUN);
        auto* pStop = GetDlgItemAs<QPushButton>(&dlg, IDC_STOP);
        QSignalSpy spyRun(pRun, &QPushButton::clicked);
        QSignalSpy spyStop(pStop, &QPushButton::clicked);

        GetDlgItem(&dlg, IDC_INTERFACE)->setFocus();
        QTest::keyClick(&dlg, Qt::Key_Return);
        QCOMPARE(spyRun.count(), 1);
        QCOMPARE(spyStop.count(), 0);

        pStop->setFocus();
        QTest::keyClick(pStop, Qt::Key_Return);
        QCOMPARE(spyStop.count(), 1);
        QCOMPARE(spyRun.count(), 1);
    }
};

QTEST_MAIN(CDialogTemplateTest)
#include "DialogTemplateTest.moc"
