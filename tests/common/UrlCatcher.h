#pragma once

#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QUrl>

// Stands in for the browser: keeps every http and https address the program asks to open.
class CUrlCatcher : public QObject
{
    Q_OBJECT

public:
    CUrlCatcher()
    {
        QDesktopServices::setUrlHandler("http", this, "OnOpenUrl");
        QDesktopServices::setUrlHandler("https", this, "OnOpenUrl");
    }
    ~CUrlCatcher() override
    {
        QDesktopServices::unsetUrlHandler("http");
        QDesktopServices::unsetUrlHandler("https");
    }

    QList<QUrl> m_urls;

public slots:
    void OnOpenUrl(const QUrl& url) { m_urls << url; }
};
