#include "calls/nativecalls.h"

#include "realtime/frames.h"
#include "web/service.h"

#include <QSslConfiguration>
#include <QUrl>
#include <QUrlQuery>
#include <QWebSocketProtocol>

#include <utility>

namespace {

// The largest legitimate frame is a screen image of a few hundred kilobytes; a peer sending more
// is closed (code 1009) and the ordinary retry follows, instead of us buffering up to 2 GiB.
constexpr quint64 maxIncomingBytes = 4 * 1024 * 1024;

constexpr int connectTimeoutMs = 10000;
constexpr int retryMs = 1500;

void sendFrame(NativeCalls &calls, const QString &frame) {
    // Payload plus the smallest frame header and mask: never more than what reaches the wire, so
    // the estimate of what is still queued errs low and returns to zero once the socket drains.
    constexpr qint64 minFrameOverhead = 6;
    const qint64 queued = calls.socket.sendTextMessage(frame);
    if (queued > 0)
        calls.unsentBytes += queued + minFrameOverhead;
    if (calls.frameSent)
        calls.frameSent(frame);
}

// Drops the transport and makes sure the disconnect is handled exactly once. abort() reports it
// itself, synchronously, except when the socket has nothing to abort (a failed open leaves it
// like that without ever reporting).
void abortChannel(NativeCalls &calls) {
    bool reported = false;
    const auto probe = QObject::connect(&calls.socket, &QWebSocket::disconnected,
                                        &calls.socketContext, [&reported] { reported = true; });
    calls.socket.abort();
    QObject::disconnect(probe);
    if (!reported)
        calls.onDisconnected();
}

} // namespace

void NativeCalls::setupSocket() {
    socket.setMaxAllowedIncomingFrameSize(maxIncomingBytes);
    socket.setMaxAllowedIncomingMessageSize(maxIncomingBytes);
    connect(&socket, &QWebSocket::textMessageReceived, &socketContext,
            [this](const QString &frame) {
                // Any frame proves the server alive; the open packet says how long it may stay
                // silent.
                if (frame.startsWith(QLatin1Char('0'))) {
                    connectTimer.stop();
                    livenessMs = frames::livenessMs(frame);
                    livenessTimer.start(livenessMs);
                } else if (livenessTimer.isActive()) {
                    livenessTimer.start(livenessMs);
                }
                handle(frame);
            });
    connect(&socket, &QWebSocket::disconnected, &socketContext, [this] { onDisconnected(); });
    // Over TLS this reports the bytes handed to the operating system, so the difference from what
    // we wrote is what waits in the socket's own buffers: the backlog of a slow or stalled link.
    connect(&socket, &QWebSocket::bytesWritten, &socketContext,
            [this](qint64 written) { unsentBytes = qMax<qint64>(0, unsentBytes - written); });
    reconnectTimer.setSingleShot(true);
    connect(&reconnectTimer, &QTimer::timeout, this, [this] { connectSocket(); });
    connectTimer.setSingleShot(true);
    connectTimer.setInterval(connectTimeoutMs);
    connect(&connectTimer, &QTimer::timeout, this, [this] { abortChannel(*this); });
    livenessTimer.setSingleShot(true);
    connect(&livenessTimer, &QTimer::timeout, this, [this] { abortChannel(*this); });
}

void NativeCalls::connectSocket() {
    if (connected || sessionUserId.isEmpty() || sessionToken.isEmpty())
        return;
    QUrl url(service::socketUrl());
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("EIO"), QStringLiteral("4"));
    query.addQueryItem(QStringLiteral("transport"), QStringLiteral("websocket"));
    // QUrlQuery leaves "+" and "%" alone, which the server would read as a space and an escape.
    query.addQueryItem(QStringLiteral("userId"),
                       QString::fromLatin1(QUrl::toPercentEncoding(sessionUserId)));
    url.setQuery(query);
    // A retry still pending would only tear down the attempt that starts here.
    reconnectTimer.stop();
    livenessTimer.stop();
    livenessMs = frames::defaultLivenessMs;
    connectTimer.start();
    // The socket copied the TLS defaults when it was built, before the window installed the
    // trusted roots; take the current ones for every connection.
    socket.setSslConfiguration(QSslConfiguration::defaultConfiguration());
    unsentBytes = 0;
    socket.open(url);
}

void NativeCalls::handle(QString frame) {
    const frames::Received in = frames::classify(frame);
    switch (in.kind) {
    case frames::Kind::Ignored:
        return;
    case frames::Kind::Open:
        sendFrame(*this, frames::connectFrame(sessionToken));
        return;
    case frames::Kind::Ping:
        sendFrame(*this, frames::pongFrame());
        return;
    case frames::Kind::ConnectReply:
        sid = in.sid;
        connected = true;
        ++readyCount;
        reconnectTimer.stop();
        emitEvent(QStringLiteral("native_call"),
                  {{QStringLiteral("action"), QStringLiteral("sync")}});
        if (!callId.isEmpty())
            command(QStringLiteral("resume"));
        return;
    case frames::Kind::NamespaceDisconnect:
        // The server has dropped us but keeps the WebSocket open; closing it lets the ordinary
        // retry bring us back.
        socket.close();
        return;
    case frames::Kind::Event:
        break;
    }
    const QString &name = in.name;
    if (name == QLatin1String("native_audio")) {
        receiveAudio(in.payload);
    } else if (name == QLatin1String("native_call")) {
        update(in.payload);
    } else if (name == QLatin1String("native_calls")) {
        reconcile(in.payload);
    } else if (name == QLatin1String("native_call_error")) {
        callError(in.payload);
    } else if (name == QLatin1String("native_screen")) {
        receiveScreen(in.payload);
    } else if (name == QLatin1String("native_call_pong")) {
        pong(in.payload);
    }
}

void NativeCalls::emitEvent(QString name, QJsonObject payload) {
    if (!connected)
        return;
    sendFrame(*this, frames::eventFrame(name, payload));
}

bool NativeCalls::mediaBacklogged() const {
    return unsentBytes > maxQueuedMediaBytes;
}

bool NativeCalls::emitMedia(QString name, QJsonObject payload) {
    // Late voice and screens are worthless, and a peer that stops reading would otherwise make
    // them pile up without limit. Call control and pongs always go.
    if (mediaBacklogged())
        return false;
    emitEvent(std::move(name), std::move(payload));
    return true;
}

void NativeCalls::setCredentials(const QString &userId, const QString &token) {
    if (userId == sessionUserId && token == sessionToken && connected)
        return;
    sessionUserId = userId;
    sessionToken = token;
    socket.abort();
    connectSocket();
}

void NativeCalls::endSession() {
    command(QStringLiteral("leave"));
    finish();
    sessionUserId.clear();
    sessionToken.clear();
    reconnectTimer.stop();
    socket.close(QWebSocketProtocol::CloseCodeNormal, QString());
}

void NativeCalls::onDisconnected() {
    connected = false;
    connectTimer.stop();
    livenessTimer.stop();
    voice.stop();
    mediaActive = false;
    playbackTimer.stop();
    pingTimer.stop();
    if (!sessionUserId.isEmpty())
        reconnectTimer.start(retryMs);
    const quint64 outageAfter = readyCount;
    QTimer::singleShot(offlineCallMs, Qt::CoarseTimer, this, [this, outageAfter] {
        if (readyCount == outageAfter && !connected && !callRecord.isEmpty())
            finish();
    });
}
