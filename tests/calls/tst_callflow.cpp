#include "calls/callrecord.h"
#include "tests/calls/callrig.h"
#include "tests/support/localservice.h"
#include "web/json.h"
#include "web/service.h"

#include <QNetworkAccessManager>
#include <QTest>

// Two clients in one process, signed in as u1 and u2, calling each other through the local
// service: the real socket.io server decides every record.
namespace {

constexpr int waitMs = 20000;

struct Client {
    QStringList frames;
    int beeps = 0;
    std::shared_ptr<FakeAudioState> audio = std::make_shared<FakeAudioState>();
    QNetworkAccessManager network;
    QWidget window;
    NativeCalls *calls = nullptr;

    Client(const QString &user, const QString &token) {
        calls = new NativeCalls(&network, &window);
        calls->voice.setDevice(std::make_unique<FakeAudioDevice>(audio));
        calls->frameSent = [this](const QString &frame) { frames.append(frame); };
        calls->beeped = [this] { ++beeps; };
        calls->setCredentials(user, token);
    }
    ~Client() {
        calls->sessionUserId.clear();
        calls->reconnectTimer.stop();
    }

    QString callState() const {
        return webjson::text(calls->callRecord.value(QStringLiteral("state")));
    }
    // The user's own entry as "STATE@this" or "STATE@elsewhere", or "none".
    QString ownEntry() const {
        const auto own = callrecord::ownEntry(calls->callRecord, calls->sessionUserId);
        if (!own)
            return QStringLiteral("none");
        const bool here = webjson::text(own->value(QStringLiteral("deviceId"))) == calls->sid;
        return webjson::text(own->value(QStringLiteral("state"))) +
               (here ? QStringLiteral("@this") : QStringLiteral("@elsewhere"));
    }
    bool idle() const {
        return calls->callRecord.isEmpty() && !calls->dialPending && !calls->mediaActive &&
               !calls->callDialog.isVisible();
    }
    QStringList actions() const {
        QStringList out;
        for (const QString &frame : frames) {
            const QJsonObject payload = callrig::callPayload(frame);
            if (!payload.isEmpty())
                out.append(payload.value(QStringLiteral("action")).toString());
        }
        return out;
    }
};

// Both sides ready, Anna dials Boris in their chat and his side rings.
bool dialled(Client &anna, Client &boris) {
    if (!QTest::qWaitFor([&] { return anna.calls->connected && boris.calls->connected; }, waitMs))
        return false;
    anna.calls->dial(QStringLiteral("u1-u2"), QStringLiteral("Анна и Борис"));
    return QTest::qWaitFor([&] { return boris.calls->ringTimer.isActive(); }, waitMs);
}

} // namespace

class CallFlowTest : public QObject {
    Q_OBJECT
    LocalService svc;

private Q_SLOTS:
    void initTestCase() {
        callrig::quietPlatform();
        service::installTrust();
        QVERIFY2(svc.start({"--session", "u1:token-anna", "--session", "u2:token-boris"}),
                 qPrintable(svc.output()));
    }

    void dialRingAnswerHangUp() {
        Client anna(QStringLiteral("u1"), QStringLiteral("token-anna"));
        Client boris(QStringLiteral("u2"), QStringLiteral("token-boris"));
        QVERIFY(dialled(anna, boris));
        QTRY_VERIFY_WITH_TIMEOUT(!anna.calls->callId.isEmpty(), waitMs);
        QCOMPARE(anna.callState(), QStringLiteral("RINGING"));
        QCOMPARE(anna.ownEntry(), QStringLiteral("JOINED@this"));
        QCOMPARE(anna.calls->callStatusLabel.text(), QStringLiteral("Вызываем…"));
        QCOMPARE(anna.calls->titleLabel.text(), QStringLiteral("Борис Орлов"));
        QCOMPARE(boris.ownEntry(), QStringLiteral("INVITED@elsewhere"));
        QCOMPARE(boris.calls->callStatusLabel.text(), QStringLiteral("Входящий звонок"));
        QCOMPARE(boris.calls->titleLabel.text(), QStringLiteral("Анна Соколова"));
        QCOMPARE(boris.beeps, 1);

        boris.calls->answerButton.click();
        QTRY_VERIFY_WITH_TIMEOUT(boris.calls->mediaActive && anna.calls->mediaActive, waitMs);
        for (const Client *side : {&anna, &boris}) {
            QCOMPARE(side->callState(), QStringLiteral("ACTIVE"));
            QCOMPARE(side->ownEntry(), QStringLiteral("JOINED@this"));
            QCOMPARE(side->calls->callId, anna.calls->callId);
            QVERIFY(side->audio->open);
        }

        anna.calls->hangupButton.click();
        QVERIFY(anna.idle());
        QTRY_VERIFY_WITH_TIMEOUT(boris.idle(), waitMs);
        QVERIFY(!boris.audio->open);
    }

