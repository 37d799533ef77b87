#pragma once

#include <QByteArray>
#include <QCursor>
#include <QObject>
#include <QPointer>

#include <QLabel>

// The banner picture as a link: hand cursor, opens its address on a left-button press, looks
// unchanged.
class CBannerLink : public QObject
{
    Q_OBJECT

public:
    explicit CBannerLink(QObject* parent = nullptr);
    ~CBannerLink() override;

    void SetURL(const char* pszText);
    QByteArray GetURL() const { return m_strURL; }
    void Attach(QLabel* pControl);
    QLabel* GetControl() const { return m_pControl; }

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    void OnLButtonDown();

    QCursor m_hCursor;
    QByteArray m_strURL;
    QPointer<QLabel> m_pControl;
};

// Hands an address to the user's browser through QDesktopServices, never a shell.
void OpenInBrowser(const QByteArray& strAddress);
