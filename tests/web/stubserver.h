#pragma once

// A scripted HTTP/1.1 server on loopback, over TLS with the development certificate or in plain
// text, for the tests that must see raw requests or answers the local service never gives.

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
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
    using Responder = std::function<StubReply(const StubRequest &)>;

    StubServer() { clock.start(); }

    // TLS with the local service's certificate (valid for localhost and 127.0.0.1), or plain.
    bool listen(bool tls = true) {
        if (tls) {
            auto sslServer = std::make_unique<QSslServer>();
            QFile certFile(QStringLiteral(TOVIK_LOCALSERVICE_DIR "/certs/server.pem"));
            QFile keyFile(QStringLiteral(TOVIK_LOCALSERVICE_DIR "/certs/server.key"));
            if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
                return false;
            QSslConfiguration config = QSslConfiguration::defaultConfiguration();
            config.setLocalCertificateChain(QSslCertificate::fromData(certFile.readAll()));
            const QByteArray keyPem = keyFile.readAll();
            QSslKey key(keyPem, QSsl::Rsa);
            if (key.isNull())
                key = QSslKey(keyPem, QSsl::Ec);
            config.setPrivateKey(key);
            config.setPeerVerifyMode(QSslSocket::VerifyNone);
            sslServer->setSslConfiguration(config);
            server = std::move(sslServer);
        } else {
            server = std::make_unique<QTcpServer>();
        }
        QObject::connect(server.get(), &QTcpServer::pendingConnectionAvailable, server.get(),
                         [this] { acceptAll(); });
        return server->listen(QHostAddress::LocalHost, 0);
    }

    quint16 port() const { return server ? server->serverPort() : 0; }

    // Drops every open connection; hanging requests then fail on the client side.
    void dropConnections() {
        for (const QPointer<QTcpSocket> &socket : sockets) {
            if (socket)
                socket->abort();
        }
    }

    QList<StubRequest> requestsFor(const QByteArray &path) const {
        QList<StubRequest> found;
        for (const StubRequest &request : requests) {
            if (request.path == path)
                found.append(request);
        }
        return found;
    }

    Responder respond = [](const StubRequest &) {
        return stubJson(404, R"({"message":"Нет такого адреса"})");
    };
    QList<StubRequest> requests;

private:
    void acceptAll() {
        while (QTcpSocket *socket = server->nextPendingConnection()) {
            socket->setParent(server.get());
            sockets.append(socket);
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                buffer->append(socket->readAll());
                serve(socket, *buffer);
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            // The first request may have come in with the end of the handshake.
            if (socket->bytesAvailable() > 0) {
                buffer->append(socket->readAll());
                serve(socket, *buffer);
            }
        }
    }

    // Answers every complete request in `buffer`, in order, on the same connection.
    void serve(QTcpSocket *socket, QByteArray &buffer) {
        for (;;) {
            const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
            if (headEnd < 0)
                return;
            StubRequest request;
            const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.path = first.value(1);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                           lines[i].mid(colon + 1).trimmed());
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
            if (reply.delayMs > 0)
                QTimer::singleShot(reply.delayMs, socket, [socket, out] { socket->write(out); });
            else
                socket->write(out);
        }
    }

    std::unique_ptr<QTcpServer> server;
    QList<QPointer<QTcpSocket>> sockets;
    QElapsedTimer clock;
};
