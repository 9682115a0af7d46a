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
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("members");
        QTest::addColumn<QString>("buttons");
        const QString incomingButtons = QStringLiteral("Ответить,Отклонить");
        const QString callButtons = QStringLiteral("Микрофон включён,Показать экран,Завершить");
        QTest::newRow("incoming: first member who is not the user")
            << rec::ringingIn() << false << "Борис"
            << "Входящий звонок"
            << "Борис · в разговоре\nАнна · приглашён" << incomingButtons;
        QTest::newRow("own call ringing: first member who is not the caller")
            << rec::placed() << false << "Борис"
            << "Вызываем…"
            << "Анна · в разговоре\nБорис · приглашён" << callButtons;
        QTest::newRow("own call active")
            << rec::placedActive() << false << "Борис"
            << "Разговор"
            << "Анна · в разговоре\nБорис · в разговоре" << callButtons;
        QTest::newRow("someone else's call joined here: the user's own name")
            << rec::activeHere() << true << "Анна"
            << "Разговор"
            << "Борис · в разговоре\nАнна · в разговоре" << callButtons;
    }
    void content() {
        QFETCH(QJsonObject, record);
        QFETCH(bool, answered);
        QFETCH(QString, title);
        QFETCH(QString, status);
        QFETCH(QString, members);
        QFETCH(QString, buttons);
        CallRig rig;
        NativeCalls &c = *rig.calls;
        if (answered)
            c.callId = record.value(QStringLiteral("id")).toString();
        c.update(record);
        QCOMPARE(c.titleLabel.text(), title);
        QCOMPARE(c.callStatusLabel.text(), status);
        QCOMPARE(c.membersLabel.text(), members);
        QCOMPARE(::buttons(c), buttons);
        QVERIFY(c.callDialog.isVisible());
    }

    void duration_data() {
        QTest::addColumn<QJsonValue>("acceptedAt");
        QTest::addColumn<QString>("text");
        QTest::newRow("75 min 3 s")
            << QJsonValue(acceptedAgo((75 * 60 + 3) * 1000 + 400)) << "Разговор · 75:03";
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << "Разговор · 00:00";
        QTest::newRow("future") << QJsonValue(acceptedAgo(-120000)) << "Разговор · 00:00";
    }
    void duration() {
        QFETCH(QJsonValue, acceptedAt);
        QFETCH(QString, text);
        CallRig rig;
        NativeCalls &c = *rig.calls;
        QJsonObject record = rec::activeHere();
        record.remove(QStringLiteral("acceptedAt"));
        if (!acceptedAt.isUndefined())
            record.insert(QStringLiteral("acceptedAt"), acceptedAt);
        c.callId = QStringLiteral("c1");
        c.update(record);
        QVERIFY(c.durationTimer.isActive());
        QCOMPARE(c.durationTimer.interval(), 1000);
        c.updateDuration();
        QCOMPARE(c.callStatusLabel.text(), text);
    }

    void durationTicks() {
        CallRig rig;
        NativeCalls &c = *rig.calls;
        QJsonObject record = rec::activeHere();
        record.insert(QStringLiteral("acceptedAt"), acceptedAgo(62000));
        c.callId = QStringLiteral("c1");
        c.update(record);
        QCOMPARE(c.callStatusLabel.text(), QStringLiteral("Разговор"));
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
        const QJsonObject ping = rig.lastCall();
        QCOMPARE(ping.value(QStringLiteral("action")).toString(), QStringLiteral("ping"));
        QCOMPARE(ping.value(QStringLiteral("id")).toString(), QStringLiteral("c1"));
        const QJsonValue sentAt = ping.value(QStringLiteral("sentAt"));
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
        QVERIFY(match.captured(1).toLongLong() >= 250);
        QVERIFY(match.captured(1).toLongLong() < 60000);
        // It stays after the call until the next call's first answer.
        c.finish();
        QVERIFY(pattern.match(c.callStatusLabel.toolTip()).hasMatch());
    }

    void trayActivation_data() {
        QTest::addColumn<bool>("withCall");
        QTest::newRow("no call: main window only") << false;
        QTest::newRow("during a call: call window too") << true;
    }
    void trayActivation() {
        QFETCH(bool, withCall);
        CallRig rig;
        NativeCalls &c = *rig.calls;
        if (withCall) {
            c.update(rec::ringingIn());
            c.callDialog.hide();
        }
        Q_EMIT c.tray.activated(QSystemTrayIcon::Context);
        QVERIFY(rig.main.isVisible());
        QCOMPARE(c.callDialog.isVisible(), withCall);
    }

    void trayOpen() {
        CallRig rig;
        rig.calls->tray.contextMenu()->actions().at(0)->trigger();
        QVERIFY(rig.main.isVisible());
        QVERIFY(!rig.calls->callDialog.isVisible());
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
