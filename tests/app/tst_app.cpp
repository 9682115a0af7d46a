// The window as the program runs it: the trust it installs, a saved session through a start without
// the service, both channels to the service, text from the network on every surface, and a close
// that never destroys it.

#include "app/buildconfig.h"
#include "calls/nativecalls.h"
#include "tests/support/localservice.h"
#include "tests/support/windowkit.h"

#include <QCloseEvent>
#include <QJsonArray>
#include <QSslCertificate>
#include <QSslConfiguration>

class AppTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { testutil::isolateUserData(); }

    // Nothing prepares TLS but the windows: every connection depends on the trust a window
    // installs, the extra CA besides the system roots. A saved session survives a start while the
    // service cannot be reached: no QR, a word on the sign-in page, the chats once it is back.
    void savedSessionOutlastsAStartWithoutTheService() {
        const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
        LocalService svc;
        QVERIFY2(svc.start({"--session", "u1:startup-token"}), qPrintable(svc.output()));
        svc.stop();
        win::writeSessionFile("startup-token");
        QString error = QStringLiteral("(no answer)");
        Window w;
        const auto trusted = QSslConfiguration::defaultConfiguration().caCertificates();
        for (const auto &extra : QSslCertificate::fromData(buildconfig::extraCaPem, QSsl::Pem))
            QVERIFY(trusted.contains(extra));
        QVERIFY(system.isEmpty() ||
                std::any_of(system.begin(), system.end(),
                            [&](const auto &root) { return trusted.contains(root); }));
        QVERIFY(waitUntil([&] { return w.loginStatus->text() == "Нет соединения с сервером"; }));
        QVERIFY(w.meRetryTimer.isActive() && w.codeLabel->text().isEmpty());
        w.call("/auth/flow/web/chats", {}, false, [&](QJsonObject, QString e) { error = e; });
        QVERIFY(waitUntil([&] { return error == win::networkError; }));
        QVERIFY(svc.restart());
        // The back-off has reached at most 16 s by the time a slow machine has the service up.
        QVERIFY(waitUntil([&] { return w.chatList->count() > 0; }, 45000));
        QVERIFY(w.codeLabel->text().isEmpty() && !w.meRetryTimer.isActive());
        QVERIFY(waitUntil([&] { return w.calls->connected; })); // the realtime channel

        // Closing never destroys the window; with a tray icon it only hides it.
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCloseEvent event;
        QApplication::sendEvent(&w, &event);
        QVERIFY(!event.isAccepted());
        QCOMPARE(w.isVisible(), !w.calls->trayAvailable());
    }

    // A name or message from the network is shown as given: no markup laid out, no image read.
    void networkTextIsPlain() {
        const QString text = QStringLiteral("<b>Борис</b><img src=\"x.png\"><table>&lt;&amp;");
        QFile::remove(Window::sessionFilePath());
        Window w;
        NativeCalls &c = *w.calls;
        QStringList boxes, balloons;
        auto *closer = new QTimer(&w);
        connect(closer, &QTimer::timeout, &w, [&boxes] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
                boxes << QString::number(box->textFormat()) + '|' + testutil::closeModalBox();
        });
        closer->start(20);
        c.balloonShown = [&balloons](const QString &title, auto, auto, int) { balloons << title; };
        w.rebuildChats(QJsonObject{{"chats", QJsonArray{QJsonObject{{"id", "c"}, {"name", text}}}}},
                       {});
        w.chatList->setCurrentRow(0);
        w.rebuildChats({}, text);
        QCOMPARE(w.statusLabel->text(), text);
        c.sessionUserId = QStringLiteral("u1");
        c.sid = QStringLiteral("sidA");
        c.connected = true;
        c.update({{"id", "c1"},
                  {"state", "RINGING"},
                  {"callerId", "u2"},
                  {"members",
                   QJsonArray{QJsonObject{{"userId", "u2"}, {"name", text}, {"state", "JOINED"}},
                              QJsonObject{{"userId", "u1"}, {"state", "INVITED"}}}}});
        c.handle(frames::eventFrame(QStringLiteral("native_call_error"), {{"message", text}}));
        QCOMPARE(w.chatTitle->text() + c.titleLabel.text(), text.repeated(2));
        QVERIFY(c.membersLabel.text().contains(text));
        QCOMPARE(balloons, QStringList{"Звонит " + text});
        QCOMPARE(boxes, QStringList{"0|" + text});
        for (QLabel *label : {w.codeLabel, w.loginStatus, w.chatTitle, w.statusLabel, &c.titleLabel,
                              &c.membersLabel, &c.callStatusLabel})
            QVERIFY2(label->textFormat() == Qt::PlainText, qPrintable(label->text().left(40)));
    }
};

QTEST_MAIN(AppTest)
#include "tst_app.moc"
