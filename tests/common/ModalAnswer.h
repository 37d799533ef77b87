#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <functional>
#include <type_traits>

class QString;

// Runs pfnAct on the next pop-up menu or modal window of type T that opens, from inside its own
// event loop, as the user would answer it. pExcept is a window already open that does not count.
template <typename T = QWidget>
void OnNextModal(std::type_identity_t<std::function<void(T*)>> pfnAct, QWidget* pExcept = nullptr)
{
    auto* pTimer = new QTimer;
    pTimer->setInterval(10);
    QObject::connect(pTimer, &QTimer::timeout, pTimer, [pTimer, pfnAct, pExcept] {
        for (QWidget* pWindow : {QApplication::activePopupWidget(), QApplication::activeModalWidget()})
        {
            auto* pWanted = qobject_cast<T*>(pWindow);
            if (pWanted == nullptr || pWindow == pExcept)
                continue;
            pTimer->stop();
            pTimer->deleteLater();
            pfnAct(pWanted);
            return;
        }
    });
    pTimer->start();
}

// Presses button on the next message box, keeping its text in *pstrText when that is not null.
// Any other modal window that opens first is closed.
void AnswerMessageBox(QString* pstrText, QMessageBox::StandardButton button = QMessageBox::Ok,
                      QWidget* pExcept = nullptr);
