// The QR sign-in and the session file: end to end against the local service (what the user sees,
// what the service ends up knowing), and against a scripted service for the answers and timings
// the local service never gives.

#include "calls/nativecalls.h"
#include "tests/support/localservice.h"
#include "tests/support/windowkit.h"

#include <QLineEdit>
#include <QRegularExpression>

#include <sys/stat.h>

using namespace win;

namespace {

const QByteArray startPath = "/auth/flow/web/start", statusPath = "/auth/flow/web/status",
                 mePath = "/auth/flow/web/me";
const QByteArray sessionCookie = "Set-Cookie: tovik_web_session=tok-42; Secure; HttpOnly; Path=/";

StubReply status(const QByteArray &value, QList<QByteArray> headers = {}, int delayMs = 0) {
    StubReply reply = stubJson(200, "{\"status\":\"" + value + "\"}", std::move(headers));
    reply.delayMs = delayMs;
    return reply;
}

StubReply flow(const QByteArray &id, int delayMs = 0) {
    StubReply reply = stubJson(
        200, "{\"qrUrl\":\"https://localhost/confirm/" + id + "\",\"code\":\"" + id + "\"}",
        {"Set-Cookie: tovik_flow=" + id + "; Secure; HttpOnly; Path=/"});
    reply.delayMs = delayMs;
    return reply;
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

bool signedIn(const Window &w) {
    return w.pages->currentIndex() == 1;
}

// Waits for done(), noting each sign-in text shown on the way.
bool watch(Window &w, QStringList &seen, const std::function<bool()> &done) {
    return waitUntil(
        [&] {
            if (seen.isEmpty() || seen.last() != w.loginStatus->text())
                seen << w.loginStatus->text();
            return done();
        },
        15000);
}

// Nothing shown on the way read like an error.
bool quiet(const QStringList &seen) {
    return std::all_of(seen.begin(), seen.end(), [](const QString &text) {
        return text.isEmpty() || text == preparing || text == scanPrompt;
    });
}

} // namespace

class SignInTest : public QObject {
    Q_OBJECT
    QNetworkAccessManager phone; // opens the QR address, asks the service about tokens
    StubServer stub;
    QList<StubReply> startReplies, statusReplies, meReplies; // the last of each repeats
    int finished = 0;

    int phoneStatus(QNetworkReply *reply) {
        waitUntil([reply] { return reply->isFinished(); }, 10000);
        reply->deleteLater();
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }
    int answerOnPhone(const QString &qrUrl, const QByteArray &form) {
        QNetworkRequest request{QUrl(qrUrl)};
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        return phoneStatus(phone.post(request, form));
    }
    int whoAmI(const QString &baseUrl, const QByteArray &token) {
        QNetworkRequest request{QUrl(baseUrl + "/auth/flow/web/me")};
        request.setRawHeader("Cookie", "tovik_web_session=" + token);
        return phoneStatus(phone.get(request));
    }
    void startWithSession(LocalService &svc, const QByteArray &user, const QByteArray &token) {
        QVERIFY(svc.start({"--session", QString::fromUtf8(user + ':' + token)}));
        writeSessionFile(token);
    }
    void useStub() {
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        stub.requests.clear();
    }
    // Once `count` more replies have finished, the window's own handlers have run for them.
    bool waitForReplies(Window &w, int count, int timeoutMs = 10000) {
        finished = 0;
        connect(&w.net, &QNetworkAccessManager::finished, this, [this] { ++finished; });
        return waitUntil([&] { return finished >= count; }, timeoutMs);
    }
    void pollOnce(Window &w, const StubReply &reply) {
        QVERIFY(waitUntil([&] { return w.loginStatus->text() == scanPrompt; }));
        statusReplies = {reply};
        w.pollLogin();
        QVERIFY(waitForReplies(w, 1));
    }

private Q_SLOTS:
    void initTestCase() {
        prepare();
        QVERIFY(stub.listen());
        auto next = [](QList<StubReply> &script) {
            return script.size() > 1 ? script.takeFirst() : script.value(0);
        };
        stub.respond = [this, next](const StubRequest &r) {
            if (r.path == startPath)
                return next(startReplies);
            if (r.path == statusPath)
                return next(statusReplies);
            if (r.path == mePath)
                return next(meReplies);
            return stubJson(200, R"({"chats":[{"id":"c1","name":"Чат"}]})");
        };
    }

