// The window against a scripted service: the QR sign-in, the session file and its sealing, and
// the request helper: what the user sees, what goes on the wire and when, the answers and timings
// a real service rarely gives, and a later window signing in from the file. Against the local
// service: the trust a window installs, a saved session through a start without the service, and
// a close that never destroys the window. Text from the network on every surface.

#include "calls/nativecalls.h"
#include "tests/support/localservice.h"
#include "tests/support/windowkit.h"
#include "web/qrimage.h"
#include "web/sessionblob.h"

#include <QCloseEvent>
#include <QJsonArray>
#include <QLineEdit>
#include <QSslConfiguration>

#include <sys/stat.h>

using namespace win;

namespace {

const QByteArray startPath = "/auth/flow/web/start", statusPath = "/auth/flow/web/status",
                 mePath = "/auth/flow/web/me", logoutPath = "/auth/flow/web/logout";
const QByteArray sessionCookie = "Set-Cookie: tovik_web_session=tok-42; Secure; HttpOnly; Path=/";
const QByteArray cookie = "tovik_web_session=Vb3kQ9-xR_7tYw2LmN0pZ";

StubReply flow(const QByteArray &id, int delayMs = 0) {
    const QByteArray body = "{\"qrUrl\":\"https://localhost/confirm/" + id + "\",\"code\":\"" + id;
    return stubJson(200, body + "\"}", {"Set-Cookie: tovik_flow=" + id + "; Secure; Path=/"},
                    delayMs);
}

QByteArray contentOf(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool overwrite(const QString &path, const QByteArray &bytes, mode_t mode = 0600) {
    return writeFile(path, bytes) && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

mode_t modeOf(const QString &path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
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

// One request through Window::call: its error, then the keys of its object, once per callback.
QStringList callAndWait(Window &w, const QString &path, const QJsonObject &body = {},
                        bool post = false) {
    auto outcome = std::make_shared<QStringList>();
    w.call(path, body, post,
           [outcome](QJsonObject object, QString error) { *outcome << error << object.keys(); });
    waitUntil([&] { return !outcome->isEmpty(); }, 60000);
    return *outcome;
}

} // namespace

class SignInTest : public QObject {
    Q_OBJECT
    StubServer stub;
    // The last of each repeats; with no who-am-I script, a session cookie is user u1.
    QList<StubReply> startReplies, statusReplies, meReplies;
    StubReply logoutReply;
    int finished = 0, listDelayMs = 0;

    static StubReply status(const QByteArray &value, QList<QByteArray> headers = {}, int ms = 0) {
        return stubJson(200, "{\"status\":\"" + value + "\"}", std::move(headers), ms);
    }
    static StubReply user(const QByteArray &id, int ms = 0) {
        return stubJson(200, R"({"user":{"id":)" + id + "}}", {}, ms);
    }
    static bool signedIn(const Window &w) { return w.pages->currentIndex() == 1; }

    // Once `count` more replies have finished, the window's own handlers have run for them.
    bool waitForReplies(Window &w, int count, int timeoutMs = 10000) {
        finished = 0;
        connect(&w.net, &QNetworkAccessManager::finished, this, [this] { ++finished; });
        return waitUntil([&] { return finished >= count; }, timeoutMs);
    }

private Q_SLOTS:
    void initTestCase() {
        prepare();
        QVERIFY(stub.listen());
    }

    void init() {
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        QDir(dataFolder()).removeRecursively();
        stub.requests.clear();
        startReplies = {flow("f1")};
        statusReplies = {status("pending")};
        meReplies.clear();
        logoutReply = stubJson(200, "{}");
        listDelayMs = 0;
        auto next = [](QList<StubReply> &script) {
            return script.size() > 1 ? script.takeFirst() : script.value(0);
        };
        stub.respond = [this, next](const StubRequest &r) {
            if (r.path == startPath || r.path == statusPath)
                return next(r.path == startPath ? startReplies : statusReplies);
            if (r.path == logoutPath)
                return logoutReply;
            if (r.path == mePath && meReplies.isEmpty())
                return r.header("cookie").contains("tovik_web_session=") ? user("\"u1\"")
                                                                         : stubJson(401, "{}");
            if (r.path == mePath)
                return next(meReplies);
            return stubJson(200,
                            R"({"chats":[{"id":"c1","name":"Чат"}],)"
                            R"("messages":[{"type":"TEXT","content":"тайна"}]})",
                            {}, listDelayMs);
        };
    }

    // Sign-out ends the session on the service and leaves nothing of the user behind, also when
    // the service cannot be reached; lists asked for just before it and arriving after it are
    // dropped, even when the next user opens a chat of the same id.
    void signOutClearsEverything_data() {
        QTest::addColumn<bool>("reachable");
        row("service reachable", true);
        row("service unreachable", false);
    }
    void signOutClearsEverything() {
        QFETCH(bool, reachable);
        writeSessionFile("tok-out");
        Window w;
        QVERIFY(waitUntil([&] { return w.chatList->count() > 0; }));
        w.chatList->setCurrentRow(0);
        QVERIFY(waitUntil([&] { return w.messageList->count() > 0; }));
        w.searchEdit->setText(QStringLiteral("Об"));
        w.messageEdit->setText(QStringLiteral("черновик"));
        listDelayMs = 1500;
        w.loadChats();
        w.loadMessages();
        if (!reachable)
            logoutReply = startReplies[0] = StubReply{0, {}, {}, 0, "x"}; // not HTTP
        w.findChild<QPushButton *>("signOutButton")->click();
        QVERIFY(waitUntil([&] { return !signedIn(w); }));
        QVERIFY(!QFile::exists(Window::sessionFilePath()) && !hasSessionCookie(w) &&
                !w.refreshTimer.isActive() && !w.messagesLoading &&
                w.calls->sessionToken.isEmpty() && !w.calls->reconnectTimer.isActive());
        QCOMPARE(w.chatTitle->text() + w.searchEdit->text() + w.messageEdit->text() +
                     w.currentChatId,
                 QStringLiteral("Выберите чат"));
        QCOMPARE(stub.requestsFor(logoutPath).value(0).header("cookie"),
                 QByteArray("tovik_web_session=tok-out"));
        w.currentChatId = QStringLiteral("c1");
        QVERIFY(settled(w));
        QCOMPARE(w.chatList->count() + w.messageList->count(), 0);
        QVERIFY(waitUntil(
            [&] { return w.loginStatus->text() == (reachable ? scanPrompt : networkError); }));
    }

    // The file is private; saving again replaces the whole file, saving without a cookie keeps
    // it, and a later start signs in from it without a QR, the cookie bound to the service: HTTPS
    // only, every path, this host alone.
    void sessionFileSignsInLater() {
        writeSessionFile("tok-old");
        writeSessionFile("tok-new");
        const QByteArray bytes = contentOf(Window::sessionFilePath());
        QCOMPARE(modeOf(Window::sessionFilePath()), mode_t(0600));
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
        QVERIFY(seen == QStringList{QString()} && w.qrLabel->pixmap().isNull());
        QCOMPARE(stub.requestsFor(mePath).last().header("cookie"),
                 QByteArray("tovik_web_session=tok-new"));
        // The jar decides what each request carries.
        const QString port = QString::number(stub.port());
        for (const auto &[url, sent] : {std::pair{w.baseUrl + "/other/path", true},
                                        {"http://localhost:" + port + "/p", false},
                                        {"https://127.0.0.1:" + port + "/p", false},
                                        {"https://sub.localhost:" + port + "/p", false}})
            QVERIFY2(w.net.cookieJar()->cookiesForUrl(QUrl(url)).isEmpty() != sent,
                     qPrintable(url));
    }

    // A file that no longer opens (damaged blobs are the sealing's own test) asks for a QR quietly.
    void unusableFileLeadsQuietlyToQr_data() {
        QTest::addColumn<QString>("damage");
        for (const char *damage : {"another key", "fifo"})
            QTest::newRow(damage) << QString::fromLatin1(damage);
    }
    void unusableFileLeadsQuietlyToQr() {
        QFETCH(QString, damage);
        writeSessionFile("tok-damaged");
        const QString file = Window::sessionFilePath(), key = dataFolder() + "/session.key";
        if (damage == "another key")
            QVERIFY(overwrite(key, QByteArray(32, 'k')));
        else // nobody writes to it: opening it to read would wait for ever
            QVERIFY(QFile::remove(file) &&
                    ::mkfifo(QFile::encodeName(file).constData(), 0600) == 0);
        QStringList boxes;
        QObject closing; // ends with `boxes`, before a later test's boxes
        testutil::autoCloseModalBoxes(&closing, true, &boxes);
        Window w;
        QStringList seen;
        QVERIFY(watch(w, seen, [&] { return w.loginStatus->text() == scanPrompt; }));
        QVERIFY2(quiet(seen), qPrintable(seen.join(" | ")));
        QVERIFY(boxes.isEmpty() && !hasSessionCookie(w));
    }

    // Against the scripted service: the QR shows the address given, polls go every 2 s with the
    // flow cookie, without waiting for a tap; "claimed" signs in quietly like "authenticated".
    void pollsEveryTwoSecondsUntilClaimed() {
        statusReplies = {status("pending"), status("pending"), status("claimed", {sessionCookie})};
        meReplies = {stubJson(401, "{}"), stubJson(200, R"({"user":{"id":"u9","name":"Ю"}})")};
        Window w;
        QStringList seen;
        QVERIFY(watch(w, seen, [&] { return w.loginStatus->text() == scanPrompt; }));
        const QImage qr = w.qrLabel->pixmap().toImage();
        QVERIFY(watch(w, seen, [&] { return signedIn(w); }));
        QVERIFY2(quiet(seen), qPrintable(seen.join(" | ")));
        QVERIFY(!w.pollTimer.isActive() && w.refreshTimer.isActive() &&
                QFile::exists(Window::sessionFilePath()));
        if (!QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty()) {
            QCOMPARE(scanQr(qr), QStringLiteral("https://localhost/confirm/f1"));
            const QByteArray longer = "https://localhost/confirm/" + QByteArray(300, 'k') + "/end";
            QCOMPARE(scanQr(qrimage::build(longer)), QString::fromUtf8(longer));
        }
        QCOMPARE(w.userId + ' ' + w.calls->sessionToken, QStringLiteral("u9 tok-42"));
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

    // step "start": the start reply; "poll": one poll's, outcome "" keeps polling with the QR on
    // show, else the text shown. Who-am-I at start ("me") or after a confirmed flow: an id that is
    // not a string signs in as nobody; only the service saying the session is gone asks for a new
    // QR (its text never shows); a server error keeps the session and asks again later.
    void oddAnswers_data() {
        QTest::addColumn<QString>("step");
        QTest::addColumn<StubReply>("reply");
        QTest::addColumn<QString>("outcome"); // for who-am-I: "user:<id>", "qr" or "retry"
        const QString noQr = QStringLiteral("Не удалось создать QR-код"), poll = "poll",
                      start = "start", me = "me";
        row("poll: Authenticated", poll, status("Authenticated"), QString());
        row("poll: padded", poll, status(" authenticated"), QString());
        row("poll: array", poll, stubJson(200, R"({"status":["claimed"]})"), QString());
        row("poll: not JSON", poll, StubReply{200, "authenticated", {}, 0, {}}, QString());
        row("poll: denied", poll, status("denied"), QStringLiteral("Вход отклонён"));
        row("poll: service message", poll, stubJson(404, R"({"message":"Вход не найден"})"),
            QStringLiteral("Вход не найден"));
        row("start: service message", start, stubJson(503, R"({"message":"Сервис занят"})"),
            QStringLiteral("Сервис занят"));
        row("start: address too long", start,
            stubJson(200, "{\"qrUrl\":\"" + QByteArray(3000, 'a') + "\"}"), noQr);
        row("start: address not a string", start, stubJson(200, R"({"qrUrl":7,"code":"1"})"), noQr);
        row("me: id a string", me, user("\"u7\""), QString("user:u7"));
        row("me: id a number", me, user("42"), QString("user:"));
        row("me: 404", me, stubJson(404, "{}"), QString("qr"));
        row("me: 500", me, stubJson(500, "{}"), QString("retry"));
        row("me: 503 with a message", me, stubJson(503, R"({"message":"Занят"})"),
            QString("retry"));
        row("confirmed me: 401", QString("confirmed"), stubJson(401, R"({"message":"Занят"})"),
            QString("qr"));
    }
    void oddAnswers() {
        QFETCH(QString, step);
        QFETCH(StubReply, reply);
        QFETCH(QString, outcome);
        const bool confirmed = step == "confirmed", atStart = step == "start";
        if (atStart)
            startReplies = {reply};
        if (step == "me" || confirmed)
            meReplies = {reply};
        if (confirmed) {
            meReplies.prepend(stubJson(401, "{}"));
            statusReplies = {status("authenticated", {sessionCookie}), status("pending")};
        }
        Window w;
        if (atStart || step == "poll") {
            if (!atStart) {
                QVERIFY(waitUntil([&] { return w.loginStatus->text() == scanPrompt; }));
                statusReplies = {reply};
                w.pollLogin();
                QVERIFY(waitForReplies(w, 1));
            }
            QVERIFY(waitUntil([&] {
                return w.loginStatus->text() == (outcome.isEmpty() ? scanPrompt : outcome);
            }));
            QCOMPARE(w.pollTimer.isActive(), outcome.isEmpty());
            QCOMPARE(w.qrLabel->pixmap().isNull(), atStart);
            QCOMPARE(w.codeLabel->text(), atStart ? QString() : QStringLiteral("Код: f1"));
            QVERIFY(stub.requestsFor(mePath).size() == 1 && !signedIn(w));
            return;
        }
        QStringList seen;
        const int starts = outcome == "qr" ? 1 + confirmed : 0;
        QVERIFY(watch(w, seen, [&] {
            if (outcome == "retry")
                return w.loginStatus->text() == QStringLiteral("Нет соединения с сервером");
            return outcome == "qr" ? stub.requestsFor(startPath).size() == starts &&
                                         w.loginStatus->text() == scanPrompt
                                   : signedIn(w);
        }));
        QVERIFY(!seen.contains(QStringLiteral("Занят")));
        QCOMPARE(w.meRetryTimer.isActive(), outcome == "retry");
        QCOMPARE(stub.requestsFor(startPath).size(), starts);
        QCOMPARE(w.pollTimer.isActive(), outcome == "qr");
        if (outcome.startsWith("user:")) // and no session cookie, so no realtime user
            QCOMPARE("user:" + w.userId + w.calls->sessionUserId, outcome);
    }

    // The new-QR button drops the old flow: a late answer to one of its polls changes nothing;
    // while a confirmed flow's who-am-I is on its way, the sign-in wins and the late new flow
    // neither shows nor polls.
    void newCode_data() {
        QTest::addColumn<StubReply>("first");
        QTest::addColumn<bool>("confirming");
        row("late authenticated", status("authenticated", {sessionCookie}, 1500), false);
        row("late error", stubJson(500, R"({"message":"Сбой"})", {}, 1500), false);
        row("confirming", status("authenticated", {sessionCookie}), true);
    }
    void newCode() {
        QFETCH(StubReply, first);
        QFETCH(bool, confirming);
        statusReplies = {first, status("pending")};
        meReplies = {stubJson(401, "{}"), user("\"u5\"", confirming ? 800 : 0)};
        Window w;
        QVERIFY(waitUntil(
            [&] {
                return stub.requestsFor(confirming ? mePath : statusPath).size() == 1 + confirming;
            },
            8000));
        startReplies = {flow("f3", confirming ? 1600 : 0)};
        w.findChild<QPushButton *>("newQrButton")->click();
        QVERIFY(confirming || (!w.pollTimer.isActive() && w.qrLabel->pixmap().isNull() &&
                               w.loginStatus->text() == preparing));
        QVERIFY(waitForReplies(w, 2 + confirming, 8000)); // who-am-I and its chats, the start
        QVERIFY(signedIn(w) == confirming && w.pollTimer.isActive() == !confirming);
        if (confirming)
            QCOMPARE(w.userId, QStringLiteral("u5"));
        else
            QVERIFY(w.loginStatus->text() + w.codeLabel->text() == scanPrompt + "Код: f3" &&
                    stub.requestsFor(mePath).size() == 1);
    }

    // A private key is made once and an existing folder open to others is closed; every nonce is
    // fresh; every changed bit or length fails. A key that is not exactly ours and private is
    // refused, on reading and on writing, and is never silently replaced; put right again, the
    // old blob opens. A missing key fails, and reading never creates one.
    void sessionBlob_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("mode");
        row("readable by the group", QByteArray(32, 'k'), 0640);
        row("writable by others", QByteArray(32, 'k'), 0602);
        row("too short", QByteArray(31, 'k'), 0600);
        row("too long", QByteArray(33, 'k'), 0600);
        row("symlink", QByteArray(), 0600);
        row("fifo", QByteArray(), 0);
    }
    void sessionBlob() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, mode);
        const QString dir = dataFolder(), key = dir + '/' + QLatin1String(sessionblob::keyFileName);
        QVERIFY(QDir().mkpath(dir) && ::chmod(QFile::encodeName(dir).constData(), 0755) == 0);
        const QByteArray blob = sessionblob::protect(cookie, dir), good = contentOf(key);
        QVERIFY(!blob.isEmpty() && !blob.contains(cookie.mid(18)) && !blob.contains("tovik_web"));
        QCOMPARE(QString::number(modeOf(dir), 8) + ' ' + QString::number(modeOf(key), 8),
                 QStringLiteral("700 600"));
        const QByteArray again = sessionblob::protect(cookie, dir);
        QVERIFY(again != blob && sessionblob::unprotect(blob, dir) == cookie &&
                sessionblob::unprotect(again, dir) == cookie);
        for (qsizetype i = 0; i < blob.size(); ++i) {
            for (int bit = 0; bit < 8; ++bit) {
                QByteArray damaged = blob;
                damaged[i] = char(damaged[i] ^ (1 << bit));
                QVERIFY2(!sessionblob::unprotect(damaged, dir), qPrintable(QString::number(i)));
            }
            QVERIFY(!sessionblob::unprotect(blob.left(i), dir));
        }
        if (!bytes.isEmpty())
            QVERIFY(overwrite(key, bytes, mode_t(mode)));
        else if (mode)
            QVERIFY(QFile::rename(key, dir + "/elsewhere.key") &&
                    QFile::link(dir + "/elsewhere.key", key));
        else
            QVERIFY(QFile::remove(key) && ::mkfifo(QFile::encodeName(key).constData(), 0600) == 0);
        QVERIFY(!sessionblob::unprotect(blob, dir) && sessionblob::protect(cookie, dir).isEmpty());
        QVERIFY(bytes.isEmpty() ||
                (QFileInfo(key).size() == bytes.size() && modeOf(key) == mode_t(mode)));
        QVERIFY(QFile::remove(key) && overwrite(key, good));
        QCOMPARE(sessionblob::unprotect(blob, dir), std::optional<QByteArray>(cookie));
        QVERIFY(!sessionblob::unprotect(blob + '\0', dir) && QFile::remove(key) &&
                !sessionblob::unprotect(blob, dir) && !QFile::exists(key));
    }

    // Every request has the inactivity limit; the path goes as given, a body only with POST.
    void requestOnTheWire() {
        std::unique_ptr<RequestLog> log;
        const auto w = quietWindow(log);
        stub.respond = [](const StubRequest &) { return stubJson(200, "{}"); };
        const QString path = QStringLiteral("/auth/flow/web/chats/team%2Fdesign/messages");
        const QJsonObject text{{"text", "Привет, мир"}, {"n", 1}};
        for (const auto &[post, body, sent] : {std::tuple{false, text, QByteArray()},
                                               {true, QJsonObject(), QByteArray("{}")},
                                               {true, text, R"({"n":1,"text":"Привет, мир"})"}}) {
            stub.requests.clear();
            log->entries.clear();
            QCOMPARE(callAndWait(*w, path, body, post), QStringList{QString()});
            QCOMPARE(log->entries.size() + stub.requests.size(), 2);
            QCOMPARE(log->entries[0].transferTimeout, 30000);
            const StubRequest &seen = stub.requests.first();
            QCOMPARE(seen.method + ' ' + seen.path + ' ' + seen.header("content-type") + ' ' +
                         seen.header("origin") + ' ' + seen.body,
                     (post ? "POST " : "GET ") + path.toUtf8() +
                         " application/json https://localhost:" + QByteArray::number(stub.port()) +
                         ' ' + sent);
        }
    }

    void replyText_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("keys");
        const QString login = QStringLiteral("Требуется вход");
        const QStringList message{"message"};
        row("401 blank message falls back", 401, QByteArray(R"({"message":"  \t"})"), login,
            message);
        row("400 empty message falls back", 400, QByteArray(R"({"message":"","code":7})"),
            networkError, QStringList{"code", "message"});
        row("404 number as message", 404, QByteArray(R"({"message":42})"), networkError, message);
        row("200 not JSON", 200, QByteArray("<p>hi</p>"), QString(), QStringList());
        row("201, empty message is no error", 201, QByteArray(R"({"ok":true,"message":""})"),
            QString(), QStringList{"message", "ok"});
        // A reply far past the 16 MiB cap is cut off as a failure rather than read.
        row("200 beyond the size cap", 200, "{\"a\":\"" + QByteArray(64 * 1024 * 1024, 'x') + "\"}",
            QStringLiteral("Ответ сервера больше 16 МБ"), QStringList());
    }
    void replyText() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        QFETCH(QStringList, keys);
        std::unique_ptr<RequestLog> log;
        const auto w = quietWindow(log);
        stub.respond = [&](const StubRequest &) { return stubJson(status, body); };
        QCOMPARE(callAndWait(*w, QString::fromLatin1(mePath)), QStringList{error} + keys);
    }

    // Nothing prepares TLS but the windows: every connection depends on the trust a window
    // installs, the extra CA besides the system roots. A saved session survives a start while the
    // service cannot be reached: no QR, a word on the sign-in page, the chats once it is back.
    void savedSessionOutlastsAStartWithoutTheService() {
        const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
        LocalService svc;
        QVERIFY2(svc.start({"--session", "u1:startup-token"}), qPrintable(svc.output()));
        svc.stop();
        win::writeSessionFile("startup-token");
        Window w;
        const auto trusted = QSslConfiguration::defaultConfiguration().caCertificates();
        QVERIFY(system.isEmpty() ||
                std::any_of(system.begin(), system.end(),
                            [&](const auto &root) { return trusted.contains(root); }));
        QVERIFY(waitUntil([&] { return w.loginStatus->text() == "Нет соединения с сервером"; }));
        QVERIFY(w.meRetryTimer.isActive() && w.codeLabel->text().isEmpty());
        QVERIFY(svc.restart());
        // The back-off has reached at most 16 s by the time a slow machine has the service up.
        QVERIFY(waitUntil([&] { return w.chatList->count() > 0; }, 45000));
        QVERIFY(w.codeLabel->text().isEmpty() && !w.meRetryTimer.isActive());
        QVERIFY(waitUntil([&] { return w.calls->connected; })); // the realtime channel

        // Closing never destroys the window; with a tray icon it only hides it, without one it
        // quits.
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCloseEvent event;
        QApplication::sendEvent(&w, &event);
        QVERIFY(!event.isAccepted());
        QCOMPARE(w.isVisible(), !w.calls->trayAvailable());
        if (!w.calls->trayAvailable())
            QVERIFY(testutil::quitRequested());
    }

    // A name or message from the network is shown as given: no markup laid out, no image read.
    void networkTextIsPlain() {
        const QString text = QStringLiteral("<b>Борис</b><img src=\"x.png\"><table>&lt;&amp;");
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

Q_DECLARE_METATYPE(StubReply)

QTEST_MAIN(SignInTest)
#include "tst_signin.moc"
