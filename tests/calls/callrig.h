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
    static const QHash<QString, QString> names{{QStringLiteral("u1"), QStringLiteral("Анна")},
                                               {QStringLiteral("u2"), QStringLiteral("Борис")},
                                               {QStringLiteral("u3"), QStringLiteral("Вера")}};
    return {{QStringLiteral("userId"), user},
            {QStringLiteral("name"), names.value(user, user)},
            {QStringLiteral("state"), state},
            {QStringLiteral("deviceId"), device}};
}

inline QJsonObject call(const QString &id, const QString &state, const QString &caller,
                        const QList<QJsonObject> &members, const QString &acceptedAt = {}) {
    QJsonArray list;
    for (const QJsonObject &m : members)
        list.append(m);
    return {{QStringLiteral("id"), id},        {QStringLiteral("chatId"), QStringLiteral("u1-u2")},
            {QStringLiteral("state"), state},  {QStringLiteral("callerId"), caller},
            {QStringLiteral("members"), list}, {QStringLiteral("acceptedAt"), acceptedAt}};
}

inline QJsonObject ringingIn(const QString &id = QStringLiteral("c1")) {
    return call(id, QStringLiteral("RINGING"), QStringLiteral("u2"),
                {member(QStringLiteral("u2"), QStringLiteral("JOINED"), QStringLiteral("sidX")),
                 member(QStringLiteral("u1"), QStringLiteral("INVITED"))});
}

inline QJsonObject activeHere(const QString &id = QStringLiteral("c1")) {
    return call(id, QStringLiteral("ACTIVE"), QStringLiteral("u2"),
                {member(QStringLiteral("u2"), QStringLiteral("JOINED"), QStringLiteral("sidX")),
                 member(QStringLiteral("u1"), QStringLiteral("JOINED"), QStringLiteral("sidA"))},
                QStringLiteral("2024-05-01T10:00:00.000Z"));
}

inline QJsonObject placed(const QString &id = QStringLiteral("c1")) {
    return call(id, QStringLiteral("RINGING"), QStringLiteral("u1"),
                {member(QStringLiteral("u1"), QStringLiteral("JOINED"), QStringLiteral("sidA")),
                 member(QStringLiteral("u2"), QStringLiteral("INVITED"))});
}

inline QJsonObject placedActive(const QString &id = QStringLiteral("c1")) {
    return call(id, QStringLiteral("ACTIVE"), QStringLiteral("u1"),
                {member(QStringLiteral("u1"), QStringLiteral("JOINED"), QStringLiteral("sidA")),
                 member(QStringLiteral("u2"), QStringLiteral("JOINED"), QStringLiteral("sidX"))},
                QStringLiteral("2024-05-01T10:00:00.000Z"));
}

} // namespace rec

namespace callrig {

inline QString iconName(QMessageBox::Icon icon) {
    switch (icon) {
    case QMessageBox::Information:
        return QStringLiteral("information");
    case QMessageBox::Warning:
        return QStringLiteral("warning");
    default:
        return QStringLiteral("other");
    }
}

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
            if (message.startsWith(QLatin1String("This plugin does not support")) ||
                message.contains(QLatin1String("systemTrayWindowChanged")))
                return;
            if (previous)
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
                                     icon == QSystemTrayIcon::Information
                                         ? QStringLiteral("information")
                                         : QStringLiteral("other"))
                                .arg(ms));
        };
        calls->voice.setDevice(std::make_unique<FakeAudioDevice>(audio));
        // Boxes run their own event loop; this answers each one from inside it.
        auto *closer = new QTimer(&main);
        QObject::connect(closer, &QTimer::timeout, &main, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            boxes.append(box->windowTitle() + QLatin1Char('|') + box->text() + QLatin1Char('|') +
                         callrig::iconName(box->icon()));
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
    // The last "native_call" payload sent, or an empty object.
    QJsonObject lastCall() const {
        for (auto it = frames.crbegin(); it != frames.crend(); ++it) {
            const QJsonObject payload = callrig::callPayload(*it);
            if (!payload.isEmpty())
                return payload;
        }
        return {};
    }

    // One line with everything the state tables compare.
    QString summary() const {
        const NativeCalls &c = *calls;
        QString held = QStringLiteral("-");
        if (!c.callRecord.isEmpty())
            held = c.callRecord.value(QLatin1String("id")).toString() + QLatin1Char('/') +
                   c.callRecord.value(QLatin1String("state")).toString();
        const bool timers =
            c.playbackTimer.isActive() || c.pingTimer.isActive() || c.durationTimer.isActive();
        const bool allTimers =
            c.playbackTimer.isActive() && c.pingTimer.isActive() && c.durationTimer.isActive();
        QString media = c.mediaActive ? QStringLiteral("1") : QStringLiteral("0");
        if (c.mediaActive != allTimers || (!c.mediaActive && timers))
            media += QStringLiteral("(timers disagree)");
        if (c.mediaActive != audio->open.load())
            media += QStringLiteral("(device disagrees)");
        return QStringLiteral(
                   "held=%1 callId=%2 pending=%3 abandoned=%4 window=%5 ring=%6 media=%7 "
                   "sent=[%8] balloons=%9 beeps=%10 boxes=%11")
            .arg(held, c.callId.isEmpty() ? QStringLiteral("-") : c.callId)
            .arg(int(c.dialPending))
            .arg(int(c.dialAbandoned))
            .arg(int(c.callDialog.isVisible()))
            .arg(int(c.ringTimer.isActive()))
            .arg(media, sentActions().join(QLatin1Char(',')))
            .arg(balloons.size())
            .arg(beeps)
            .arg(boxes.size());
    }

    QWidget main;
    NativeCalls *calls = nullptr;
    std::shared_ptr<FakeAudioState> audio = std::make_shared<FakeAudioState>();
    QStringList frames;
    QStringList balloons; // "title|text|icon|ms"
    int beeps = 0;
    QStringList boxes; // "title|text|icon"
};
