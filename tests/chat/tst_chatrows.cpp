// The widget-free rules of the chat page: how reply elements become rows, which bytes name an
// upload, what the save dialog proposes, which attachment addresses may be fetched.
#include "chatfixture.h"

#include "chat/attachments.h"
#include "chat/messagerow.h"

#include <QJsonDocument>
#include <QTest>

namespace {

QJsonObject json(const QString &text) {
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

using chattest::row;

class ChatRowsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void chatRow_data() {
        QTest::addColumn<QString>("element");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("name");
        row("both", R"({"id":"team/design","name":"Дизайн"})", "team/design", "Дизайн");
        row("numeric name", R"({"id":"a","name":5})", "a", "Чат");
        row("empty name stays empty", R"({"id":"a","name":""})", "a", "");
        row("numeric id", R"({"id":7,"name":"x"})", "", "x");
    }
    void chatRow() {
        QFETCH(QString, element);
        QFETCH(QString, id);
        QFETCH(QString, name);
        const chat::ChatRow row = chat::chatRow(json(element));
        QCOMPARE(row.id, id);
        QCOMPARE(row.name, name);
    }

    void messageRow_data() {
        QTest::addColumn<QString>("userId");
        QTest::addColumn<QString>("element");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("fileName");
        const QString media = "https://h/f1"; // rows pass addresses on; downloads judge them
        row("own text", "u1", R"({"type":"TEXT","content":"a\nb","senderId":"u1"})", "Вы  ·  a\nb",
            "", "");
        row("other's text", "u1",
            R"({"type":"TEXT","content":"Да","senderId":"u2","senderName":"Б"})", "Б  ·  Да", "",
            "");
        row("numeric sender name", "u1",
            R"({"type":"TEXT","content":"Да","senderId":"u2","senderName":3})", "Участник  ·  Да",
            "", "");
        row("no sender id, user known", "u1", R"({"type":"TEXT","content":"Да","senderName":"Б"})",
            "Б  ·  Да", "", "");
        row("no sender id, no user id", "", R"({"type":"TEXT","content":"Да","senderName":"Б"})",
            "Вы  ·  Да", "", "");
        row("text keeps its media", "u1",
            R"({"type":"TEXT","content":"см.","mediaUrl":"https://h/f1","senderId":"u1"})",
            "Вы  ·  см.", media, "");
        row("text content is no address", "u1",
            R"({"type":"TEXT","content":"https://localhost/x","senderId":"u1"})",
            "Вы  ·  https://localhost/x", "", "");
        row("deleted", "u1", R"({"type":"DELETED","content":"","senderId":"u2","senderName":"Б"})",
            "Б  ·  Сообщение удалено", "", "");
        row("file", "u1",
            R"({"type":"FILE","fileName":"notes.txt","mediaUrl":"https://h/f1","senderId":"u1"})",
            "Вы  ·  notes.txt", media, "notes.txt");
        row("file name not a string", "u1", R"({"type":"IMAGE","fileName":[1],"senderId":"u1"})",
            "Вы  ·  Вложение", "", "");
        row("empty media falls back to content", "u1",
            R"({"type":"FILE","mediaUrl":"","content":"https://h/f1","senderId":"u1"})",
            "Вы  ·  Вложение", media, "");
        row("type is case-sensitive", "u1", R"({"type":"text","content":"hi","senderId":"u1"})",
            "Вы  ·  Вложение", "hi", "");
        row("text content not a string", "u1", R"({"type":"TEXT","content":{},"senderId":"u1"})",
            "Вы  ·  ", "", "");
        row("empty element", "u1", "{}", "Участник  ·  Вложение", "", "");
    }
    void messageRow() {
        QFETCH(QString, userId);
        QFETCH(QString, element);
        QFETCH(QString, text);
        QFETCH(QString, address);
        QFETCH(QString, fileName);
        const chat::MessageRow row = chat::messageRow(json(element), userId);
        QCOMPARE(row.text, text);
        QCOMPARE(row.address, address);
        QCOMPARE(row.fileName, fileName);
    }

    void chatPath_data() {
        QTest::addColumn<QString>("chatId");
        QTest::addColumn<QString>("path");
        row("unreserved kept", "a-b_c.d~e", "/auth/flow/web/chats/a-b_c.d~e/messages");
        row("slash escaped", "team/design", "/auth/flow/web/chats/team%2Fdesign/messages");
        row("reserved escaped", "a?b#c&d=e+f %",
            "/auth/flow/web/chats/a%3Fb%23c%26d%3De%2Bf%20%25/messages");
        // The network stack would drop these segments: no path is made for them.
        row("dot", ".", "");
        row("dot dot", "..", "");
        row("three dots are a name", "...", "/auth/flow/web/chats/.../messages");
        row("utf-8 bytes", "чат", "/auth/flow/web/chats/%D1%87%D0%B0%D1%82/messages");
    }
    void chatPath() {
        QFETCH(QString, chatId);
        QFETCH(QString, path);
        QCOMPARE(chat::chatPath(chatId, QStringLiteral("messages")), path);
    }

    void uploadPartDisposition_data() {
        QTest::addColumn<QString>("localPath");
        QTest::addColumn<QString>("name"); // as written between the quotes
        row("backslash and quote", "/tmp/a\\b\"c.txt", "a_b_c.txt");
        row("semicolon, space, percent unchanged", "/tmp/a;b %20.txt", "a;b %20.txt");
        row("non-ASCII as raw UTF-8", "/tmp/Отчёт.txt", "Отчёт.txt");
        row("line break", "/tmp/a\r\nX-Injected: 1.txt", "a__X-Injected: 1.txt");
        row("tab, other controls and DEL", "/tmp/a\tb\x01\x1f\x7f.txt", "a_b___.txt");
    }
    void uploadPartDisposition() {
        QFETCH(QString, localPath);
        QFETCH(QString, name);
        QCOMPARE(chat::uploadPartDisposition(localPath),
                 "form-data; name=\"file\"; filename=\"" + name.toUtf8() + '"');
    }

    void proposedSaveName_data() {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("proposed");
        row("plain", "notes.txt", "notes.txt");
        row("empty", "", "file");
        row("mixed separators", "..\\a/b\\d.txt", "d.txt");
        row("trailing slash", "dir/", "file");
        row("trailing backslash", "dir\\", "file");
        row("dot", ".", "file");
        row("dot dot after a backslash", "a\\..", "file");
        row("three dots are a name", "...", "...");
    }
    void proposedSaveName() {
        QFETCH(QString, fileName);
        QFETCH(QString, proposed);
        QCOMPARE(chat::proposedSaveName(fileName), proposed);
    }

    void downloadUrl_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("fetched"); // empty: refused
        row("service file", "https://localhost:8443/auth/flow/web/files/f1",
            "https://localhost:8443/auth/flow/web/files/f1");
        row("upper-case scheme and host", "HTTPS://LOCALHOST/other", "https://localhost/other");
        row("www, service files: service host",
            "https://www.localhost:8443/auth/flow/web/files/f1?x=1",
            "https://localhost:8443/auth/flow/web/files/f1?x=1");
        row("www, path compared decoded", "https://www.localhost/auth/flow/web%2Ffiles/f1",
            "https://localhost/auth/flow/web%2Ffiles/f1");
        row("www, other path keeps www", "https://www.localhost/img/a.png",
            "https://www.localhost/img/a.png");
        row("www, files path is case-sensitive", "https://www.localhost/Auth/flow/web/files/f1",
            "https://www.localhost/Auth/flow/web/files/f1");
        row("http", "http://localhost/auth/flow/web/files/f1", "");
        row("relative", "/auth/flow/web/files/f1", "");
        row("host suffix", "https://evillocalhost/x", "");
        row("sub-domain", "https://a.localhost/x", "");
        row("www twice", "https://www.www.localhost/auth/flow/web/files/f1", "");
        row("service as prefix", "https://localhost.example.com/x", "");
        row("user info before other host", "https://localhost@example.com/x", "");
        row("file", "file:///etc/passwd", "");
    }
    void downloadUrl() {
        QFETCH(QString, address);
        QFETCH(QString, fetched);
        const std::optional<QUrl> url = chat::downloadUrl(address, QStringLiteral("localhost"));
        QCOMPARE(url ? url->toString(QUrl::FullyEncoded) : QString(), fetched);
    }