    void init() {
        QDir(dataFolder()).removeRecursively();
        startReplies = {flow("f1")};
        statusReplies = {status("pending")};
        meReplies = {stubJson(401, R"({"message":"Требуется вход"})")};
    }

    void firstStartSignsInByQrQuietly() {
        LocalService svc;
        QVERIFY(svc.start({"--auto-confirm", "u1"}));
        Window w;
        QCOMPARE(w.loginStatus->text(), QString());
        QStringList seen;
        QVERIFY(watch(w, seen, [&] { return w.loginStatus->text() == scanPrompt; }));
        QVERIFY(!w.qrLabel->pixmap().isNull());
        QVERIFY(QRegularExpression("^Код: \\d{4}-\\d{2}$").match(w.codeLabel->text()).hasMatch());
        QVERIFY(watch(w, seen, [&] { return signedIn(w); }));
        QVERIFY2(quiet(seen), qPrintable(seen.join(" | ")));
        QCOMPARE(w.userId, QStringLiteral("u1"));
        QVERIFY(!w.pollTimer.isActive());
        QVERIFY(w.refreshTimer.isActive());
        QVERIFY(QFile::exists(Window::sessionFilePath()));
        QCOMPARE(w.calls->sessionUserId, QStringLiteral("u1"));
        QVERIFY(!w.calls->sessionToken.isEmpty());
        QVERIFY(waitUntil([&] { return w.chatList->count() > 0; }));
    }

    // Denied on the phone, the page keeps its code; a new code can then be confirmed.
    void deniedThenConfirmedWithANewCode() {
        if (QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty())
            QSKIP("zbarimg (zbar-tools) is not installed");
        LocalService svc;
        QVERIFY(svc.start());
        Window w;
        QVERIFY(waitUntil([&] { return w.loginStatus->text() == scanPrompt; }));
        const QString qrUrl = scanQr(w.qrLabel->pixmap().toImage());
        QVERIFY2(qrUrl.startsWith(svc.baseUrl() + "/confirm/"), qPrintable(qrUrl));
        const QString code = w.codeLabel->text();
        QCOMPARE(answerOnPhone(qrUrl, "user=u1&action=deny"), 200);
        QVERIFY(waitUntil([&] { return w.loginStatus->text() == "Вход отклонён"; }));
        QVERIFY(!w.pollTimer.isActive());
        QCOMPARE(w.codeLabel->text(), code);
        click(w, "newQrButton");
        QVERIFY(waitUntil([&] { return w.loginStatus->text() == scanPrompt; }));
        const QString second = scanQr(w.qrLabel->pixmap().toImage());
        QVERIFY(!second.isEmpty() && second != qrUrl);
        QCOMPARE(answerOnPhone(second, "user=u3&action=confirm"), 200);
        QVERIFY(waitUntil([&] { return signedIn(w); }));
        QCOMPARE(w.userId, QStringLiteral("u3"));
    }

