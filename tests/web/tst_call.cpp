#include "app/service.h"
#include "app/servicetesthook.h"
#include "app/window.h"
#include "tests/support/testutil.h"
#include "tests/web/stubserver.h"
#include "tests/web/websupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QSet>
#include <QTest>

using websupport::callAndWait;

namespace {

const QByteArray json = QByteArrayLiteral("application/json");

// Headers the network stack adds by itself; anything else on the wire came from the program.
const QSet<QByteArray> stackHeaders{
    "host",       "connection",     "accept-encoding", "accept-language",
    "user-agent", "content-length", "cookie"};

} // namespace

class CallTest : public QObject {
    Q_OBJECT

    StubServer stub;
    std::unique_ptr<Window> window;

    // A window on the stub, past its start-up requests (who-am-I and a failed start).
    void openWindow() {
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        window = std::make_unique<Window>();
        QVERIFY(QTest::qWaitFor([this] { return websupport::startupSettled(*window); }, 10000));
        stub.requests.clear();
    }

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        websupport::nameApplication();
        websupport::forgetSession();
        service::installTrust();
        QVERIFY(stub.listen());
        openWindow();
    }

    void cleanupTestCase() { window.reset(); }

    void requestLine_data() {
        QTest::addColumn<bool>("post");
        QTest::addColumn<QJsonObject>("body");
        QTest::addColumn<QByteArray>("expectedBody");
        QTest::newRow("GET ignores a non-empty body")
            << false << QJsonObject{{"text", "ignored"}} << QByteArray();
        QTest::newRow("POST of an empty object") << true << QJsonObject() << QByteArray("{}");
        QTest::newRow("POST is compact JSON")
            << true << QJsonObject{{"text", "Привет, мир"}, {"n", 1}}
            << QByteArray(R"({"n":1,"text":"Привет, мир"})");
    }

    void requestLine() {
        QFETCH(bool, post);
        QFETCH(QJsonObject, body);
        QFETCH(QByteArray, expectedBody);
        stub.respond = [](const StubRequest &) { return stubJson(200, "{}"); };
        stub.requests.clear();
        const auto outcome = callAndWait(
            *window, QStringLiteral("/auth/flow/web/chats/team%2Fdesign/messages"), body, post);
        QVERIFY(outcome->done);
        QCOMPARE(outcome->error, QString());
        QCOMPARE(stub.requests.size(), 1);
        const StubRequest &seen = stub.requests.first();
        QCOMPARE(seen.method, post ? QByteArray("POST") : QByteArray("GET"));
        // The path goes out as the caller encoded it.
        QCOMPARE(seen.path, QByteArray("/auth/flow/web/chats/team%2Fdesign/messages"));
        QCOMPARE(seen.header("origin"), window->baseUrl.toUtf8());
        QCOMPARE(seen.header("content-type"), json);
        QCOMPARE(seen.body, expectedBody);
        QCOMPARE(seen.hasHeader("content-length"), post);
        for (auto it = seen.headers.cbegin(); it != seen.headers.cend(); ++it) {
            if (it.key() != "origin" && it.key() != "content-type")
                QVERIFY2(stackHeaders.contains(it.key()),
                         qPrintable(
                             QStringLiteral("unexpected header %1: %2")
                                 .arg(QString::fromUtf8(it.key()), QString::fromUtf8(it.value()))));
        }
    }

    void originIsTheServiceOrigin() {
        QCOMPARE(window->baseUrl,
                 QStringLiteral("https://localhost:") + QString::number(stub.port()));
    }

    void replyText_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expectedError");
        QTest::addColumn<QStringList>("expectedKeys");
        const QString login = QStringLiteral("Требуется вход");
        const QString fallback = QStringLiteral("Ошибка сети или сервера");
        const QByteArray html = "text/html";
        QTest::newRow("401 without body") << 401 << json << QByteArray() << login << QStringList();
        QTest::newRow("401 with message")
            << 401 << json << QByteArray(R"({"message":"Сессия истекла"})")
            << QStringLiteral("Сессия истекла") << QStringList{"message"};
        QTest::newRow("401 with a blank message")
            << 401 << json << QByteArray(R"({"message":"  \t"})") << login
            << QStringList{"message"};
        QTest::newRow("400 with an empty message")
            << 400 << json << QByteArray(R"({"message":"","code":7})") << fallback
            << QStringList{"code", "message"};
        QTest::newRow("403 message kept unchanged")
            << 403 << json << QByteArray(R"({"message":" Нет доступа "})")
            << QStringLiteral(" Нет доступа ") << QStringList{"message"};
        QTest::newRow("404 number as message")
            << 404 << json << QByteArray(R"({"message":42})") << fallback << QStringList{"message"};
        QTest::newRow("409 object as message")
            << 409 << json << QByteArray(R"({"message":{"text":"x"}})") << fallback
            << QStringList{"message"};
        QTest::newRow("500 HTML page")
            << 500 << html << QByteArray("<html><body><h1>Bad Gateway</h1></body></html>")
            << fallback << QStringList();
        QTest::newRow("401 HTML page")
            << 401 << html << QByteArray("<html>login</html>") << login << QStringList();
        QTest::newRow("502 JSON array")
            << 502 << json << QByteArray(R"(["message"])") << fallback << QStringList();
        QTest::newRow("200 not JSON")
            << 200 << html << QByteArray("<p>hi</p>") << QString() << QStringList();
        QTest::newRow("200 JSON array")
            << 200 << json << QByteArray("[1,2]") << QString() << QStringList();
        QTest::newRow("200 empty body")
            << 200 << json << QByteArray() << QString() << QStringList();
        QTest::newRow("201 object") << 201 << json << QByteArray(R"({"ok":true,"message":""})")
                                    << QString() << QStringList{"message", "ok"};
    }

    void replyText() {
        QFETCH(int, status);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(QString, expectedError);
        QFETCH(QStringList, expectedKeys);
        stub.respond = [&](const StubRequest &) {
            return StubReply{status, body, {"Content-Type: " + contentType}, false};
        };
        const auto outcome =
            callAndWait(*window, QStringLiteral("/auth/flow/web/me"), QJsonObject(), false);
        QVERIFY(outcome->done);
        QCOMPARE(outcome->calls, 1);
        QCOMPARE(outcome->error, expectedError);
        QCOMPARE(outcome->object.keys(), expectedKeys);
    }

    void connectionRefused() {
        quint16 closedPort = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            closedPort = probe.serverPort();
        }
        servicetesthook::pointAt(QStringLiteral("localhost"), closedPort);
        Window offline;
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        QVERIFY(QTest::qWaitFor([&] { return websupport::startupSettled(offline); }, 10000));
        QCOMPARE(offline.loginStatus->text(), QStringLiteral("Ошибка сети или сервера"));

        auto outcome = std::make_shared<websupport::Outcome>();
        offline.call(QStringLiteral("/auth/flow/web/chats"), QJsonObject(), false,
                     [outcome](QJsonObject object, QString error) {
                         outcome->done = true;
                         outcome->object = object;
                         outcome->error = error;
                     });
        QVERIFY2(!outcome->done, "the handler ran inside call()");
        QVERIFY(QTest::qWaitFor([&] { return outcome->done; }, 10000));
        QCOMPARE(outcome->error, QStringLiteral("Ошибка сети или сервера"));
        QVERIFY(outcome->object.isEmpty());
    }

    void everyRequestHasTheInactivityLimit() {
        QList<int> limits;
        connect(
            &window->net, &QNetworkAccessManager::finished, this,
            [&limits](QNetworkReply *reply) { limits.append(reply->request().transferTimeout()); });
        stub.respond = [](const StubRequest &) { return stubJson(200, "{}"); };
        callAndWait(*window, QStringLiteral("/auth/flow/web/me"), QJsonObject(), false);
        callAndWait(*window, QStringLiteral("/auth/flow/web/logout"), QJsonObject(), true);
        disconnect(&window->net, &QNetworkAccessManager::finished, this, nullptr);
        QCOMPARE(limits, (QList<int>{30000, 30000}));
    }

    void cookieFromOneReplyGoesWithTheNext() {
        stub.respond = [](const StubRequest &request) {
            if (request.path == "/auth/flow/web/start")
                return stubJson(200, "{\"qrUrl\":\"https://x/y\",\"code\":\"1\"}",
                                {"Set-Cookie: tovik_flow=f1; Secure; HttpOnly; Path=/"});
            return stubJson(200, R"({"status":"pending"})");
        };
        stub.requests.clear();
        callAndWait(*window, QStringLiteral("/auth/flow/web/start"), QJsonObject(), true);
        callAndWait(*window, QStringLiteral("/auth/flow/web/status"), QJsonObject(), false);
        QCOMPARE(stub.requests.size(), 2);
        QVERIFY(!stub.requests[0].hasHeader("cookie"));
        QCOMPARE(stub.requests[1].header("cookie"), QByteArray("tovik_flow=f1"));
        window->removeSession();
    }

    // The saved cookie comes back bound to the service: secure, every path, this host alone.
    void restoredCookieScope() {
        QNetworkCookie saved("tovik_web_session", "tok-123");
        saved.setHttpOnly(true);
        window->net.cookieJar()->setCookiesFromUrl({saved}, QUrl(window->baseUrl));
        window->saveSession();
        window->net.cookieJar()->deleteCookie(
            window->net.cookieJar()->cookiesForUrl(QUrl(window->baseUrl)).value(0));
        QVERIFY(QFile::exists(Window::sessionFilePath()));

        StubServer plain;
        QVERIFY(plain.listen(false));
        plain.respond = [](const StubRequest &) { return stubJson(200, "{}"); };
        stub.respond = [](const StubRequest &) { return stubJson(200, "{}"); };

        Window restored;
        const QNetworkCookieJar *jar = restored.net.cookieJar();
        const QString port = QString::number(stub.port());
        const QList<QNetworkCookie> forService = jar->cookiesForUrl(QUrl(restored.baseUrl));
        QCOMPARE(forService.size(), 1);
        QCOMPARE(forService[0].name(), QByteArray("tovik_web_session"));
        QCOMPARE(forService[0].value(), QByteArray("tok-123"));
        QVERIFY(forService[0].isSecure());
        QCOMPARE(forService[0].path(), QStringLiteral("/"));
        QVERIFY(!forService[0].isHttpOnly());
        QVERIFY(forService[0].isSessionCookie());
        QVERIFY(jar->cookiesForUrl(QUrl("https://www.localhost:" + port + "/")).isEmpty());
        QVERIFY(jar->cookiesForUrl(QUrl("https://sub.localhost:" + port + "/")).isEmpty());
        QVERIFY(jar->cookiesForUrl(QUrl("https://localhost.example/")).isEmpty());

        // On the wire: the service over HTTPS gets it on any path; plain HTTP to the same host and
        // HTTPS to the same machine under another name do not.
        QVERIFY(QTest::qWaitFor([&] { return !stub.requestsFor("/auth/flow/web/me").isEmpty(); },
                                10000));
        QCOMPARE(stub.requestsFor("/auth/flow/web/me").first().header("cookie"),
                 QByteArray("tovik_web_session=tok-123"));
        auto fetch = [&](const QString &url) {
            QNetworkReply *reply = restored.net.get(QNetworkRequest(QUrl(url)));
            (void)QTest::qWaitFor([reply] { return reply->isFinished(); }, 10000);
            const bool finished = reply->isFinished();
            reply->deleteLater();
            return finished;
        };
        QVERIFY(fetch(restored.baseUrl + "/some/other/path"));
        QCOMPARE(stub.requestsFor("/some/other/path").value(0).header("cookie"),
                 QByteArray("tovik_web_session=tok-123"));
        QVERIFY(fetch("http://localhost:" + QString::number(plain.port()) + "/plain"));
        QCOMPARE(plain.requestsFor("/plain").size(), 1);
        QVERIFY(!plain.requestsFor("/plain").first().hasHeader("cookie"));
        QVERIFY(fetch("https://127.0.0.1:" + port + "/by-address"));
        QCOMPARE(stub.requestsFor("/by-address").size(), 1);
        QVERIFY(!stub.requestsFor("/by-address").first().hasHeader("cookie"));
        restored.removeSession();
    }
};

QTEST_MAIN(CallTest)
#include "tst_call.moc"
