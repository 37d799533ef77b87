// The real main dialog, offscreen: its controls, "Run"/"Stop" against real packet sockets, the list's
// actions and menus, export through a stand-in chooser, and names arriving while modal windows are open.
#include "ui/MonitorDlg.h"

#include "capture/LocalAddresses.h"
#include "common/DnsQuery.h"
#include "common/HostileNames.h"
#include "common/ModalAnswer.h"
#include "common/NetNamespace.h"
#include "common/ProcessState.h"
#include "common/UrlCatcher.h"
#include "links/Pages.h"
#include "res/Resource.h"
#include "templates/DialogTemplate.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QSignalSpy>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// Skips the test where it cannot capture, and otherwise lets it capture only in a private network.
#define CAPTURE_IN_PRIVATE_NETWORK()                                                                                   \
    do                                                                                                                 \
    {                                                                                                                  \
        if (const std::string strWhy = CNetNamespace::WhyUnavailable(); !strWhy.empty())                               \
            QSKIP(strWhy.c_str());                                                                                     \
        QVERIFY2(EnterPrivateNetwork(), m_pNet->GetErrorText().c_str());                                               \
    } while (false)

namespace {

// Sends one query over the loopback of the network namespace that the calling thread is in.
void SendQuery(const std::string& strName)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    SendUdp(fd, "127.0.0.1", 53, MakeDnsQuery(strName));
    close(fd);
}

QTableView* ListView(const CMonitorDlg& dlg)
{
    return GetDlgItemAs<QTableView>(&dlg, IDC_NAME_LIST);
}

CNameListModel& ListModel(const CMonitorDlg& dlg)
{
    return *qobject_cast<CNameListModel*>(ListView(dlg)->model());
}

const std::time_t T0 = 1783112405; // July 03 2026 21:00:05 UTC

// A name as the session hands it over at T0, without showing it yet.
void HandOver(CMonitorDlg& dlg, const QByteArray& name)
{
    CCapturedNames names;
    names.Add(std::string_view(name.constData(), size_t(name.size())), T0);
    dlg.OnCapturedNames(names);
}

// The same, then shown at once rather than after the list's update period.
void Deliver(CMonitorDlg& dlg, const QByteArray& name)
{
    HandOver(dlg, name);
    ListModel(dlg).FlushInsertions();
}

