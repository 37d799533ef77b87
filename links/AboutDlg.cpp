#include "links/AboutDlg.h"

#include "res/Resource.h"
#include "templates/DialogTemplate.h"
#include "templates/Resources.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    CDialogTemplate dlgTemplate;
    if (dlgTemplate.Load(IDD_ABOUTBOX))
        dlgTemplate.Create(this);
    setWindowIcon(LoadAppIcon());
    DoDataExchange();
}

CAboutDlg::~CAboutDlg() = default;

void CAboutDlg::DoDataExchange()
{
    if (auto* pUrl = GetDlgItemAs<QLabel>(this, IDC_ABOUT_URL))
        m_linkUrl.Attach(pUrl);
    if (auto* pNotice = GetDlgItemAs<QLabel>(this, IDC_ABOUT_NOTICE))
        m_linkNotice.Attach(pNotice);
}
