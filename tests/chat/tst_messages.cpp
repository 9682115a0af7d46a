// The message view and sending against the local service: rows, scroll position, send rules,
// stale replies and the loading guard.
#include "chatfixture.h"

#include "app/servicetesthook.h"
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

    void postDirectly(const QString &chatId, const QString &text) {
        bool done = false;
        w->call(QStringLiteral("/auth/flow/web/chats/") + QUrl::toPercentEncoding(chatId) +
                    QStringLiteral("/messages"),
                QJsonObject{{QStringLiteral("text"), text}}, true,
                [&done](QJsonObject, QString error) {
                    QVERIFY2(error.isEmpty(), qPrintable(error));
                    done = true;
                });
        QVERIFY(waitUntil([&] { return done; }));
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

    void rendersTheServicesMessages() {
        w->statusLabel->setText(QStringLiteral("старый текст"));
        w->currentChatId = QStringLiteral("general");
        loadAndWait();
        QVERIFY2(w->messageList->count() >= 300,
                 qPrintable(QString::number(w->messageList->count())));
        QVERIFY(w->statusLabel->text().isEmpty());
        const QStringList texts = rowTexts(w->messageList);
        QCOMPARE(texts.first(), QStringLiteral("Вы  ·  Доброе утро! (1)"));
        QCOMPARE(texts.at(1), QStringLiteral("Борис Орлов  ·  Кто сегодня на созвоне? (2)"));
        QVERIFY(texts.contains(QStringLiteral("Борис Орлов  ·  Сообщение удалено")));

        const int file = texts.indexOf(QStringLiteral("Вы  ·  notes.txt"));
        QVERIFY(file >= 0);
        QVERIFY(w->messageList->item(file)
                    ->data(Qt::UserRole)
                    .toString()
                    .startsWith(svc.baseUrl() + QStringLiteral("/auth/flow/web/files/")));
        QCOMPARE(w->messageList->item(file)->data(Qt::UserRole + 1).toString(),
                 QStringLiteral("notes.txt"));
        QCOMPARE(w->messageList->item(0)->data(Qt::UserRole).toString(), QString());
        QCOMPARE(w->messageList->item(0)->data(Qt::UserRole + 1).toString(), QString());
    }

    void scrollPosition_data() {
        QTest::addColumn<int>("stepsAboveBottom");
        QTest::addColumn<bool>("follows");
        QTest::newRow("at the bottom follows") << 0 << true;
        QTest::newRow("8 steps up follows") << 8 << true;
        QTest::newRow("9 steps up stays") << 9 << false;
        QTest::newRow("at the top stays") << -1 << false;
    }
    void scrollPosition() {
        QFETCH(int, stepsAboveBottom);
        QFETCH(bool, follows);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->currentChatId = QStringLiteral("general");
        loadAndWait();
        QScrollBar *bar = w->messageList->verticalScrollBar();
        QCOMPARE(bar->value(), bar->maximum());
        const int oldMax = bar->maximum();
        QVERIFY(oldMax > 20);
        const int v = stepsAboveBottom < 0 ? 0 : oldMax - stepsAboveBottom;
        bar->setValue(v);

        postDirectly(QStringLiteral("general"), QStringLiteral("ещё одно"));
        loadAndWait();
        QVERIFY(bar->maximum() > oldMax);
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
        QTest::newRow("trimmed, then cleared and reloaded") << "u1-u4"
                                                            << "  Привет, Глеб \t"
                                                            << "" << true << ""
                                                            << ""
                                                            << "Вы  ·  Привет, Глеб";
        QTest::newRow("only spaces is not sent") << "u1-u4"
                                                 << "   \t "
                                                 << "" << false << "   \t "
                                                 << "старый текст"
                                                 << "";
        QTest::newRow("edited meanwhile stays, still reloads") << "u1-u4"
                                                               << "первое"
                                                               << "второе" << true << "второе"
                                                               << ""
                                                               << "Вы  ·  первое";
        QTest::newRow("same text with other spaces is cleared") << "u1-u4"
                                                                << "abc"
                                                                << " abc  " << true << ""
                                                                << ""
                                                                << "Вы  ·  abc";
        QTest::newRow("failure keeps the text, no reload") << "u2-u3"
                                                           << "тайна"
                                                           << "" << true << "тайна"
                                                           << "Чат не найден"
                                                           << "";
        QTest::newRow("no chat: nothing") << ""
                                          << "текст"
                                          << "" << false << "текст"
                                          << "старый текст"
                                          << "";
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

    void sendingTwiceBeforeTheReplySendsTwiceAndClearsOnce() {
        w->currentChatId = QStringLiteral("u1-u4");
        w->messageEdit->setText(QStringLiteral("дважды"));
        QTest::mouseClick(w->findChild<QPushButton *>(QStringLiteral("sendButton")),
                          Qt::LeftButton);
        QTest::keyClick(w->messageEdit, Qt::Key_Return);
        QVERIFY(waitUntil([&] { return log->count(Post, "/messages") == 2; }));
        QVERIFY(waitUntil([&] { return !w->messagesLoading; }));
        QVERIFY(w->messageEdit->text().isEmpty());
        const QStringList texts = rowTexts(w->messageList);
        QVERIFY(texts.size() >= 2);
        QCOMPARE(texts.mid(texts.size() - 2), QStringList({"Вы  ·  дважды", "Вы  ·  дважды"}));
    }

    void replyForAnotherChatIsDiscarded() {
        w->currentChatId = QStringLiteral("general");
        w->loadMessages();
        w->currentChatId = QStringLiteral("u1-u2");
        w->loadMessages(); // dropped by the guard
        QVERIFY(waitUntil([&] { return log->count(Get, "/messages") == 1; }));
        QCOMPARE(w->messageList->count(), 0);
        QVERIFY(!w->messagesLoading);
        QTest::qWait(200);
        QCOMPARE(log->count(Get, "/messages"), 1);
        loadAndWait();
        QCOMPARE(w->messageList->count(), 3);
    }

    void staleFailureIsDiscardedToo() {
        w->statusLabel->clear();
        w->currentChatId = QStringLiteral("u2-u3");
        w->loadMessages();
        w->currentChatId = QStringLiteral("general");
        QVERIFY(waitUntil([&] { return log->count(Get, "/messages") == 1; }));
        QCOMPARE(log->entries.last().status, 404);
        QVERIFY(w->statusLabel->text().isEmpty());
        QVERIFY(!w->messagesLoading);
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

    void loadingGuardAllowsOneRequestAtATime() {
        w->currentChatId = QStringLiteral("u1-u2");
        w->loadMessages();
        w->loadMessages();
        w->loadMessages();
        QVERIFY(waitUntil([&] { return log->count(Get, "/messages") == 1; }));
        QTest::qWait(300);
        QCOMPARE(log->count(Get, "/messages"), 1);
        QVERIFY(!w->messagesLoading);
        loadAndWait();
        QCOMPARE(log->count(Get, "/messages"), 2);
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
    }

    // The local service decodes what it gets; the raw request shows the encoding itself.
    void requestShapes() {
        StubServer stub;
        // Everything but the chat routes is refused, so the window's start-up stays quiet.
        stub.respond = [](const QByteArray &request) {
            return request.contains("/web/chats/") ? httpAnswer(200, R"({"messages":[]})")
                                                   : httpAnswer(401, "{}");
        };
        QVERIFY(stub.start());
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        {
            std::unique_ptr<RequestLog> localLog;
            std::unique_ptr<Window> quiet = openQuietWindow(localLog);
            QVERIFY(quiet);
            Window &local = *quiet;
            stub.requests.clear();

            local.currentChatId = QStringLiteral("чат 1/x?");
            local.messageList->addItem(QStringLiteral("старое"));
            local.loadMessages();
            QVERIFY(waitUntil([&] { return !local.messagesLoading; }));
            QCOMPARE(stub.requests.size(), 1);
            QVERIFY2(stub.requests[0].startsWith(
                         "GET /auth/flow/web/chats/%D1%87%D0%B0%D1%82%201%2Fx%3F/messages "),
                     stub.requests[0].constData());
            QCOMPARE(local.messageList->count(), 0); // an empty array empties the list

            local.messageEdit->setText(QStringLiteral("  a \"b\"\n "));
            local.send();
            QVERIFY(waitUntil([&] { return stub.requests.size() >= 2; }));
            const QByteArray post = stub.requests[1];
            QVERIFY2(post.startsWith("POST /auth/flow/web/chats/%D1%87%D0%B0%D1%82%201%2Fx%3F/"
                                     "messages "),
                     post.constData());
            QCOMPARE(StubServer::body(post), QByteArray("{\"text\":\"a \\\"b\\\"\"}"));
            QCOMPARE(StubServer::header(post, "content-type"), QByteArray("application/json"));
        }
        servicetesthook::pointAt(QStringLiteral("localhost"), svc.port());
    }
};

QTEST_MAIN(MessagesTest)
#include "tst_messages.moc"
