#pragma once

#include "calls/nativecalls.h"
#include "realtime/frames.h"
#include "tests/support/fakeaudiodevice.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QStringList>
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
        return sent.filter(
            QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(prefix)));
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
};

inline QString callFrame(const QString &name, const QJsonValue &id = QJsonValue::Undefined) {
    QJsonObject payload{{QStringLiteral("action"), name}};
    if (!id.isUndefined())
        payload.insert(QStringLiteral("id"), id);
    return frames::eventFrame(QStringLiteral("native_call"), payload);
}

inline QString syncFrame() {
    return callFrame(QStringLiteral("sync"));
}

inline bool waitReady(TestClient &client, int timeoutMs = 10000) {
    return QTest::qWaitFor([&] { return client.calls->connected; }, timeoutMs);
}
