#include "tests/calls/callrig.h"

#include "app/window.h"

#include <QDateTime>
#include <QMenu>
#include <QRegularExpression>
#include <QTest>

namespace {

QString buttons(const NativeCalls &c) {
    QStringList shown;
    const QList<const QPushButton *> all{&c.answerButton, &c.declineButton, &c.micButton,
                                         &c.screenButton, &c.hangupButton};
    for (const QPushButton *button : all) {
        if (!button->isHidden())
            shown.append(button->text());
    }
    return shown.join(QLatin1Char(','));
}

QString acceptedAgo(qint64 ms) {
    return QDateTime::currentDateTimeUtc().addMSecs(-ms).toString(Qt::ISODateWithMs);
}

// Runs the application's own loop, as the program does, until it is asked to quit; false if
// nobody asks in time. (Its exec() also clears the quit flag that would end every later loop.)
bool quitRequested() {
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &limit, [] { QCoreApplication::exit(1); });
    limit.start(5000);
    return QCoreApplication::exec() == 0;
}

} // namespace

class CallWindowTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        callrig::quietPlatform();
    }

    void builtHiddenWithTrayMenu() {
        CallRig rig;
        NativeCalls &c = *rig.calls;
        QVERIFY(!c.callDialog.isVisible());
        QVERIFY(c.tray.isVisible());
        QCOMPARE(c.tray.toolTip(), QStringLiteral("Tovik Messenger"));
        QVERIFY(c.tray.contextMenu());
        QStringList actions;
        for (const QAction *action : c.tray.contextMenu()->actions())
            actions.append(action->text());
        QCOMPARE(actions,
                 (QStringList{"Открыть Tovik", "Завершить звонок", "Выйти из приложения"}));
        QCOMPARE(c.callDialog.windowTitle(), QStringLiteral("Звонок Tovik"));
        QVERIFY(!c.callDialog.isModal());
        QVERIFY(c.screenLabel.isHidden());
    }

    void content_data() {
        QTest::addColumn<QJsonObject>("record");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<QString>("expected"); // title / status / member lines / buttons shown
        const QString incoming = QStringLiteral("Ответить,Отклонить");
        const QString inCall = QStringLiteral("Микрофон включён,Показать экран,Завершить");
        QTest::newRow("incoming: first member who is not the user")
            << rec::ringingIn() << false
            << "Борис / Входящий звонок / Борис · в разговоре, Анна · приглашён / " + incoming;
        QTest::newRow("own call ringing: first member who is not the caller")
            << rec::placed() << false
            << "Борис / Вызываем… / Анна · в разговоре, Борис · приглашён / " + inCall;
        QTest::newRow("own call active")
            << rec::placedActive() << false
            << "Борис / Разговор / Анна · в разговоре, Борис · в разговоре / " + inCall;
        QTest::newRow("someone else's call joined here: the user's own name")
            << rec::activeHere() << true
            << "Анна / Разговор / Борис · в разговоре, Анна · в разговоре / " + inCall;
    }
    void content() {
        QFETCH(QJsonObject, record);
        QFETCH(bool, answered);
        QFETCH(QString, expected);
        CallRig rig;
        NativeCalls &c = *rig.calls;
        if (answered)
            c.callId = record.value(QStringLiteral("id")).toString();
        c.update(record);
        QCOMPARE(QStringList({c.titleLabel.text(), c.callStatusLabel.text(),
                              c.membersLabel.text().replace('\n', ", "), buttons(c)})
                     .join(" / "),
                 expected);
        QVERIFY(c.callDialog.isVisible());
    }

    // The text itself is the call record tests' table; here the window keeps it current.
    void durationTicks() {
        CallRig rig;
        NativeCalls &c = *rig.calls;
        QJsonObject record = rec::activeHere();
        record.insert(QStringLiteral("acceptedAt"), acceptedAgo(62000));
        c.callId = QStringLiteral("c1");
        c.update(record);
        QCOMPARE(c.callStatusLabel.text(), QStringLiteral("Разговор"));
        QCOMPARE(c.durationTimer.interval(), 1000);
        QTRY_VERIFY_WITH_TIMEOUT(
            c.callStatusLabel.text().startsWith(QStringLiteral("Разговор · 01:0")), 3000);
    }

    void pingCarriesCallAndTime() {
        CallRig rig;
        NativeCalls &c = *rig.calls;
        c.callId = QStringLiteral("c1");
        c.update(rec::activeHere());
        QCOMPARE(c.pingTimer.interval(), 2000);
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        c.sendPing();
        QJsonObject ping = rig.lastCall();
        const QJsonValue sentAt = ping.take(QStringLiteral("sentAt"));
        QCOMPARE(ping, (QJsonObject{{"action", "ping"}, {"id", "c1"}}));
        QVERIFY2(sentAt.isDouble(), "sentAt must be a JSON number");
        QVERIFY(sentAt.toInteger() >= before);
        QVERIFY(sentAt.toInteger() <= QDateTime::currentMSecsSinceEpoch());
    }

    void latencyTooltip() {
        CallRig rig;
        NativeCalls &c = *rig.calls;
        c.pong({{QStringLiteral("sentAt"), QDateTime::currentMSecsSinceEpoch() - 250}});
        static const QRegularExpression pattern(QStringLiteral("^Задержка: (\\d+) мс$"));
        const auto match = pattern.match(c.callStatusLabel.toolTip());
        QVERIFY2(match.hasMatch(), qPrintable(c.callStatusLabel.toolTip()));
        QVERIFY2(match.captured(1).toLongLong() >= 250 && match.captured(1).toLongLong() < 60000,
                 qPrintable(c.callStatusLabel.toolTip()));
        // It stays after the call until the next call's first answer.
        c.finish();
        QVERIFY(pattern.match(c.callStatusLabel.toolTip()).hasMatch());
    }

    void trayShowsWindows_data() {
        QTest::addColumn<bool>("withCall");
        QTest::addColumn<bool>("fromMenu");
        QTest::newRow("icon, no call: main window only") << false << false;
        QTest::newRow("icon during a call: call window too") << true << false;
        QTest::newRow("menu's open item during a call: main window only") << true << true;
    }
    void trayShowsWindows() {
        QFETCH(bool, withCall);
        QFETCH(bool, fromMenu);
        CallRig rig;
        NativeCalls &c = *rig.calls;
        if (withCall) {
            c.update(rec::ringingIn());
            c.callDialog.hide();
        }
        if (fromMenu)
            c.tray.contextMenu()->actions().at(0)->trigger();
        else
            Q_EMIT c.tray.activated(QSystemTrayIcon::Context);
        QVERIFY(rig.main.isVisible());
        QCOMPARE(c.callDialog.isVisible(), withCall && !fromMenu);
    }

    void trayQuitLeavesAndQuits() {
        CallRig rig;
        NativeCalls &c = *rig.calls;
        c.update(rec::ringingIn());
        c.tray.contextMenu()->actions().at(2)->trigger();
        QCOMPARE(rig.sentActions(), QStringList{QStringLiteral("leave:c1")});
        QVERIFY(quitRequested());
    }

    // Without a tray host the main window's close button is the way to quit.
    void closingTheWindowQuitsWithoutTray() {
        if (QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("this desktop has a tray");
        Window window;
        QVERIFY(!window.calls->trayAvailable());
        QStringList frames;
        window.calls->connected = true;
        window.calls->frameSent = [&frames](const QString &frame) { frames.append(frame); };
        window.show();
        window.close();
        QCOMPARE(frames, QStringList{QStringLiteral("42[\"native_call\",{\"action\":\"leave\"}]")});
        QVERIFY(quitRequested());
    }
};

QTEST_MAIN(CallWindowTest)
#include "tst_callwindow.moc"
