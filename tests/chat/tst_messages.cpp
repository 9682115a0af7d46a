// The message view and sending against the local service: rows, scroll position, send rules,
// stale replies and the loading guard.
#include "chatfixture.h"

#include "tests/support/localservice.h"
#include "tests/support/testutil.h"

#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>

#include <memory>

using namespace chattest;

namespace {

constexpr auto Get = QNetworkAccessManager::GetOperation;
constexpr auto Post = QNetworkAccessManager::PostOperation;

} // namespace

class MessagesTest : public QObject {
    Q_OBJECT
private:
    LocalService svc;
    std::unique_ptr<Window> w;
    std::unique_ptr<RequestLog> log;

    // Loads currentChatId's messages and waits for the reply to be handled.
    void loadAndWait() {
        const int before = log->count(Get, "/messages");
        w->loadMessages();
        QVERIFY(w->messagesLoading);
        QVERIFY(waitUntil([&] { return log->count(Get, "/messages") > before; }));
        QVERIFY(!w->messagesLoading);
    }

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        QVERIFY(svc.start({QStringLiteral("--session"), QStringLiteral("u1:msg-token")}));
    }

    void init() {
        w = openQuietWindow(log);
        QVERIFY(w);
        setSession(*w, "msg-token");
        w->userId = QStringLiteral("u1");
    }
    void cleanup() {
        log.reset();
        w.reset();
    }

    // The row rules themselves are tabled in tst_chatrows; this is the service's reply end to end.
    void rendersTheServicesMessages() {
        w->statusLabel->setText(QStringLiteral("старый текст"));
        w->currentChatId = QStringLiteral("general");
        loadAndWait();
        QVERIFY(w->statusLabel->text().isEmpty());
        const QStringList texts = rowTexts(w->messageList);
        QVERIFY2(texts.size() >= 300, qPrintable(QString::number(texts.size())));
        QCOMPARE(texts.mid(0, 2), QStringList({"Вы  ·  Доброе утро! (1)",
                                               "Борис Орлов  ·  Кто сегодня на созвоне? (2)"}));
        QVERIFY(texts.contains(QStringLiteral("Борис Орлов  ·  Сообщение удалено")));
        const QListWidgetItem *file =
            w->messageList->item(texts.indexOf(QStringLiteral("Вы  ·  notes.txt")));
        QVERIFY(file);
        QVERIFY(file->data(Qt::UserRole)
                    .toString()
                    .startsWith(svc.baseUrl() + "/auth/flow/web/files/"));
        QCOMPARE(file->data(Qt::UserRole + 1).toString(), QStringLiteral("notes.txt"));
    }

    void scrollPosition_data() {
        QTest::addColumn<int>("stepsAboveBottom");
        QTest::addColumn<bool>("follows");
        QTest::addColumn<bool>("newMessage");
        QTest::newRow("at the bottom follows") << 0 << true << true;
        QTest::newRow("8 steps up follows") << 8 << true << true;
        QTest::newRow("9 steps up stays") << 9 << false << true;
        QTest::newRow("unchanged reply, 8 steps up follows") << 8 << true << false;
        QTest::newRow("unchanged reply, 9 steps up stays") << 9 << false << false;
    }
    void scrollPosition() {
        QFETCH(int, stepsAboveBottom);
        QFETCH(bool, follows);
        QFETCH(bool, newMessage);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->currentChatId = QStringLiteral("general");
        loadAndWait();
        QScrollBar *bar = w->messageList->verticalScrollBar();
        QCOMPARE(bar->value(), bar->maximum());
        const int oldMax = bar->maximum();
        QVERIFY(oldMax > 20);
        const int v = oldMax - stepsAboveBottom;
        bar->setValue(v);

        if (newMessage) {
            w->messageEdit->setText(QStringLiteral("ещё одно"));
            w->send(); // reloads once posted
            QVERIFY(waitUntil(
                [&] { return log->count(Get, "/messages") == 2 && !w->messagesLoading; }));
            QVERIFY(bar->maximum() > oldMax);
        } else {
            loadAndWait();
            QCOMPARE(bar->maximum(), oldMax);
        }
        if (follows)
            QCOMPARE(bar->value(), bar->maximum());
        else
            QCOMPARE(bar->value(), v);
    }

    void send_data() {
        QTest::addColumn<QString>("chat");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("typedMeanwhile"); // empty: the input is left alone
        QTest::addColumn<bool>("posted");
        QTest::addColumn<QString>("inputAfter");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("lastRow"); // empty: no reload expected
        const QString old = QStringLiteral("старый текст");
        row("trimmed, cleared, reloaded", "u1-u4", " Привет \t", "", true, "", "", "Вы  ·  Привет");
        row("only spaces is not sent", "u1-u4", "  \t ", "", false, "  \t ", old, "");
        row("edited meanwhile stays, reloads", "u1-u4", "первое", "второе", true, "второе", "",
            "Вы  ·  первое");
        row("same text, other spaces: cleared", "u1-u4", "abc", " abc  ", true, "", "",
            "Вы  ·  abc");
        row("failure keeps the text, no reload", "u2-u3", "тайна", "", true, "тайна",
            "Чат не найден", "");
        row("no chat: nothing", "", "текст", "", false, "текст", old, "");
        row("chat dot dot: refused", "..", "текст", "", false, "текст", "Недопустимый адрес чата",
            "");
    }
    void send() {
        QFETCH(QString, chat);
        QFETCH(QString, typed);
        QFETCH(QString, typedMeanwhile);
        QFETCH(bool, posted);
        QFETCH(QString, inputAfter);
        QFETCH(QString, status);
        QFETCH(QString, lastRow);

        w->currentChatId = chat;
        w->statusLabel->setText(QStringLiteral("старый текст"));
        w->messageEdit->setText(typed);
        QTest::keyClick(w->messageEdit, Qt::Key_Return);
        if (!typedMeanwhile.isEmpty())
            w->messageEdit->setText(typedMeanwhile);

        if (posted) {
            QVERIFY(waitUntil([&] { return log->count(Post, "/messages") == 1; }));
            if (!lastRow.isEmpty())
                QVERIFY(waitUntil([&] { return log->count(Get, "/messages") == 1; }, waitMs));
        }
        QTest::qWait(200);
        QCOMPARE(log->count(Post, "/messages"), posted ? 1 : 0);
        QCOMPARE(w->messageEdit->text(), inputAfter);
        QCOMPARE(w->statusLabel->text(), status);
        if (lastRow.isEmpty()) {
            QCOMPARE(log->count(Get, "/messages"), 0);
        } else {
            QVERIFY(w->messageList->count() > 0);
            QCOMPARE(w->messageList->item(w->messageList->count() - 1)->text(), lastRow);
        }
    }

    // The reply arrives after the user moved on; a second load meanwhile is held by the guard.
    void staleReplyIsDiscarded_data() {
        QTest::addColumn<QString>("firstChat");
        QTest::addColumn<int>("status");
        QTest::newRow("messages") << "general" << 200;
        QTest::newRow("failure") << "u2-u3" << 404;
    }
    void staleReplyIsDiscarded() {
        QFETCH(QString, firstChat);
        QFETCH(int, status);
        w->statusLabel->clear();
        w->currentChatId = firstChat;
        w->loadMessages();
        w->currentChatId = QStringLiteral("u1-u2");
        w->loadMessages();
        w->loadMessages();
        QVERIFY(waitUntil([&] { return log->count(Get, "/messages") == 1; }));
        QCOMPARE(log->entries.last().status, status);
        QCOMPARE(w->messageList->count(), 0);
        QVERIFY(w->statusLabel->text().isEmpty());
        QVERIFY(!w->messagesLoading);
        QTest::qWait(200);
        QCOMPARE(log->count(Get, "/messages"), 1);
        loadAndWait();
        QCOMPARE(w->messageList->count(), 3);
    }

    void selectingAnotherChatWhileLoadingWaitsForTheNextTick() {
        w->rebuildChats(QJsonDocument::fromJson(R"({"chats":[{"id":"team/design","name":"Дизайн"},)"
                                                R"({"id":"general","name":"Общий чат"},)"
                                                R"({"id":"u1-u2","name":"Анна и Борис"}]})")
                            .object(),
                        QString());
        w->chatList->setCurrentRow(0);
        QVERIFY(waitUntil([&] { return !w->messagesLoading; }));
        const QStringList design = rowTexts(w->messageList);
        QCOMPARE(design.size(), 2);

        w->chatList->setCurrentRow(1);
        w->chatList->setCurrentRow(2); // dropped: the load for row 1 is still out
        QVERIFY(waitUntil([&] { return !w->messagesLoading; }));
        QTest::qWait(200);
        QCOMPARE(log->count(Get, "/messages"), 2);
        QCOMPARE(w->currentChatId, QStringLiteral("u1-u2"));
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Анна и Борис"));
        QCOMPARE(rowTexts(w->messageList), design);

        loadAndWait(); // the next refresh tick
        QCOMPARE(rowTexts(w->messageList).last(),
                 QStringLiteral("Борис Орлов  ·  Тогда созвонимся вечером."));
    }

    void failedLoadKeepsTheListAndShowsTheText() {
        w->currentChatId = QStringLiteral("u1-u2");
        loadAndWait();
        const QStringList before = rowTexts(w->messageList);
        QCOMPARE(before.size(), 3);
        w->currentChatId = QStringLiteral("u2-u3");
        loadAndWait();
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Чат не найден"));
        QCOMPARE(rowTexts(w->messageList), before);
        // ".." cannot travel as a segment of its own: nothing is asked, the other chat's rows go.
        w->currentChatId = QStringLiteral("..");
        w->loadMessages();
        QVERIFY(!w->messagesLoading);
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Недопустимый адрес чата"));
        QCOMPARE(w->messageList->count(), 0);
    }

    // A history past the reply limit says so, and the refresh stops fetching it until the chat is
    // selected anew.
    void historyOverTheLimitIsNotFetchedAgain() {
        StubServer stub;
        const QByteArray huge =
            "{\"messages\":[{\"content\":\"" + QByteArray(17 * 1024 * 1024, 'x') + "\"}]}";
        stub.respond = [&](const QByteArray &request) {
            return request.contains("/web/chats/") ? httpAnswer(200, huge) : httpAnswer(401, "{}");
        };
        QVERIFY(stub.start());
        std::unique_ptr<RequestLog> stubLog;
        const std::unique_ptr<Window> local = openStubWindow(stub, stubLog, svc.port());
        QVERIFY(local);
        local->rebuildChats(QJsonDocument::fromJson(R"({"chats":[{"id":"a","name":"A"},)"
                                                    R"({"id":"b","name":"B"}]})")
                                .object(),
                            QString());
        local->messageList->addItem(QStringLiteral("из другого чата"));
        local->chatList->setCurrentRow(0);
        QVERIFY(waitUntil([&] { return !local->messagesLoading; }));
        QCOMPARE(local->statusLabel->text(),
                 QStringLiteral("История чата больше 16 МБ, её нельзя показать"));
        QCOMPARE(local->messageList->count(), 0);
        local->loadMessages(); // the refresh tick
        QVERIFY(!local->messagesLoading);
        QCOMPARE(stub.requests.size(), 1);
        local->chatList->setCurrentRow(1);
        QVERIFY(waitUntil([&] { return !local->messagesLoading; }));
        local->chatList->setCurrentRow(0);
        QVERIFY(local->messagesLoading);
    }

    // The local service decodes what it gets; the raw request shows the encoding itself.
    void requestShapes() {
        StubServer stub;
        stub.respond = chatRoutesOnly;
        QVERIFY(stub.start());
        std::unique_ptr<RequestLog> stubLog;
        const std::unique_ptr<Window> local = openStubWindow(stub, stubLog, svc.port());
        QVERIFY(local);
        local->currentChatId = QStringLiteral("чат 1/x?");
        local->messageList->addItem(QStringLiteral("старое"));
        local->loadMessages();
        QVERIFY(waitUntil([&] { return !local->messagesLoading; }));
        QCOMPARE(stub.requests.size(), 1);
        QVERIFY2(stub.requests[0].startsWith(
                     "GET /auth/flow/web/chats/%D1%87%D0%B0%D1%82%201%2Fx%3F/messages "),
                 stub.requests[0].constData());
        QCOMPARE(local->messageList->count(), 0); // an empty array empties the list

        local->messageEdit->setText(QStringLiteral("  a \"b\"\n "));
        local->send();
        QVERIFY(waitUntil([&] { return stub.requests.size() >= 2; }));
        const QByteArray post = stub.requests[1];
        QVERIFY2(
            post.startsWith("POST /auth/flow/web/chats/%D1%87%D0%B0%D1%82%201%2Fx%3F/messages "),
            post.constData());
        QCOMPARE(StubServer::body(post), QByteArray("{\"text\":\"a \\\"b\\\"\"}"));
        QCOMPARE(StubServer::header(post, "content-type"), QByteArray("application/json"));
    }
};

QTEST_MAIN(MessagesTest)
#include "tst_messages.moc"
