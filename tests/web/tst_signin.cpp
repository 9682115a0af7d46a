// The QR sign-in against the local service: what a user sees and what the service ends up knowing.

#include "app/service.h"
#include "app/window.h"
#include "calls/nativecalls.h"
#include "tests/support/localservice.h"
#include "tests/support/testutil.h"
#include "tests/web/websupport.h"

#include <QLineEdit>
#include <QListWidget>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QStackedWidget>
#include <QTest>

using namespace websupport;

namespace {

const QString networkError = QStringLiteral("Ошибка сети или сервера");

void click(Window &window, const char *button) {
    window.findChild<QPushButton *>(QLatin1String(button))->click();
}

// Waits for `done`, noting every text the sign-in status line shows meanwhile.
bool watchStatus(Window &window, QSet<QString> &seen, const std::function<bool()> &done,
                 int timeoutMs = 15000) {
    return QTest::qWaitFor(
        [&] {
            seen.insert(window.loginStatus->text());
            return done();
        },
        timeoutMs);
}

bool signedIn(const Window &window) {
    return window.pages->currentIndex() == 1;
}

} // namespace

class SignInTest : public QObject {
    Q_OBJECT

    // Plays the phone application: opens the QR address and answers its form.
    QNetworkAccessManager phone;

    int answerOnPhone(const QString &qrUrl, const QByteArray &form) {
        QNetworkRequest request{QUrl(qrUrl)};
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/x-www-form-urlencoded"));
        QNetworkReply *reply = phone.post(request, form);
        (void)QTest::qWaitFor([reply] { return reply->isFinished(); }, 10000);
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        reply->deleteLater();
        return status;
    }

    // Whether the service still honours a session token.
    int whoAmI(const QString &baseUrl, const QByteArray &token) {
        QNetworkRequest request{QUrl(baseUrl + QStringLiteral("/auth/flow/web/me"))};
        request.setRawHeader("Cookie", "tovik_web_session=" + token);
        QNetworkReply *reply = phone.get(request);
        (void)QTest::qWaitFor([reply] { return reply->isFinished(); }, 10000);
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        reply->deleteLater();
        return status;
    }

