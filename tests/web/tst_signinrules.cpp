// The sign-in state table against a scripted service: the answers the local service never gives
// (odd statuses, failing who-am-I, odd start replies) and the timing of the polls.

#include "app/service.h"
#include "app/servicetesthook.h"
#include "app/window.h"
#include "calls/nativecalls.h"
#include "tests/support/testutil.h"
#include "tests/web/stubserver.h"
#include "tests/web/websupport.h"

#include <QNetworkReply>
#include <QPushButton>
#include <QSet>
#include <QStackedWidget>
#include <QTest>

using namespace websupport;

namespace {

const QByteArray startPath = "/auth/flow/web/start";
const QByteArray statusPath = "/auth/flow/web/status";
const QByteArray mePath = "/auth/flow/web/me";

StubReply status(const QByteArray &value, QList<QByteArray> headers = {}) {
    return stubJson(200, "{\"status\":\"" + value + "\"}", std::move(headers));
}

const QByteArray sessionCookie = "Set-Cookie: tovik_web_session=tok-42; Secure; HttpOnly; Path=/";

} // namespace

class SignInRulesTest : public QObject {
    Q_OBJECT

    StubServer stub;
    // Scripted answers; the first of a list is used up, the last repeats.
    QList<StubReply> startReplies;
    QList<StubReply> statusReplies;
    QList<StubReply> meReplies;
    int finishedReplies = 0;

    static StubReply next(QList<StubReply> &script) {
        return script.size() > 1 ? script.takeFirst() : script.value(0);
    }

    // Replies the window's manager has finished; the window's own handler has run once this grows.
    void countReplies(Window &window) {
        connect(&window.net, &QNetworkAccessManager::finished, this, [this] { ++finishedReplies; });
    }