QByteArray ReadFile(const QString& strPath)
{
    QFile file(strPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Clicks the item as a user would, so the menu reports it as chosen.
void ChooseMenuItem(QWidget* pPopup, const QString& strText)
{
    auto* pMenu = qobject_cast<QMenu*>(pPopup);
    for (QAction* pAction : pMenu->actions())
    {
        if (pAction->text() == strText)
        {
            QTest::mouseClick(pMenu, Qt::LeftButton, {}, pMenu->actionGeometry(pAction).center());
            return;
        }
    }
    pMenu->close();
}

void SelectAddress(CMonitorDlg& dlg, const QString& strAddress)
{
    auto* pCombo = GetDlgItemAs<QComboBox>(&dlg, IDC_INTERFACE);
    int nIndex = pCombo->findText(strAddress);
    if (nIndex < 0)
    {
        pCombo->addItem(strAddress);
        nIndex = pCombo->count() - 1;
    }
    pCombo->setCurrentIndex(nIndex);
    emit pCombo->activated(nIndex);
}

} // namespace

class CMonitorDlgTest : public QObject
{
    Q_OBJECT

    CUrlCatcher m_catcher;
    // The tests that capture do so on the loopback of a private network namespace made for each,
    // so the host's own DNS traffic never reaches them and theirs never leaves it.
    std::unique_ptr<CNetNamespace> m_pNet;
    std::unique_ptr<CNetNamespace::CEnter> m_pEnter;

    // Moves this thread, and the threads and helpers it starts, into a fresh namespace.
    bool EnterPrivateNetwork()
    {
        m_pNet = std::make_unique<CNetNamespace>();
        if (m_pNet->IsReady())
            m_pEnter = std::make_unique<CNetNamespace::CEnter>(m_pNet->GetCaptureName());
        return m_pEnter && m_pEnter->IsEntered();
    }

private slots:
    // Times are shown in local time: one zone, so saved files read the same everywhere.
    void initTestCase()
    {
        qputenv("TZ", "UTC0");
        tzset();
    }

    void init() { m_catcher.m_urls.clear(); }

    void cleanup()
    {
        m_pEnter.reset();
        m_pNet.reset();
    }

    void listIsSetUpAsTheCapturedNamesTable()
    {
        CMonitorDlg dlg;
        QTableView* pList = GetDlgItemAs<QTableView>(&dlg, IDC_NAME_LIST);
        QVERIFY(pList);
        QVERIFY(qobject_cast<CNameListModel*>(pList->model()));
        QVERIFY(pList->columnWidth(0) >= 400);
        QCOMPARE(pList->columnWidth(0) * 200, pList->columnWidth(1) * 400);
        QVERIFY(pList->showGrid());
        QVERIFY(!pList->verticalHeader()->isVisible());
        QCOMPARE(pList->selectionBehavior(), QAbstractItemView::SelectRows);
        QCOMPARE(pList->selectionMode(), QAbstractItemView::SingleSelection);
        QVERIFY(!pList->isSortingEnabled());

        Deliver(dlg, "mail.example.org");
        QVERIFY(!pList->model()->index(0, 0).data(Qt::DecorationRole).value<QIcon>().isNull());

        // What a screen reader reads: the list's name, each "Download Here" described by the link
        // line beside it, and the address box labelled by its text.
        const auto accessible = [&dlg](int nId) {
            return QAccessible::queryAccessibleInterface(GetDlgItem(&dlg, nId));
        };
        QCOMPARE(accessible(IDC_NAME_LIST)->text(QAccessible::Name), QString("Captured DNS Names"));
        for (const auto& [nButton, nLine] : {std::pair {IDC_DOWNLOAD_2, IDC_PROMO_1}, {IDC_DOWNLOAD_1, IDC_PROMO_2}})
            QCOMPARE(accessible(nButton)->text(QAccessible::Description), GetDlgItemAs<QLabel>(&dlg, nLine)->text());
        const auto labels = accessible(IDC_INTERFACE)->relations(QAccessible::Label);
        QCOMPARE(labels.size(), 1);
        QVERIFY(labels.first().first->text(QAccessible::Name).endsWith("Select Local Interface..."));
        QCOMPARE(static_cast<QWidget*>(labels.first().first->object())->focusPolicy(), Qt::NoFocus);

        // The list lays its text out itself, and must still paint exactly what the style paints:
        // a plain row, one too long for its cell, the selected one.
        Deliver(dlg, QByteArray(120, 'w') + ".example.org");
        Deliver(dlg, "selected.example.org");
        pList->selectRow(0);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const QImage imageOwn = pList->viewport()->grab().toImage();
        QStyledItemDelegate styleDelegate;
        QAbstractItemDelegate* pOwnDelegate = pList->itemDelegate();
        pList->setItemDelegate(&styleDelegate);
        const QImage imageStyle = pList->viewport()->grab().toImage();
        pList->setItemDelegate(pOwnDelegate);
        QVERIFY(imageOwn == imageStyle);
    }

    void offersTheMachinesAddressesFirstOneChosen()
    {
        CMonitorDlg dlg;
        auto* pCombo = GetDlgItemAs<QComboBox>(&dlg, IDC_INTERFACE);
        QStringList listed;
        for (int i = 0; i < pCombo->count(); ++i)
            listed << pCombo->itemText(i);
        QStringList expected;
        for (const std::string& strAddress : ListLocalIpAddresses())
            expected << QString::fromStdString(strAddress);
        QCOMPARE(listed, expected);
        QCOMPARE(pCombo->currentIndex(), listed.isEmpty() ? -1 : 0);
    }

    // What was missed shows in the title until the next "Run", a failed one too.
    void failedRunShowsTheErrorTextAndStartsTheListAndTitleAfresh()
    {
        CMonitorDlg dlg;
        QCOMPARE(dlg.windowTitle(), QString("Tarrow"));
        Deliver(dlg, "before.example.org");
        dlg.OnQueriesMissed(1);
        dlg.OnStop();
        QCOMPARE(dlg.windowTitle(), QString("Tarrow (1 query missed)"));
        SelectAddress(dlg, "192.0.2.77"); // no interface of this machine owns it
        QString strShown;
        AnswerMessageBox(&strShown);
        dlg.OnRun();
        QVERIFY(!strShown.isEmpty());
        QCOMPARE(ListModel(dlg).rowCount(), 0);
        QCOMPARE(dlg.windowTitle(), QString("Tarrow"));

        // A capture that dies later shows the session's error text the same way.
        QString strFailure;
        AnswerMessageBox(&strFailure);
        dlg.OnCaptureFailed();
        QCOMPARE(strFailure, strShown);

        // A second failed "Run" shows one more box, and the dialog stays usable.
        strShown.clear();
        AnswerMessageBox(&strShown);
        dlg.OnRun();
        QVERIFY(!strShown.isEmpty());
        dlg.OnStop();
        dlg.OnStop();
    }

    void namesFlowIntoTheListOnLoopback()
    {
        CAPTURE_IN_PRIVATE_NETWORK();
        CMonitorDlg dlg;
        // Unless another is chosen, "Run" captures on the first address offered: the veth end here.
        dlg.OnRun();
        const int fdPeer = CNetNamespace::OpenSocketIn(m_pNet->GetPeerName(), SOCK_DGRAM);
        QVERIFY(SendUdp(fdPeer, m_pNet->GetCaptureAddress(), 53, MakeDnsQuery("flow.example.org")));
        close(fdPeer);
        QTRY_COMPARE(ListModel(dlg).rowCount(), 1);
        QCOMPARE(ListModel(dlg).GetName(0), QByteArray("flow.example.org"));

        // "Run" again starts afresh; "Stop" ends the flow but keeps the rows.
        SelectAddress(dlg, "127.0.0.1");
        dlg.OnRun();
        QCOMPARE(ListModel(dlg).rowCount(), 0);
        SendQuery("third.example.org");
        QTRY_COMPARE(ListModel(dlg).rowCount(), 1);
        dlg.OnStop();
        SendQuery("after.example.org");
        // Once the helper is gone nothing more can come.
        QTRY_VERIFY(ListChildProcesses().empty());
        QCoreApplication::processEvents();
        QCOMPARE(ListModel(dlg).rowCount(), 1);
    }

    // Tab and Shift+Tab walk the controls in the template's order with rows in the list, which is
    // one stop rather than a walk through its cells. Return in the list, which keeps no Return for
    // itself, presses Run (a focused button's own Return is the template's: DialogTemplateTest).
    void keyboardWalksTheControlsInTemplateOrderWithRowsInTheList()
    {
        CMonitorDlg dlg;
        for (const char* pszName : {"a.example.org", "b.example.org", "c.example.org"})
            Deliver(dlg, pszName);
        SelectAddress(dlg, "192.0.2.78"); // a Run pressed here fails rather than captures
        dlg.show();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        auto* pRun = GetDlgItemAs<QAbstractButton>(&dlg, IDC_RUN);
        auto* pStop = GetDlgItemAs<QAbstractButton>(&dlg, IDC_STOP);
        QSignalSpy runSpy(pRun, &QAbstractButton::clicked);
        QSignalSpy stopSpy(pStop, &QAbstractButton::clicked);
        const auto Press = [](Qt::Key nKey, Qt::KeyboardModifiers modifiers = {}) {
            QTest::keyClick(QApplication::focusWidget(), nKey, modifiers);
            return QApplication::focusWidget() ? QApplication::focusWidget()->property("controlId").toInt() : 0;
        };

        QList<int> forwards {IDC_RUN};
        QList<int> backwards {IDC_RUN};
        pRun->setFocus();
        for (int i = 0; i < 6; ++i)
            forwards << Press(Qt::Key_Tab);
        for (int i = 0; i < 6; ++i)
            backwards.prepend(Press(Qt::Key_Backtab, Qt::ShiftModifier));
        const QList<int> expected {IDC_RUN,        IDC_NAME_LIST,  IDC_STOP, IDC_INTERFACE,
                                   IDC_DOWNLOAD_1, IDC_DOWNLOAD_2, IDC_RUN};
        QCOMPARE(forwards, expected);
        QCOMPARE(backwards, expected);

        AnswerMessageBox(nullptr, QMessageBox::Ok, &dlg);
        GetDlgItem(&dlg, IDC_NAME_LIST)->setFocus();
        Press(Qt::Key_Return);
        QTRY_COMPARE(runSpy.count(), 1);
        QTRY_VERIFY(!QApplication::activeModalWidget() || QApplication::activeModalWidget() == &dlg);
        QCOMPARE(stopSpy.count(), 0);
        QVERIFY(pRun->isEnabled() && pStop->isEnabled());
    }

    // However busy the capture, Esc still reaches the dialog and ends it.
    void escEndsTheDialogDuringABusyCapture()
    {
        CAPTURE_IN_PRIVATE_NETWORK();
        std::atomic<bool> bSending {true};
        std::thread sender([&bSending] {
            for (int i = 0; bSending && i < 200000; ++i)
                SendQuery("busy" + std::to_string(i) + ".example.org");
        });
        {
            CMonitorDlg dlg;
            SelectAddress(dlg, "127.0.0.1");
            dlg.OnRun();
            dlg.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dlg));
            QTRY_VERIFY(ListModel(dlg).rowCount() > 50);
            QTest::keyClick(&dlg, Qt::Key_Escape);
            QVERIFY(!dlg.isVisible());
            QCOMPARE(dlg.result(), int(QDialog::Rejected));
        }
        bSending = false;
        sender.join();
    }

    void savesTheListThroughTheChooserAskingBeforeReplacing()
    {
        QTemporaryDir dir;
        const QString strOldDirectory = QDir::currentPath();
        const QString strFinal = dir.filePath("capture.txt");
        CMonitorDlg dlg;
        Deliver(dlg, "mail.example.org");
        dlg.SetFileChooser([&dir, &dlg](QWidget*) {
            HandOver(dlg, "late.example.org"); // arrives while the chooser is open
            return dir.filePath("capture");
        });
        dlg.OnSaveList();
        const QByteArray saved = ReadFile(strFinal);
        QCOMPARE(saved, QByteArray("late.example.org\tJuly 03 2026 21:00:05\t\r"
                                   "mail.example.org\tJuly 03 2026 21:00:05\t\r"));
        QCOMPARE(QDir::currentPath(), strOldDirectory);

        // The name the chooser gave, with .txt added, now names a file: the user is asked first.
        dlg.SetFileChooser([&dir](QWidget*) { return dir.filePath("capture"); });
        Deliver(dlg, "newer.example.org");
        QString strAsked;
        AnswerMessageBox(&strAsked, QMessageBox::No);
        dlg.OnSaveList();
        QVERIFY(strAsked.contains("capture.txt"));
        QCOMPARE(ReadFile(strFinal), saved);
        AnswerMessageBox(nullptr, QMessageBox::Yes);
        dlg.OnSaveList();
        QVERIFY(ReadFile(strFinal).startsWith("newer.example.org\t"));

        // A cancelled chooser writes nothing.
        dlg.SetFileChooser([](QWidget*) { return QString(); });
        dlg.OnSaveList();
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList {"capture.txt"});
        QCOMPARE(QDir::currentPath(), strOldDirectory);
    }

    // The reason comes first, and a path too long for the screen is cut in its middle.
    void failedSaveShowsTheReasonAndTheFileWithinTheScreen_data()
    {
        QTest::addColumn<QString>("strName");
        QTest::addColumn<QString>("strReason");
        QTest::addColumn<bool>("bWholePath");
        QTest::newRow("missing folder") << "missing/capture.txt"
                                        << "No such file or directory." << true;
        QTest::newRow("name too long") << QString(253, QLatin1Char('n')) << "File name too long." << false;
    }
    void failedSaveShowsTheReasonAndTheFileWithinTheScreen()
    {
        QFETCH(QString, strName);
        QFETCH(QString, strReason);
        QFETCH(bool, bWholePath);
        QTemporaryDir dir;
        const QString strPath = dir.filePath(strName);
        CMonitorDlg dlg;
        dlg.SetFileChooser([&strPath](QWidget*) { return strPath; });
        QString strShown;
        int nWidth = 0;
        OnNextModal<QMessageBox>([&strShown, &nWidth](QMessageBox* pBox) {
            strShown = pBox->text();
            nWidth = pBox->frameGeometry().width();
            pBox->button(QMessageBox::Ok)->click();
        });
        dlg.OnSaveList();
        QVERIFY2(strShown.startsWith(QStringLiteral("The list could not be saved. ") + strReason),
                 qPrintable(strShown));
        QCOMPARE(strShown.contains(strPath), bWholePath);
        QVERIFY2(nWidth <= dlg.screen()->availableGeometry().width(), qPrintable(QString::number(nWidth)));
    }

    void fullListTellsTheUserOnceAfterTheHandOffAndKeepsCounting()
    {
        CMonitorDlg dlg;
        ListModel(dlg).SetBudget(2, CNameListModel::BUDGET_NAME_BYTES);
        Deliver(dlg, "a.example.org");
        Deliver(dlg, "b.example.org");

        QString strShown;
        quint64 nRefusedWhileShown = 0;
        OnNextModal(
            [&dlg, &strShown, &nRefusedWhileShown](QWidget* pModal) {
                auto* pBox = qobject_cast<QMessageBox*>(pModal);
                strShown = pBox ? pBox->windowTitle() + "|" + pBox->text() + "|" + pBox->informativeText()
                                : "not a message box";
                Deliver(dlg, "d.example.org");
                nRefusedWhileShown = ListModel(dlg).GetRefusedCount();
                pModal->close();
            },
            &dlg);
        Deliver(dlg, "c.example.org");
        // Not from inside the hand-off: the notice waits for the event loop.
        QVERIFY(strShown.isEmpty());
        QTRY_VERIFY(!strShown.isEmpty());
        QCOMPARE(
            strShown,
            QStringLiteral(
                "Tarrow|The list holds as many names as it may keep: 2 names or 1 GiB of name text."
                "|Capture goes on, but new names are not listed until the list is cleared or Run is pressed again."));
        QCOMPARE(nRefusedWhileShown, quint64(2));
        QCOMPARE(ListModel(dlg).rowCount(), 2);
        // What the list turns away counts as missed beside what the kernel drops, also once cleared.
        QCOMPARE(dlg.windowTitle(), QString("Tarrow (2 queries missed)"));
        dlg.OnQueriesMissed(5);
        QCOMPARE(dlg.windowTitle(), QString("Tarrow (7 queries missed)"));
        dlg.OnClearList();
        QCOMPARE(dlg.windowTitle(), QString("Tarrow (7 queries missed)"));
    }

    // A name opens only as the host of an http address; anything else is refused with a box, and an
    // empty name opens nothing.
    void opensTheSelectedNameOnlyAsAnHttpHost_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("strUrl"); // empty: none opens
        QTest::newRow("host") << QByteArray("mail.example.org") << "http://mail.example.org";
        QTest::newRow("final full stop") << QByteArray("abc.example.") << "http://abc.example.";
        QTest::newRow("case-blind") << QByteArray("WWW.Example.NET") << "http://www.example.net";
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("user part") << QByteArray("example.org@evil.example.net") << QString();
        QTest::newRow("path") << QByteArray("example.org/../x") << QString();
        QTest::newRow("fragment") << QByteArray("x#y") << QString();
        QTest::newRow("space") << QByteArray("a b.example") << QString();
        QTest::newRow("scheme") << QByteArray("javascript:alert(1)") << QString();
        QTest::newRow("control byte") << QByteArray("a\x01z.example") << QString();
        QTest::newRow("shell") << QByteArray("$(touch /tmp/pwned);x") << QString();
    }
    void opensTheSelectedNameOnlyAsAnHttpHost()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, strUrl);
        CMonitorDlg dlg;
        Deliver(dlg, name);
        dlg.OnOpenUrl(); // nothing selected
        ListView(dlg)->selectRow(0);
        const bool bRefused = strUrl.isEmpty() && !name.isEmpty();
        QString strShown;
        if (bRefused)
            AnswerMessageBox(&strShown);
        dlg.OnOpenUrl();
        QCOMPARE(m_catcher.m_urls, strUrl.isEmpty() ? QList<QUrl>() : QList<QUrl> {QUrl(strUrl)});
        QCOMPARE(!strShown.isEmpty(), bRefused);
    }

    void doubleClickOpensTheRowClickedOnce()
    {
        CMonitorDlg dlg;
        for (const char* pszName : {"mail.example.org", "abc.example.", "www.example.net"})
            Deliver(dlg, pszName);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QTableView* pList = ListView(dlg);
        const QRect rcRow = pList->visualRect(ListModel(dlg).index(2, 0));
        QTest::mouseClick(pList->viewport(), Qt::LeftButton, {}, rcRow.center());
        QTest::mouseDClick(pList->viewport(), Qt::LeftButton, {}, rcRow.center());
        QCOMPARE(m_catcher.m_urls, QList<QUrl> {QUrl("http://mail.example.org")});
    }

    // Each name as the decoder hands it on, in the box that says it is no host name and on the
    // clipboard: plain text as the list shows it.
    void hostileNamesStayTextInTheBoxAndOnTheClipboard()
    {
        CMonitorDlg dlg;
        for (const CHostileName& hostile : HostileNames())
            Deliver(dlg, QByteArray(hostile.strName.data(), qsizetype(hostile.strName.size())));

        const std::vector<CHostileName>& names = HostileNames();
        const int nMarkup = int(names.size()) - 1;
        QCOMPARE(names[0].pszWhat, "markup");
        ListView(dlg)->selectRow(nMarkup);
        QStringList shown;
        OnNextModal<QMessageBox>([&shown](QMessageBox* pBox) {
            for (QLabel* pLabel : pBox->findChildren<QLabel*>())
            {
                if (pLabel->textFormat() != Qt::PlainText || pLabel->openExternalLinks())
                    shown << QStringLiteral("not plain: ") + pLabel->text();
                else if (!pLabel->text().isEmpty())
                    shown << pLabel->text();
            }
            pBox->button(QMessageBox::Ok)->click();
        });
        dlg.OnOpenUrl();
        QCOMPARE(shown, QStringList {QStringLiteral("%1 is not a host name that a browser can open.")
                                         .arg(QString::fromStdString(names[0].strShown))});

        // Ctrl+C on the list copies the name as shown, never the bytes that would reach a terminal.
        const int nTitle = int(names.size()) - 1 - 4;
        QCOMPARE(names[4].pszWhat, "terminal title");
        // The time cell is the current one, as after a click on it: the name is still what is copied.
        ListView(dlg)->setCurrentIndex(ListModel(dlg).index(nTitle, 1));
        QTest::keyClick(ListView(dlg), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromStdString(names[4].strShown));
    }

    void menuBarAndButtonsOpenTheirPages()
    {
        CMonitorDlg dlg;
        auto* pMenuBar = dlg.findChild<QMenuBar*>();
        QVERIFY(pMenuBar);
        QMap<int, QAction*> actions;
        for (QAction* pTop : pMenuBar->actions())
            for (QAction* pItem : pTop->menu()->actions())
                if (!pItem->isSeparator())
                    actions[pItem->data().toInt()] = pItem;

        actions[ID_PRODUCT_PAGE]->trigger();
        actions[ID_FREEWARE_PAGE]->trigger();
        actions[ID_OTHER_PRODUCT_1]->trigger();
        actions[ID_OTHER_PRODUCT_2]->trigger();
        // Each "Download Here" opens the page of the link line it stands beside.
        for (const int nId : {IDC_DOWNLOAD_2, IDC_PROMO_1, IDC_DOWNLOAD_1, IDC_PROMO_2})
            QTest::mouseClick(GetDlgItem(&dlg, nId), Qt::LeftButton, {}, QPoint(3, 3));
        const QList<QUrl> expected {QUrl(PAGE_PRODUCT),    QUrl(PAGE_FREEWARE),      QUrl(PAGE_OTHER_PRODUCT),
                                    QUrl(PAGE_MAKER_HOME), QUrl(PAGE_OTHER_PRODUCT), QUrl(PAGE_OTHER_PRODUCT),
                                    QUrl(PAGE_MAKER_HOME), QUrl(PAGE_MAKER_HOME)};
        QCOMPARE(m_catcher.m_urls, expected);

        QString strTitle;
        OnNextModal([&strTitle](QWidget* pModal) {
            strTitle = pModal->windowTitle();
            pModal->close();
        });
        actions[ID_APP_ABOUT_CMD]->trigger();
        QCOMPARE(strTitle, QString("About Tarrow"));
    }

    void rightClickOpensTheContextMenuAnywhereInTheList()
    {
        CMonitorDlg dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        Deliver(dlg, "mail.example.org");
        QTableView* pList = ListView(dlg);

        // The items are the resource's (ResourceIdsTest): one of them chosen shows it is this menu.
        OnNextModal([](QWidget* pPopup) { ChooseMenuItem(pPopup, "Clear List.."); });
        // Empty space below the only row.
        const QPoint ptEmpty(20, pList->viewport()->height() - 5);
        QTest::mouseClick(pList->viewport(), Qt::RightButton, {}, ptEmpty);
        QTRY_COMPARE(ListModel(dlg).rowCount(), 0);

        // The keyboard's menu request opens nothing.
        QContextMenuEvent keyboardMenu(QContextMenuEvent::Keyboard, QPoint(5, 5),
                                       pList->viewport()->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(pList->viewport(), &keyboardMenu);
        QVERIFY(!QApplication::activePopupWidget());

        // "Close..." ends the program.
        OnNextModal([](QWidget* pPopup) { ChooseMenuItem(pPopup, "Close..."); });
        QTest::mouseClick(pList->viewport(), Qt::RightButton, {}, ptEmpty);
        QTRY_VERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
    }
};

QTEST_MAIN(CMonitorDlgTest)
#include "MonitorDlgTest.moc"
