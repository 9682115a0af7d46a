#pragma once

// Shared by the suites: table rows, JSON literals, a scripted HTTPS server, a scripted audio device
// and a call controller that records everything it sends, receives and shows.

#include "calls/audiodevice.h"
#include "calls/nativecalls.h"
#include "realtime/frames.h"
#include "tests/support/testutil.h"
#include "web/service.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QSslServer>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>

using testutil::waitUntil;

template <typename... Columns> void row(const char *name, const Columns &...columns) {
    (QTest::newRow(name) << ... << columns);
}

inline QJsonObject json(const QByteArray &text) {
    return QJsonDocument::fromJson(text).object();
}

struct StubRequest {
    QByteArray method, path, body;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    qint64 atMs = 0;                       // since the server started
    QByteArray header(const char *name) const { return headers.value(QByteArray(name)); }
};

struct StubReply {
    int status = 200;
    QByteArray body;
    QList<QByteArray> headers; // whole lines, e.g. "Set-Cookie: a=b"
    int delayMs = 0;
    QByteArray raw; // sent as it is, then the connection is closed
};

inline StubReply stubJson(int status, const QByteArray &body, QList<QByteArray> headers = {},
                          int delayMs = 0) {
    headers.append("Content-Type: application/json");
    return StubReply{status, body, headers, delayMs, {}};
}

// HTTP/1.1 on loopback, over TLS with the local service's certificate (valid for localhost), for
// the requests and answers the local service never shows.
class StubServer {
public:
    bool listen() {
        clock.start();
        server = std::make_unique<QSslServer>();
        server->setSslConfiguration(testutil::serverTls());
        QObject::connect(server.get(), &QTcpServer::pendingConnectionAvailable, server.get(),
                         [this] {
                             while (QTcpSocket *socket = server->nextPendingConnection())
                                 accept(socket);
                         });
        return server->listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return server->serverPort(); }
    QList<StubRequest> requestsFor(const QByteArray &path) const {
        QList<StubRequest> found;
        for (const StubRequest &r : requests)
            if (r.path == path)
                found << r;
        return found;
    }

    std::function<StubReply(const StubRequest &)> respond = [](const StubRequest &) {
        return stubJson(200, "{}");
    };
    QList<StubRequest> requests;

private:
    void accept(QTcpSocket *socket) {
        socket->setParent(server.get());
        auto buffer = std::make_shared<QByteArray>();
        auto read = [this, socket, buffer] {
            buffer->append(socket->readAll());
            serve(socket, *buffer);
        };
        QObject::connect(socket, &QTcpSocket::readyRead, socket, read);
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        read();
    }
    void serve(QTcpSocket *socket, QByteArray &buffer) {
        for (qsizetype end; (end = buffer.indexOf("\r\n\r\n")) >= 0;) {
            StubRequest r;
            const QList<QByteArray> lines = buffer.left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            r.method = first.value(0);
            r.path = first.value(1);
            for (const QByteArray &line : lines.mid(1))
                if (const qsizetype colon = line.indexOf(':'); colon > 0)
                    r.headers.insert(line.left(colon).trimmed().toLower(),
                                     line.mid(colon + 1).trimmed());
            const qsizetype length = r.header("content-length").toLongLong();
            if (buffer.size() < end + 4 + length)
                return;
            r.body = buffer.mid(end + 4, length);
            buffer.remove(0, end + 4 + length);
            r.atMs = clock.elapsed();
            requests.append(r);
            const StubReply reply = respond(r);
            QByteArray out = reply.raw;
            if (out.isEmpty()) {
                out = "HTTP/1.1 " + QByteArray::number(reply.status) + " Stub\r\n";
                for (const QByteArray &line : reply.headers)
                    out += line + "\r\n";
                out += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n\r\n" +
                       reply.body;
            }
            const bool close = !reply.raw.isEmpty();
            QTimer::singleShot(reply.delayMs, socket, [socket, out, close] {
                socket->write(out);
                if (close)
                    socket->disconnectFromHost();
            });
        }
    }

    std::unique_ptr<QSslServer> server;
    QElapsedTimer clock;
};

// A scriptable audio device: refuses to open on demand, holds a fixed playback depth, and delivers
// capture blocks from whatever thread calls capture(). The state outlives the device.
struct FakeAudioState {
    bool failOpen = false;
    int maxQueued = 8, queued = 0, opens = 0, closes = 0;
    QList<QByteArray> written;
    AudioDevice::CaptureCallback capture;
    AudioDevice::LostCallback lost; // as the audio system going away would report it
    std::atomic<bool> open{false};
    bool takesPlayback = false; // asks for playback itself through `source`
    AudioDevice::PlaybackSource source;
    int arrivals = 0;
};

