// Two clients in one process, signed in as u1 and u2, calling each other through the local
// service: the real socket.io server decides every record.
#include "calls/callrecord.h"
#include "tests/support/localservice.h"
#include "tests/support/testkit.h"
#include "web/json.h"

namespace {

// The user's own entry as "STATE@this" or "STATE@elsewhere", or "none".
QString ownEntry(const CallClient &c) {
    const auto own = callrecord::ownEntry(c.calls->callRecord, c.calls->sessionUserId);
    if (!own)
        return QStringLiteral("none");
    return webjson::text(own->value("state")) +
           (webjson::text(own->value("deviceId")) == c.calls->sid ? "@this" : "@elsewhere");
}

bool idle(const CallClient &c) {
    return c.calls->callRecord.isEmpty() && !c.calls->dialPending && !c.calls->mediaActive &&
           !c.calls->callDialog.isVisible();
}

} // namespace

class CallFlowTest : public QObject {
    Q_OBJECT
    LocalService svc;

    // Both sides ready; Anna dials Boris in their chat and his side rings.
    static bool dialled(CallClient &anna, CallClient &boris) {
        if (!anna.signIn("u1", "token-anna") || !boris.signIn("u2", "token-boris"))
            return false;
        anna.calls->dial(QStringLiteral("u1-u2"), QStringLiteral("Анна и Борис"));
        return waitUntil(
            [&] { return boris.calls->ringTimer.isActive() && !anna.calls->callId.isEmpty(); });
    }

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        service::installTrust();
        QVERIFY2(svc.start({"--session", "u1:token-anna", "--session", "u2:token-boris"}),
                 qPrintable(svc.output()));
    }

    // Dial, ring, answer; Anna loses her connection mid-call: the voice stops but the call stays;
    // it comes back on its own, says "sync" then "resume", and the voice starts again without
    // anyone answering anew. Then Boris hangs up.
    void dialAnswerDropResumeHangUp() {
        CallClient anna, boris;
        QVERIFY(dialled(anna, boris));
        QCOMPARE(anna.calls->callRecord["state"].toString() + ' ' + ownEntry(anna),
                 QStringLiteral("RINGING JOINED@this"));
        QCOMPARE(ownEntry(boris), QStringLiteral("INVITED@elsewhere"));
        QCOMPARE(boris.beeps, 1);
        boris.calls->answerButton.click();
        QVERIFY(waitUntil([&] { return boris.calls->mediaActive && anna.calls->mediaActive; }));
        for (const CallClient *side : {&anna, &boris}) {
            QCOMPARE(side->calls->callRecord["state"].toString() + ' ' + ownEntry(*side),
                     QStringLiteral("ACTIVE JOINED@this"));
            QCOMPARE(side->calls->callId, anna.calls->callId);
            QVERIFY(side->audio->open);
        }
        const QString callId = anna.calls->callId, oldSid = anna.calls->sid;
        const int opens = anna.audio->opens;
        anna.sent.clear();
        anna.calls->socket.abort();
        QVERIFY(!anna.calls->connected && !anna.calls->mediaActive);
        QCOMPARE(anna.calls->callId, callId);
        QVERIFY(anna.calls->callDialog.isVisible());
        QVERIFY(
            waitUntil([&] { return anna.calls->mediaActive && ownEntry(anna) == "JOINED@this"; }));
        QVERIFY(anna.calls->sid != oldSid);
        QCOMPARE(anna.actions().mid(0, 2), (QStringList{"sync", "resume:" + callId}));
        QVERIFY(anna.audio->opens > opens && boris.calls->mediaActive);
        boris.calls->hangupButton.click();
        QVERIFY(idle(boris));
        QVERIFY(waitUntil([&] { return idle(anna); }));
        QVERIFY(!anna.audio->open && !boris.audio->open);
    }

    // Declined: both sides idle. Refused by the service (a chat the user is not in): its text
    // reaches the user and the pending dial ends.
    void declineAndRefusal() {
        CallClient anna;
        auto boris = std::make_unique<CallClient>(); // gone before Anna's box: it would answer it
        QVERIFY(dialled(anna, *boris));
        QVERIFY(anna.calls->callDialog.isVisible());
        boris->calls->declineButton.click();
        QVERIFY(idle(*boris));
        QVERIFY(waitUntil([&] { return idle(anna); }));
        QVERIFY(boris->actions().last().startsWith("decline:"));
        boris.reset();
        anna.calls->dial(QStringLiteral("u2-u3"), QStringLiteral("Борис и Вера"));
        QVERIFY(waitUntil(
            [&] { return anna.boxes == QStringList{"Звонок|Чат не найден|information"}; }));
        QVERIFY(waitUntil([&] { return idle(anna); }));
    }
};

QTEST_MAIN(CallFlowTest)
#include "tst_callflow.moc"