    // Sign-out ends the session on the service and leaves nothing of the user behind, also when
    // the service cannot be reached.
    void signOutClearsEverything_data() {
        QTest::addColumn<bool>("reachable");
        row("service reachable", true);
        row("service unreachable", false);
    }
    void signOutClearsEverything() {
        QFETCH(bool, reachable);
        LocalService svc;
        startWithSession(svc, "u1", "tok-out");
        Window w;
        QVERIFY(waitUntil([&] { return w.chatList->count() > 0; }));
        w.chatList->setCurrentRow(0);
        QVERIFY(waitUntil([&] { return w.messageList->count() > 0; }));
        w.searchEdit->setText(QStringLiteral("Об"));
        w.messageEdit->setText(QStringLiteral("черновик"));
        if (!reachable)
            svc.stop();
        click(w, "signOutButton");
        QVERIFY(waitUntil([&] { return !signedIn(w); }));
        QVERIFY(!QFile::exists(Window::sessionFilePath()));
        QVERIFY(!hasSessionCookie(w));
        QVERIFY(!w.refreshTimer.isActive());
        QVERIFY(w.currentChatId.isEmpty());
        QCOMPARE(w.chatList->count() + w.messageList->count(), 0);
        QCOMPARE(w.chatTitle->text(), QStringLiteral("Выберите чат"));
        QCOMPARE(w.searchEdit->text() + w.messageEdit->text(), QString());
        QCOMPARE(w.calls->sessionToken, QString());
        QVERIFY(!w.calls->reconnectTimer.isActive());
        const QString expected = reachable ? scanPrompt : networkError;
        QVERIFY(waitUntil([&] { return w.loginStatus->text() == expected; }));
        if (reachable)
            QCOMPARE(whoAmI(svc.baseUrl(), "tok-out"), 401);
    }

    // The file and key are private and hold no cookie in clear; saving again replaces the whole
    // file, saving without a cookie keeps it, and a later start signs in from it without a QR.
    void sessionFileSignsInLater() {
        writeSessionFile("tok-old");
        LocalService svc;
        startWithSession(svc, "u1", "tok-new");
        const QByteArray bytes = contentOf(Window::sessionFilePath());
        for (const QByteArray &clear : {QByteArray("tok-new"), QByteArray("tovik_web")})
            QVERIFY(!bytes.contains(clear) &&
                    !contentOf(dataFolder() + "/session.key").contains(clear));
        QCOMPARE(modeOf(Window::sessionFilePath()), mode_t(0600));
        QCOMPARE(modeOf(dataFolder() + "/session.key"), mode_t(0600));
        QCOMPARE(modeOf(dataFolder()), mode_t(0700));
        {
            Window noCookie;
            noCookie.net.setCookieJar(new QNetworkCookieJar);
            noCookie.net.cookieJar()->setCookiesFromUrl(
                {QNetworkCookie("tovik_web_sessio", "y"), QNetworkCookie("Tovik_web_session", "z")},
                QUrl(noCookie.baseUrl));
            noCookie.saveSession();
        }
        QCOMPARE(contentOf(Window::sessionFilePath()), bytes);
        Window w;
        QStringList seen;
        QVERIFY(watch(w, seen, [&] { return signedIn(w); }));
        QCOMPARE(seen, QStringList{QString()});
        QVERIFY(w.qrLabel->pixmap().isNull());
        QCOMPARE(w.userId, QStringLiteral("u1"));
    }

    void unusableFileLeadsQuietlyToQr_data() {
        QTest::addColumn<QString>("damage");
        for (const char *damage : {"bit flipped", "truncated", "another key", "open key", "folder"})
            QTest::newRow(damage) << QString::fromLatin1(damage);
    }
    void unusableFileLeadsQuietlyToQr() {
        QFETCH(QString, damage);
        LocalService svc;
        startWithSession(svc, "u1", "tok-damaged");
        const QString file = Window::sessionFilePath(), key = dataFolder() + "/session.key";
        QByteArray bytes = contentOf(file);
        bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x10);
        if (damage == "bit flipped")
            QVERIFY(overwrite(file, bytes));
        else if (damage == "truncated")
            QVERIFY(overwrite(file, bytes.left(bytes.size() - 7)));
        else if (damage == "another key")
            QVERIFY(overwrite(key, QByteArray(32, 'k')));
        else if (damage == "open key")
            QVERIFY(::chmod(QFile::encodeName(key).constData(), 0644) == 0);
        else
            QVERIFY(QFile::remove(file) && QDir().mkdir(file));
        QStringList boxes;
        testutil::autoCloseModalBoxes(this, true, &boxes);
        Window w;
        QStringList seen;
        QVERIFY(watch(w, seen, [&] { return w.loginStatus->text() == scanPrompt; }));
        QVERIFY2(quiet(seen), qPrintable(seen.join(" | ")));
        QVERIFY(boxes.isEmpty());
        QVERIFY(!hasSessionCookie(w));
    }

