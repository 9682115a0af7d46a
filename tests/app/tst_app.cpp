// The window as the program runs it: the trust it installs, both channels to the service, and a
// close that never destroys it.

#include "app/buildconfig.h"
#include "calls/nativecalls.h"
#include "tests/support/localservice.h"
#include "tests/support/windowkit.h"

#include <QCloseEvent>
#include <QSslCertificate>
#include <QSslConfiguration>

class AppTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { testutil::isolateUserData(); }

    // Nothing prepares TLS before the constructor: every connection depends on the trust the
    // window itself installs, the extra CA besides the system roots.
    void signedInWindowReachesTheServiceOverBothChannels() {
        const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
        LocalService svc;
        QVERIFY2(svc.start({"--session", "u1:startup-token"}), qPrintable(svc.output()));
        Window w;
        const QList<QSslCertificate> trusted =
            QSslConfiguration::defaultConfiguration().caCertificates();
        const QList<QSslCertificate> extra =
            QSslCertificate::fromData(QByteArray(buildconfig::extraCaPem), QSsl::Pem);
        QVERIFY(extra.isEmpty() || trusted.contains(extra.first()));
        QVERIFY(system.isEmpty() ||
                std::any_of(system.begin(), system.end(),
                            [&](const auto &root) { return trusted.contains(root); }));
        // The constructor's own who-am-I (no session yet) settles before signing in.
        QVERIFY(waitUntil([&] { return !w.loginStatus->text().isEmpty(); }));
        win::setSession(w, "startup-token");
        w.loadMe();
        QVERIFY(waitUntil([&] { return w.chatList->count() > 0; }));
        QVERIFY2(waitUntil([&] { return w.calls->connected; }),
                 "the realtime channel never became ready");

        // Closing never destroys the window; with a tray icon it only hides it.
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCloseEvent event;
        QApplication::sendEvent(&w, &event);
        QVERIFY(!event.isAccepted());
        QCOMPARE(w.isVisible(), !w.calls->trayAvailable());
    }
};

QTEST_MAIN(AppTest)
#include "tst_app.moc"
