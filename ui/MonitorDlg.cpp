#include "ui/MonitorDlg.h"

#include "capture/LocalAddresses.h"
#include "links/AboutDlg.h"
#include "links/Pages.h"
#include "res/Resource.h"
#include "templates/DialogTemplate.h"
#include "templates/MenuResource.h"
#include "templates/MessageBox.h"
#include "templates/Resources.h"
#include "ui/ListExport.h"
#include "ui/NameListDelegate.h"

#include "ProjectFacts.h"

#include <QAbstractButton>
#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QScopedPointer>
#include <QTableView>
#include <QUrl>

#include <cerrno>
#include <utility>

namespace {

// Column widths in pixels at 96 dots per inch.
constexpr int NAME_COLUMN_WIDTH = 400;
constexpr int TIME_COLUMN_WIDTH = 200;

// Longest time a captured name waits to be shown. Laying out and repainting the list for every
// name would hold the capture to a few hundred names a second, so while names keep coming they are
// shown together, at most this often; the first name after a quiet spell is shown at once. A tenth
// of a second still reads as at once, and a flood of new names costs half the repaints of 50 ms.
constexpr int LIST_UPDATE_PERIOD_MS = 100;

void ShowWarning(QWidget* pParent, const QString& strText, const QString& strInformative = QString())
{
    ShowMessageBox(pParent, QMessageBox::Warning, strText, strInformative);
}

QString MissedQueriesTitle(const QString& strCaption, std::uint64_t nMissed)
{
    if (nMissed == 0)
        return strCaption;
    if (nMissed == 1)
        return LoadResourceString(IDS_QUERY_MISSED).arg(strCaption);
    return LoadResourceString(IDS_QUERIES_MISSED).arg(strCaption).arg(nMissed);
}

} // namespace

CMonitorDlg::CMonitorDlg(QWidget* parent) : QDialog(parent), m_pfnChooseFile(&CMonitorDlg::ChooseSaveFile)
{
    m_hIcon = LoadAppIcon();
    m_imageList = LoadListImage(0);

    CDialogTemplate dialogTemplate;
    if (dialogTemplate.Load(IDD_MONITOR_DIALOG))
        dialogTemplate.Create(this);
    else
        qWarning("Tarrow: %s", qPrintable(dialogTemplate.GetErrorText()));
    OnInitDialog();
}

CMonitorDlg::~CMonitorDlg()
{
    // The session must not tell this window anything while its parts are being freed.
    m_session.Stop();
    if (m_list)
        m_list->setModel(nullptr);
}

void CMonitorDlg::SetFileChooser(FileChooser pfnChooseFile)
{
    m_pfnChooseFile = std::move(pfnChooseFile);
}

QString CMonitorDlg::ChooseSaveFile(QWidget* pParent)
{
    // No default suffix: the chooser asks about replacing the name as typed, and the export adds
    // ".txt" (asking again about that name) afterwards.
    return QFileDialog::getSaveFileName(pParent, LoadResourceString(IDS_SAVE_AS_TITLE), QString(),
                                        LoadResourceString(IDS_SAVE_AS_FILTER));
}

void CMonitorDlg::DoDataExchange(bool bSaveAndValidate)
{
    if (!bSaveAndValidate)
    {
        m_comboInterface = GetDlgItemAs<QComboBox>(this, IDC_INTERFACE);
        if (auto* pLabel = GetDlgItemAs<QLabel>(this, IDC_PROMO_2))
            m_linkPromo2.Attach(pLabel);
        if (auto* pLabel = GetDlgItemAs<QLabel>(this, IDC_PROMO_1))
            m_linkPromo1.Attach(pLabel);
        if (auto* pLabel = GetDlgItemAs<QLabel>(this, IDC_BANNER))
            m_banner.Attach(pLabel);
        m_list = GetDlgItemAs<QTableView>(this, IDC_NAME_LIST);
        if (m_comboInterface)
            m_comboInterface->setCurrentIndex(m_nInterface);
    }
    else if (m_comboInterface)
    {
        m_nInterface = m_comboInterface->currentIndex();
    }
}

