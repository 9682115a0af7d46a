#include "tests/support/testutil.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTimer>

namespace testutil {

void isolateUserData() {
    QStandardPaths::setTestModeEnabled(true);
}

QString closeModalBox(bool accept) {
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box)
        return {};
    const QString text = box->text();
    QAbstractButton *button = nullptr;
    if (accept)
        button = box->button(QMessageBox::Yes) ? box->button(QMessageBox::Yes)
                                               : box->button(QMessageBox::Ok);
    else
        button = box->button(QMessageBox::No) ? box->button(QMessageBox::No)
                                              : box->button(QMessageBox::Ok);
    if (button)
        button->click();
    else
        box->reject();
    return text;
}

void autoCloseModalBoxes(QObject *context, bool accept, QStringList *texts) {
    auto *timer = new QTimer(context);
    QObject::connect(timer, &QTimer::timeout, context, [accept, texts] {
        const QString text = closeModalBox(accept);
        if (texts && !text.isEmpty())
            texts->append(text);
    });
    timer->start(20);
}

} // namespace testutil
