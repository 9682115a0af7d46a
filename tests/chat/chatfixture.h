#pragma once

// Shared by the chat tests: a window signed in by cookie alone, a log of the requests it made,
// and a small TLS server for the request shapes the local service cannot show.

#include "app/window.h"
#include "web/service.h"
#include "web/servicetesthook.h"

#include "tests/support/testutil.h"
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QNetworkCookieJar>
#include <QNetworkReply>

#include <QSslKey>
#include <QSslServer>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace chattest {

constexpr int waitMs = 20000;

// Runs the event loop until done() holds or the time is up. Unlike QTest::qWaitFor it does not
// sleep between rounds, so transfers that hop between threads run at full speed.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs = waitMs) {
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
    poll.start(5);
    loop.exec();
    return done();
}

// One row of a QtTest data table.
template <typename... Columns> void row(const char *name, const Columns &...columns) {
    (QTest::newRow(name) << ... << columns);
}

// The session cookie the service's sign-in would have set, without going through sign-in.
inline void setSession(Window &w, const QByteArray &token) {
    QNetworkCookie cookie(QByteArrayLiteral("tovik_web_session"), token);
    cookie.setPath(QStringLiteral("/"));
    cookie.setSecure(true);
    w.net.cookieJar()->setCookiesFromUrl({cookie}, QUrl(service::baseUrl()));
}

inline QStringList rowTexts(const QListWidget *list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

inline QListWidgetItem *rowWithData(const QListWidget *list, const QString &value) {
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->data(Qt::UserRole).toString() == value)
            return list->item(i);
    }
    return nullptr;
}

// Every request of one window that has finished, in the order they finished.
class RequestLog : public QObject {
public:
    struct Entry {
        QNetworkAccessManager::Operation operation;
        QString path; // percent-encoded as sent
        int status;
        int transferTimeout;
    };

    explicit RequestLog(Window &w) {
        connect(&w.net, &QNetworkAccessManager::finished, this, [this](QNetworkReply *reply) {
            entries.append({reply->operation(), reply->url().path(QUrl::FullyEncoded),
                            reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                            reply->request().transferTimeout()});
        });
    }

    int count(QNetworkAccessManager::Operation operation, const QString &pathPart) const {
        int n = 0;
        for (const Entry &e : entries)
            n += e.operation == operation && e.path.contains(pathPart) ? 1 : 0;
        return n;
    }

    QList<Entry> entries;
};

// A window whose start-up chatter is over: its "me" without a session has failed and the QR
// sign-in that follows has had its first reply, so from here on only the chat code talks. The log
// is emptied. Null when "me" never finished.
inline std::unique_ptr<Window> openQuietWindow(std::unique_ptr<RequestLog> &log) {
    auto window = std::make_unique<Window>();
    log = std::make_unique<RequestLog>(*window);
    RequestLog *seen = log.get();
    if (!waitUntil([&] { return seen->count(QNetworkAccessManager::GetOperation, "/web/me") > 0; }))
        return nullptr;
    const bool signInStarted = waitUntil(
        [&] { return seen->count(QNetworkAccessManager::PostOperation, "/web/start") > 0; }, 5000);
    Q_UNUSED(signInStarted);
    window->pollTimer.stop();
    seen->entries.clear();
    return window;
}

// One HTTPS connection at a time, with the local service's certificate, answering each complete
// request with whatever respond() returns. The raw request bytes are kept for inspection.
class StubServer : public QObject {
public:
    std::function<QByteArray(const QByteArray &request)> respond;
    QList<QByteArray> requests;

    bool start() {
        const QSslConfiguration config = testutil::serverTls();
        if (config.localCertificate().isNull())
            return false;
        server.setSslConfiguration(config);
        // newConnection comes before the handshake; this one once a socket is ready to read.
        connect(&server, &QSslServer::pendingConnectionAvailable, this, [this] {
            while (auto *socket = qobject_cast<QSslSocket *>(server.nextPendingConnection()))
                serve(socket);
        });
        return server.listen(QHostAddress::LocalHost, 0);
    }

    int port() const { return server.serverPort(); }

    // name in lower case
    static QByteArray header(const QByteArray &request, const QByteArray &name) {
        const QByteArray head = request.left(request.indexOf("\r\n\r\n"));
        for (const QByteArray &line : head.split('\n')) {
            if (line.toLower().startsWith(name + ':'))
                return line.mid(name.size() + 1).trimmed();
        }
        return {};
    }

    static QByteArray body(const QByteArray &request) {
        return request.mid(request.indexOf("\r\n\r\n") + 4);
    }

private:
    void serve(QSslSocket *socket) {
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QSslSocket::readyRead, this, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const qsizetype length = header(*buffer, "content-length").toLongLong();
            if (buffer->size() < end + 4 + length)
                return;
            const QByteArray request = buffer->left(end + 4 + length);
            buffer->remove(0, request.size());
            requests.append(request);
            const QByteArray answer = respond ? respond(request) : QByteArray();
            if (answer.isEmpty())
                return; // stall: never answer
            socket->write(answer);
            socket->disconnectFromHost();
        });
    }

    QSslServer server;
};

inline QByteArray httpAnswer(int status, const QByteArray &body,
                             const QByteArray &type = "application/json") {
    return "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Type: " + type +
           "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// Chat routes succeed with nothing in them; the rest is refused so start-up stays quiet.
inline QByteArray chatRoutesOnly(const QByteArray &request) {
    if (request.contains("/files "))
        return httpAnswer(201, "{}");
    return request.contains("/web/chats/") ? httpAnswer(200, R"({"messages":[]})")
                                           : httpAnswer(401, "{}");
}

// A quiet window talking to the stub; the core library is pointed back at servicePort after.
inline std::unique_ptr<Window> openStubWindow(StubServer &stub, std::unique_ptr<RequestLog> &log,
                                              int servicePort) {
    servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
    std::unique_ptr<Window> window = openQuietWindow(log);
    servicetesthook::pointAt(QStringLiteral("localhost"), servicePort);
    stub.requests.clear();
    return window;
}

} // namespace chattest