class FakeAudioDevice : public AudioDevice {
public:
    explicit FakeAudioDevice(std::shared_ptr<FakeAudioState> s)
        : state(std::move(s)) {}
    bool open(CaptureCallback onCaptured) override {
        ++state->opens;
        if (state->failOpen)
            return false;
        state->capture = std::move(onCaptured);
        return state->open = true;
    }
    void close() override {
        state->closes += state->open ? 1 : 0;
        state->open = false;
        state->queued = 0;
    }
    bool isOpen() const override { return state->open; }
    bool canWrite() override { return state->open && state->queued < state->maxQueued; }
    void write(const char *block) override {
        ++state->queued;
        state->written.append(QByteArray(block, blockBytes));
    }
    void reset() override { state->queued = 0; }
    void setLostCallback(LostCallback onLost) override { state->lost = std::move(onLost); }
    bool setPlaybackSource(PlaybackSource source) override {
        state->source = std::move(source);
        return state->takesPlayback;
    }
    void playbackArrived() override { ++state->arrivals; }
    std::shared_ptr<FakeAudioState> state;
};

inline void captureBlock(FakeAudioState &audio, const QByteArray &block) {
    if (audio.open && audio.capture)
        audio.capture(block.constData(), int(block.size()));
}

// One call controller under its own main window, as the program builds it, with a fake audio
// device. Every frame it writes and receives, every beep, balloon and message box is recorded;
// boxes are answered from inside their own event loop.
struct CallClient {
    QStringList sent, received, boxes,
        balloons; // boxes "title|text|icon", balloons "title|text|ms"
    int beeps = 0, disconnects = 0;
    bool acceptBoxes = true;
    std::function<void()> onBox; // runs inside each box's event loop before it is answered
    std::shared_ptr<FakeAudioState> audio = std::make_shared<FakeAudioState>();
    QNetworkAccessManager net;
    QWidget main;
    NativeCalls *calls = nullptr;

    explicit CallClient(bool fakeAudio = true) {
        calls = new NativeCalls(&net, &main);
        if (fakeAudio)
            calls->voice.setDevice(std::make_unique<FakeAudioDevice>(audio));
        calls->frameSent = [this](const QString &frame) { sent << frame; };
        calls->beeped = [this] { ++beeps; };
        calls->balloonShown = [this](const QString &title, const QString &text,
                                     QSystemTrayIcon::MessageIcon, int ms) {
            balloons << QStringLiteral("%1|%2|%3").arg(title, text).arg(ms);
        };
        QObject::connect(&calls->socket, &QWebSocket::textMessageReceived, &main,
                         [this](const QString &frame) { received << frame; });
        QObject::connect(&calls->socket, &QWebSocket::disconnected, &main,
                         [this] { ++disconnects; });
        auto *closer = new QTimer(&main);
        QObject::connect(closer, &QTimer::timeout, &main, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            if (onBox)
                onBox();
            boxes << box->windowTitle() + '|' + box->text() + '|' +
                         (box->icon() == QMessageBox::Warning ? "warning" : "information");
            testutil::closeModalBox(acceptBoxes);
        });
        closer->start(20);
    }
    ~CallClient() {
        calls->sessionUserId.clear();
        calls->reconnectTimer.stop();
    }

    // Ready and signed in as u1 on device "sidA", without a network.
    CallClient &offline(const QString &callId = {}) {
        calls->sessionUserId = QStringLiteral("u1");
        calls->sid = QStringLiteral("sidA");
        calls->connected = true;
        calls->callId = callId;
        return *this;
    }
    bool signIn(const QString &user, const QString &token, int timeoutMs = 15000) {
        calls->setCredentials(user, token);
        return waitUntil([this] { return calls->connected; }, timeoutMs);
    }

    // Payloads of the events of one name, sent or received.
    static QList<QJsonObject> events(const QStringList &frames, const QString &name) {
        QList<QJsonObject> out;
        for (const QString &frame : frames) {
            const frames::Received in = frames::classify(frame);
            if (in.kind == frames::Kind::Event && in.name == name)
                out << in.payload;
        }
        return out;
    }
    QList<QJsonObject> sentEvents(const QString &name) const { return events(sent, name); }
    QList<QJsonObject> receivedEvents(const QString &name) const { return events(received, name); }
    // "action[:chatId or id]" of every call command sent.
    QStringList actions() const {
        QStringList out;
        for (const QJsonObject &p : sentEvents(QStringLiteral("native_call"))) {
            QString a = p.value("action").toString();
            if (p.contains("chatId"))
                a += ':' + p.value("chatId").toString();
            else if (p.contains("id"))
                a += ':' + p.value("id").toVariant().toString();
            out << a;
        }
        return out;
    }
};

inline QString callFrame(const QString &action, const QJsonValue &id = QJsonValue::Undefined) {
    QJsonObject payload{{"action", action}};
    if (!id.isUndefined())
        payload.insert("id", id);
    return frames::eventFrame(QStringLiteral("native_call"), payload);
}

// Call `id` between u2 ("Борис") and u1 ("Анна"), whose own entry is given, as JSON text.
inline QByteArray callText(const char *state, const char *caller, const char *own,
                           const char *device, const char *id = "c1") {
    return QStringLiteral(R"({"id":"%5","chatId":"u1-u2","state":"%1","callerId":"%2","members":[)"
                          R"({"userId":"u2","name":"Борис","state":"JOINED"},)"
                          R"({"userId":"u1","name":"Анна","state":"%3","deviceId":"%4"}]})")
        .arg(state, caller, own, device, id)
        .toUtf8();
}
