// The incoming-call notification on a private session bus, shown by a notification service
// written for the test: what it is asked to show, and what its buttons do.
#include "tests/support/testkit.h"

#include <QDBusConnection>
#include <QProcess>
#include <QVariantMap>

namespace {

// Stands in for the desktop's notification service: keeps every request and lets the test press
// the buttons.
class Notifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList shown; // "summary|actions|urgency"
    QList<uint> closed;

public Q_SLOTS:
    uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &,
                const QStringList &actions, const QVariantMap &hints, int) {
        shown << summary + '|' + actions.join(',') + '|' +
                     QString::number(hints.value("urgency").toInt());
        return uint(shown.size());
    }
    void CloseNotification(uint id) {
        closed.append(id);
        Q_EMIT NotificationClosed(id, 3);
    }

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
        testutil::isolateUserData();
        busDaemon.start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address"});
        QVERIFY(busDaemon.waitForStarted(5000));
        QVERIFY(QTest::qWaitFor([this] { return busDaemon.canReadLine(); }, 5000));
        const QByteArray address = busDaemon.readLine().trimmed();
        // Before anything opens the session bus, so the program's side uses this one.
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        QDBusConnection server =
            QDBusConnection::connectToBus(QString::fromUtf8(address), "notifications");
        QVERIFY(server.registerService("org.freedesktop.Notifications"));
        QVERIFY(server.registerObject("/org/freedesktop/Notifications", &notifications,
                                      QDBusConnection::ExportAllSlots |
                                          QDBusConnection::ExportAllSignals));
    }
    void cleanupTestCase() {
        QDBusConnection::disconnectFromBus("notifications");
        busDaemon.terminate();
        if (!busDaemon.waitForFinished(5000))
            busDaemon.kill();
    }
    void init() { notifications.shown.clear(), notifications.closed.clear(); }

    // Each button does what the call window's does; the notification is gone once the call no
    // longer rings, and a second press changes nothing. A call that ends while the notification is
    // still on its way ("" key) closes it once it arrives.
    void buttons_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<bool>("held");
        row("answer", QString("answer"), QString("accept:c1"), true);
        row("decline", QString("decline"), QString("decline:c1"), false);
        row("body", QString("default"), QString(), true);
        row("ended before the service answered", QString(), QString(), false);
    }
    void buttons() {
        QFETCH(QString, key);
        QFETCH(QString, sent);
        QFETCH(bool, held);
        CallClient c;
        c.offline().calls->update(json(callText("RINGING", "u2", "INVITED", "")));
        if (key.isEmpty()) {
            c.calls->finish();
            QTRY_COMPARE(notifications.closed, QList<uint>{1});
            return;
        }
        QTRY_COMPARE(
            notifications.shown,
            QStringList{"Звонит Борис|default,Открыть,answer,Ответить,decline,Отклонить|2"});
        QCOMPARE(c.balloons, QStringList()); // announced once
        c.calls->callDialog.hide();
        Q_EMIT notifications.ActionInvoked(1u, key);
        QTRY_COMPARE(c.actions().join(','), sent);
        QCOMPARE(!c.calls->callRecord.isEmpty(), held);
        if (key == "default") {
            QTRY_VERIFY(c.calls->callDialog.isVisible());
            QVERIFY(notifications.closed.isEmpty());
            c.calls->update(json(callText("ACTIVE", "u2", "JOINED", "sidA")));
        }
        QTRY_COMPARE(notifications.closed, QList<uint>{1u});
        Q_EMIT notifications.ActionInvoked(1u, key);
        QTest::qWait(200);
        QCOMPARE(c.actions().join(','), sent);
    }
};

QTEST_MAIN(CallNoticeTest)
#include "tst_callnotice_unix.moc"