    void needDecoder() {
        if (zbarimg().isEmpty())
            QSKIP("zbarimg (zbar-tools) is not installed");
    }

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        nameApplication();
        service::installTrust();
    }

    void init() { forgetSession(); }

    void firstStartSignsInByQrWithoutShowingAnError() {
        LocalService svc;
        QVERIFY(svc.start({QStringLiteral("--auto-confirm"), QStringLiteral("u1")}));
        Window window;
        QCOMPARE(window.pages->currentIndex(), 0);
        QVERIFY(window.qrLabel->pixmap().isNull());
        QCOMPARE(window.codeLabel->text(), QString());
        QCOMPARE(window.loginStatus->text(), QString());

        QSet<QString> seen;
        QVERIFY(
            watchStatus(window, seen, [&] { return window.loginStatus->text() == scanPrompt; }));
        QVERIFY(!window.qrLabel->pixmap().isNull());
        QVERIFY2(QRegularExpression(QStringLiteral("^Код: \\d{4}-\\d{2}$"))
                     .match(window.codeLabel->text())
                     .hasMatch(),
                 qPrintable(window.codeLabel->text()));
        QVERIFY(window.pollTimer.isActive());
        QCOMPARE(window.pollTimer.interval(), 2000);
        QVERIFY(!window.pollTimer.isSingleShot());

        QVERIFY(watchStatus(window, seen, [&] { return signedIn(window); }));
        QCOMPARE(seen, (QSet<QString>{QString(), preparing, scanPrompt}) & seen);
        QVERIFY2(!seen.contains(QStringLiteral("Требуется вход")), "the who-am-I error was shown");
        QCOMPARE(window.userId, QStringLiteral("u1"));
        QVERIFY(!window.pollTimer.isActive());
        QVERIFY(window.refreshTimer.isActive());
        QCOMPARE(window.refreshTimer.interval(), 5000);
        QVERIFY(QFile::exists(Window::sessionFilePath()));
        QVERIFY(hasSessionCookie(window));
        QCOMPARE(window.calls->sessionUserId, QStringLiteral("u1"));
        QVERIFY(!window.calls->sessionToken.isEmpty());
        QVERIFY(QTest::qWaitFor([&] { return window.chatList->count() > 0; }, 10000));
    }

    void confirmedOnThePhone() {
        needDecoder();
        LocalService svc;
        QVERIFY(svc.start());
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return window.loginStatus->text() == scanPrompt; }, 10000));
        const QString qrUrl = scanQr(window);
        QVERIFY2(qrUrl.startsWith(svc.baseUrl() + QStringLiteral("/confirm/")), qPrintable(qrUrl));
        QCOMPARE(answerOnPhone(qrUrl, "user=u2&action=confirm"), 200);
        QVERIFY(QTest::qWaitFor([&] { return signedIn(window); }, 10000));
        QCOMPARE(window.userId, QStringLiteral("u2"));
    }

    void deniedOnThePhoneThenANewCode() {
        needDecoder();
        LocalService svc;
        QVERIFY(svc.start());
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return window.loginStatus->text() == scanPrompt; }, 10000));
        const QString qrUrl = scanQr(window);
        const QString code = window.codeLabel->text();
        QCOMPARE(answerOnPhone(qrUrl, "user=u1&action=deny"), 200);
        QVERIFY(QTest::qWaitFor(
            [&] { return window.loginStatus->text() == QStringLiteral("Вход отклонён"); }, 10000));
        QVERIFY(!window.pollTimer.isActive());
        QCOMPARE(window.codeLabel->text(), code);
        QCOMPARE(scanQr(window), qrUrl);
        QCOMPARE(window.pages->currentIndex(), 0);

        click(window, "newQrButton");
        QCOMPARE(window.loginStatus->text(), preparing);
        QVERIFY(QTest::qWaitFor([&] { return window.loginStatus->text() == scanPrompt; }, 10000));
        const QString second = scanQr(window);
        QVERIFY(!second.isEmpty());
        QVERIFY(second != qrUrl);
        QCOMPARE(answerOnPhone(second, "user=u3&action=confirm"), 200);
        QVERIFY(QTest::qWaitFor([&] { return signedIn(window); }, 10000));
        QCOMPARE(window.userId, QStringLiteral("u3"));
    }

    // The service forgets the flow (a restart); the next poll fails and polling stops for good.
    void pollFailureStopsPolling() {
        LocalService svc;
        QVERIFY(svc.start());
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return window.loginStatus->text() == scanPrompt; }, 10000));
        const QString code = window.codeLabel->text();
        QVERIFY(svc.restart());
        QVERIFY(portAcceptsConnections(svc.port()));
        QVERIFY(QTest::qWaitFor([&] { return !window.pollTimer.isActive(); }, 10000));
        const QString shown = window.loginStatus->text();
        QVERIFY2(shown == QStringLiteral("Вход не найден или истёк") || shown == networkError,
                 qPrintable(shown));
        QCOMPARE(window.codeLabel->text(), code);
        QVERIFY(!window.qrLabel->pixmap().isNull());
        QTest::qWait(2300);
        QCOMPARE(window.loginStatus->text(), shown);
        QVERIFY(!window.pollTimer.isActive());

        click(window, "newQrButton");
        QVERIFY(QTest::qWaitFor([&] { return window.loginStatus->text() == scanPrompt; }, 10000));
        QVERIFY(window.pollTimer.isActive());
    }

    void startFailureShowsTheErrorUntilRetried() {
        LocalService svc;
        QVERIFY(svc.start());
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return window.loginStatus->text() == scanPrompt; }, 10000));
        svc.stop();
        click(window, "newQrButton");
        QVERIFY(window.qrLabel->pixmap().isNull());
        QCOMPARE(window.codeLabel->text(), QString());
        QVERIFY(!window.pollTimer.isActive());
        QVERIFY(QTest::qWaitFor([&] { return window.loginStatus->text() == networkError; }, 10000));
        QVERIFY(!window.pollTimer.isActive());
        QVERIFY(window.qrLabel->pixmap().isNull());

        QVERIFY(svc.restart());
        QVERIFY(portAcceptsConnections(svc.port()));
        click(window, "newQrButton");
        QVERIFY(QTest::qWaitFor([&] { return window.loginStatus->text() == scanPrompt; }, 10000));
    }

    // Sign-out ends the session on the service and leaves nothing of the user behind.
    void signOutClearsEverything() {
        const QByteArray token = "tok-sign-out-1";
        LocalService svc;
        QVERIFY(svc.start({QStringLiteral("--session"), QStringLiteral("u1:") + token}));
        writeSessionFile(token);
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return window.chatList->count() > 0; }, 10000));
        QListWidgetItem *general = nullptr;
        for (int i = 0; i < window.chatList->count(); ++i) {
            if (window.chatList->item(i)->data(Qt::UserRole).toString() == QLatin1String("general"))
                general = window.chatList->item(i);
        }
        QVERIFY(general);
        window.chatList->setCurrentItem(general);
        QVERIFY(QTest::qWaitFor([&] { return window.messageList->count() > 0; }, 10000));
        window.searchEdit->setText(QStringLiteral("Об"));
        window.messageEdit->setText(QStringLiteral("черновик"));
        QVERIFY(window.calls->sessionUserId == QLatin1String("u1"));

        click(window, "signOutButton");
        QVERIFY(QTest::qWaitFor([&] { return window.pages->currentIndex() == 0; }, 10000));
        QVERIFY(!QFile::exists(Window::sessionFilePath()));
        QVERIFY(!hasSessionCookie(window));
        QVERIFY(!window.refreshTimer.isActive());
        QCOMPARE(window.currentChatId, QString());
        QCOMPARE(window.chatList->count(), 0);
        QCOMPARE(window.messageList->count(), 0);
        QCOMPARE(window.chatTitle->text(), QStringLiteral("Выберите чат"));
        QCOMPARE(window.searchEdit->text(), QString());
        QCOMPARE(window.messageEdit->text(), QString());
        QCOMPARE(window.calls->sessionUserId, QString());
        QCOMPARE(window.calls->sessionToken, QString());
        QVERIFY(!window.calls->reconnectTimer.isActive());
        QCOMPARE(window.loginStatus->text(), preparing);
        QVERIFY(QTest::qWaitFor([&] { return window.loginStatus->text() == scanPrompt; }, 10000));
        QCOMPARE(whoAmI(svc.baseUrl(), token), 401);
    }

    void signOutWhenTheServiceIsUnreachable() {
        const QByteArray token = "tok-sign-out-2";
        LocalService svc;
        QVERIFY(svc.start({QStringLiteral("--session"), QStringLiteral("u2:") + token}));
        writeSessionFile(token);
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return signedIn(window); }, 10000));
        svc.stop();
        click(window, "signOutButton");
        QVERIFY(QTest::qWaitFor([&] { return window.pages->currentIndex() == 0; }, 10000));
        QVERIFY(!QFile::exists(Window::sessionFilePath()));
        QVERIFY(!hasSessionCookie(window));
        QVERIFY(!window.refreshTimer.isActive());
        QVERIFY(QTest::qWaitFor([&] { return window.loginStatus->text() == networkError; }, 10000));
    }
};

QTEST_MAIN(SignInTest)
#include "tst_signin.moc"
