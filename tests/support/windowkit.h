#pragma once

// Shared by the window suites: the program's names and folders, session cookies, a log of the
// requests a window made, and what a phone would read from the QR code.

#include "app/window.h"
#include "tests/support/testkit.h"
#include "web/service.h"
#include "web/servicetesthook.h"

#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>

namespace win {

inline const QString preparing = QStringLiteral("Подготавливаем вход…");
inline const QString scanPrompt = QStringLiteral("Отсканируйте QR и подтвердите вход в приложении");
inline const QString networkError = QStringLiteral("Ошибка сети или сервера");
constexpr auto Get = QNetworkAccessManager::GetOperation;
constexpr auto Post = QNetworkAccessManager::PostOperation;

// Isolated data, the program's own names (so the session file lands where the program puts it)
// and the trust the window would install.
inline void prepare() {
    testutil::isolateUserData();
    QCoreApplication::setOrganizationName(QStringLiteral("Tovik"));
    QCoreApplication::setApplicationName(QStringLiteral("Orvelle"));
    service::installTrust();
}

inline QString dataFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

inline void setSession(Window &w, const QByteArray &token) {
    QNetworkCookie cookie(QByteArrayLiteral("tovik_web_session"), token);
    cookie.setPath(QStringLiteral("/"));
    cookie.setSecure(true);
    w.net.cookieJar()->setCookiesFromUrl({cookie}, QUrl(w.baseUrl));
}

// session.bin as a confirmed sign-in would write it.
inline void writeSessionFile(const QByteArray &token) {
    Window writer;
    setSession(writer, token);
    writer.saveSession();
}

inline bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

inline bool hasSessionCookie(const Window &w) {
    for (const QNetworkCookie &c : w.net.cookieJar()->cookiesForUrl(QUrl(w.baseUrl)))
        if (c.name() == "tovik_web_session")
            return true;
    return false;
}

inline QStringList rowTexts(const QListWidget *list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

// Waits until no request of the window is in flight, including those its handlers started.
inline bool settled(Window &w, int timeoutMs = 60000) {
    return waitUntil(
        [&] {
            const auto replies = w.net.findChildren<QNetworkReply *>();
            return std::all_of(replies.begin(), replies.end(),
                               [](auto *r) { return r->isFinished(); });
        },
        timeoutMs);
}

// Every finished request of one window, in order.
class RequestLog : public QObject {
public:
    struct Entry {
        QNetworkAccessManager::Operation operation;
        QString path; // percent-encoded as sent
        int transferTimeout;
    };
    explicit RequestLog(Window &w) {
        connect(&w.net, &QNetworkAccessManager::finished, this, [this](QNetworkReply *reply) {
            entries.append({reply->operation(), reply->url().path(QUrl::FullyEncoded),
                            reply->request().transferTimeout()});
        });
    }
    int count(QNetworkAccessManager::Operation operation, const QString &pathPart) const {
        return int(std::count_if(entries.begin(), entries.end(), [&](const Entry &e) {
            return e.operation == operation && e.path.contains(pathPart);
        }));
    }
    QList<Entry> entries;
};

// A window whose start-up chatter (the failing who-am-I and the QR sign-in after it) is over, with
// an empty log, signed in by cookie as u1 when a token is given.
inline std::unique_ptr<Window> quietWindow(std::unique_ptr<RequestLog> &log,
                                           const QByteArray &token = {}) {
    auto w = std::make_unique<Window>();
    log = std::make_unique<RequestLog>(*w);
    if (!waitUntil([&] { return log->count(Get, "/web/me") > 0; }))
        return nullptr;
    waitUntil([&] { return log->count(Post, "/web/start") > 0; }, 5000);
    w->pollTimer.stop();
    log->entries.clear();
    if (!token.isEmpty()) {
        setSession(*w, token);
        w->userId = QStringLiteral("u1");
    }
    return w;
}

// What a phone reads from a QR image; empty if nothing decodes or zbarimg is missing.
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

} // namespace win