    bool waitForScanPrompt(Window &window) {
        return QTest::qWaitFor([&] { return window.loginStatus->text() == scanPrompt; }, 10000);
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
            if (request.path == "/auth/flow/web/chats")
                return stubJson(200, R"({"chats":[{"id":"c1","name":"Чат"}]})");
            return stubJson(200, "{}");
        };
    }

    void init() {
        forgetSession();
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        stub.requests.clear();
        startReplies = {
            stubJson(200, "{\"qrUrl\":\"https://localhost/confirm/f1\",\"code\":\"1234-56\"}",
                     {"Set-Cookie: tovik_flow=f1; Secure; HttpOnly; Path=/"})};
        statusReplies = {status("pending")};
        meReplies = {stubJson(401, R"({"message":"Требуется вход"})")};
        finishedReplies = 0;
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
        QCOMPARE(window.calls->sessionUserId, QStringLiteral("u9"));
        QCOMPARE(window.calls->sessionToken, QStringLiteral("tok-42"));

        const QList<StubRequest> polls = stub.requestsFor(statusPath);
        QCOMPARE(polls.size(), 3);
        qint64 previous = stub.requestsFor(startPath).value(0).atMs;
        for (const StubRequest &poll : polls) {
            QCOMPARE(poll.method, QByteArray("GET"));
            QCOMPARE(poll.body, QByteArray());
            QCOMPARE(poll.header("cookie"), QByteArray("tovik_flow=f1"));
            QVERIFY2(
                poll.atMs - previous >= 1800,
                qPrintable(
                    QStringLiteral("a poll %1 ms after the one before").arg(poll.atMs - previous)));
            previous = poll.atMs;
        }
        QCOMPARE(stub.requestsFor(mePath).size(), 2);
        QCOMPARE(stub.requestsFor(mePath).last().header("cookie"),
                 QByteArray("tovik_flow=f1; tovik_web_session=tok-42"));
    }

    void statusThatIsNotFinalKeepsPolling_data() {
        QTest::addColumn<StubReply>("reply");
        QTest::newRow("Authenticated") << status("Authenticated");
        QTest::newRow("CLAIMED") << status("CLAIMED");
        QTest::newRow("Denied") << status("Denied");
        QTest::newRow("padded") << status(" authenticated");
        QTest::newRow("empty") << status("");
        QTest::newRow("pending") << status("pending");
        QTest::newRow("number") << stubJson(200, R"({"status":1})");
        QTest::newRow("array") << stubJson(200, R"({"status":["claimed"]})");
        QTest::newRow("no status") << stubJson(200, R"({"state":"authenticated"})");
        QTest::newRow("not JSON") << StubReply{200, "authenticated", {}, false};
    }

    void statusThatIsNotFinalKeepsPolling() {
        QFETCH(StubReply, reply);
        Window window;
        QVERIFY(waitForScanPrompt(window));
        statusReplies = {reply};
        countReplies(window);
        window.pollLogin();
        QVERIFY(QTest::qWaitFor([&] { return finishedReplies == 1; }, 10000));
        QCOMPARE(window.loginStatus->text(), scanPrompt);
        QVERIFY(window.pollTimer.isActive());
        QCOMPARE(window.pages->currentIndex(), 0);
        QCOMPARE(stub.requestsFor(mePath).size(), 1);
    }

    void pollErrorStopsPolling_data() {
        QTest::addColumn<StubReply>("reply");
        QTest::addColumn<QString>("shown");
        QTest::newRow("service message")
            << stubJson(404, R"({"message":"Вход не найден"})") << QStringLiteral("Вход не найден");
        QTest::newRow("blank message")
            << stubJson(500, R"({"message":" "})") << QStringLiteral("Ошибка сети или сервера");
        QTest::newRow("401 HTML") << StubReply{401,
                                               "<html></html>",
                                               {"Content-Type: text/html"},
                                               false}
                                  << QStringLiteral("Требуется вход");
    }

    void pollErrorStopsPolling() {
        QFETCH(StubReply, reply);
        QFETCH(QString, shown);
        Window window;
        QVERIFY(waitForScanPrompt(window));
        statusReplies = {reply};
        countReplies(window);
        window.pollLogin();
        QVERIFY(QTest::qWaitFor([&] { return finishedReplies == 1; }, 10000));
        QCOMPARE(window.loginStatus->text(), shown);
        QVERIFY(!window.pollTimer.isActive());
        QVERIFY(!window.qrLabel->pixmap().isNull());
        QCOMPARE(window.codeLabel->text(), QStringLiteral("Код: 1234-56"));
    }

    void startFailureShowsAText_data() {
        QTest::addColumn<StubReply>("reply");
        QTest::addColumn<QString>("shown");
        const QString noQr = QStringLiteral("Не удалось создать QR-код");
        QTest::newRow("service message")
            << stubJson(503, R"({"message":"Сервис занят"})") << QStringLiteral("Сервис занят");
        QTest::newRow("empty message")
            << stubJson(500, R"({"message":""})") << QStringLiteral("Ошибка сети или сервера");
        QTest::newRow("401 without body")
            << StubReply{401, {}, {}, false} << QStringLiteral("Требуется вход");
        QTest::newRow("address too long for a symbol")
            << stubJson(200, "{\"qrUrl\":\"" + QByteArray(3000, 'a') + "\",\"code\":\"1\"}")
            << noQr;
        QTest::newRow("no address") << stubJson(200, R"({"code":"1"})") << noQr;
        QTest::newRow("address not a string") << stubJson(200, R"({"qrUrl":7,"code":"1"})") << noQr;
        QTest::newRow("not JSON") << StubReply{200, "<html></html>", {}, false} << noQr;
    }

    void startFailureShowsAText() {
        QFETCH(StubReply, reply);
        QFETCH(QString, shown);
        startReplies = {reply};
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return window.loginStatus->text() == shown; }, 10000));
        QVERIFY(!window.pollTimer.isActive());
        QVERIFY(window.qrLabel->pixmap().isNull());
        QCOMPARE(window.codeLabel->text(), QString());
    }

    void startWithoutCodeShowsThePrefixAlone() {
        startReplies = {stubJson(200, "{\"qrUrl\":\"https://localhost/ab\"}")};
        Window window;
        QVERIFY(waitForScanPrompt(window));
        QCOMPARE(window.codeLabel->text(), QStringLiteral("Код: "));
        QCOMPARE(window.qrLabel->pixmap().size(), QSize(165, 165));
    }

    // After a confirmed flow the who-am-I request runs again; when it fails, a new flow starts and
    // its error text never shows.
    void whoAmIFailureStartsANewFlow() {
        statusReplies = {status("authenticated", {sessionCookie}), status("pending")};
        meReplies = {stubJson(401, R"({"message":"Сессия недействительна"})")};
        Window window;
        QSet<QString> seen;
        QVERIFY(QTest::qWaitFor(
            [&] {
                seen.insert(window.loginStatus->text());
                return stub.requestsFor(startPath).size() == 2 &&
                       window.loginStatus->text() == scanPrompt;
            },
            15000));
        QVERIFY(!seen.contains(QStringLiteral("Сессия недействительна")));
        QCOMPARE(stub.requestsFor(mePath).size(), 2);
        QCOMPARE(window.pages->currentIndex(), 0);
        QVERIFY(window.pollTimer.isActive());
        // The confirmed flow's cookie was saved before the service turned it down.
        QVERIFY(QFile::exists(Window::sessionFilePath()));
    }

    // The new-QR button while waiting drops the old flow: a late answer to one of its polls changes
    // nothing on the new one.
    void newCodeWhileWaiting_data() {
        QTest::addColumn<StubReply>("late");
        StubReply denied = status("denied");
        denied.delayMs = 1500;
        StubReply failed = stubJson(500, "{\"message\":\"Сбой\"}");
        failed.delayMs = 1500;
        StubReply confirmed = status("authenticated", {sessionCookie});
        confirmed.delayMs = 1500;
        QTest::newRow("denied") << denied;
        QTest::newRow("error") << failed;
        QTest::newRow("authenticated") << confirmed;
    }

    void newCodeWhileWaiting() {
        QFETCH(StubReply, late);
        statusReplies = {late, status("pending")};
        meReplies = {stubJson(401, "{}"), stubJson(200, R"({"user":{"id":"u5"}})")};
        Window window;
        QVERIFY(waitForScanPrompt(window));
        QVERIFY(QTest::qWaitFor([&] { return stub.requestsFor(statusPath).size() == 1; }, 5000));

        startReplies = {
            stubJson(200, "{\"qrUrl\":\"https://localhost/confirm/f3\",\"code\":\"7777-77\"}")};
        window.findChild<QPushButton *>(QStringLiteral("newQrButton"))->click();
        QVERIFY(!window.pollTimer.isActive());
        QVERIFY(window.qrLabel->pixmap().isNull());
        QCOMPARE(window.codeLabel->text(), QString());
        QCOMPARE(window.loginStatus->text(), preparing);
        QVERIFY(waitForScanPrompt(window));
        QCOMPARE(window.codeLabel->text(), QStringLiteral("Код: 7777-77"));

        countReplies(window);
        QVERIFY(QTest::qWaitFor([&] { return finishedReplies >= 2; }, 8000));
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
        StubReply late = startReplies.value(0);
        late.delayMs = 1600;
        startReplies = {late};
        countReplies(window);
        window.findChild<QPushButton *>(QStringLiteral("newQrButton"))->click();
        // The who-am-I answer, the chats it loads and the late start answer.
        QVERIFY(QTest::qWaitFor([&] { return finishedReplies >= 3; }, 8000));
        QCOMPARE(stub.requestsFor(startPath).size(), 2);
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
        QTest::newRow("no user") << QByteArray(R"({"id":"u7"})") << QString();
    }

    void userIdReadsOnlyAString() {
        QFETCH(QByteArray, body);
        QFETCH(QString, userId);
        meReplies = {stubJson(200, body)};
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return window.pages->currentIndex() == 1; }, 10000));
        QCOMPARE(window.userId, userId);
        QVERIFY(window.refreshTimer.isActive());
        // Without a session cookie in the jar the realtime channel is left alone.
        QCOMPARE(window.calls->sessionUserId, QString());
        QCOMPARE(stub.requestsFor(startPath).size(), 0);
    }
};

Q_DECLARE_METATYPE(StubReply)

QTEST_MAIN(SignInRulesTest)
#include "tst_signinrules.moc"