    // Against the scripted service: polls every 2 s with the flow cookie, without waiting for a
    // tap; "claimed" signs in like "authenticated".
    void pollsEveryTwoSecondsUntilClaimed() {
        useStub();
        statusReplies = {status("pending"), status("pending"), status("claimed", {sessionCookie})};
        meReplies = {stubJson(401, "{}"), stubJson(200, R"({"user":{"id":"u9","name":"Ю"}})")};
        Window w;
        QVERIFY(waitUntil([&] { return signedIn(w); }));
        QCOMPARE(w.userId, QStringLiteral("u9"));
        QVERIFY(!w.pollTimer.isActive());
        QCOMPARE(w.calls->sessionToken, QStringLiteral("tok-42"));
        const QList<StubRequest> polls = stub.requestsFor(statusPath);
        QCOMPARE(polls.size(), 3);
        qint64 previous = stub.requestsFor(startPath).value(0).atMs;
        for (const StubRequest &poll : polls) {
            QCOMPARE(poll.method + ' ' + poll.header("cookie"), QByteArray("GET tovik_flow=f1"));
            QVERIFY2(poll.atMs - previous >= 1800,
                     qPrintable(QString::number(poll.atMs - previous)));
            previous = poll.atMs;
        }
        QCOMPARE(stub.requestsFor(mePath).last().header("cookie"),
                 QByteArray("tovik_flow=f1; tovik_web_session=tok-42"));
    }

    // atStart: the start reply, else one poll's. shown: "" keeps polling with the QR on show.
    void oddAnswers_data() {
        QTest::addColumn<bool>("atStart");
        QTest::addColumn<StubReply>("reply");
        QTest::addColumn<QString>("shown");
        const QString noQr = QStringLiteral("Не удалось создать QR-код");
        row("poll: Authenticated", false, status("Authenticated"), QString());
        row("poll: padded", false, status(" authenticated"), QString());
        row("poll: array", false, stubJson(200, R"({"status":["claimed"]})"), QString());
        row("poll: not JSON", false, StubReply{200, "authenticated"}, QString());
        row("poll: denied", false, status("denied"), QStringLiteral("Вход отклонён"));
        row("poll: service message", false, stubJson(404, R"({"message":"Вход не найден"})"),
            QStringLiteral("Вход не найден"));
        row("poll: blank message", false, stubJson(500, R"({"message":" "})"), networkError);
        row("start: service message", true, stubJson(503, R"({"message":"Сервис занят"})"),
            QStringLiteral("Сервис занят"));
        row("start: 401 without body", true, StubReply{401}, QStringLiteral("Требуется вход"));
        row("start: address too long", true,
            stubJson(200, "{\"qrUrl\":\"" + QByteArray(3000, 'a') + "\"}"), noQr);
        row("start: address not a string", true, stubJson(200, R"({"qrUrl":7,"code":"1"})"), noQr);
    }
    void oddAnswers() {
        QFETCH(bool, atStart);
        QFETCH(StubReply, reply);
        QFETCH(QString, shown);
        useStub();
        if (atStart)
            startReplies = {reply};
        Window w;
        if (!atStart)
            pollOnce(w, reply);
        QVERIFY(waitUntil(
            [&] { return w.loginStatus->text() == (shown.isEmpty() ? scanPrompt : shown); }));
        QCOMPARE(w.pollTimer.isActive(), shown.isEmpty());
        QCOMPARE(w.qrLabel->pixmap().isNull(), atStart);
        QCOMPARE(w.codeLabel->text(), atStart ? QString() : QStringLiteral("Код: f1"));
        QCOMPARE(stub.requestsFor(mePath).size(), 1);
        QVERIFY(!signedIn(w));
    }

