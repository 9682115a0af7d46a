#include "tests/support/testutil.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>

namespace testutil {

bool waitUntil(const std::function<bool()> &done, int timeoutMs) {
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || clock.hasExpired(timeoutMs))
            loop.quit();
    });
    poll.start(1);
    loop.exec();
    return done();
}

void isolateUserData() {
    // A folder of this process's own: test executables run in parallel, and a shared folder let
    // one test's sign-out delete the session file another had just written.
    static QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toLocal8Bit());
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

QSslConfiguration serverTls() {
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    QFile cert(QStringLiteral(TOVIK_LOCALSERVICE_DIR "/certs/server.pem"));
    QFile key(QStringLiteral(TOVIK_LOCALSERVICE_DIR "/certs/server.key"));
    if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
        return config;
    config.setLocalCertificateChain(QSslCertificate::fromData(cert.readAll()));
    config.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    return config;
}

bool quitRequested() {
    QTimer limit;
    QObject::connect(&limit, &QTimer::timeout, &limit, [] { QCoreApplication::exit(1); });
    limit.start(5000);
    return QCoreApplication::exec() == 0;
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
