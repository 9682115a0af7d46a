// The chat list against the local service: loading, selection kept across rebuilds, search.
#include "chatfixture.h"

#include "tests/support/localservice.h"
#include "tests/support/testutil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>

#include <memory>

using namespace chattest;

namespace {

QJsonObject json(const QByteArray &text) {
    return QJsonDocument::fromJson(text).object();
}

QList<bool> hiddenFlags(const QListWidget *list) {
    QList<bool> flags;
    for (int i = 0; i < list->count(); ++i)
        flags << list->item(i)->isHidden();
    return flags;
}

} // namespace

class ChatListTest : public QObject {
    Q_OBJECT
private:
    LocalService svc;
    std::unique_ptr<Window> w;
    std::unique_ptr<RequestLog> log;

    void loadChatsAndWait() {
        const int before = log->count(QNetworkAccessManager::GetOperation, "/web/chats");
        w->loadChats();
        QVERIFY(waitUntil(
            [&] { return log->count(QNetworkAccessManager::GetOperation, "/web/chats") > before; },
            waitMs));
        QCoreApplication::processEvents();
    }

    int messageLoads() const {
        return log->count(QNetworkAccessManager::GetOperation, "/messages");
    }

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

    void loadsTheUsersChatsInReplyOrder() {
        loadChatsAndWait();
        QCOMPARE(rowTexts(w->chatList),
                 QStringList({"Общий чат", "Анна и Борис", "Дизайн", "Анна и Глеб"}));
        QStringList ids;
        for (int i = 0; i < w->chatList->count(); ++i)
            ids << w->chatList->item(i)->data(Qt::UserRole).toString();
        QCOMPARE(ids, QStringList({"general", "u1-u2", "team/design", "u1-u4"}));
        QCOMPARE(w->chatList->currentItem(), nullptr);
        QVERIFY(w->currentChatId.isEmpty());
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Выберите чат"));
        QCOMPARE(messageLoads(), 0);
    }

    void selectingAChatLoadsItsMessagesUnderTheEncodedId() {
        loadChatsAndWait();
        w->chatList->setCurrentItem(rowWithData(w->chatList, "team/design"));
        QCOMPARE(w->currentChatId, QStringLiteral("team/design"));
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Дизайн"));
        QVERIFY(waitUntil([&] { return w->messageList->count() == 2; }));
        QCOMPARE(log->entries.last().path,
                 QStringLiteral("/auth/flow/web/chats/team%2Fdesign/messages"));
        QCOMPARE(log->entries.last().status, 200);
    }

    void refreshKeepsTheSelectionWithoutAnotherMessagesRequest() {
        loadChatsAndWait();
        w->chatList->setCurrentItem(rowWithData(w->chatList, "u1-u2"));
        QVERIFY(waitUntil([&] { return messageLoads() == 1; }));
        QVERIFY(waitUntil([&] { return !w->messagesLoading; }));
        w->chatTitle->setText(QStringLiteral("Старое имя"));

        loadChatsAndWait();
        QVERIFY(w->chatList->currentItem());
        QCOMPARE(w->chatList->currentItem()->data(Qt::UserRole).toString(),
                 QStringLiteral("u1-u2"));
        QCOMPARE(w->currentChatId, QStringLiteral("u1-u2"));
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Старое имя"));
        QVERIFY2(!w->messagesLoading, "re-selecting the kept row asked for messages");
        QTest::qWait(300);
        QCOMPARE(messageLoads(), 1);
    }

    void rebuild_data() {
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("search");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QStringList>("ids");
        QTest::addColumn<QList<bool>>("hidden");
        QTest::addColumn<int>("currentRow");

        QTest::newRow("kept row is current again, renamed")
            << "b"
            << "" << QByteArray(R"({"chats":[{"id":"a","name":"A"},{"id":"b","name":"B2"}]})")
            << QStringList{"A", "B2"} << QStringList{"a", "b"} << QList<bool>{false, false} << 1;
        QTest::newRow("selected chat gone: none current")
            << "b"
            << "" << QByteArray(R"({"chats":[{"id":"a","name":"A"}]})") << QStringList{"A"}
            << QStringList{"a"} << QList<bool>{false} << -1;
        QTest::newRow("id match is case-sensitive")
            << "b"
            << "" << QByteArray(R"({"chats":[{"id":"B","name":"A"}]})") << QStringList{"A"}
            << QStringList{"B"} << QList<bool>{false} << -1;
        QTest::newRow("duplicate ids: the last is current")
            << "b"
            << "" << QByteArray(R"({"chats":[{"id":"b","name":"X"},{"id":"b","name":"Y"}]})")
            << QStringList{"X", "Y"} << QStringList{"b", "b"} << QList<bool>{false, false} << 1;
        // With nothing selected the kept id is empty, which the id-less rows match.
        QTest::newRow("fallbacks for name and id")
            << ""
            << "" << QByteArray(R"({"chats":[{"id":"a"},{"name":"N"},{"id":5,"name":7}]})")
            << QStringList{"Чат", "N", "Чат"} << QStringList{"a", "", ""}
            << QList<bool>{false, false, false} << 2;
        QTest::newRow("chats not an array")
            << "b"
            << "" << QByteArray(R"({"chats":{"id":"b"}})") << QStringList{} << QStringList{}
            << QList<bool>{} << -1;
        QTest::newRow("no chats key")
            << "b"
            << "" << QByteArray("{}") << QStringList{} << QStringList{} << QList<bool>{} << -1;
        QTest::newRow("search hides new rows as typing would")
            << ""
            << "дИЗ"
            << QByteArray(R"({"chats":[{"id":"g","name":"Общий чат"},{"id":"d","name":"Дизайн"}]})")
            << QStringList{"Общий чат", "Дизайн"} << QStringList{"g", "d"}
            << QList<bool>{true, false} << -1;
        QTest::newRow("hidden kept row is still current")
            << "b"
            << "zzz" << QByteArray(R"({"chats":[{"id":"a","name":"A"},{"id":"b","name":"B"}]})")
            << QStringList{"A", "B"} << QStringList{"a", "b"} << QList<bool>{true, true} << 1;
    }
    void rebuild() {
        QFETCH(QString, selected);
        QFETCH(QString, search);
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, texts);
        QFETCH(QStringList, ids);
        QFETCH(QList<bool>, hidden);
        QFETCH(int, currentRow);

