#include "app/window.h"
#include "calls/nativecalls.h"
#include "tests/support/localservice.h"
#include "tests/support/testutil.h"
#include "web/service.h"

#include <QListWidget>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QTest>

// Runs the window exactly as the program does: nothing prepares TLS before the constructor, so
// every connection depends on the trust the window itself installs.
class StartupTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void signedInWindowReachesTheServiceOverBothChannels() {
        testutil::isolateUserData();
        LocalService svc;
        QVERIFY2(svc.start({QStringLiteral("--session"), QStringLiteral("u1:startup-token")}),
                 qPrintable(svc.output()));
        Window w;
        // Let the constructor's own who-am-I (no session yet) settle before signing in.
        QTRY_VERIFY_WITH_TIMEOUT(!w.loginStatus->text().isEmpty(), 10000);
        QNetworkCookie cookie("tovik_web_session", "startup-token");
        cookie.setSecure(true);
        cookie.setPath(QStringLiteral("/"));
        w.net.cookieJar()->setCookiesFromUrl({cookie}, QUrl(service::baseUrl()));
        w.loadMe();
        QTRY_VERIFY_WITH_TIMEOUT(w.chatList->count() > 0, 10000);
        QTRY_VERIFY2_WITH_TIMEOUT(w.calls->connected, "the realtime channel never became ready",
                                  15000);
    }

    // A saved session survives a start while the service cannot be reached: no QR, a word on the
    // sign-in page, and the chats as soon as the service is back.
    void startWithoutTheServiceKeepsTheSession() {
        testutil::isolateUserData();
        LocalService svc;
        QVERIFY2(svc.start({QStringLiteral("--session"), QStringLiteral("u1:offline-token")}),
                 qPrintable(svc.output()));
        svc.stop();
        {
            Window saved;
            QNetworkCookie cookie("tovik_web_session", "offline-token");
            cookie.setSecure(true);
            cookie.setPath(QStringLiteral("/"));
            saved.net.cookieJar()->setCookiesFromUrl({cookie}, QUrl(service::baseUrl()));
            saved.saveSession();
        }
        Window w;
        QTRY_COMPARE_WITH_TIMEOUT(w.loginStatus->text(),
                                  QStringLiteral("Нет соединения с сервером"), 10000);
        QVERIFY(w.meRetryTimer.isActive());
        QVERIFY(w.codeLabel->text().isEmpty());
        QVERIFY(svc.restart());
        // The back-off has reached at most 16 s by the time a slow machine has the service up.
        QTRY_VERIFY_WITH_TIMEOUT(w.chatList->count() > 0, 45000);
        QVERIFY(w.codeLabel->text().isEmpty());
        QVERIFY(!w.meRetryTimer.isActive());
    }
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
