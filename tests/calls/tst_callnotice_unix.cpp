#include "tests/calls/callrig.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QTest>
#include <QVariantMap>

// The incoming-call notification on a private session bus, shown by a notification service
// written for the test: what it is asked to show, and what its buttons do.
namespace {

// Stands in for the desktop's notification service: keeps every request and lets the test press
// the buttons.
class Notifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Shown {
        uint id;
        QString summary;
        QStringList actions;
        QVariantMap hints;
    };
    QList<Shown> shown;
    QList<uint> closed;

public Q_SLOTS:
    uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &,
                const QStringList &actions, const QVariantMap &hints, int) {
        shown.append({uint(shown.size() + 1), summary, actions, hints});
        return shown.last().id;
    }
    void CloseNotification(uint id) {
        closed.append(id);
        Q_EMIT NotificationClosed(id, 3);
    }
    QStringList GetCapabilities() { return {QStringLiteral("actions")}; }

Q_SIGNALS:
    void ActionInvoked(uint id, const QString &key);
    void NotificationClosed(uint id, uint reason);
};

} // namespace

class CallNoticeTest : public QObject {
    Q_OBJECT
    QProcess busDaemon;
    Notifications notifications;

private Q_SLOTS:
    void initTestCase() {
        callrig::quietPlatform();
        busDaemon.start(QStringLiteral("dbus-daemon"),
                        {QStringLiteral("--session"), QStringLiteral("--nofork"),
                         QStringLiteral("--nopidfile"), QStringLiteral("--print-address")});
        QVERIFY(busDaemon.waitForStarted(5000));
        QVERIFY(QTest::qWaitFor([this] { return busDaemon.canReadLine(); }, 5000));
        const QByteArray address = busDaemon.readLine().trimmed();
        // Before anything opens the session bus, so the program's side uses this one.
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        QDBusConnection server = QDBusConnection::connectToBus(QString::fromUtf8(address),
                                                               QStringLiteral("notifications"));
        QVERIFY(server.registerService(QStringLiteral("org.freedesktop.Notifications")));
        QVERIFY(server.registerObject(
            QStringLiteral("/org/freedesktop/Notifications"), &notifications,
            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals));
        QVERIFY(QDBusConnection::sessionBus().isConnected());
    }
    void cleanupTestCase() {
        QDBusConnection::disconnectFromBus(QStringLiteral("notifications"));
        busDaemon.terminate();
        if (!busDaemon.waitForFinished(5000))
            busDaemon.kill();
    }
    void init() {
        notifications.shown.clear();
        notifications.closed.clear();
    }

    // Each of the notification's buttons does what the call window's does; the notification is
    // gone once the call no longer rings.
    void buttons_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<bool>("held");
        QTest::newRow("answer") << "answer"
                                << "accept:c1" << true;
        QTest::newRow("decline") << "decline"
                                 << "decline:c1" << false;
        QTest::newRow("body") << "default"
                              << "" << true;
    }
    void buttons() {
        QFETCH(QString, key);
        QFETCH(QString, sent);
        QFETCH(bool, held);
        CallRig rig;
        rig.calls->update(rec::ringingIn());
        QTRY_COMPARE(notifications.shown.size(), 1);
        const Notifications::Shown shown = notifications.shown.first();
        QCOMPARE(shown.summary, QStringLiteral("Звонит Борис"));
        QCOMPARE(shown.actions,
                 (QStringList{"default", "Открыть", "answer", "Ответить", "decline", "Отклонить"}));
        QCOMPARE(shown.hints.value(QStringLiteral("urgency")).toInt(), 2);
        // Announced once: no balloon besides.
        QCOMPARE(rig.balloons, QStringList());

        rig.calls->callDialog.hide();
        Q_EMIT notifications.ActionInvoked(shown.id, key);
        QTRY_COMPARE(rig.sentActions().join(','), sent);
        QCOMPARE(!rig.calls->callRecord.isEmpty(), held);
        if (key == QLatin1String("default")) {
            QTRY_VERIFY(rig.calls->callDialog.isVisible());
            QVERIFY(notifications.closed.isEmpty());
            rig.calls->update(rec::activeHere());
        }
        QTRY_COMPARE(notifications.closed, QList<uint>{shown.id});
        // A second press on a notification already acted on changes nothing.
        Q_EMIT notifications.ActionInvoked(shown.id, key);
        QTest::qWait(200);
        QCOMPARE(rig.sentActions().join(','), sent);
    }

    // The call ends while the notification is still on its way: it is closed once it arrives.
    void endedBeforeTheServiceAnswered() {
        CallRig rig;
        rig.calls->update(rec::ringingIn());
        rig.calls->finish();
        QTRY_COMPARE(notifications.closed, QList<uint>{1});
    }
};

QTEST_MAIN(CallNoticeTest)
#include "tst_callnotice_unix.moc"
