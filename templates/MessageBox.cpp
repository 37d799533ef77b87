#include "templates/MessageBox.h"

#include "ProjectFacts.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QRegularExpression>
#include <QScreen>
#include <QWidget>

namespace {

// A label wraps only between words, so a single word wider than this would widen the box past it.
int WidestWord(const QWidget* pParent)
{
    const QScreen* pScreen = pParent ? pParent->screen() : QGuiApplication::primaryScreen();
    return pScreen ? pScreen->availableGeometry().width() / 2 : 400;
}

QString FitWords(const QString& strText, const QFontMetrics& metrics, int nWidest)
{
    static const QRegularExpression s_word(QStringLiteral("\\S+"));
    QString strFitted;
    qsizetype nFrom = 0;
    for (const QRegularExpressionMatch& word : s_word.globalMatch(strText))
    {
        strFitted += strText.mid(nFrom, word.capturedStart() - nFrom);
        strFitted += metrics.horizontalAdvance(word.captured()) > nWidest
                         ? metrics.elidedText(word.captured(), Qt::ElideMiddle, nWidest)
                         : word.captured();
        nFrom = word.capturedEnd();
    }
    return strFitted + strText.mid(nFrom);
}

} // namespace

QMessageBox::StandardButton ShowMessageBox(QWidget* pParent, QMessageBox::Icon nIcon, const QString& strText,
                                           const QString& strInformative, QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton nDefault, const QString& strTitle)
{
    QMessageBox box(nIcon, strTitle.isEmpty() ? QStringLiteral(TARROW_APP_NAME) : strTitle, QString(), buttons,
                    pParent);
    box.setTextFormat(Qt::PlainText);
    const QFontMetrics metrics(box.font());
    const int nWidest = WidestWord(pParent);
    box.setText(FitWords(strText, metrics, nWidest));
    if (!strInformative.isEmpty())
        box.setInformativeText(FitWords(strInformative, metrics, nWidest));
    // The informative line is a label of its own that Qt sets to guess the format and open links.
    for (QLabel* pLabel : box.findChildren<QLabel*>())
    {
        pLabel->setTextFormat(Qt::PlainText);
        pLabel->setOpenExternalLinks(false);
    }
    if (nDefault != QMessageBox::NoButton)
        box.setDefaultButton(nDefault);
    return QMessageBox::StandardButton(box.exec());
}
