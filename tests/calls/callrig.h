#pragma once

#include "calls/nativecalls.h"
#include "tests/support/fakeaudiodevice.h"
#include "tests/support/testutil.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <memory>

// Call records as the tests write them. The signed-in user is u1 on device "sidA"; "sidB" is
// another of u1's devices and "sidX" the other side's.
namespace rec {

inline QJsonObject member(const QString &user, const QString &state, const QString &device = {}) {
    static const QHash<QString, QString> names{{"u1", "Анна"}, {"u2", "Борис"}, {"u3", "Вера"}};
    return {{"userId", user},
            {"name", names.value(user, user)},
            {"state", state},
            {"deviceId", device}};
}

inline QJsonObject call(const QString &id, const QString &state, const QString &caller,
                        const QJsonObject &first, const QJsonObject &second,
                        const QString &acceptedAt = {}) {
    return {{"id", id},
            {"chatId", "u1-u2"},
            {"state", state},
            {"callerId", caller},
            {"members", QJsonArray{first, second}},
            {"acceptedAt", acceptedAt}};
}

inline QJsonObject ringingIn(const QString &id = QStringLiteral("c1")) {
    return call(id, "RINGING", "u2", member("u2", "JOINED", "sidX"), member("u1", "INVITED"));
}

inline QJsonObject activeHere(const QString &id = QStringLiteral("c1")) {
    return call(id, "ACTIVE", "u2", member("u2", "JOINED", "sidX"), member("u1", "JOINED", "sidA"),
                "2024-05-01T10:00:00.000Z");
}

inline QJsonObject placed(const QString &id = QStringLiteral("c1")) {
    return call(id, "RINGING", "u1", member("u1", "JOINED", "sidA"), member("u2", "INVITED"));
}

inline QJsonObject placedActive(const QString &id = QStringLiteral("c1")) {
    return call(id, "ACTIVE", "u1", member("u1", "JOINED", "sidA"), member("u2", "JOINED", "sidX"),
                "2024-05-01T10:00:00.000Z");
}

} // namespace rec

namespace callrig {

inline QJsonObject callPayload(const QString &frame) {
    if (!frame.startsWith(QLatin1String("42")))
        return {};
    const QJsonArray event = QJsonDocument::fromJson(frame.mid(2).toUtf8()).array();
    if (event.at(0).toString() != QLatin1String("native_call"))
        return {};
    return event.at(1).toObject();
}

// The offscreen platform has no tray and no window manager and says so on every window; those
// lines would bury the test output.
inline void quietPlatform() {
    static QtMessageHandler previous = nullptr;
    previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
            if (!message.startsWith(QLatin1String("This plugin does not support")) &&
                !message.contains(QLatin1String("systemTrayWindowChanged")) && previous)
                previous(type, context, message);
        });
}

} // namespace callrig

// One NativeCalls under its own main window, ready and signed in as u1, with a fake audio device
// and every outgoing frame, beep, balloon and message box recorded.
class CallRig {
public:
    CallRig() {
        calls = new NativeCalls(nullptr, &main);
        calls->sessionUserId = QStringLiteral("u1");
        calls->sid = QStringLiteral("sidA");
        calls->connected = true;
        calls->frameSent = [this](const QString &frame) { frames.append(frame); };
        calls->beeped = [this] { ++beeps; };
        calls->balloonShown = [this](const QString &title, const QString &text,
                                     QSystemTrayIcon::MessageIcon icon, int ms) {
            balloons.append(QStringLiteral("%1|%2|%3|%4")
                                .arg(title, text,
                                     icon == QSystemTrayIcon::Information ? "information" : "other")
                                .arg(ms));
        };
        calls->voice.setDevice(std::make_unique<FakeAudioDevice>(audio));
        // Boxes run their own event loop; this answers each one from inside it.
        auto *closer = new QTimer(&main);
        QObject::connect(closer, &QTimer::timeout, &main, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            const char *icon = box->icon() == QMessageBox::Information ? "information"
                               : box->icon() == QMessageBox::Warning   ? "warning"
                                                                       : "other";
            boxes.append(box->windowTitle() + QLatin1Char('|') + box->text() + QLatin1Char('|') +
                         QLatin1String(icon));
            testutil::closeModalBox();
        });
        closer->start(20);
    }
    ~CallRig() {
        // No retry may outlive the rig.
        calls->sessionUserId.clear();
        calls->reconnectTimer.stop();
    }
    CallRig(const CallRig &) = delete;
    CallRig &operator=(const CallRig &) = delete;

    // "action[:id or chatId]" for every "native_call" event sent.
    QStringList sentActions() const {
        QStringList actions;
        for (const QString &frame : frames) {
            const QJsonObject payload = callrig::callPayload(frame);
            if (payload.isEmpty())
                continue;
            QString action = payload.value(QLatin1String("action")).toString();
            if (payload.contains(QLatin1String("chatId")))
                action += QLatin1Char(':') + payload.value(QLatin1String("chatId")).toString();
            else if (payload.contains(QLatin1String("id")))
                action +=
                    QLatin1Char(':') + payload.value(QLatin1String("id")).toVariant().toString();
            actions.append(action);
        }
        return actions;
    }
    // The last frame's "native_call" payload, or an empty object.
    QJsonObject lastCall() const { return callrig::callPayload(frames.value(frames.size() - 1)); }

    // One line with everything the state tables compare; fields still at their idle value are
    // left out, so an idle controller reads "".
    QString summary() const {
        const NativeCalls &c = *calls;
        QStringList out;
        auto field = [&out](const char *name, const QString &value, const QString &idle = "0") {
            if (value != idle)
                out << QLatin1String(name) + QLatin1Char('=') + value;
        };
        if (!c.callRecord.isEmpty())
            field("held", c.callRecord.value(QLatin1String("id")).toString() + QLatin1Char('/') +
                              c.callRecord.value(QLatin1String("state")).toString());
        field("callId", c.callId, {});
        field("pending", QString::number(c.dialPending));
        field("abandoned", QString::number(c.dialAbandoned));
        field("window", QString::number(c.callDialog.isVisible()));
        field("ring", QString::number(c.ringTimer.isActive()));
        QString media = QString::number(c.mediaActive);
        if (c.playbackTimer.isActive() != c.mediaActive ||
            c.pingTimer.isActive() != c.mediaActive || c.durationTimer.isActive() != c.mediaActive)
            media += QStringLiteral("(timers disagree)");
        if (c.mediaActive != audio->open.load())
            media += QStringLiteral("(device disagrees)");
        field("media", media);
        field("sent", sentActions().join(QLatin1Char(',')), {});
        field("balloons", QString::number(balloons.size()));
        field("beeps", QString::number(beeps));
        field("boxes", QString::number(boxes.size()));
        return out.join(QLatin1Char(' '));
    }

    QWidget main;
    NativeCalls *calls = nullptr;
    std::shared_ptr<FakeAudioState> audio = std::make_shared<FakeAudioState>();
    QStringList frames;
    QStringList balloons; // "title|text|icon|ms"
    int beeps = 0;
    QStringList boxes; // "title|text|icon"
};