    void decline() {
        Client anna(QStringLiteral("u1"), QStringLiteral("token-anna"));
        Client boris(QStringLiteral("u2"), QStringLiteral("token-boris"));
        QVERIFY(dialled(anna, boris));
        QVERIFY(anna.calls->callDialog.isVisible());
        boris.calls->declineButton.click();
        QVERIFY(boris.idle());
        QTRY_VERIFY_WITH_TIMEOUT(anna.idle(), waitMs);
        QCOMPARE(boris.actions().last(), QStringLiteral("decline"));
    }

    // One side loses its connection mid-call: the voice stops but the call stays; it comes back
    // on its own, says "sync" then "resume", and the voice starts again on the new connection
    // without anyone answering anew.
    void droppedConnectionResumes() {
        Client anna(QStringLiteral("u1"), QStringLiteral("token-anna"));
        Client boris(QStringLiteral("u2"), QStringLiteral("token-boris"));
        QVERIFY(dialled(anna, boris));
        boris.calls->answerButton.click();
        QTRY_VERIFY_WITH_TIMEOUT(boris.calls->mediaActive && anna.calls->mediaActive, waitMs);
        const QString callId = anna.calls->callId;
        const QString oldSid = anna.calls->sid;
        const int opens = anna.audio->opens;

        anna.frames.clear();
        anna.calls->socket.abort();
        QVERIFY(!anna.calls->connected);
        QVERIFY(!anna.calls->mediaActive);
        QCOMPARE(anna.calls->callId, callId);
        QVERIFY(anna.calls->callDialog.isVisible());

        QTRY_VERIFY_WITH_TIMEOUT(anna.calls->mediaActive && anna.ownEntry() == "JOINED@this",
                                 waitMs);
        QVERIFY(anna.calls->sid != oldSid);
        QCOMPARE(anna.actions().mid(0, 2), (QStringList{"sync", "resume"}));
        QCOMPARE(anna.calls->callId, callId);
        QCOMPARE(anna.callState(), QStringLiteral("ACTIVE"));
        QVERIFY(anna.audio->opens > opens);
        QVERIFY(boris.calls->mediaActive);

        boris.calls->hangupButton.click();
        QTRY_VERIFY_WITH_TIMEOUT(anna.idle(), waitMs);
    }

    // The service refuses a call in a chat the user is not in; its text reaches the user and the
    // pending dial ends.
    void serverRefusalEndsTheDial() {
        Client anna(QStringLiteral("u1"), QStringLiteral("token-anna"));
        QTRY_VERIFY_WITH_TIMEOUT(anna.calls->connected, waitMs);
        QStringList boxes;
        testutil::autoCloseModalBoxes(&anna.window, true, &boxes);
        anna.calls->dial(QStringLiteral("u2-u3"), QStringLiteral("Борис и Вера"));
        QTRY_COMPARE_WITH_TIMEOUT(boxes, QStringList{QStringLiteral("Чат не найден")}, waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(anna.idle(), waitMs);
    }
};

QTEST_MAIN(CallFlowTest)
#include "tst_callflow.moc"
