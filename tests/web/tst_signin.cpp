// The QR sign-in and the session file against the local service: what a user sees and what the
// service ends up knowing; a later window signs in from the file, and anything wrong with the file
// leads quietly to the QR code.

#include "app/window.h"
#include "calls/nativecalls.h"
#include "tests/support/localservice.h"
#include "tests/support/testutil.h"
#include "tests/web/websupport.h"
#include "web/service.h"

#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkReply>
#include <QPushButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QTest>

#include <sys/stat.h>

using namespace websupport;

namespace {

void click(Window &window, const char *button) {
    window.findChild<QPushButton *>(QLatin1String(button))->click();
}

bool signedIn(const Window &window) {
    return window.pages->currentIndex() == 1;
}

QString scanQr(const Window &window) {
    return websupport::scanQr(window.qrLabel->pixmap().toImage());
}

const QByteArray tokenA = "tok-session-A-9f8e7d";

QString keyFile() {
    return dataFolder() + QStringLiteral("/session.key");
}

QByteArray contentOf(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool overwrite(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

mode_t modeOf(const QString &path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 0777 : 0;
}

} // namespace

class SignInTest : public QObject {
    Q_OBJECT

    // Plays the phone application: opens the QR address and answers its form; also asks the
    // service whether it still honours a session token.
    QNetworkAccessManager phone;

    int phoneStatus(QNetworkReply *reply) {
        (void)QTest::qWaitFor([reply] { return reply->isFinished(); }, 10000);
        reply->deleteLater();
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }

    int answerOnPhone(const QString &qrUrl, const QByteArray &form) {
        QNetworkRequest request{QUrl(qrUrl)};
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/x-www-form-urlencoded"));
        return phoneStatus(phone.post(request, form));
    }

    int whoAmI(const QString &baseUrl, const QByteArray &token) {
        QNetworkRequest request{QUrl(baseUrl + QStringLiteral("/auth/flow/web/me"))};
        request.setRawHeader("Cookie", "tovik_web_session=" + token);
        return phoneStatus(phone.get(request));
    }

    // A window signed in from a saved session the service knows.
    void signInFromFile(LocalService &svc, const QByteArray &user, const QByteArray &token) {
        QVERIFY(svc.start({QStringLiteral("--session"), QString::fromUtf8(user + ':' + token)}));
        writeSessionFile(token);
    }

    // Waits for `done`, noting in `seen` each sign-in text shown on the way.
    static bool watch(Window &window, QStringList &seen, const std::function<bool()> &done) {
        return QTest::qWaitFor(
            [&] {
                const QString text = window.loginStatus->text();
                if (seen.isEmpty() || seen.last() != text)
                    seen.append(text);
                return done();
            },
            15000);
    }

    // Nothing shown on the way read like an error.
    static bool quiet(const QStringList &seen) {
        return std::all_of(seen.begin(), seen.end(), [](const QString &text) {
            return text.isEmpty() || text == preparing || text == scanPrompt;
        });
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
        QCOMPARE(window.loginStatus->text(), QString());
        QStringList seen;
        QVERIFY(watch(window, seen, [&] { return window.loginStatus->text() == scanPrompt; }));
        QVERIFY(!window.qrLabel->pixmap().isNull());
        QVERIFY2(QRegularExpression(QStringLiteral("^Код: \\d{4}-\\d{2}$"))
                     .match(window.codeLabel->text())
                     .hasMatch(),
                 qPrintable(window.codeLabel->text()));
        QCOMPARE(window.pollTimer.interval(), 2000);
        QVERIFY(window.pollTimer.isActive() && !window.pollTimer.isSingleShot());

        QVERIFY(watch(window, seen, [&] { return signedIn(window); }));
        QVERIFY2(quiet(seen), qPrintable(seen.join(QStringLiteral(" | "))));
        QCOMPARE(window.userId, QStringLiteral("u1"));
        QVERIFY(!window.pollTimer.isActive());
        QCOMPARE(window.refreshTimer.interval(), 5000);
        QVERIFY(window.refreshTimer.isActive());
        QVERIFY(QFile::exists(Window::sessionFilePath()));
        QCOMPARE(window.calls->sessionUserId, QStringLiteral("u1"));
        QVERIFY(!window.calls->sessionToken.isEmpty());
        QVERIFY(QTest::qWaitFor([&] { return window.chatList->count() > 0; }, 10000));
    }

    // Denied on the phone, the page keeps its code; a new code can then be confirmed.
    void deniedOnThePhoneThenConfirmedWithANewCode() {
        if (!haveDecoder())
            QSKIP("zbarimg (zbar-tools) is not installed");
        LocalService svc;
        QVERIFY(svc.start());
        Window window;
        QVERIFY(waitForText(window.loginStatus, scanPrompt));
        const QString qrUrl = scanQr(window);
        QVERIFY2(qrUrl.startsWith(svc.baseUrl() + QStringLiteral("/confirm/")), qPrintable(qrUrl));
        const QString code = window.codeLabel->text();
        QCOMPARE(answerOnPhone(qrUrl, "user=u1&action=deny"), 200);
        QVERIFY(waitForText(window.loginStatus, QStringLiteral("Вход отклонён")));
        QVERIFY(!window.pollTimer.isActive());
        QCOMPARE(window.codeLabel->text(), code);
        QCOMPARE(scanQr(window), qrUrl);

        click(window, "newQrButton");
        QVERIFY(waitForText(window.loginStatus, scanPrompt));
        const QString second = scanQr(window);
        QVERIFY(!second.isEmpty() && second != qrUrl);
        QCOMPARE(answerOnPhone(second, "user=u3&action=confirm"), 200);
        QVERIFY(QTest::qWaitFor([&] { return signedIn(window); }, 10000));
        QCOMPARE(window.userId, QStringLiteral("u3"));
    }

    // Sign-out ends the session on the service and leaves nothing of the user behind.
    void signOutClearsEverything() {
        LocalService svc;
        signInFromFile(svc, "u1", "tok-sign-out-1");
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return window.chatList->count() > 0; }, 10000));
        const auto general =
            window.chatList->findItems(QStringLiteral("Общий чат"), Qt::MatchStartsWith);
        QVERIFY(!general.isEmpty());
        window.chatList->setCurrentItem(general.first());
        QVERIFY(QTest::qWaitFor([&] { return window.messageList->count() > 0; }, 10000));
        window.searchEdit->setText(QStringLiteral("Об"));
        window.messageEdit->setText(QStringLiteral("черновик"));