bool CMonitorDlg::OnInitDialog()
{
    DoDataExchange(false);
    m_strCaption = windowTitle();
    setWindowIcon(m_hIcon);
    SetUpList();

    m_linkPromo1.SetURL(PAGE_OTHER_PRODUCT);
    m_linkPromo2.SetURL(PAGE_MAKER_HOME);
    m_banner.SetURL(PAGE_MAKER_HOME);

    // Both buttons read "Download Here": for a screen reader each tells which line it stands beside.
    for (const auto& [nButton, pLine] : {std::pair {IDC_DOWNLOAD_2, &m_linkPromo1}, {IDC_DOWNLOAD_1, &m_linkPromo2}})
        if (auto* pButton = GetDlgItem(this, nButton); pButton && pLine->GetControl())
            pButton->setAccessibleDescription(pLine->GetControl()->text());
    // As the dialog manager pairs them, the text just before the address box in the template labels
    // it. Without a mnemonic in the text the buddy adds no shortcut and leaves the tab order alone.
    const auto controls = findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    const qsizetype nCombo = controls.indexOf(m_comboInterface);
    if (auto* pLabel = nCombo > 0 ? qobject_cast<QLabel*>(controls[nCombo - 1]) : nullptr)
        pLabel->setBuddy(m_comboInterface);

    m_strAddress = ListLocalAddresses();
    BindMessageMap();

    // "Run" is the first control with a tab stop.
    if (auto* pRun = GetDlgItem(this, IDC_RUN))
        pRun->setFocus();
    return true;
}

void CMonitorDlg::SetUpList()
{
    m_listModel.SetNameIcon(m_imageList);
    m_listModel.SetInsertionPeriod(LIST_UPDATE_PERIOD_MS);
    if (!m_list)
        return;
    m_list->setModel(&m_listModel);
    m_list->setItemDelegate(new CNameListDelegate(m_list));
    m_list->setAccessibleName(LoadResourceString(IDS_NAME_COLUMN));
    m_list->setShowGrid(true);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSortingEnabled(false);
    m_list->setWordWrap(false);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab would walk the cells and wrap around, never leaving the list for the controls after it.
    m_list->setTabKeyNavigation(false);
    m_list->setIconSize(QSize(16, 16));
    m_list->verticalHeader()->hide();
    // Every row has the same height, so no row's size is ever asked of the delegate.
    m_list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_list->verticalHeader()->setDefaultSectionSize(m_list->fontMetrics().height() + 4);
    m_list->horizontalHeader()->setSectionsClickable(false);
    m_list->horizontalHeader()->setSectionsMovable(false);
    m_list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_list->horizontalHeader()->setStretchLastSection(false);

    // Widths are given for 96 dots per inch; larger screens get them scaled.
    const double dScale = qMax(1.0, m_list->logicalDpiX() / 96.0);
    m_list->setColumnWidth(CNameListModel::COLUMN_NAME, qRound(NAME_COLUMN_WIDTH * dScale));
    m_list->setColumnWidth(CNameListModel::COLUMN_TIME, qRound(TIME_COLUMN_WIDTH * dScale));

    // The selected row stays marked when the list loses the focus.
    QPalette palette = m_list->palette();
    for (const auto role : {QPalette::Highlight, QPalette::HighlightedText})
        palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
    m_list->setPalette(palette);

    // Ctrl+C is what users try first to paste a name into a terminal. The action sits on the list
    // alone, so the menus stay as they are.
    auto* pCopy = new QAction(LoadResourceString(IDS_COPY), m_list);
    pCopy->setShortcuts(QKeySequence::Copy);
    pCopy->setShortcutContext(Qt::WidgetShortcut);
    m_list->addAction(pCopy);
    connect(pCopy, &QAction::triggered, this, &CMonitorDlg::OnCopyName);

    // Only a right-button click opens the context menu, not the menu key or Shift+F10.
    m_list->setContextMenuPolicy(Qt::PreventContextMenu);
    m_list->viewport()->installEventFilter(this);
    m_list->installEventFilter(this);
}

std::string CMonitorDlg::ListLocalAddresses()
{
    std::string strResult;
    if (!m_comboInterface)
        return strResult;
    const QSignalBlocker blocker(m_comboInterface);
    m_comboInterface->clear();
    const std::vector<std::string> addresses = ListLocalIpAddresses();
    for (size_t i = 0; i < addresses.size(); ++i)
    {
        if (i == 0)
            strResult = addresses[i];
        m_comboInterface->addItem(QString::fromStdString(addresses[i]));
    }
    // The box keeps its size in the dialog, but an IPv6 address with its interface is far wider:
    // the list that drops down shows each one whole.
    m_comboInterface->view()->setMinimumWidth(m_comboInterface->view()->sizeHintForColumn(0)
                                              + m_comboInterface->view()->verticalScrollBar()->sizeHint().width());
    m_comboInterface->setCurrentIndex(0);
    m_nInterface = 0;
    return strResult;
}

