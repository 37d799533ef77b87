#pragma once

#include <QByteArray>
#include <QCursor>
#include <QObject>
#include <QPointer>

#include <QLabel>

// What every link label shares: an address, the hand cursor over the whole label, and a
// left-button press that opens the address in the browser. Subclasses may change the label's look.
class CLinkControl : public QObject
{
    Q_OBJECT

public:
    explicit CLinkControl(QObject* parent = nullptr);
    ~CLinkControl() override;

    void SetURL(const char* pszText);

    // The counterpart of subclassing the template's static control.
    void Attach(QLabel* pControl);
    QLabel* GetControl() const { return m_pControl; }
    // The link attached to pControl, if any.
    static CLinkControl* FromControl(const QWidget* pControl);

    // Opens the address as a left-button press does; the label's accessible press action too.
    void Follow();

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

    // Called by Attach once GetControl() is the new label, before the cursor and filter go on.
    virtual void PreSubclassWindow() {}
    // Called when the label's colours change, the theme's or the dialog's.
    virtual void OnPaletteChange() {}

private:
    QCursor m_hCursor;
    QByteArray m_strURL;
    QPointer<QLabel> m_pControl;
};

class QUrl;
class QWidget;

// Hands an address to the user's browser through QDesktopServices, never a shell. When no browser
// takes it, a warning box says so (over pParent) and the result is false.
bool OpenInBrowser(const QUrl& url, QWidget* pParent = nullptr);
bool OpenInBrowser(const QByteArray& strAddress, QWidget* pParent = nullptr);