        click(window, "signOutButton");
        QVERIFY(QTest::qWaitFor([&] { return !signedIn(window); }, 10000));
        QVERIFY(!QFile::exists(Window::sessionFilePath()));
        QVERIFY(!hasSessionCookie(window));
        QVERIFY(!window.refreshTimer.isActive());
        QCOMPARE(window.currentChatId, QString());
        QCOMPARE(window.chatList->count(), 0);
        QCOMPARE(window.messageList->count(), 0);
        QCOMPARE(window.chatTitle->text(), QStringLiteral("Выберите чат"));
        QCOMPARE(window.searchEdit->text(), QString());
        QCOMPARE(window.messageEdit->text(), QString());
        QCOMPARE(window.calls->sessionToken, QString());
        QVERIFY(!window.calls->reconnectTimer.isActive());
        QVERIFY(waitForText(window.loginStatus, scanPrompt));
        QCOMPARE(whoAmI(svc.baseUrl(), "tok-sign-out-1"), 401);
    }

    void signOutWhenTheServiceIsUnreachable() {
        LocalService svc;
        signInFromFile(svc, "u2", "tok-sign-out-2");
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return signedIn(window); }, 10000));
        svc.stop();
        click(window, "signOutButton");
        QVERIFY(QTest::qWaitFor([&] { return !signedIn(window); }, 10000));
        QVERIFY(!QFile::exists(Window::sessionFilePath()));
        QVERIFY(!hasSessionCookie(window));
        QVERIFY(waitForText(window.loginStatus, networkError));
    }

    // Saving again replaces the whole file: the later session is the one restored.
    void laterStartSignsInWithoutQr() {
        LocalService svc;
        writeSessionFile("tok-old");
        signInFromFile(svc, "u1", "tok-new");
        Window window;
        QStringList seen;
        QVERIFY(watch(window, seen, [&] { return signedIn(window); }));
        QCOMPARE(seen, QStringList{QString()});
        QVERIFY(window.qrLabel->pixmap().isNull());
        QCOMPARE(window.userId, QStringLiteral("u1"));
        QVERIFY(QTest::qWaitFor([&] { return window.chatList->count() > 0; }, 10000));
    }

    void fileAndKeyArePrivateAndHoldNoCookieInClear() {
        writeSessionFile(tokenA);
        const QByteArray bytes = contentOf(Window::sessionFilePath());
        QVERIFY(!bytes.isEmpty());
        for (const QByteArray &clear : {tokenA, tokenA.toBase64(), QByteArray("tovik_web")})
            QVERIFY2(!bytes.contains(clear), clear.constData());
        QVERIFY(!contentOf(keyFile()).contains(tokenA));
        QCOMPARE(modeOf(Window::sessionFilePath()), mode_t(0600));
        QCOMPARE(modeOf(keyFile()), mode_t(0600));
        QCOMPARE(modeOf(dataFolder()), mode_t(0700));
        QCOMPARE(
            QDir(dataFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            (QStringList{QStringLiteral("session.bin"), QStringLiteral("session.key")}));
    }

    void saveWithoutCookieKeepsTheOlderFile() {
        writeSessionFile(tokenA);
        const QByteArray before = contentOf(Window::sessionFilePath());
        Window window;
        QNetworkCookieJar *jar = window.net.cookieJar();
        for (const QNetworkCookie &cookie : jar->cookiesForUrl(QUrl(window.baseUrl)))
            jar->deleteCookie(cookie);
        jar->setCookiesFromUrl(
            {QNetworkCookie("tovik_web_sessio", "y"), QNetworkCookie("Tovik_web_session", "z")},
            QUrl(window.baseUrl));
        window.saveSession();
        QCOMPARE(contentOf(Window::sessionFilePath()), before);
    }

    void unusableFileLeadsQuietlyToQr_data() {
        QTest::addColumn<QString>("damage");
        for (const char *damage : {"bit flipped", "truncated", "empty", "another user's key",
                                   "key readable by others", "file is a folder", "file is a FIFO"})
            QTest::newRow(damage) << QString::fromLatin1(damage);
    }

    void unusableFileLeadsQuietlyToQr() {
        QFETCH(QString, damage);
        LocalService svc;
        signInFromFile(svc, "u1", tokenA);
        const QString file = Window::sessionFilePath();
        QByteArray bytes = contentOf(file);
        QVERIFY(bytes.size() > 40);
        if (damage == QLatin1String("bit flipped")) {
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x10);
            QVERIFY(overwrite(file, bytes));
        } else if (damage == QLatin1String("truncated")) {
            QVERIFY(overwrite(file, bytes.left(bytes.size() - 7)));
        } else if (damage == QLatin1String("empty")) {
            QVERIFY(overwrite(file, QByteArray()));
        } else if (damage == QLatin1String("another user's key")) {
            QVERIFY(overwrite(keyFile(), QByteArray(32, 'k')));
        } else if (damage == QLatin1String("key readable by others")) {
            QVERIFY(::chmod(QFile::encodeName(keyFile()).constData(), 0644) == 0);
        } else if (damage == QLatin1String("file is a folder")) {
            QVERIFY(QFile::remove(file) && QDir().mkdir(file));
        } else { // nobody ever writes to it: opening it to read would wait for ever
            QVERIFY(QFile::remove(file) &&
                    ::mkfifo(QFile::encodeName(file).constData(), 0600) == 0);
        }

        QStringList boxes;
        testutil::autoCloseModalBoxes(this, true, &boxes);
        Window window;
        QStringList seen;
        QVERIFY(watch(window, seen, [&] { return window.loginStatus->text() == scanPrompt; }));
        QVERIFY2(quiet(seen), qPrintable(seen.join(QStringLiteral(" | "))));
        QVERIFY(boxes.isEmpty());
        QVERIFY(!hasSessionCookie(window));
    }
};

QTEST_MAIN(SignInTest)
#include "tst_signin.moc"
