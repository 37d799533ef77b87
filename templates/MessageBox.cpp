#include "templates/MessageBox.h"

#include "ProjectFacts.h"

#include <QLabel>

QMessageBox::StandardButton ShowMessageBox(QWidget* pParent, QMessageBox::Icon nIcon, const QString& strText,
                                           const QString& strInformative, QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton nDefault, const QString& strTitle)
{
    QMessageBox box(nIcon, strTitle.isEmpty() ? QStringLiteral(TARROW_APP_NAME) : strTitle, QString(), buttons,
                    pParent);
    box.setTextFormat(Qt::PlainText);
    box.setText(strText);
    if (!strInformative.isEmpty())
        box.setInformativeText(strInformative);
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