    // A confirmed flow whose who-am-I fails starts a new flow; its error text never shows.
    void whoAmIFailureStartsANewFlow() {
        useStub();
        statusReplies = {status("authenticated", {sessionCookie}), status("pending")};
        meReplies = {stubJson(401, R"({"message":"Сессия недействительна"})")};
        Window w;
        QStringList seen;
        QVERIFY(watch(w, seen, [&] {
            return stub.requestsFor(startPath).size() == 2 && w.loginStatus->text() == scanPrompt;
        }));
        QVERIFY(!seen.contains(QStringLiteral("Сессия недействительна")));
        QCOMPARE(stub.requestsFor(mePath).size(), 2);
        QVERIFY(!signedIn(w) && w.pollTimer.isActive());
    }

    // The new-QR button drops the old flow: a late answer to one of its polls changes nothing.
    void newCodeWhileWaiting_data() {
        QTest::addColumn<StubReply>("late");
        row("denied", status("denied", {}, 1500));
        row("authenticated", status("authenticated", {sessionCookie}, 1500));
        StubReply failed = stubJson(500, R"({"message":"Сбой"})");
        failed.delayMs = 1500;
        row("error", failed);
    }
    void newCodeWhileWaiting() {
        QFETCH(StubReply, late);
        useStub();
        statusReplies = {late, status("pending")};
        meReplies = {stubJson(401, "{}"), stubJson(200, R"({"user":{"id":"u5"}})")};
        Window w;
        QVERIFY(waitUntil([&] { return stub.requestsFor(statusPath).size() == 1; }, 5000));
        startReplies = {flow("f3")};
        click(w, "newQrButton");
        QVERIFY(!w.pollTimer.isActive() && w.qrLabel->pixmap().isNull());
        QCOMPARE(w.loginStatus->text(), preparing);
        QVERIFY(waitForReplies(w, 2, 8000));
        QCOMPARE(w.loginStatus->text(), scanPrompt);
        QCOMPARE(w.codeLabel->text(), QStringLiteral("Код: f3"));
        QVERIFY(w.pollTimer.isActive() && !signedIn(w));
        QCOMPARE(stub.requestsFor(mePath).size(), 1);
    }

    // The new-QR button while a confirmed flow's who-am-I is on its way: the sign-in wins and the
    // late new flow neither shows nor polls.
    void newCodeWhileConfirming() {
        useStub();
        statusReplies = {status("authenticated", {sessionCookie})};
        StubReply me = stubJson(200, R"({"user":{"id":"u6"}})");
        me.delayMs = 800;
        meReplies = {stubJson(401, "{}"), me};
        Window w;
        QVERIFY(waitUntil([&] { return stub.requestsFor(mePath).size() == 2; }));
        startReplies = {flow("f4", 1600)};
        click(w, "newQrButton");
        QVERIFY(waitForReplies(w, 3, 8000)); // who-am-I, its chats, the late start
        QVERIFY(signedIn(w) && !w.pollTimer.isActive());
        QCOMPARE(w.userId, QStringLiteral("u6"));
    }

    void userIdReadsOnlyAString_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("userId");
        row("string", QByteArray(R"({"user":{"id":"u7"}})"), QStringLiteral("u7"));
        row("number", QByteArray(R"({"user":{"id":42}})"), QString());
        row("user not an object", QByteArray(R"({"user":"u7"})"), QString());
    }
    void userIdReadsOnlyAString() {
        QFETCH(QByteArray, body);
        QFETCH(QString, userId);
        useStub();
        meReplies = {stubJson(200, body)};
        Window w;
        QVERIFY(waitUntil([&] { return signedIn(w); }));
        QCOMPARE(w.userId, userId);
        // Without a session cookie the realtime channel is left alone.
        QCOMPARE(w.calls->sessionUserId, QString());
        QCOMPARE(stub.requestsFor(startPath).size(), 0);
    }
};

Q_DECLARE_METATYPE(StubReply)

QTEST_MAIN(SignInTest)
#include "tst_signin.moc"
