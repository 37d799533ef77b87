#include "common/ModalAnswer.h"

#include <QAbstractButton>

void AnswerMessageBox(QString* pstrText, QMessageBox::StandardButton button, QWidget* pExcept)
{
    OnNextModal(
        [pstrText, button](QWidget* pModal) {
            auto* pBox = qobject_cast<QMessageBox*>(pModal);
            if (!pBox)
            {
                pModal->close();
                return;
            }
            if (pstrText)
                *pstrText = pBox->text();
            pBox->button(button)->click();
        },
        pExcept);
}