void CMonitorDlg::BindMessageMap()
{
    if (auto* pRun = GetDlgItemAs<QAbstractButton>(this, IDC_RUN))
        connect(pRun, &QAbstractButton::clicked, this, &CMonitorDlg::OnRun);
    if (auto* pStop = GetDlgItemAs<QAbstractButton>(this, IDC_STOP))
        connect(pStop, &QAbstractButton::clicked, this, &CMonitorDlg::OnStop);
    if (m_list)
        connect(m_list, &QAbstractItemView::doubleClicked, this, &CMonitorDlg::OnDblClickList);
    if (m_comboInterface)
        connect(m_comboInterface, &QComboBox::activated, this, &CMonitorDlg::OnSelChangeInterface);
    if (auto* pDownload1 = GetDlgItemAs<QAbstractButton>(this, IDC_DOWNLOAD_1))
        connect(pDownload1, &QAbstractButton::clicked, this, &CMonitorDlg::OnOtherProduct2);
    m_pMenuBar = findChild<QMenuBar*>();
    if (m_pMenuBar)
        connect(m_pMenuBar, &QMenuBar::triggered, this,
                [this](QAction* pAction) { OnCommand(pAction->data().toInt()); });
    if (auto* pDownload2 = GetDlgItemAs<QAbstractButton>(this, IDC_DOWNLOAD_2))
        connect(pDownload2, &QAbstractButton::clicked, this, &CMonitorDlg::OnOtherProduct1);
    // Queued: the list says so from inside the hand-off of a name, which must not wait for the user.
    connect(&m_listModel, &CNameListModel::BudgetReached, this, &CMonitorDlg::OnBudgetReached, Qt::QueuedConnection);
}

void CMonitorDlg::OnCommand(int nId)
{
    switch (nId)
    {
    case ID_SAVE_LIST:
        OnSaveList();
        break;
    case ID_OPEN_URL:
        OnOpenUrl();
        break;
    case ID_CLEAR_LIST:
        OnClearList();
        break;
    case ID_PRODUCT_PAGE:
        OnProductPage();
        break;
    case ID_OTHER_PRODUCT_1:
        OnOtherProduct1();
        break;
    case ID_OTHER_PRODUCT_2:
        OnOtherProduct2();
        break;
    case ID_FREEWARE_PAGE:
        OnFreewarePage();
        break;
    case ID_APP_ABOUT_CMD:
        OnAppAbout();
        break;
    case IDCANCEL:
        reject();
        break;
    default:
        break;
    }
}

bool CMonitorDlg::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    // The view would copy its current cell, which may be the time; the key is taken here instead,
    // and its shortcut is claimed so that the Copy action does not run a second time.
    if (m_list && pWatched == m_list
        && (pEvent->type() == QEvent::KeyPress || pEvent->type() == QEvent::ShortcutOverride)
        && static_cast<QKeyEvent*>(pEvent)->matches(QKeySequence::Copy))
    {
        pEvent->accept();
        if (pEvent->type() == QEvent::KeyPress)
            OnCopyName();
        return true;
    }
    // A right click, on a row or on empty space, opens the menu when the button comes up.
    if (m_list && pWatched == m_list->viewport() && pEvent->type() == QEvent::MouseButtonRelease)
    {
        auto* pMouse = static_cast<QMouseEvent*>(pEvent);
        if (pMouse->button() == Qt::RightButton)
        {
            OnRightClickList(pMouse->globalPosition().toPoint());
            return true;
        }
    }
    return QDialog::eventFilter(pWatched, pEvent);
}

void CMonitorDlg::done(int nResult)
{
    // Closing the window ends the capture; the helper leaves on its own.
    m_session.Stop();
    QDialog::done(nResult);
}

void CMonitorDlg::OnCapturedNames(const CCapturedNames& names)
{
    m_listModel.AddNames(names);
    ShowMissedQueries();
}

void CMonitorDlg::OnQueriesMissed(std::uint64_t nMissed)
{
    m_nKernelMissed = nMissed;
    ShowMissedQueries();
}

void CMonitorDlg::ShowMissedQueries()
{
    // What the kernel dropped and what the full list turned away: the count stays in the title
    // after "Stop", and after "Clear List..", until the next "Run" starts afresh.
    setWindowTitle(MissedQueriesTitle(m_strCaption, m_nKernelMissed + m_listModel.GetRefusedCount()));
}

void CMonitorDlg::OnCaptureFailed()
{
    ShowWarning(this, QString::fromStdString(m_session.GetErrorText()));
}

void CMonitorDlg::OnSelChangeInterface()
{
    DoDataExchange(true);
    if (m_comboInterface && m_nInterface >= 0 && m_nInterface < m_comboInterface->count())
        m_strAddress = m_comboInterface->itemText(m_nInterface).toStdString();
}

void CMonitorDlg::OnRun()
{
    m_listModel.Clear();
    m_listModel.ResetRefusedCount();
    m_nKernelMissed = 0;
    ShowMissedQueries();
    m_session.SetOwner(this, m_strAddress);
    if (m_session.Start())
        return;

    // EPERM: this user may not open a packet socket, so say how to get the right.
    const QString strHint = m_session.GetErrorNumber() == EPERM ? LoadResourceString(IDS_NO_CAPTURE_RIGHT) : QString();
    ShowWarning(this, QString::fromStdString(m_session.GetErrorText()), strHint);
}

