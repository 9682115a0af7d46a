// The chat list against the local service: loading, selection kept across rebuilds, search.
#include "chatfixture.h"

#include "tests/support/localservice.h"
#include "tests/support/testutil.h"

#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>

#include <memory>

using namespace chattest;

namespace {

constexpr auto Get = QNetworkAccessManager::GetOperation;

QJsonObject json(const QByteArray &text) {
    return QJsonDocument::fromJson(text).object();
}

QStringList rowIds(const QListWidget *list) {
    QStringList ids;
    for (int i = 0; i < list->count(); ++i)
        ids << list->item(i)->data(Qt::UserRole).toString();
    return ids;
}

} // namespace

class ChatListTest : public QObject {
    Q_OBJECT
private:
    LocalService svc;
    std::unique_ptr<Window> w;
    std::unique_ptr<RequestLog> log;

    void loadChatsAndWait() {
        const int before = log->count(Get, "/web/chats");
        w->loadChats();
        QVERIFY(waitUntil([&] { return log->count(Get, "/web/chats") > before; }));
        QCoreApplication::processEvents();
    }

    int messageLoads() const { return log->count(Get, "/messages"); }

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        QVERIFY(svc.start({QStringLiteral("--session"), QStringLiteral("u1:chat-token")}));
    }

    void init() {
        w = openQuietWindow(log);
        QVERIFY(w);
        setSession(*w, "chat-token");
    }
    void cleanup() {
        log.reset();
        w.reset();
    }

    void loadsChatsThenTheSelectedChatsMessagesUnderTheEncodedId() {
        loadChatsAndWait();
        QCOMPARE(rowTexts(w->chatList),
                 QStringList({"Общий чат", "Анна и Борис", "Дизайн", "Анна и Глеб", "Эхо-тест"}));
        QCOMPARE(rowIds(w->chatList),
                 QStringList({"general", "u1-u2", "team/design", "u1-u4", "echo-u1"}));
        QCOMPARE(w->chatList->currentItem(), nullptr);
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Выберите чат"));
        QCOMPARE(messageLoads(), 0);

        w->chatList->setCurrentItem(rowWithData(w->chatList, "team/design"));
        QCOMPARE(w->currentChatId, QStringLiteral("team/design"));
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Дизайн"));
        QVERIFY(waitUntil([&] { return w->messageList->count() == 2; }));
        QCOMPARE(log->entries.last().path,
                 QStringLiteral("/auth/flow/web/chats/team%2Fdesign/messages"));
    }

    void refreshKeepsTheSelectionWithoutAnotherMessagesRequest_data() {
        QTest::addColumn<QString>("search");
        row("row shown", "");
        row("row hidden by the search", "Анна");
    }
    void refreshKeepsTheSelectionWithoutAnotherMessagesRequest() {
        QFETCH(QString, search);
        loadChatsAndWait();
        QListWidgetItem *design = rowWithData(w->chatList, "team/design");
        w->chatList->setCurrentItem(design);
        QVERIFY(waitUntil([&] { return messageLoads() == 1 && !w->messagesLoading; }));
        w->chatTitle->setText(QStringLiteral("Старое имя"));
        w->searchEdit->setText(search);
        QCOMPARE(design->isHidden(), !search.isEmpty());
        QCOMPARE(w->chatList->currentItem(), design);

        loadChatsAndWait();
        design = rowWithData(w->chatList, "team/design");
        QCOMPARE(design->isHidden(), !search.isEmpty());
        QCOMPARE(w->chatList->currentItem(), design);
        QCOMPARE(w->currentChatId, QStringLiteral("team/design"));
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Старое имя"));
        QVERIFY2(!w->messagesLoading, "re-selecting the kept row asked for messages");
        QTest::qWait(300);
        QCOMPARE(messageLoads(), 1);
    }

    void rebuild_data() {
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QStringList>("ids");
        QTest::addColumn<int>("currentRow");
        row("kept row is current again, renamed", "b",
            QByteArray(R"({"chats":[{"id":"a","name":"A"},{"id":"b","name":"B2"}]})"),
            QStringList{"A", "B2"}, QStringList{"a", "b"}, 1);
        row("id match is case-sensitive", "b", QByteArray(R"({"chats":[{"id":"B","name":"A"}]})"),
            QStringList{"A"}, QStringList{"B"}, -1);
        row("duplicate ids: the last is current", "b",
            QByteArray(R"({"chats":[{"id":"b","name":"X"},{"id":"b","name":"Y"}]})"),
            QStringList{"X", "Y"}, QStringList{"b", "b"}, 1);
        // With nothing selected the kept id is empty, which the id-less rows match.
        row("fallbacks for name and id", "",
            QByteArray(R"({"chats":[{"id":"a"},{"name":"N"},{"id":5,"name":7}]})"),
            QStringList{"Чат", "N", "Чат"}, QStringList{"a", "", ""}, 2);
        row("chats not an array", "b", QByteArray(R"({"chats":{"id":"b"}})"), QStringList{},
            QStringList{}, -1);
        // Small changes touch only the rows concerned; what the user sees is the same.
        row("renamed in place", "old", QByteArray(R"({"chats":[{"id":"old","name":"New"}]})"),
            QStringList{"New"}, QStringList{"old"}, 0);
        row("added at the end", "old",
            QByteArray(R"({"chats":[{"id":"old","name":"Old"},{"id":"n","name":"N"}]})"),
            QStringList{"Old", "N"}, QStringList{"old", "n"}, 0);
        row("the kept chat removed", "old", QByteArray(R"({"chats":[]})"), QStringList{},
            QStringList{}, -1);
    }
    void rebuild() {
        QFETCH(QString, selected);
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, texts);
        QFETCH(QStringList, ids);
        QFETCH(int, currentRow);
        w->rebuildChats(json(R"({"chats":[{"id":"old","name":"Old"}]})"), QString());
        w->currentChatId = selected;
        w->chatTitle->setText(QStringLiteral("Заголовок"));
        w->rebuildChats(json(reply), QString());
        QCOMPARE(rowTexts(w->chatList), texts);
        QCOMPARE(rowIds(w->chatList), ids);
        QCOMPARE(w->chatList->currentRow(), currentRow);
        QCOMPARE(w->currentChatId, selected);
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Заголовок"));
        QVERIFY2(!w->messagesLoading, "a rebuild asked for messages");
        QVERIFY(!w->chatsRebuilding);
    }

    void failedReloadKeepsListSelectionAndHeader() {
        loadChatsAndWait();
        w->chatList->setCurrentItem(rowWithData(w->chatList, "general"));
        const QStringList before = rowTexts(w->chatList);
        // The service's own text for a session it does not know.
        setSession(*w, "not-a-session");
        loadChatsAndWait();
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Требуется вход"));
        QCOMPARE(rowTexts(w->chatList), before);
        QCOMPARE(w->chatList->currentItem(), rowWithData(w->chatList, "general"));
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Общий чат"));
        w->rebuildChats(QJsonObject(), QStringLiteral("Ошибка сети или сервера"));
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Ошибка сети или сервера"));
        QCOMPARE(rowTexts(w->chatList), before);
    }

    void search_data() {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("visible");
        row("empty shows all", "", QStringList{"Общий чат", "Дизайн", "DESIGN team"});
        row("lower case finds capitalised", "дизайн", QStringList{"Дизайн"});
        row("Latin, any case", "Design", QStringList{"DESIGN team"});
        row("leading space is not trimmed", " дизайн", QStringList{});
        row("leading space matches inside", " чат", QStringList{"Общий чат"});
        row("trailing space is not trimmed", "чат ", QStringList{});
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
        for (int i = 0; i < w->chatList->count(); ++i) {
            if (!w->chatList->item(i)->isHidden())
                seen << w->chatList->item(i)->text();
        }
        QCOMPARE(seen, visible);
    }

    void selectingARowWithoutIdLoadsNothing() {
        w->rebuildChats(json(R"({"chats":[{"name":"Без id"},{"id":"u1-u2","name":"Анна"}]})"),
                        QString());
        w->chatList->setCurrentRow(1);
        QVERIFY(waitUntil([&] { return !w->messagesLoading; }));
        w->chatList->setCurrentRow(0);
        QVERIFY(w->currentChatId.isEmpty());
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Без id"));
        QVERIFY(!w->messagesLoading);
    }
};

QTEST_MAIN(ChatListTest)
#include "tst_chatlist.moc"
