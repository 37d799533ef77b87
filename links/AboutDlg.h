#pragma once

#include "links/HyperLink.h"

#include <QDialog>

// The About box, built from dialog template 100. A new one is built for every opening.
class CAboutDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    ~CAboutDlg() override;

    CHyperLink m_linkUrl;
    CHyperLink m_linkNotice;

private:
    void DoDataExchange();
};