    void downloadUrlUsesTheConfiguredHost() {
        QVERIFY(!chat::downloadUrl(QStringLiteral("https://localhost/x"),
                                   QStringLiteral("tovik.example")));
        const auto url =
            chat::downloadUrl(QStringLiteral("https://www.tovik.example/auth/flow/web/files/f"),
                              QStringLiteral("Tovik.Example"));
        QVERIFY(url);
        QCOMPARE(url->host(), QStringLiteral("tovik.example"));
    }

    void percentOf_data() {
        QTest::addColumn<qint64>("done");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<qint64>("percent"); // -1: nothing shown
        row("unknown total", qint64(5), qint64(-1), qint64(-1));
        row("zero total", qint64(0), qint64(0), qint64(-1));
        row("two of three truncates", qint64(2), qint64(3), qint64(66));
        row("beyond 32 bits", qint64(5000000000), qint64(10000000000), qint64(50));
        row("more than the total", qint64(12), qint64(10), qint64(100));
        row("huge total", qint64(1), std::numeric_limits<qint64>::max(), qint64(0));
    }
    void percentOf() {
        QFETCH(qint64, done);
        QFETCH(qint64, total);
        QFETCH(qint64, percent);
        QCOMPARE(chat::percentOf(done, total).value_or(-1), percent);
    }
};

QTEST_APPLESS_MAIN(ChatRowsTest)
#include "tst_chatrows.moc"
