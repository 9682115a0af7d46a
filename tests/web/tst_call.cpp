// The request helper against a scripted service: what goes on the wire, what comes back, and how
// long it waits.

#include "app/window.h"
#include "tests/support/testutil.h"
#include "tests/web/stubserver.h"
#include "tests/web/websupport.h"
#include "web/service.h"
#include "web/servicetesthook.h"

#include <QListWidget>
#include <QNetworkReply>
#include <QPushButton>
#include <QSet>
#include <QStackedWidget>
#include <QTest>

using namespace websupport;

namespace {

const QByteArray json = QByteArrayLiteral("application/json");

// Headers the network stack adds by itself; anything else on the wire came from the program.
const QSet<QByteArray> stackHeaders{
    "host",           "connection", "accept-encoding", "accept-language", "user-agent",
    "content-length", "cookie",     "origin",          "content-type"};

} // namespace

class CallTest : public QObject {
    Q_OBJECT

    StubServer stub;
    std::unique_ptr<Window> window;

    void answerAll(const StubReply &reply) {
        stub.respond = [reply](const StubRequest &) { return reply; };
        stub.requests.clear();
    }

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        nameApplication();
        forgetSession();
        service::installTrust();
        QVERIFY(stub.listen());
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        answerAll(stubJson(401, "{}")); // the window stays signed out
        window = std::make_unique<Window>();
        QVERIFY(QTest::qWaitFor([this] { return startupSettled(*window); }, 10000));
    }

    void cleanupTestCase() { window.reset(); }

    void requestLine_data() {
        QTest::addColumn<bool>("post");
        QTest::addColumn<QJsonObject>("body");
        QTest::addColumn<QByteArray>("expectedBody");
        QTest::newRow("GET ignores a body") << false << QJsonObject{{"t", "x"}} << QByteArray();
        QTest::newRow("POST of an empty object") << true << QJsonObject() << QByteArray("{}");
        QTest::newRow("POST is compact JSON")
            << true << QJsonObject{{"text", "Привет, мир"}, {"n", 1}}
            << QByteArray(R"({"n":1,"text":"Привет, мир"})");
    }

    void requestLine() {
        QFETCH(bool, post);
        QFETCH(QJsonObject, body);
        QFETCH(QByteArray, expectedBody);
        answerAll(stubJson(200, "{}"));
        const QString path = QStringLiteral("/auth/flow/web/chats/team%2Fdesign/messages");
        QCOMPARE(callAndWait(*window, path, body, post)->error, QString());
        QCOMPARE(stub.requests.size(), 1);
        const StubRequest &seen = stub.requests.first();
        QCOMPARE(seen.method, post ? QByteArray("POST") : QByteArray("GET"));
        QCOMPARE(seen.path, path.toUtf8()); // as the caller encoded it
        QCOMPARE(seen.header("origin"),
                 QByteArray("https://localhost:") + QByteArray::number(stub.port()));
        QCOMPARE(seen.header("content-type"), json);
        QCOMPARE(seen.body, expectedBody);
        QCOMPARE(seen.hasHeader("content-length"), post);
        for (auto it = seen.headers.cbegin(); it != seen.headers.cend(); ++it)
            QVERIFY2(stackHeaders.contains(it.key()),
                     qPrintable(QStringLiteral("unexpected header ") + it.key()));
    }

    void replyText_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expectedError");
        QTest::addColumn<QStringList>("expectedKeys");
        const QString login = QStringLiteral("Требуется вход");
        QTest::newRow("401 without body") << 401 << QByteArray() << login << QStringList();
        QTest::newRow("401 with message")
            << 401 << QByteArray(R"({"message":"Сессия истекла"})")
            << QStringLiteral("Сессия истекла") << QStringList{"message"};
        QTest::newRow("401 blank message falls back")
            << 401 << QByteArray(R"({"message":"  \t"})") << login << QStringList{"message"};
        QTest::newRow("400 empty message falls back")
            << 400 << QByteArray(R"({"message":"","code":7})") << networkError
            << QStringList{"code", "message"};
        QTest::newRow("403 message kept unchanged")
            << 403 << QByteArray(R"({"message":" Нет "})") << QStringLiteral(" Нет ")
            << QStringList{"message"};
        QTest::newRow("404 number as message")
            << 404 << QByteArray(R"({"message":42})") << networkError << QStringList{"message"};
        QTest::newRow("500 HTML page") << 500 << QByteArray("<html><h1>Bad Gateway</h1></html>")
                                       << networkError << QStringList();
        QTest::newRow("401 HTML page")
            << 401 << QByteArray("<html>login</html>") << login << QStringList();
        QTest::newRow("200 not JSON")
            << 200 << QByteArray("<p>hi</p>") << QString() << QStringList();
        QTest::newRow("201 object, empty message is no error")
            << 201 << QByteArray(R"({"ok":true,"message":""})") << QString()
            << QStringList{"message", "ok"};
    }

    void replyText() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expectedError);
        QFETCH(QStringList, expectedKeys);
        answerAll(stubJson(status, body));
        const auto outcome = callAndWait(*window, QStringLiteral("/auth/flow/web/me"));
        QCOMPARE(outcome->calls, 1);
        QCOMPARE(outcome->error, expectedError);
        QCOMPARE(outcome->object.keys(), expectedKeys);
    }

    void connectionRefused() {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 closedPort = probe.serverPort();
        probe.close();
        servicetesthook::pointAt(QStringLiteral("localhost"), closedPort);
        Window offline;
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        QVERIFY(QTest::qWaitFor([&] { return startupSettled(offline); }, 10000));
        QCOMPARE(offline.loginStatus->text(), QStringLiteral("Нет соединения с сервером"));
        const auto outcome = callAndWait(offline, QStringLiteral("/auth/flow/web/chats"));
        QCOMPARE(outcome->calls, 1);
        QCOMPARE(outcome->error, networkError);
        QVERIFY(outcome->object.isEmpty());
    }

    void everyRequestHasTheInactivityLimit() {
        QList<int> limits;
        connect(
            &window->net, &QNetworkAccessManager::finished, this,
            [&limits](QNetworkReply *reply) { limits.append(reply->request().transferTimeout()); });
        answerAll(stubJson(200, "{}"));
        callAndWait(*window, QStringLiteral("/auth/flow/web/me"));
        callAndWait(*window, QStringLiteral("/auth/flow/web/logout"), {}, true);
        disconnect(&window->net, &QNetworkAccessManager::finished, this, nullptr);
        QCOMPARE(limits, (QList<int>{30000, 30000}));
    }

    void cookieFromOneReplyGoesWithTheNext() {
        answerAll(stubJson(200, "{}", {"Set-Cookie: tovik_flow=f1; Secure; HttpOnly; Path=/"}));
        callAndWait(*window, QStringLiteral("/auth/flow/web/start"), {}, true);
        callAndWait(*window, QStringLiteral("/auth/flow/web/status"));
        QCOMPARE(stub.requests.size(), 2);
        QVERIFY(!stub.requests[0].hasHeader("cookie"));
        QCOMPARE(stub.requests[1].header("cookie"), QByteArray("tovik_flow=f1"));
        window->removeSession();
    }

    // The saved cookie comes back bound to the service: HTTPS only, every path, this host alone.
    void restoredCookieScope() {
        writeSessionFile("tok-123");
        StubServer plain;
        QVERIFY(plain.listen(false));
        answerAll(stubJson(200, "{}"));

        Window restored;
        QVERIFY(QTest::qWaitFor([&] { return !stub.requestsFor("/auth/flow/web/me").isEmpty(); },
                                10000));
        auto cookieSentTo = [&](StubServer &server, const QString &url) {
            QNetworkReply *reply = restored.net.get(QNetworkRequest(QUrl(url)));
            (void)QTest::qWaitFor([reply] { return reply->isFinished(); }, 10000);
            reply->deleteLater();
            const QList<StubRequest> seen = server.requestsFor(QUrl(url).path().toUtf8());
            return seen.size() == 1 ? seen[0].header("cookie") : QByteArray("(not received)");
        };
        const QByteArray sent = "tovik_web_session=tok-123";
        const QString port = QString::number(stub.port());
        QCOMPARE(stub.requestsFor("/auth/flow/web/me").first().header("cookie"), sent);
        QCOMPARE(cookieSentTo(stub, restored.baseUrl + "/other/path"), sent);
        QCOMPARE(
            cookieSentTo(plain, "http://localhost:" + QString::number(plain.port()) + "/plain"),
            QByteArray());
        QCOMPARE(cookieSentTo(stub, "https://127.0.0.1:" + port + "/by-address"), QByteArray());
        QVERIFY(restored.net.cookieJar()
                    ->cookiesForUrl(QUrl("https://sub.localhost:" + port))
                    .isEmpty());
        restored.removeSession();
    }

    // Lists asked for just before sign-out arrive after it; the next user must see none of them.
    void repliesSentBeforeSignOutAreDropped() {
        stub.respond = [](const StubRequest &request) {
            if (request.path == "/auth/flow/web/me")
                return stubJson(200, R"({"user":{"id":"u1"}})");
            StubReply late = stubJson(200, R"({"chats":[{"id":"c1","name":"Чужой"}],)"
                                           R"("messages":[{"type":"TEXT","content":"тайна"}]})");
            late.delayMs = request.path == "/auth/flow/web/logout" ? 0 : 1500;
            return late;
        };
        writeSessionFile("tok-late");
        Window leaving;
        QVERIFY(QTest::qWaitFor([&] { return leaving.pages->currentIndex() == 1; }, 10000));
        leaving.currentChatId = QStringLiteral("c1");
        leaving.loadMessages();
        leaving.findChild<QPushButton *>(QStringLiteral("signOutButton"))->click();
        QVERIFY(QTest::qWaitFor([&] { return leaving.pages->currentIndex() == 0; }, 10000));
        QVERIFY(!leaving.messagesLoading);
        leaving.currentChatId = QStringLiteral("c1"); // the next user opens a chat of that id
        QTest::qWait(2500);
        QCOMPARE(leaving.chatList->count(), 0);
        QCOMPARE(leaving.messageList->count(), 0);
    }

    // A request the service never answers gives up after 30 s of silence and fails like a network
    // failure (the start-up check then waits to ask again), so the start-up check and the sign-out
    // still finish. Takes about half a minute.
    void unansweredRequestsGiveUp() {
        stub.respond = [](const StubRequest &request) {
            const bool session = request.header("cookie").contains("tovik_web_session=");
            if (request.path == "/auth/flow/web/me" && session)
                return stubJson(200, R"({"user":{"id":"u1"}})");
            if (request.path == "/auth/flow/web/me" || request.path == "/auth/flow/web/logout")
                return StubReply{200, {}, {}, true};
            return stubJson(200, "{\"qrUrl\":\"https://localhost/x\",\"status\":\"pending\"}");
        };
        Window checking;
        writeSessionFile("tok-timeout");
        Window signedIn;
        QVERIFY(QTest::qWaitFor([&] { return signedIn.pages->currentIndex() == 1; }, 10000));
        signedIn.findChild<QPushButton *>(QStringLiteral("signOutButton"))->click();
        QTest::qWait(3000);
        QCOMPARE(checking.loginStatus->text(), QString());
        QCOMPARE(signedIn.pages->currentIndex(), 1);
        QVERIFY(QTest::qWaitFor(
            [&] {
                return signedIn.pages->currentIndex() == 0 &&
                       checking.loginStatus->text() == QStringLiteral("Нет соединения с сервером");
            },
            45000));
        QVERIFY(!QFile::exists(Window::sessionFilePath()));
        QVERIFY(!hasSessionCookie(signedIn));
    }
};

QTEST_MAIN(CallTest)
#include "tst_call.moc"
