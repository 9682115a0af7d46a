// The request helper against a scripted service: what goes on the wire, what comes back, how long
// it waits and how much it reads.

#include "tests/support/windowkit.h"

#include <QSet>

using namespace win;

namespace {

struct Outcome {
    int calls = 0;
    QJsonObject object;
    QString error;
};

// One request through Window::call, waiting (bounded) for its one callback.
Outcome callAndWait(Window &w, const QString &path, const QJsonObject &body = {},
                    bool post = false) {
    auto outcome = std::make_shared<Outcome>();
    w.call(path, body, post, [outcome](QJsonObject object, QString error) {
        ++outcome->calls;
        outcome->object = object;
        outcome->error = error;
    });
    waitUntil([&] { return outcome->calls > 0; }, 60000);
    return *outcome;
}

bool startupSettled(const Window &w) {
    return !w.loginStatus->text().isEmpty() && w.loginStatus->text() != preparing;
}

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
        prepare();
        QDir(dataFolder()).removeRecursively();
        QVERIFY(stub.listen());
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        answerAll(stubJson(401, "{}")); // the window stays signed out
        window = std::make_unique<Window>();
        QVERIFY(waitUntil([this] { return startupSettled(*window); }));
    }
    void cleanupTestCase() { window.reset(); }

    void requestOnTheWire_data() {
        QTest::addColumn<bool>("post");
        QTest::addColumn<QJsonObject>("body");
        QTest::addColumn<QByteArray>("sent");
        row("GET ignores a body", false, QJsonObject{{"t", "x"}}, QByteArray());
        row("POST of an empty object", true, QJsonObject(), QByteArray("{}"));
        row("POST is compact JSON", true, QJsonObject{{"text", "Привет, мир"}, {"n", 1}},
            QByteArray(R"({"n":1,"text":"Привет, мир"})"));
    }
    void requestOnTheWire() {
        QFETCH(bool, post);
        QFETCH(QJsonObject, body);
        QFETCH(QByteArray, sent);
        answerAll(stubJson(200, "{}"));
        QList<int> limits;
        auto hook = connect(&window->net, &QNetworkAccessManager::finished, this,
                            [&](QNetworkReply *r) { limits << r->request().transferTimeout(); });
        const QString path = QStringLiteral("/auth/flow/web/chats/team%2Fdesign/messages");
        QCOMPARE(callAndWait(*window, path, body, post).error, QString());
        disconnect(hook);
        QCOMPARE(limits, QList<int>{30000});
        QCOMPARE(stub.requests.size(), 1);
        const StubRequest &seen = stub.requests.first();
        QCOMPARE(seen.method + ' ' + seen.path, (post ? "POST " : "GET ") + path.toUtf8());
        QCOMPARE(seen.header("origin"), "https://localhost:" + QByteArray::number(stub.port()));
        QCOMPARE(seen.header("content-type"), QByteArray("application/json"));
        QCOMPARE(seen.body, sent);
        // Nothing beyond what the network stack adds by itself.
        static const QSet<QByteArray> stack{
            "host",           "connection", "accept-encoding", "accept-language", "user-agent",
            "content-length", "cookie",     "origin",          "content-type"};
        for (const QByteArray &name : seen.headers.keys())
            QVERIFY2(stack.contains(name), name.constData());
    }

    void replyText_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("keys");
        const QString login = QStringLiteral("Требуется вход");
        row("401 without body", 401, QByteArray(), login, QStringList());
        row("401 with message", 401, QByteArray(R"({"message":"Сессия истекла"})"),
            QStringLiteral("Сессия истекла"), QStringList{"message"});
        row("401 blank message falls back", 401, QByteArray(R"({"message":"  \t"})"), login,
            QStringList{"message"});
        row("400 empty message falls back", 400, QByteArray(R"({"message":"","code":7})"),
            networkError, QStringList{"code", "message"});
        row("403 message kept unchanged", 403, QByteArray(R"({"message":" Нет "})"),
            QStringLiteral(" Нет "), QStringList{"message"});
        row("404 number as message", 404, QByteArray(R"({"message":42})"), networkError,
            QStringList{"message"});
        row("500 HTML page", 500, QByteArray("<html>Bad Gateway</html>"), networkError,
            QStringList());
        row("200 not JSON", 200, QByteArray("<p>hi</p>"), QString(), QStringList());
        row("201, empty message is no error", 201, QByteArray(R"({"ok":true,"message":""})"),
            QString(), QStringList{"message", "ok"});
        // A reply far past the 16 MiB cap is cut off as a failure rather than read.
        row("200 beyond the size cap", 200, "{\"a\":\"" + QByteArray(64 * 1024 * 1024, 'x') + "\"}",
            networkError, QStringList());
    }
    void replyText() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        QFETCH(QStringList, keys);
        answerAll(stubJson(status, body));
        const Outcome outcome = callAndWait(*window, QStringLiteral("/auth/flow/web/me"));
        QCOMPARE(outcome.calls, 1);
        QCOMPARE(outcome.error, error);
        QCOMPARE(outcome.object.keys(), keys);
    }

    void connectionRefused() {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 closedPort = probe.serverPort();
        probe.close();
        servicetesthook::pointAt(QStringLiteral("localhost"), closedPort);
        Window offline;
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        QVERIFY(waitUntil([&] { return startupSettled(offline); }));
        QCOMPARE(offline.loginStatus->text(), networkError);
        const Outcome outcome = callAndWait(offline, QStringLiteral("/auth/flow/web/chats"));
        QCOMPARE(outcome.calls, 1);
        QCOMPARE(outcome.error, networkError);
    }

    // A cookie from one reply goes with the next; the saved one comes back bound to the service:
    // HTTPS only, every path, this host alone.
    void cookieScope() {
        answerAll(stubJson(200, "{}", {"Set-Cookie: tovik_flow=f1; Secure; HttpOnly; Path=/"}));
        callAndWait(*window, QStringLiteral("/auth/flow/web/start"), {}, true);
        callAndWait(*window, QStringLiteral("/auth/flow/web/status"));
        QCOMPARE(stub.requests[0].header("cookie") + '|' + stub.requests[1].header("cookie"),
                 QByteArray("|tovik_flow=f1"));
        window->removeSession();

        writeSessionFile("tok-123");
        StubServer plain;
        QVERIFY(plain.listen(false));
        answerAll(stubJson(200, "{}"));
        Window restored;
        QVERIFY(waitUntil([&] { return !stub.requestsFor("/auth/flow/web/me").isEmpty(); }));
        auto cookieSentTo = [&](StubServer &server, const QString &url) {
            QNetworkReply *reply = restored.net.get(QNetworkRequest(QUrl(url)));
            waitUntil([reply] { return reply->isFinished(); }, 10000);
            reply->deleteLater();
            const QList<StubRequest> seen = server.requestsFor(QUrl(url).path().toUtf8());
            return seen.size() == 1 ? seen[0].header("cookie") : QByteArray("(not received)");
        };
        const QByteArray sent = "tovik_web_session=tok-123";
        const QString port = QString::number(stub.port());
        QCOMPARE(stub.requestsFor("/auth/flow/web/me").first().header("cookie"), sent);
        QCOMPARE(cookieSentTo(stub, restored.baseUrl + "/other/path"), sent);
        QCOMPARE(cookieSentTo(plain, "http://localhost:" + QString::number(plain.port()) + "/p"),
                 QByteArray());
        QCOMPARE(cookieSentTo(stub, "https://127.0.0.1:" + port + "/by-address"), QByteArray());
        QVERIFY(restored.net.cookieJar()
                    ->cookiesForUrl(QUrl("https://sub.localhost:" + port))
                    .isEmpty());
        restored.removeSession();
    }

    // A request the service never answers gives up after 30 s of silence and fails like a network
    // failure, so the start-up check and the sign-out still finish. Takes about half a minute.
    void unansweredRequestsGiveUp() {
        stub.respond = [](const StubRequest &r) {
            const bool session = r.header("cookie").contains("tovik_web_session=");
            if (r.path == "/auth/flow/web/me" && session)
                return stubJson(200, R"({"user":{"id":"u1"}})");
            if (r.path == "/auth/flow/web/me" || r.path == "/auth/flow/web/logout")
                return StubReply{200, {}, {}, true};
            return stubJson(200, "{\"qrUrl\":\"https://localhost/x\",\"status\":\"pending\"}");
        };
        Window checking;
        writeSessionFile("tok-timeout");
        Window signedIn;
        QVERIFY(waitUntil([&] { return signedIn.pages->currentIndex() == 1; }));
        click(signedIn, "signOutButton");
        QTest::qWait(3000);
        QCOMPARE(checking.loginStatus->text(), QString());
        QCOMPARE(signedIn.pages->currentIndex(), 1);
        QVERIFY(waitUntil(
            [&] {
                return signedIn.pages->currentIndex() == 0 &&
                       checking.loginStatus->text() == scanPrompt;
            },
            45000));
        QVERIFY(!QFile::exists(Window::sessionFilePath()));
        QVERIFY(!hasSessionCookie(signedIn));
    }
};

QTEST_MAIN(CallTest)
#include "tst_call.moc"