void CMonitorDlg::OnStop()
{
    m_session.Stop();
}

void CMonitorDlg::OnDblClickList()
{
    OpenSelectedName();
}

void CMonitorDlg::OnRightClickList(const QPoint& ptScreen)
{
    QScopedPointer<QMenu> pPopup(CMenuResource::CreatePopup(IDR_LIST_POPUP, 0, this));
    if (!pPopup)
        return;
    // The command runs after the menu has closed, as a posted command would.
    const QAction* pChosen = pPopup->exec(ptScreen);
    const int nId = pChosen ? pChosen->data().toInt() : 0;
    pPopup.reset();
    if (nId)
        OnCommand(nId);
}

void CMonitorDlg::OnSaveList()
{
    const QString strOldDirectory = QDir::currentPath();
    const QString strChosen = m_pfnChooseFile ? m_pfnChooseFile(this) : QString();
    if (!strChosen.isEmpty())
    {
        const QString strPath = CListExport::AddDefaultExtension(strChosen);
        // The chooser only asked about the name as typed; the name gained ".txt" since.
        bool bWrite = true;
        if (strPath != strChosen && QFileInfo::exists(strPath))
        {
            const auto answer = ShowMessageBox(
                this, QMessageBox::Question,
                LoadResourceString(IDS_CONFIRM_REPLACE).arg(QDir::toNativeSeparators(strPath)), QString(),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::No, LoadResourceString(IDS_CONFIRM_SAVE_AS_TITLE));
            bWrite = answer == QMessageBox::Yes;
        }
        if (bWrite)
        {
            // Read only now, so rows captured while the chooser was open are saved too.
            m_listModel.FlushInsertions();
            CListExport listExport;
            if (!listExport.Write(strPath, m_listModel))
                ShowWarning(this, listExport.GetErrorText());
        }
    }
    QDir::setCurrent(strOldDirectory);
}

void CMonitorDlg::OnOpenUrl()
{
    OpenSelectedName();
}

int CMonitorDlg::GetSelectedRow() const
{
    int nRow = -1;
    if (!m_list || !m_list->selectionModel())
        return nRow;
    for (const QModelIndex& index : m_list->selectionModel()->selectedRows())
    {
        if (nRow < 0 || index.row() < nRow)
            nRow = index.row();
    }
    return nRow;
}

void CMonitorDlg::OnCopyName()
{
    // As the list shows it: a name's raw bytes could carry escape sequences into a terminal.
    const int nRow = GetSelectedRow();
    if (nRow >= 0)
        QGuiApplication::clipboard()->setText(
            QString::fromLatin1(m_listModel.GetCellText(nRow, CNameListModel::COLUMN_NAME)));
}

void CMonitorDlg::OpenSelectedName()
{
    const int nRow = GetSelectedRow();
    if (nRow < 0)
        return;
    const QByteArray name = m_listModel.GetName(nRow);
    if (name.isEmpty())
        return;

    // The name can only ever be the host of an http address: no byte of it can bring in another
    // scheme, a user name, a path or a fragment, and nothing goes through a shell.
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QString::fromUtf8(name), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
    {
        ShowWarning(this, LoadResourceString(IDS_NOT_A_HOST_NAME)
                              .arg(QString::fromLatin1(m_listModel.GetCellText(nRow, CNameListModel::COLUMN_NAME))));
        return;
    }
    OpenInBrowser(url, this);
}

void CMonitorDlg::OnClearList()
{
    m_listModel.Clear();
}

void CMonitorDlg::OpenPage(const char* pszAddress)
{
    OpenInBrowser(QByteArray(pszAddress), this);
}

void CMonitorDlg::OnProductPage()
{
    OpenPage(PAGE_PRODUCT);
}

void CMonitorDlg::OnFreewarePage()
{
    OpenPage(PAGE_FREEWARE);
}

void CMonitorDlg::OnOtherProduct1()
{
    OpenPage(PAGE_OTHER_PRODUCT);
}

void CMonitorDlg::OnOtherProduct2()
{
    OpenPage(PAGE_MAKER_HOME);
}

void CMonitorDlg::OnAppAbout()
{
    CAboutDlg dlg(this);
    dlg.exec();
}

void CMonitorDlg::OnBudgetReached()
{
    const QLocale locale(QLocale::English);
    ShowWarning(
        this,
        LoadResourceString(IDS_LIST_FULL)
            .arg(locale.toString(qulonglong(m_listModel.GetBudgetNames())),
                 locale.formattedDataSize(qint64(m_listModel.GetBudgetNameBytes()), 0, QLocale::DataSizeIecFormat)),
        LoadResourceString(IDS_LIST_FULL_MORE));
}
