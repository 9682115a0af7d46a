// The chat page against the local service: the chat list, selection kept across refreshes,
// search, the message view with its scroll rule, sending, the loading guard and bad chat ids.
#include "tests/support/localservice.h"
#include "tests/support/windowkit.h"

#include <QLineEdit>
#include <QScrollBar>

using namespace win;

namespace {

QString seenRows(const QListWidget *list) {
    QStringList seen;
    for (int i = 0; i < list->count(); ++i)
        seen << list->item(i)->text() + '@' + list->item(i)->data(Qt::UserRole).toString() +
                    (i == list->currentRow() ? "*" : "") + (list->item(i)->isHidden() ? "~" : "");
    return seen.join(' ');
}

QListWidgetItem *rowWithId(const QListWidget *list, const QString &id) {
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->data(Qt::UserRole).toString() == id)
            return list->item(i);
    return nullptr;
}

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

    // Nothing is selected at first; a selection loads that chat's messages, one made while a load
    // is out waits for the next tick, a failed reload keeps what is shown and ".." asks nothing.
    void loadsChatsThenMessages() {
        w->statusLabel->setText(QStringLiteral("старый текст"));
        loadChatsAndWait();
        QCOMPARE(rowTexts(w->chatList),
                 QStringList({"Общий чат", "Анна и Борис", "Дизайн", "Анна и Глеб", "Эхо-тест"}));
        QCOMPARE(w->chatList->currentItem(), nullptr);
        QCOMPARE(log->count(Get, "/messages"), 0);
        w->chatList->setCurrentItem(rowWithId(w->chatList, "team/design"));
        QVERIFY(waitUntil([&] { return !w->messagesLoading && w->messageList->count() == 2; }));
        QVERIFY(w->statusLabel->text().isEmpty());
        const QStringList design = rowTexts(w->messageList);
        w->chatList->setCurrentItem(rowWithId(w->chatList, "general"));
        w->chatList->setCurrentItem(rowWithId(w->chatList, "u1-u2")); // held: general is loading
        QVERIFY(settled(*w));
        QCOMPARE(log->count(Get, "/messages"), 2);
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Анна и Борис"));
        QCOMPARE(rowTexts(w->messageList), design);
        loadMessagesAndWait(); // the next refresh tick
        QCOMPARE(rowTexts(w->messageList).last(),
                 QStringLiteral("Борис Орлов  ·  Тогда созвонимся вечером."));

        w->chatList->setCurrentItem(rowWithId(w->chatList, "general"));
        QVERIFY(waitUntil([&] { return !w->messagesLoading && w->messageList->count() > 3; }));
        const QStringList texts = rowTexts(w->messageList);
        QCOMPARE(texts.first(), QStringLiteral("Вы  ·  Доброе утро! (1)"));
        const QListWidgetItem *file = w->messageList->item(int(texts.indexOf("Вы  ·  notes.txt")));
        QVERIFY(file && file->data(Qt::UserRole).toString().startsWith(svc.baseUrl() + "/auth/"));
        QCOMPARE(file->data(Qt::UserRole + 1).toString(), QStringLiteral("notes.txt"));
        const QStringList chats = rowTexts(w->chatList);
        setSession(*w, "not-a-session");
        loadChatsAndWait();
        loadMessagesAndWait();
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Требуется вход"));
        QCOMPARE(rowTexts(w->chatList), chats);
        QCOMPARE(rowTexts(w->messageList), texts);
        QCOMPARE(w->chatList->currentItem(), rowWithId(w->chatList, "general"));
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Общий чат"));

        w->currentChatId = QStringLiteral("..");
        w->loadMessages();
        QVERIFY(!w->messagesLoading && w->messageList->count() == 0);
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Недопустимый адрес чата"));
    }

    // A refresh keeps the selected row current, also when the search hides it, without asking for
    // its messages again; the search hides rows by name in any case.
    void rebuild_data() {
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("search");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("rows"); // "name@id" by row, "*" current, "~" hidden
        row("kept row current again, renamed", "b", "",
            QByteArray(R"({"chats":[{"id":"a","name":"A"},{"id":"b","name":"B2"}]})"), "A@a B2@b*");
        row("kept row hidden by the search", "b", "zz",
            QByteArray(R"({"chats":[{"id":"a","name":"A"},{"id":"b","name":"B"}]})"), "A@a~ B@b*~");
        row("fallbacks for name and id", "", "",
            QByteArray(R"({"chats":[{"id":"a"},{"name":"N"},{"id":5,"name":7}]})"),
            "Чат@a N@ Чат@*");
        // Small changes touch only the rows concerned; what the user sees is the same.
        row("renamed in place", "old", "", QByteArray(R"({"chats":[{"id":"old","name":"New"}]})"),
            "New@old*");
        row("added at the end", "old", "",
            QByteArray(R"({"chats":[{"id":"old","name":"Old"},{"id":"n","name":"N"}]})"),
            "Old@old* N@n");
        row("the kept chat removed", "old", "", QByteArray(R"({"chats":[]})"), "");
        const QByteArray three = R"({"chats":[{"id":"g","name":"Общий чат"},)"
                                 R"({"id":"d","name":"Дизайн"},{"id":"e","name":"DESIGN team"}]})";
        row("lower case finds capitalised", "", "дизайн", three,
            "Общий чат@g~ Дизайн@d DESIGN team@e~");
        row("Latin, any case", "", "Design", three, "Общий чат@g~ Дизайн@d~ DESIGN team@e");
    }
    void rebuild() {
        QFETCH(QString, selected);
        QFETCH(QString, search);
        QFETCH(QByteArray, reply);
        QFETCH(QString, rows);
        w->rebuildChats(json(R"({"chats":[{"id":"old","name":"Old"}]})"), QString());
        w->currentChatId = selected;
        w->chatTitle->setText(QStringLiteral("Заголовок"));
        w->searchEdit->setText(search);
        w->rebuildChats(json(reply), QString());
        QCOMPARE(seenRows(w->chatList), rows);
        QCOMPARE(w->currentChatId, selected);
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Заголовок"));
        QVERIFY2(!w->messagesLoading, "a rebuild asked for messages");
    }

    // Up to 8 steps above the bottom the view follows new rows; further up it stays. An unchanged
    // reply moves nothing.
    void scrollPosition() {
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->currentChatId = QStringLiteral("general");
        loadMessagesAndWait();
        QScrollBar *bar = w->messageList->verticalScrollBar();
        for (const int stepsUp : {8, 9, -9}) { // negative: nothing new is sent
            const int oldMax = bar->maximum(), loads = log->count(Get, "/messages");
            bar->setValue(oldMax - std::abs(stepsUp));
            w->messageEdit->setText(stepsUp > 0 ? QStringLiteral("ещё одно") : QString());
            stepsUp > 0 ? w->send() : w->loadMessages(); // a post reloads
            QVERIFY(waitUntil(
                [&] { return log->count(Get, "/messages") > loads && !w->messagesLoading; }));
            QCOMPARE(bar->maximum() > oldMax, stepsUp > 0);
            QCOMPARE(bar->value(), stepsUp == 8 ? bar->maximum() : oldMax - std::abs(stepsUp));
        }
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
        row("failure keeps the text", "u2-u3", "тайна", "", "1|тайна|Чат не найден|");
        row("no chat: nothing", "", "текст", "", "0|текст|" + old + "|");
        row("chat dot dot: refused", "..", "текст", "", "0|текст|Недопустимый адрес чата|");
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

    // A scripted service shows the encoding itself, and a history past the reply limit: that is
    // said, and the refresh stops fetching it until the chat is selected anew.
    void scriptedService() {
        StubServer stub;
        const QByteArray huge =
            "{\"messages\":[{\"content\":\"" + QByteArray(17 << 20, 'x') + "\"}]}";
        stub.respond = [&](const StubRequest &r) {
            if (!r.path.contains("/web/chats/"))
                return stubJson(401, "{}");
            return r.method == "POST" ? stubJson(201, "{}") : stubJson(200, huge);
        };
        QVERIFY(stub.listen());
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        std::unique_ptr<RequestLog> stubLog;
        const std::unique_ptr<Window> local = quietWindow(stubLog);
        servicetesthook::pointAt(QStringLiteral("localhost"), svc.port());
        QVERIFY(local);
        stub.requests.clear();
        local->rebuildChats(json(R"({"chats":[{"id":"b","name":"B"},{"id":"чат 1/x?"}]})"), {});
        local->currentChatId = QStringLiteral("чат 1/x?");
        local->messageList->addItem(QStringLiteral("старое"));
        local->messageEdit->setText(QStringLiteral("  a \"b\"\n "));
        local->send();
        QVERIFY(waitUntil([&] { return stub.requests.size() == 2 && !local->messagesLoading; }));
        const QByteArray path = "/auth/flow/web/chats/%D1%87%D0%B0%D1%82%201%2Fx%3F/messages";
        QCOMPARE(stub.requests[0].method + ' ' + stub.requests[0].path, "POST " + path);
        QCOMPARE(stub.requests[0].body, QByteArray("{\"text\":\"a \\\"b\\\"\"}"));
        QCOMPARE(stub.requests[1].method + ' ' + stub.requests[1].path, "GET " + path);
        QCOMPARE(local->statusLabel->text(),
                 QStringLiteral("История чата больше 16 МБ, её нельзя показать"));
        QCOMPARE(local->messageList->count(), 0);
        local->loadMessages(); // the refresh tick
        QVERIFY(!local->messagesLoading);
        local->chatList->setCurrentRow(0);
        QVERIFY(waitUntil([&] { return !local->messagesLoading; }));
        local->chatList->setCurrentRow(1);
        QVERIFY(local->messagesLoading);
        QVERIFY(settled(*local));
    }
};

QTEST_MAIN(ChatTest)
#include "tst_chat.moc"
