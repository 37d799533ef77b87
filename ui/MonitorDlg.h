#pragma once

#include "capture/CaptureSession.h"
#include "links/BannerLink.h"
#include "links/HyperLink.h"
#include "ui/NameListModel.h"

#include <QDialog>
#include <QIcon>
#include <functional>
#include <string>

class QComboBox;
class QMenuBar;
class QTableView;

// The main window: banner and promotional links, the address to watch, "Run" and "Stop", and the
// list of captured names with its context menu, export and menu bar.
class CMonitorDlg : public QDialog, public CCaptureOwner
{
    Q_OBJECT

public:
    // Asks for the file to save the list to; an empty text means the user cancelled. Replaceable,
    // so that tests can answer it where no real file dialog can be driven.
    using FileChooser = std::function<QString(QWidget* pParent)>;

    explicit CMonitorDlg(QWidget* parent = nullptr);
    ~CMonitorDlg() override;

    void SetFileChooser(FileChooser pfnChooseFile);
    static QString ChooseSaveFile(QWidget* pParent);

    // What the capture session tells the window, on the window's thread.
    void OnCapturedNames(const CCapturedNames& names) override;
    void OnQueriesMissed(std::uint64_t nMissed) override;
    void OnCaptureFailed() override;

    // Command routing for the menus and buttons: one entry point, as a message map has.
    void OnCommand(int nId);

    // Handlers, public so tests drive them the way the controls do.
    void OnRun();
    void OnStop();
    void OnSelChangeInterface();
    void OnDblClickList();
    void OnRightClickList(const QPoint& ptScreen);
    void OnSaveList();
    void OnOpenUrl();
    void OnCopyName();
    void OnClearList();
    void OnProductPage();
    void OnFreewarePage();
    void OnOtherProduct1();
    void OnOtherProduct2();
    void OnAppAbout();
    void OnBudgetReached();

    void done(int nResult) override;

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    void DoDataExchange(bool bSaveAndValidate);
    bool OnInitDialog();
    void SetUpList();
    std::string ListLocalAddresses();
    void BindMessageMap();
    int GetSelectedRow() const;
    void OpenSelectedName();
    void OpenPage(const char* pszAddress);
    void ShowMissedQueries();

    CCaptureSession m_session;
    QIcon m_imageList;
    std::string m_strAddress;
    QComboBox* m_comboInterface = nullptr;
    CHyperLink m_linkPromo2;
    CHyperLink m_linkPromo1;
    CBannerLink m_banner;
    QTableView* m_list = nullptr;
    int m_nInterface = -1;
    QIcon m_hIcon;

    CNameListModel m_listModel;
    QMenuBar* m_pMenuBar = nullptr;
    FileChooser m_pfnChooseFile;
    // What the kernel dropped since the last "Run", as the session last told it; the title adds
    // what the full list turned away.
    std::uint64_t m_nKernelMissed = 0;
    QString m_strCaption;
};
