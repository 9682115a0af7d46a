#pragma once

// Small helpers shared by the web tests (header-only; each test is its own executable).

#include "app/window.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonObject>
#include <QLabel>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

namespace websupport {

inline const QString preparing = QStringLiteral("Подготавливаем вход…");
inline const QString scanPrompt = QStringLiteral("Отсканируйте QR и подтвердите вход в приложении");
inline const QString networkError = QStringLiteral("Ошибка сети или сервера");

// The program's own names, so the session file lands where the program would put it (inside the
// isolated test folders).
inline void nameApplication() {
    QCoreApplication::setOrganizationName(QStringLiteral("Tovik"));
    QCoreApplication::setApplicationName(QStringLiteral("Orvelle"));
}

inline QString dataFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

// Removes the session file, the key and their folder.
inline void forgetSession() {
    QDir(dataFolder()).removeRecursively();
}

inline bool waitForText(const QLabel *label, const QString &text, int timeoutMs = 10000) {
    return QTest::qWaitFor([&] { return label->text() == text; }, timeoutMs);
}

struct Outcome {
    bool done = false;
    int calls = 0;
    QJsonObject object;
    QString error;
};

// Sends one request through Window::call and waits (bounded) for its one callback.
inline std::shared_ptr<Outcome> callAndWait(Window &window, const QString &path,
                                            const QJsonObject &body = {}, bool post = false) {
    auto outcome = std::make_shared<Outcome>();
    window.call(path, body, post, [outcome](QJsonObject object, QString error) {
        outcome->done = true;
        ++outcome->calls;
        outcome->object = object;
        outcome->error = error;
    });
    (void)QTest::qWaitFor([&] { return outcome->done; }, 10000);
    return outcome;
}

// A window's start-up is over once the sign-in page shows something other than "preparing".
inline bool startupSettled(const Window &window) {
    const QString text = window.loginStatus->text();
    return !text.isEmpty() && text != preparing;
}

// Writes session.bin the way a confirmed sign-in would, for a session the service already knows.
inline void writeSessionFile(const QByteArray &token) {
    Window writer;
    writer.net.cookieJar()->setCookiesFromUrl(
        {QNetworkCookie(QByteArrayLiteral("tovik_web_session"), token)}, QUrl(writer.baseUrl));
    writer.saveSession();
}

inline bool hasSessionCookie(const Window &window) {
    const QList<QNetworkCookie> cookies =
        window.net.cookieJar()->cookiesForUrl(QUrl(window.baseUrl));
    return std::any_of(cookies.begin(), cookies.end(), [](const QNetworkCookie &cookie) {
        return cookie.name() == QByteArrayLiteral("tovik_web_session");
    });
}

// What a phone would read from a QR image; empty if nothing decodes or zbarimg is missing.
inline QString scanQr(const QImage &image) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("qr.png"));
    const QString zbarimg = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
    if (zbarimg.isEmpty() || image.isNull() || !image.save(file))
        return {};
    QProcess zbar;
    zbar.start(zbarimg, {QStringLiteral("--raw"), QStringLiteral("-q"), file});
    if (!zbar.waitForFinished(20000) || zbar.exitCode() != 0)
        return {};
    return QString::fromUtf8(zbar.readAllStandardOutput().trimmed());
}

inline bool haveDecoder() {
    return !QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty();
}

} // namespace websupport
