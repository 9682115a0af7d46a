// The sign-in state table against a scripted service: the answers the local service never gives
// (odd statuses, failing who-am-I, odd start replies) and the timing of the polls.

#include "app/window.h"
#include "calls/nativecalls.h"
#include "tests/support/testutil.h"
#include "tests/web/stubserver.h"
#include "tests/web/websupport.h"
#include "web/service.h"
#include "web/servicetesthook.h"

#include <QNetworkReply>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>

using namespace websupport;

namespace {

const QByteArray startPath = "/auth/flow/web/start";
const QByteArray statusPath = "/auth/flow/web/status";
const QByteArray mePath = "/auth/flow/web/me";
const QByteArray sessionCookie = "Set-Cookie: tovik_web_session=tok-42; Secure; HttpOnly; Path=/";

StubReply status(const QByteArray &value, QList<QByteArray> headers = {}, int delayMs = 0) {
    StubReply reply = stubJson(200, "{\"status\":\"" + value + "\"}", std::move(headers));
    reply.delayMs = delayMs;
    return reply;
}

StubReply flow(const QByteArray &id) {
    return stubJson(200,
                    "{\"qrUrl\":\"https://localhost/confirm/" + id + "\",\"code\":\"" + id + "\"}",
                    {"Set-Cookie: tovik_flow=" + id + "; Secure; HttpOnly; Path=/"});
}

} // namespace

class SignInRulesTest : public QObject {
    Q_OBJECT

    StubServer stub;
    // Scripted answers; the first of a list is used up, the last repeats.
    QList<StubReply> startReplies, statusReplies, meReplies;
    int finishedReplies = 0;

    static StubReply next(QList<StubReply> &script) {
        return script.size() > 1 ? script.takeFirst() : script.value(0);
    }

    // Once `count` more replies have finished, the window's own handlers have run for them.
    bool waitForReplies(Window &window, int count, int timeoutMs = 10000) {
        finishedReplies = 0;
        connect(&window.net, &QNetworkAccessManager::finished, this, [this] { ++finishedReplies; });
        return QTest::qWaitFor([&] { return finishedReplies >= count; }, timeoutMs);
    }

