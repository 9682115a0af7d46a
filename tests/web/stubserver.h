#pragma once

// A scripted HTTP/1.1 server on loopback, over TLS with the development certificate or in plain
// text, for the tests that must see raw requests or answers the local service never gives.

#include "tests/support/testutil.h"
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QSslCertificate>

#include <QSslKey>
#include <QSslServer>
#include <QTimer>

#include <functional>
#include <memory>

struct StubRequest {
    QByteArray method;
    QByteArray path;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
    qint64 atMs = 0; // since the server started
    bool hasHeader(const char *name) const { return headers.contains(QByteArray(name)); }
    QByteArray header(const char *name) const { return headers.value(QByteArray(name)); }
};

struct StubReply {
    int status = 200;
    QByteArray body;
    QList<QByteArray> headers; // whole lines without the line end, e.g. "Set-Cookie: a=b"
    bool hang = false;         // read the request, never answer
    int delayMs = 0;           // answer this late
};

inline StubReply stubJson(int status, const QByteArray &json, QList<QByteArray> headers = {}) {
    headers.append(QByteArrayLiteral("Content-Type: application/json"));
    return StubReply{status, json, headers};
}

class StubServer {
public:
    StubServer() { clock.start(); }

    // TLS with the local service's certificate (valid for localhost and 127.0.0.1), or plain.
    bool listen(bool tls = true) {
        server = std::make_unique<QTcpServer>();
        if (tls) {
            const QSslConfiguration config = testutil::serverTls();
            if (config.localCertificate().isNull())
                return false;
            auto sslServer = std::make_unique<QSslServer>();
            sslServer->setSslConfiguration(config);
            server = std::move(sslServer);
        }
        QObject::connect(server.get(), &QTcpServer::pendingConnectionAvailable, server.get(),
                         [this] { acceptAll(); });
        return server->listen(QHostAddress::LocalHost, 0);
    }

    quint16 port() const { return server ? server->serverPort() : 0; }

    QList<StubRequest> requestsFor(const QByteArray &path) const {
        QList<StubRequest> found;
        std::copy_if(requests.begin(), requests.end(), std::back_inserter(found),
                     [&](const StubRequest &request) { return request.path == path; });
        return found;
    }

    std::function<StubReply(const StubRequest &)> respond = [](const StubRequest &) {
        return stubJson(200, "{}");
    };
    QList<StubRequest> requests;

private:
    void acceptAll() {
        while (QTcpSocket *socket = server->nextPendingConnection()) {
            socket->setParent(server.get());
            auto buffer = std::make_shared<QByteArray>();
            auto read = [this, socket, buffer] {
                buffer->append(socket->readAll());
                serve(socket, *buffer);
            };
            QObject::connect(socket, &QTcpSocket::readyRead, socket, read);
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            read(); // the first request may have come in with the end of the handshake
        }
    }

    // Answers every complete request in `buffer`, in order, on the same connection.
    void serve(QTcpSocket *socket, QByteArray &buffer) {
        for (qsizetype headEnd; (headEnd = buffer.indexOf("\r\n\r\n")) >= 0;) {
            StubRequest request;
            const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.path = first.value(1);
            for (const QByteArray &line : lines.mid(1)) {
                const qsizetype colon = line.indexOf(':');
                if (colon > 0)
                    request.headers.insert(line.left(colon).trimmed().toLower(),
                                           line.mid(colon + 1).trimmed());
            }
            const qsizetype length = request.header("content-length").toLongLong();
            if (buffer.size() < headEnd + 4 + length)
                return;
            request.body = buffer.mid(headEnd + 4, length);
            buffer.remove(0, headEnd + 4 + length);
            request.atMs = clock.elapsed();
            requests.append(request);

            const StubReply reply = respond(request);
            if (reply.hang)
                continue;
            QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + " Stub\r\n";
            for (const QByteArray &line : reply.headers)
                out += line + "\r\n";
            out += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n\r\n";
            out += reply.body;
            QTimer::singleShot(reply.delayMs, socket, [socket, out] { socket->write(out); });
        }
    }

    std::unique_ptr<QTcpServer> server;
    QElapsedTimer clock;
};
