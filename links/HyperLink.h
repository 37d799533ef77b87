#pragma once

#include <QByteArray>
#include <QColor>
#include <QCursor>
#include <QFont>
#include <QObject>
#include <QPointer>

#include <QLabel>

// Turns a text label of a dialog into a link: the dialog's font underlined, pure blue text on the
// dialog's own background, the hand cursor over the whole label, and a left-button press opens
// the address in the browser.
class CHyperLink : public QObject
{
    Q_OBJECT

public:
    explicit CHyperLink(QObject* parent = nullptr);
    ~CHyperLink() override;

    void SetURL(const char* pszText);
    QByteArray GetURL() const { return m_strURL; }

    // The counterpart of subclassing the template's static control.
    void Attach(QLabel* pControl);
    QLabel* GetControl() const { return m_pControl; }

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    void PreSubclassWindow();
    void OnLButtonDown();

    QColor m_crText;
    QCursor m_hCursor;
    QByteArray m_strURL;
    QFont m_font;
    QPointer<QLabel> m_pControl;
};