    // Answers one scripted poll on a window that shows its QR code.
    void pollOnce(Window &window, const StubReply &reply) {
        QVERIFY(waitForText(window.loginStatus, scanPrompt));
        statusReplies = {reply};
        window.pollLogin();
        QVERIFY(waitForReplies(window, 1));
    }

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        nameApplication();
        service::installTrust();
        QVERIFY(stub.listen());
        stub.respond = [this](const StubRequest &request) {
            if (request.path == startPath)
                return next(startReplies);
            if (request.path == statusPath)
                return next(statusReplies);
            if (request.path == mePath)
                return next(meReplies);
            return stubJson(200, R"({"chats":[{"id":"c1","name":"Чат"}]})");
        };
    }

    void init() {
        forgetSession();
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        stub.requests.clear();
        startReplies = {flow("f1")};
        statusReplies = {status("pending")};
        meReplies = {stubJson(401, R"({"message":"Требуется вход"})")};
    }

    // Polls go out every 2 s, without waiting for a tap; "claimed" signs in like "authenticated".
    void pollsEveryTwoSecondsUntilClaimed() {
        statusReplies = {status("pending"), status("pending"), status("claimed", {sessionCookie})};
        meReplies = {stubJson(401, "{}"), stubJson(200, R"({"user":{"id":"u9","name":"Ю"}})")};
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return window.pages->currentIndex() == 1; }, 15000));
        QCOMPARE(window.userId, QStringLiteral("u9"));
        QVERIFY(!window.pollTimer.isActive());
        QVERIFY(QFile::exists(Window::sessionFilePath()));
        QCOMPARE(window.calls->sessionToken, QStringLiteral("tok-42"));

        const QList<StubRequest> polls = stub.requestsFor(statusPath);
        QCOMPARE(polls.size(), 3);
        qint64 previous = stub.requestsFor(startPath).value(0).atMs;
        for (const StubRequest &poll : polls) {
            QCOMPARE(poll.method, QByteArray("GET"));
            QCOMPARE(poll.header("cookie"), QByteArray("tovik_flow=f1"));
            QVERIFY2(
                poll.atMs - previous >= 1800,
                qPrintable(
                    QStringLiteral("a poll %1 ms after the one before").arg(poll.atMs - previous)));
            previous = poll.atMs;
        }
        QCOMPARE(stub.requestsFor(mePath).last().header("cookie"),
                 QByteArray("tovik_flow=f1; tovik_web_session=tok-42"));
    }

    void statusThatIsNotFinalKeepsPolling_data() {
        QTest::addColumn<StubReply>("reply");
        QTest::newRow("Authenticated") << status("Authenticated");
        QTest::newRow("CLAIMED") << status("CLAIMED");
        QTest::newRow("padded") << status(" authenticated");
        QTest::newRow("array") << stubJson(200, R"({"status":["claimed"]})");
        QTest::newRow("not JSON") << StubReply{200, "authenticated", {}, false};
    }

    void statusThatIsNotFinalKeepsPolling() {
        QFETCH(StubReply, reply);
        Window window;
        pollOnce(window, reply);
        QCOMPARE(window.loginStatus->text(), scanPrompt);
        QVERIFY(window.pollTimer.isActive());
        QCOMPARE(stub.requestsFor(mePath).size(), 1);
    }

    // A failed poll or start shows its text and stops; a failed poll keeps the QR code on show.
    void failureShowsATextAndStops_data() {
        QTest::addColumn<bool>("atStart");
        QTest::addColumn<StubReply>("reply");
        QTest::addColumn<QString>("shown");
        const QString noQr = QStringLiteral("Не удалось создать QR-код");
        QTest::newRow("poll: denied")
            << false << status("denied") << QStringLiteral("Вход отклонён");
        QTest::newRow("poll: service message")
            << false << stubJson(404, R"({"message":"Вход не найден"})")
            << QStringLiteral("Вход не найден");
        QTest::newRow("poll: blank message")
            << false << stubJson(500, R"({"message":" "})") << networkError;
        QTest::newRow("start: service message")
            << true << stubJson(503, R"({"message":"Сервис занят"})")
            << QStringLiteral("Сервис занят");
        QTest::newRow("start: 401 without body")
            << true << StubReply{401, {}, {}, false} << QStringLiteral("Требуется вход");
        QTest::newRow("start: address too long for a symbol")
            << true << stubJson(200, "{\"qrUrl\":\"" + QByteArray(3000, 'a') + "\"}") << noQr;
        QTest::newRow("start: address not a string")
            << true << stubJson(200, R"({"qrUrl":7,"code":"1"})") << noQr;
    }

    void failureShowsATextAndStops() {
        QFETCH(bool, atStart);
        QFETCH(StubReply, reply);
        QFETCH(QString, shown);
        if (atStart)
            startReplies = {reply};
        Window window;
        if (!atStart)
            pollOnce(window, reply);
        QVERIFY(waitForText(window.loginStatus, shown));
        QVERIFY(!window.pollTimer.isActive());
        QCOMPARE(window.qrLabel->pixmap().isNull(), atStart);
        QCOMPARE(window.codeLabel->text(), atStart ? QString() : QStringLiteral("Код: f1"));
        QCOMPARE(window.pages->currentIndex(), 0);
    }

    // After a confirmed flow the who-am-I request runs again; when it fails, a new flow starts and
    // its error text never shows.
    void whoAmIFailureStartsANewFlow() {
        statusReplies = {status("authenticated", {sessionCookie}), status("pending")};
        meReplies = {stubJson(401, R"({"message":"Сессия недействительна"})")};
        Window window;
        QStringList seen;
        QVERIFY(QTest::qWaitFor(
            [&] {
                seen.append(window.loginStatus->text());
                return stub.requestsFor(startPath).size() == 2 &&
                       window.loginStatus->text() == scanPrompt;
            },
            15000));
        QVERIFY(!seen.contains(QStringLiteral("Сессия недействительна")));
        QCOMPARE(stub.requestsFor(mePath).size(), 2);
        QCOMPARE(window.pages->currentIndex(), 0);
        QVERIFY(window.pollTimer.isActive());
    }

    // Only the service saying the session is gone asks for a new QR; a server error keeps the
    // session and asks again later.
    void whoAmIFailureAtStart_data() {
        QTest::addColumn<StubReply>("reply");
        QTest::addColumn<bool>("retries");
        QTest::newRow("401") << stubJson(401, R"({"message":"Требуется вход"})") << false;
        QTest::newRow("404") << stubJson(404, "{}") << false;
        QTest::newRow("500") << stubJson(500, "{}") << true;
        QTest::newRow("503 with a message")
            << stubJson(503, R"({"message":"Сервис занят"})") << true;
    }
    void whoAmIFailureAtStart() {
        QFETCH(StubReply, reply);
        QFETCH(bool, retries);
        meReplies = {reply};
        Window window;
        QVERIFY(waitForReplies(window, retries ? 1 : 2));
        QCOMPARE(window.meRetryTimer.isActive(), retries);
        QCOMPARE(stub.requestsFor(startPath).size(), retries ? 0 : 1);
        if (retries)
            QCOMPARE(window.loginStatus->text(), QStringLiteral("Нет соединения с сервером"));
    }

    // The new-QR button while waiting drops the old flow: a late answer to one of its polls changes
    // nothing on the new one.
    void newCodeWhileWaiting_data() {
        QTest::addColumn<StubReply>("late");
        QTest::newRow("denied") << status("denied", {}, 1500);
        QTest::newRow("authenticated") << status("authenticated", {sessionCookie}, 1500);
        StubReply failed = stubJson(500, R"({"message":"Сбой"})");
        failed.delayMs = 1500;
        QTest::newRow("error") << failed;
    }

    void newCodeWhileWaiting() {
        QFETCH(StubReply, late);
        statusReplies = {late, status("pending")};
        meReplies = {stubJson(401, "{}"), stubJson(200, R"({"user":{"id":"u5"}})")};
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return stub.requestsFor(statusPath).size() == 1; }, 5000));
        startReplies = {flow("f3")};
        window.findChild<QPushButton *>(QStringLiteral("newQrButton"))->click();
        QVERIFY(!window.pollTimer.isActive());
        QVERIFY(window.qrLabel->pixmap().isNull());
        QCOMPARE(window.loginStatus->text(), preparing);
        QVERIFY(waitForText(window.loginStatus, scanPrompt));
        QCOMPARE(window.codeLabel->text(), QStringLiteral("Код: f3"));

        QVERIFY(waitForReplies(window, 2, 8000));
        QCOMPARE(window.loginStatus->text(), scanPrompt);
        QVERIFY(window.pollTimer.isActive());
        QCOMPARE(window.pages->currentIndex(), 0);
        QCOMPARE(stub.requestsFor(mePath).size(), 1);
    }

    // The new-QR button pressed while a confirmed flow's who-am-I is on its way: the sign-in wins
    // and the late new flow neither shows nor polls.
    void newCodeWhileConfirming() {
        statusReplies = {status("authenticated", {sessionCookie})};
        StubReply me = stubJson(200, R"({"user":{"id":"u6"}})");
        me.delayMs = 800;
        meReplies = {stubJson(401, "{}"), me};
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return stub.requestsFor(mePath).size() == 2; }, 10000));
        startReplies.first().delayMs = 1600;
        window.findChild<QPushButton *>(QStringLiteral("newQrButton"))->click();
        // The who-am-I answer, the chats it loads and the late start answer.
        QVERIFY(waitForReplies(window, 3, 8000));
        QCOMPARE(window.pages->currentIndex(), 1);
        QVERIFY(!window.pollTimer.isActive());
        QCOMPARE(window.userId, QStringLiteral("u6"));
    }

    void userIdReadsOnlyAString_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("userId");
        QTest::newRow("string") << QByteArray(R"({"user":{"id":"u7"}})") << QStringLiteral("u7");
        QTest::newRow("number") << QByteArray(R"({"user":{"id":42}})") << QString();
        QTest::newRow("user not an object") << QByteArray(R"({"user":"u7"})") << QString();
    }

    void userIdReadsOnlyAString() {
        QFETCH(QByteArray, body);
        QFETCH(QString, userId);
        meReplies = {stubJson(200, body)};
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return window.pages->currentIndex() == 1; }, 10000));
        QCOMPARE(window.userId, userId);
        // Without a session cookie in the jar the realtime channel is left alone.
        QCOMPARE(window.calls->sessionUserId, QString());
        QCOMPARE(stub.requestsFor(startPath).size(), 0);
    }
};

Q_DECLARE_METATYPE(StubReply)

QTEST_MAIN(SignInRulesTest)
#include "tst_signinrules.moc"
