#pragma once

#include "calls/nativecalls.h"
#include "realtime/frames.h"
#include "tests/support/fakeaudiodevice.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QStringList>
#include <QTcpServer>
#include <QTest>
#include <QWidget>

#include <memory>

// One call controller as the program builds it (a main window as parent), with a scripted audio
// device and a record of every frame it writes and receives.
struct TestClient {
    // Declared before the window so they outlive the controller and its handlers.
    QStringList sent;
    QStringList received;
    int disconnects = 0;
    std::shared_ptr<FakeAudioState> audio = std::make_shared<FakeAudioState>();
    std::function<void(const QString &)> onReceived;
    QNetworkAccessManager network;
    QWidget window;
    NativeCalls *calls = nullptr;

    TestClient() {
        calls = new NativeCalls(&network, &window);
        calls->voice.setDevice(std::make_unique<FakeAudioDevice>(audio));
        calls->frameSent = [this](const QString &frame) { sent << frame; };
        // Connected after the controller's own handlers, so these see the state they left.
        QObject::connect(&calls->socket, &QWebSocket::textMessageReceived, &window,
                         [this](const QString &frame) {
                             received << frame;
                             if (onReceived)
                                 onReceived(frame);
                         });
        QObject::connect(&calls->socket, &QWebSocket::disconnected, &window,
                         [this] { ++disconnects; });
    }

    QStringList sentStartingWith(const QString &prefix) const {
        QStringList out;
        for (const QString &frame : sent)
            if (frame.startsWith(prefix))
                out << frame;
        return out;
    }

    // Received events of one name, payloads in arrival order.
    QList<QJsonObject> events(const QString &name) const {
        QList<QJsonObject> out;
        for (const QString &frame : received) {
            const frames::Received in = frames::classify(frame);
            if (in.kind == frames::Kind::Event && in.name == name)
                out << in.payload;
        }
        return out;
    }

    int count(const QStringList &list, const QString &frame) const {
        return int(list.count(frame));
    }
};

inline QString eventText(const QString &name, const QJsonObject &payload) {
    return frames::eventFrame(name, payload);
}

inline QJsonObject action(const QString &name, const QJsonValue &id = QJsonValue::Undefined) {
    QJsonObject payload{{QStringLiteral("action"), name}};
    if (!id.isUndefined())
        payload.insert(QStringLiteral("id"), id);
    return payload;
}

inline QString syncFrame() {
    return eventText(QStringLiteral("native_call"), action(QStringLiteral("sync")));
}

// A loopback port with nothing listening on it.
inline int freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A user's member entry in a call record.
inline QJsonObject member(const QJsonObject &record, const QString &userId) {
    for (const QJsonValue &m : record.value(QStringLiteral("members")).toArray())
        if (m.toObject().value(QStringLiteral("userId")).toString() == userId)
            return m.toObject();
    return {};
}

inline bool waitReady(TestClient &client, int timeoutMs = 10000) {
    return QTest::qWaitFor([&] { return client.calls->connected; }, timeoutMs);
}

// Against the local service: u1 calls u2 in their direct chat and u2 accepts. Returns the call id,
// empty if the call did not become active.
inline QString establishCall(TestClient &u1, TestClient &u2) {
    u1.calls->emitEvent(QStringLiteral("native_call"),
                        {{QStringLiteral("action"), QStringLiteral("invite")},
                         {QStringLiteral("chatId"), QStringLiteral("u1-u2")}});
    if (!QTest::qWaitFor([&] { return !u2.events(QStringLiteral("native_call")).isEmpty(); }, 5000))
        return {};
    const QString id =
        u2.events(QStringLiteral("native_call")).first().value(QStringLiteral("id")).toString();
    u2.calls->emitEvent(QStringLiteral("native_call"), action(QStringLiteral("accept"), id));
    const bool active = QTest::qWaitFor(
        [&] {
            const auto records = u1.events(QStringLiteral("native_call"));
            return !records.isEmpty() &&
                   records.last().value(QStringLiteral("state")) == QStringLiteral("ACTIVE");
        },
        5000);
    return active ? id : QString();
}