        w->rebuildChats(json(R"({"chats":[{"id":"old","name":"Old"}]})"), QString());
        w->currentChatId = selected;
        w->chatTitle->setText(QStringLiteral("Заголовок"));
        w->searchEdit->setText(search);
        w->rebuildChats(json(reply), QString());

        QCOMPARE(rowTexts(w->chatList), texts);
        QStringList seenIds;
        for (int i = 0; i < w->chatList->count(); ++i)
            seenIds << w->chatList->item(i)->data(Qt::UserRole).toString();
        QCOMPARE(seenIds, ids);
        QCOMPARE(hiddenFlags(w->chatList), hidden);
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
        QCOMPARE(w->currentChatId, QStringLiteral("general"));
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Общий чат"));

        w->rebuildChats(QJsonObject(), QStringLiteral("Ошибка сети или сервера"));
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Ошибка сети или сервера"));
        QCOMPARE(rowTexts(w->chatList), before);
    }

    void search_data() {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("visible");
        QTest::newRow("empty shows all")
            << "" << QStringList{"Общий чат", "Дизайн", "DESIGN team", "Анна и Борис"};
        QTest::newRow("lower case finds capitalised") << "дизайн" << QStringList{"Дизайн"};
        QTest::newRow("Latin, any case") << "Design" << QStringList{"DESIGN team"};
        QTest::newRow("middle of a name") << "ий ч" << QStringList{"Общий чат"};
        QTest::newRow("leading space is not trimmed") << " дизайн" << QStringList{};
        QTest::newRow("leading space matches inside") << " чат" << QStringList{"Общий чат"};
        QTest::newRow("trailing space is not trimmed") << "чат " << QStringList{};
        QTest::newRow("no match") << "zzz" << QStringList{};
    }
    void search() {
        QFETCH(QString, search);
        QFETCH(QStringList, visible);
        w->rebuildChats(
            json(R"({"chats":[{"id":"g","name":"Общий чат"},{"id":"d","name":"Дизайн"},)"
                 R"({"id":"e","name":"DESIGN team"},{"id":"ab","name":"Анна и Борис"}]})"),
            QString());
        w->searchEdit->setText(QStringLiteral("something else"));
        w->searchEdit->setText(search);
        QStringList seen;
        for (int i = 0; i < w->chatList->count(); ++i) {
            if (!w->chatList->item(i)->isHidden())
                seen << w->chatList->item(i)->text();
        }
        QCOMPARE(seen, visible);
        QCOMPARE(w->chatList->count(), 4);
    }

    void searchLeavesAHiddenCurrentRowSelected() {
        loadChatsAndWait();
        w->chatList->setCurrentItem(rowWithData(w->chatList, "team/design"));
        QVERIFY(waitUntil([&] { return !w->messagesLoading; }));
        const int loads = messageLoads();
        w->searchEdit->setText(QStringLiteral("Анна"));
        QVERIFY(rowWithData(w->chatList, "team/design")->isHidden());
        QCOMPARE(w->chatList->currentItem(), rowWithData(w->chatList, "team/design"));
        QCOMPARE(w->currentChatId, QStringLiteral("team/design"));
        loadChatsAndWait();
        QVERIFY(rowWithData(w->chatList, "team/design")->isHidden());
        QCOMPARE(w->chatList->currentItem(), rowWithData(w->chatList, "team/design"));
        QVERIFY(!w->messagesLoading);
        QCOMPARE(messageLoads(), loads);
    }

    void selectingARowWithoutIdLoadsNothing() {
        w->rebuildChats(
            json(R"({"chats":[{"name":"Без id"},{"id":"general","name":"Общий чат"}]})"),
            QString());
        w->chatList->setCurrentRow(1);
        QCOMPARE(w->currentChatId, QStringLiteral("general"));
        QVERIFY(waitUntil([&] { return !w->messagesLoading; }));
        w->chatList->setCurrentRow(0);
        QVERIFY(w->currentChatId.isEmpty());
        QCOMPARE(w->chatTitle->text(), QStringLiteral("Без id"));
        QVERIFY(!w->messagesLoading);
    }
};

QTEST_MAIN(ChatListTest)
#include "tst_chatlist.moc"
