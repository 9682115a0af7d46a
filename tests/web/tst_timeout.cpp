// A request the service never answers gives up after 30 s of silence and fails like a network
// failure, so the start-up check and the sign-out still finish. Takes about half a minute.

#include "app/service.h"
#include "app/servicetesthook.h"
#include "app/window.h"
#include "tests/support/testutil.h"
#include "tests/web/stubserver.h"
#include "tests/web/websupport.h"

#include <QPushButton>
#include <QStackedWidget>
#include <QTest>

using namespace websupport;

class TimeoutTest : public QObject {
    Q_OBJECT

    StubServer stub;

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        nameApplication();
        forgetSession();
        service::installTrust();
        QVERIFY(stub.listen());
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        stub.respond = [](const StubRequest &request) {
            const bool session = request.header("cookie").contains("tovik_web_session=");
            if (request.path == "/auth/flow/web/me" && session)
                return stubJson(200, R"({"user":{"id":"u1"}})");
            if (request.path == "/auth/flow/web/me" || request.path == "/auth/flow/web/logout")
                return StubReply{200, {}, {}, true};
            if (request.path == "/auth/flow/web/start")
                return stubJson(200, "{\"qrUrl\":\"https://localhost/x\",\"code\":\"1\"}");
            if (request.path == "/auth/flow/web/status")
                return stubJson(200, R"({"status":"pending"})");
            return stubJson(200, R"({"chats":[]})");
        };
    }

    void unansweredRequestsGiveUp() {
        // Without a session the start-up check hangs...
        Window checking;
        // ...and with one, the sign-out request does.
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
                       checking.loginStatus->text() == scanPrompt;
            },
            45000));
        QVERIFY(!QFile::exists(Window::sessionFilePath()));
        QVERIFY(!hasSessionCookie(signedIn));
        QVERIFY(!signedIn.refreshTimer.isActive());
    }
};

QTEST_MAIN(TimeoutTest)
#include "tst_timeout.moc"
