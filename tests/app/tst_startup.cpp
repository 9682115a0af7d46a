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
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
