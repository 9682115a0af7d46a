// The chat page against the local service: the chat list, selection kept across refreshes,
// search, the message view with its scroll rule, sending, stale replies and the loading guard.
#include "tests/support/localservice.h"
#include "tests/support/windowkit.h"

#include <QLineEdit>
#include <QScrollBar>

using namespace win;

namespace {

QStringList rowIds(const QListWidget *list) {
    QStringList ids;
    for (int i = 0; i < list->count(); ++i)
        ids << list->item(i)->data(Qt::UserRole).toString();
    return ids;
}

QListWidgetItem *rowWithId(const QListWidget *list, const QString &id) {
    return list->item(int(rowIds(list).indexOf(id)));
}

const QByteArray threeChats =
    R"({"chats":[{"id":"team/design","name":"Дизайн"},)"
    R"({"id":"general","name":"Общий чат"},{"id":"u1-u2","name":"Анна и Борис"}]})";

} // namespace

class ChatTest : public QObject {
    Q_OBJECT
    LocalService svc;
    std::unique_ptr<Window> w;
    std::unique_ptr<RequestLog> log;

    void loadChatsAndWait() {
        const int before = log->count(Get, "/web/chats");
        w->loadChats();
        QVERIFY(waitUntil([&] { return log->count(Get, "/web/chats") > before; }));
    }
    void loadMessagesAndWait() {
        const int before = log->count(Get, "/messages");
        w->loadMessages();
        QVERIFY(w->messagesLoading);
        QVERIFY(waitUntil([&] { return log->count(Get, "/messages") > before; }));
        QVERIFY(!w->messagesLoading);
    }

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        QVERIFY(svc.start({"--session", "u1:chat-token"}));
    }
    void init() {
        w = quietWindow(log, "chat-token");
        QVERIFY(w);
    }
    void cleanup() {
        log.reset();
        w.reset();
    }

    // Nothing is selected at first; a selection loads that chat's messages under its encoded id,
    // rendered from the service's reply.
    void loadsChatsThenMessages() {
        w->statusLabel->setText(QStringLiteral("старый текст"));
        loadChatsAndWait();
        QCOMPARE(rowTexts(w->chatList),
                 QStringList({"Общий чат", "Анна и Борис", "Дизайн", "Анна и Глеб"}));
        QCOMPARE(rowIds(w->chatList), QStringList({"general", "u1-u2", "team/design", "u1-u4"}));
        QCOMPARE(w->chatList->currentItem(), nullptr);
        QCOMPARE(log->count(Get, "/messages"), 0);
        w->chatList->setCurrentItem(rowWithId(w->chatList, "team/design"));
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Дизайн"));
        QVERIFY(waitUntil([&] { return w->messageList->count() == 2; }));
        QCOMPARE(log->entries.last().path,
                 QStringLiteral("/auth/flow/web/chats/team%2Fdesign/messages"));

        w->chatList->setCurrentItem(rowWithId(w->chatList, "general"));
        QVERIFY(waitUntil([&] { return !w->messagesLoading && w->messageList->count() > 2; }));
        QVERIFY(w->statusLabel->text().isEmpty());
        const QStringList texts = rowTexts(w->messageList);
        QVERIFY2(texts.size() >= 300, qPrintable(QString::number(texts.size())));
        QCOMPARE(texts.mid(0, 2), QStringList({"Вы  ·  Доброе утро! (1)",
                                               "Борис Орлов  ·  Кто сегодня на созвоне? (2)"}));
        QVERIFY(texts.contains(QStringLiteral("Борис Орлов  ·  Сообщение удалено")));
        const QListWidgetItem *file = w->messageList->item(int(texts.indexOf("Вы  ·  notes.txt")));
        QVERIFY(file && file->data(Qt::UserRole)
                            .toString()
                            .startsWith(svc.baseUrl() + "/auth/flow/web/files/"));
        QCOMPARE(file->data(Qt::UserRole + 1).toString(), QStringLiteral("notes.txt"));

        // A failed reload keeps list, selection and header, and says why.
        const QStringList chats = rowTexts(w->chatList);
        setSession(*w, "not-a-session");
        loadChatsAndWait();
        loadMessagesAndWait();
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Требуется вход"));
        QCOMPARE(rowTexts(w->chatList), chats);
        QCOMPARE(rowTexts(w->messageList), texts);
        QCOMPARE(w->chatList->currentItem(), rowWithId(w->chatList, "general"));
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Общий чат"));
    }

    // A refresh keeps the selected row current without another messages request, also when the
    // search hides it.
    void refreshKeepsTheSelection_data() {
        QTest::addColumn<QString>("search");
        row("row shown", QString());
        row("row hidden by the search", QStringLiteral("Анна"));
    }
    void refreshKeepsTheSelection() {
        QFETCH(QString, search);
        loadChatsAndWait();
        w->chatList->setCurrentItem(rowWithId(w->chatList, "team/design"));
        QVERIFY(
            waitUntil([&] { return log->count(Get, "/messages") == 1 && !w->messagesLoading; }));
        w->chatTitle->setText(QStringLiteral("Старое имя"));
        w->searchEdit->setText(search);
        loadChatsAndWait();
        QListWidgetItem *design = rowWithId(w->chatList, "team/design");
        QCOMPARE(design->isHidden(), !search.isEmpty());
        QCOMPARE(w->chatList->currentItem(), design);
        QCOMPARE(w->currentChatId, QStringLiteral("team/design"));
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Старое имя"));
        QVERIFY2(!w->messagesLoading, "re-selecting the kept row asked for messages");
        QVERIFY(settled(*w));
        QCOMPARE(log->count(Get, "/messages"), 1);
    }

    void rebuild_data() {
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("rows"); // "name@id" by row, "*" marks the current one
        row("kept row current again, renamed", "b",
            QByteArray(R"({"chats":[{"id":"a","name":"A"},{"id":"b","name":"B2"}]})"), "A@a B2@b*");
        row("id match is case-sensitive", "b", QByteArray(R"({"chats":[{"id":"B","name":"A"}]})"),
            "A@B");
        row("duplicate ids: the last is current", "b",
            QByteArray(R"({"chats":[{"id":"b","name":"X"},{"id":"b","name":"Y"}]})"), "X@b Y@b*");
        row("fallbacks for name and id", "",
            QByteArray(R"({"chats":[{"id":"a"},{"name":"N"},{"id":5,"name":7}]})"),
            "Чат@a N@ Чат@*");
        row("chats not an array", "b", QByteArray(R"({"chats":{"id":"b"}})"), "");
    }
    void rebuild() {
        QFETCH(QString, selected);
        QFETCH(QByteArray, reply);
        QFETCH(QString, rows);
        w->rebuildChats(json(R"({"chats":[{"id":"old","name":"Old"}]})"), QString());
        w->currentChatId = selected;
        w->chatTitle->setText(QStringLiteral("Заголовок"));
        w->rebuildChats(json(reply), QString());
        QStringList seen;
        for (int i = 0; i < w->chatList->count(); ++i)
            seen << w->chatList->item(i)->text() + '@' + rowIds(w->chatList)[i] +
                        (i == w->chatList->currentRow() ? "*" : "");
        QCOMPARE(seen.join(' '), rows);
        QCOMPARE(w->currentChatId, selected);
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Заголовок"));
        QVERIFY2(!w->messagesLoading, "a rebuild asked for messages");
    }

    void search_data() {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("visible");
        row("empty shows all", QString(), QStringList{"Общий чат", "Дизайн", "DESIGN team"});
        row("lower case finds capitalised", QStringLiteral("дизайн"), QStringList{"Дизайн"});
        row("Latin, any case", QStringLiteral("Design"), QStringList{"DESIGN team"});
        row("spaces are not trimmed", QStringLiteral(" дизайн"), QStringList{});
        row("leading space matches inside", QStringLiteral(" чат"), QStringList{"Общий чат"});
    }
    void search() {
        QFETCH(QString, search);
        QFETCH(QStringList, visible);
        w->rebuildChats(json(R"({"chats":[{"id":"g","name":"Общий чат"},)"
                             R"({"id":"d","name":"Дизайн"},{"id":"e","name":"DESIGN team"}]})"),
                        QString());
        w->searchEdit->setText(QStringLiteral("something else"));
        w->searchEdit->setText(search);
        QStringList seen;
        for (int i = 0; i < w->chatList->count(); ++i)
            if (!w->chatList->item(i)->isHidden())
                seen << w->chatList->item(i)->text();
        QCOMPARE(seen, visible);
    }

    // A selection while a load is out is held by the guard until the next tick; a row without an
    // id loads nothing.
    void selectionWhileLoading() {
        w->rebuildChats(json(threeChats), QString());
        w->chatList->setCurrentRow(0);
        QVERIFY(waitUntil([&] { return !w->messagesLoading; }));
        const QStringList design = rowTexts(w->messageList);
        QCOMPARE(design.size(), 2);
        w->chatList->setCurrentRow(1);
        w->chatList->setCurrentRow(2); // dropped: the load for row 1 is still out
        QVERIFY(settled(*w));
        QCOMPARE(log->count(Get, "/messages"), 2);
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Анна и Борис"));
        QCOMPARE(rowTexts(w->messageList), design);
        loadMessagesAndWait(); // the next refresh tick
        QCOMPARE(rowTexts(w->messageList).last(),
                 QStringLiteral("Борис Орлов  ·  Тогда созвонимся вечером."));

        w->rebuildChats(json(R"({"chats":[{"name":"Без id"}]})"), QString());
        w->chatList->setCurrentRow(0);
        QVERIFY(w->currentChatId.isEmpty() && !w->messagesLoading);
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Без id"));
    }

    // The reply comes after the user moved on (to a chat whose second load is held by the guard):
    // it is dropped, whether messages or a failure.
    void staleReplyIsDiscarded_data() {
        QTest::addColumn<QString>("firstChat");
        QTest::addColumn<int>("status");
        row("messages", QStringLiteral("general"), 200);
        row("failure", QStringLiteral("u2-u3"), 404);
    }
    void staleReplyIsDiscarded() {
        QFETCH(QString, firstChat);
        QFETCH(int, status);
        w->currentChatId = firstChat;
        w->loadMessages();
        w->currentChatId = QStringLiteral("u1-u2");
        w->loadMessages();
        QVERIFY(settled(*w));
        QCOMPARE(log->count(Get, "/messages"), 1);
        QCOMPARE(log->entries.last().status, status);
        QCOMPARE(w->messageList->count(), 0);
        QVERIFY(w->statusLabel->text().isEmpty() && !w->messagesLoading);
        loadMessagesAndWait();
        QCOMPARE(w->messageList->count(), 3);
        QCOMPARE(log->count(Get, "/messages"), 2);
    }

    // Up to 8 steps above the bottom the view follows new rows; further up it stays.
    void scrollPosition_data() {
        QTest::addColumn<int>("stepsUp");
        QTest::addColumn<bool>("follows");
        row("at the bottom", 0, true);
        row("8 steps up", 8, true);
        row("9 steps up", 9, false);
    }
    void scrollPosition() {
        QFETCH(int, stepsUp);
        QFETCH(bool, follows);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->currentChatId = QStringLiteral("general");
        loadMessagesAndWait();
        QScrollBar *bar = w->messageList->verticalScrollBar();
        QCOMPARE(bar->value(), bar->maximum());
        const int oldMax = bar->maximum();
        bar->setValue(oldMax - stepsUp);
        w->messageEdit->setText(QStringLiteral("ещё одно"));
        w->send(); // reloads once posted
        QVERIFY(
            waitUntil([&] { return log->count(Get, "/messages") == 2 && !w->messagesLoading; }));
        QVERIFY(bar->maximum() > oldMax);
        QCOMPARE(bar->value(), follows ? bar->maximum() : oldMax - stepsUp);
    }

    void send_data() {
        QTest::addColumn<QString>("chat");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("meanwhile"); // empty: the input is left alone
        QTest::addColumn<QString>("after");     // "posts|input|status|last row" ("" row: no reload)
        const QString old = QStringLiteral("старый текст");
        row("trimmed, cleared, reloaded", "u1-u4", " Привет \t", "", "1|||Вы  ·  Привет");
        row("only spaces is not sent", "u1-u4", "  \t ", "", "0|  \t |" + old + "|");
        row("edited meanwhile stays", "u1-u4", "первое", "второе", "1|второе||Вы  ·  первое");
        row("same text, other spaces: cleared", "u1-u4", "abc", " abc  ", "1|||Вы  ·  abc");
        row("failure keeps the text", "u2-u3", "тайна", "", "1|тайна|Чат не найден|");
        row("no chat: nothing", "", "текст", "", "0|текст|" + old + "|");
    }
    void send() {
        QFETCH(QString, chat);
        QFETCH(QString, typed);
        QFETCH(QString, meanwhile);
        QFETCH(QString, after);
        const QStringList expected = after.split('|');
        w->currentChatId = chat;
        w->statusLabel->setText(QStringLiteral("старый текст"));
        w->messageEdit->setText(typed);
        QTest::keyClick(w->messageEdit, Qt::Key_Return);
        if (!meanwhile.isEmpty())
            w->messageEdit->setText(meanwhile);
        QVERIFY(settled(*w));
        QCOMPARE(QString::number(log->count(Post, "/messages")), expected[0]);
        QCOMPARE(w->messageEdit->text(), expected[1]);
        QCOMPARE(w->statusLabel->text(), expected[2]);
        QCOMPARE(w->messageList->count() ? w->messageList->item(w->messageList->count() - 1)->text()
                                         : QString(),
                 expected[3]);
    }

    // The local service decodes what it gets; a scripted one shows the encoding itself.
    void requestShapes() {
        StubServer stub;
        stub.respond = [](const StubRequest &r) {
            return r.path.contains("/web/chats/") ? stubJson(200, R"({"messages":[]})")
                                                  : stubJson(401, "{}");
        };
        QVERIFY(stub.listen());
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        std::unique_ptr<RequestLog> stubLog;
        const std::unique_ptr<Window> local = quietWindow(stubLog);
        servicetesthook::pointAt(QStringLiteral("localhost"), svc.port());
        QVERIFY(local);
        stub.requests.clear();
        local->currentChatId = QStringLiteral("чат 1/x?");
        local->messageList->addItem(QStringLiteral("старое"));
        local->messageEdit->setText(QStringLiteral("  a \"b\"\n "));
        local->send();
        QVERIFY(waitUntil([&] { return stub.requests.size() == 2 && !local->messagesLoading; }));
        const QByteArray path = "/auth/flow/web/chats/%D1%87%D0%B0%D1%82%201%2Fx%3F/messages";
        QCOMPARE(stub.requests[0].method + ' ' + stub.requests[0].path, "POST " + path);
        QCOMPARE(stub.requests[0].body, QByteArray("{\"text\":\"a \\\"b\\\"\"}"));
        QCOMPARE(stub.requests[1].method + ' ' + stub.requests[1].path, "GET " + path);
        QCOMPARE(local->messageList->count(), 0); // an empty array empties the list
    }
};

QTEST_MAIN(ChatTest)
#include "tst_chat.moc"
