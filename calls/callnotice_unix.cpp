#include "calls/callnotice.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");

// Critical: the desktop keeps it on screen, even over a full-screen window, until it is closed.
constexpr uchar urgencyCritical = 2;

} // namespace

// The notification service's side of one notification at a time.
class CallNotice::Bus : public QObject {
    Q_OBJECT
public:
    explicit Bus(CallNotice *owner)
        : owner(owner) {
        // D-Bus signals reach Qt only through a slot named here.
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.connect(service, path, service, QStringLiteral("ActionInvoked"), this,
                    SLOT(actionInvoked(uint, QString)));
        bus.connect(service, path, service, QStringLiteral("NotificationClosed"), this,
                    SLOT(notificationClosed(uint, uint)));
    }

    CallNotice *owner;
    // The call shown, and the service's id for its notification (0 until the service answers).
    QString call;
    uint id = 0;
    // Counts the notifications asked for; an answer to an earlier one is stale.
    quint64 serial = 0;

public Q_SLOTS:
    void actionInvoked(uint which, const QString &key) {
        if (which == 0 || which != id)
            return;
        const QString shown = call;
        const auto &action = key == QLatin1String("answer")    ? owner->answered
                             : key == QLatin1String("decline") ? owner->declined
                                                               : owner->opened;
        if (action)
            action(shown);
    }
    void notificationClosed(uint which, uint) {
        // Dismissed by the user: the call rings on, but there is nothing left to close.
        if (which != 0 && which == id)
            id = 0;
    }
};

#include "callnotice_unix.moc"

CallNotice::CallNotice() {
    if (QDBusConnection::sessionBus().isConnected())
        bus = std::make_unique<Bus>(this);
}

CallNotice::~CallNotice() {
    close();
}

bool CallNotice::show(const QString &callId, const QString &title, const QString &text) {
    if (!bus)
        return false;
    close();
    const quint64 serial = ++bus->serial;
    bus->call = callId;
    QDBusMessage notify =
        QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
    const QStringList actions{QStringLiteral("default"), QStringLiteral("Открыть"),
                              QStringLiteral("answer"),  QStringLiteral("Ответить"),
                              QStringLiteral("decline"), QStringLiteral("Отклонить")};
    const QVariantMap hints{
        {QStringLiteral("urgency"), QVariant::fromValue(urgencyCritical)},
        {QStringLiteral("category"), QStringLiteral("call.incoming")},
        {QStringLiteral("desktop-entry"), QStringLiteral("dev.tovik.Messenger")},
    };
    // The summary is plain text to every notification service, so the caller's name needs no
    // escaping there; the body, which some render as markup, carries only our own words. Expiry 0:
    // it stays until the ringing ends and we close it.
    notify << QStringLiteral("Tovik Messenger") << uint(0) << QStringLiteral("dev.tovik.Messenger")
           << title << text << actions << hints << 0;
    auto *watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(notify), bus.get());
    QObject::connect(
        watcher, &QDBusPendingCallWatcher::finished, bus.get(), [this, watcher, serial, callId] {
            watcher->deleteLater();
            const QDBusPendingReply<uint> reply = *watcher;
            if (serial != bus->serial) {
                // Closed before the service answered.
                if (!reply.isError() && reply.value() != 0)
                    QDBusConnection::sessionBus().send(
                        QDBusMessage::createMethodCall(service, path, service,
                                                       QStringLiteral("CloseNotification"))
                        << reply.value());
                return;
            }
            if (!reply.isError()) {
                bus->id = reply.value();
                return;
            }
            bus->call.clear();
            if (unavailable)
                unavailable(callId);
        });
    return true;
}

void CallNotice::close() {
    if (!bus)
        return;
    ++bus->serial;
    if (bus->id != 0) {
        QDBusMessage closing = QDBusMessage::createMethodCall(service, path, service,
                                                              QStringLiteral("CloseNotification"));
        closing << bus->id;
        QDBusConnection::sessionBus().send(closing);
    }
    bus->id = 0;
    bus->call.clear();
}
