// The widget-free rules of the chat page: how reply elements become rows, which bytes name an
// upload, what the save dialog proposes, which attachment addresses may be fetched.
#include "chat/attachments.h"
#include "chat/messagerow.h"

#include <QJsonDocument>
#include <QTest>

namespace {

QJsonObject json(const char *text) {
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

} // namespace

class ChatRowsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void chatRow_data() {
        QTest::addColumn<QString>("element");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("name");
        QTest::newRow("both") << R"({"id":"team/design","name":"Дизайн"})"
                              << "team/design"
                              << "Дизайн";
        QTest::newRow("no name") << R"({"id":"a"})"
                                 << "a"
                                 << "Чат";
        QTest::newRow("numeric name") << R"({"id":"a","name":5})"
                                      << "a"
                                      << "Чат";
        QTest::newRow("null name") << R"({"id":"a","name":null})"
                                   << "a"
                                   << "Чат";
        QTest::newRow("empty name stays empty") << R"({"id":"a","name":""})"
                                                << "a"
                                                << "";
        QTest::newRow("numeric id") << R"({"id":7,"name":"x"})"
                                    << ""
                                    << "x";
        QTest::newRow("nothing") << "{}"
                                 << ""
                                 << "Чат";
    }
    void chatRow() {
        QFETCH(QString, element);
        QFETCH(QString, id);
        QFETCH(QString, name);
        const chat::ChatRow row = chat::chatRow(json(element.toUtf8().constData()));
        QCOMPARE(row.id, id);
        QCOMPARE(row.name, name);
    }

    void messageRow_data() {
        QTest::addColumn<QString>("userId");
        QTest::addColumn<QString>("element");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("fileName");
        const QString media = "https://localhost/auth/flow/web/files/f1";

        QTest::newRow("own text")
            << "u1"
            << R"({"type":"TEXT","content":"Привет","senderId":"u1","senderName":"Анна"})"
            << "Вы  ·  Привет"
            << ""
            << "";
        QTest::newRow("other's text")
            << "u1"
            << R"({"type":"TEXT","content":"Да","senderId":"u2","senderName":"Борис"})"
            << "Борис  ·  Да"
            << ""
            << "";
        QTest::newRow("no sender name") << "u1"
                                        << R"({"type":"TEXT","content":"Да","senderId":"u2"})"
                                        << "Участник  ·  Да"
                                        << ""
                                        << "";
        QTest::newRow("numeric sender name")
            << "u1"
            << R"({"type":"TEXT","content":"Да","senderId":"u2","senderName":3})"
            << "Участник  ·  Да"
            << ""
            << "";
        QTest::newRow("no sender id, signed-in user known")
            << "u1"
            << R"({"type":"TEXT","content":"Да","senderName":"Борис"})"
            << "Борис  ·  Да"
            << ""
            << "";
        QTest::newRow("no sender id, no user id")
            << ""
            << R"({"type":"TEXT","content":"Да","senderName":"Борис"})"
            << "Вы  ·  Да"
            << ""
            << "";
        QTest::newRow("line breaks stay")
            << "u1"
            << R"({"type":"TEXT","content":"a\nb","senderId":"u2","senderName":"Б"})"
            << "Б  ·  a\nb"
            << ""
            << "";
        QTest::newRow("text with media keeps it")
            << "u1"
            << R"({"type":"TEXT","content":"см.","mediaUrl":"https://localhost/auth/flow/web/files/f1","senderId":"u1"})"
            << "Вы  ·  см." << media << "";
        QTest::newRow("text without media: no address, content is not one")
            << "u1"
            << R"({"type":"TEXT","content":"https://localhost/x","senderId":"u1"})"
            << "Вы  ·  https://localhost/x"
            << ""
            << "";
        QTest::newRow("deleted")
            << "u1"
            << R"({"type":"DELETED","content":"","senderId":"u2","senderName":"Борис"})"
            << "Борис  ·  Сообщение удалено"
            << ""
            << "";
        QTest::newRow("file")
            << "u1"
            << R"({"type":"FILE","fileName":"notes.txt","mediaUrl":"https://localhost/auth/flow/web/files/f1","senderId":"u1"})"
            << "Вы  ·  notes.txt" << media << "notes.txt";
        QTest::newRow("file without name")
            << "u1"
            << R"({"type":"FILE","mediaUrl":"https://localhost/auth/flow/web/files/f1","senderId":"u1"})"
            << "Вы  ·  Вложение" << media << "";
        QTest::newRow("file name not a string")
            << "u1"
            << R"({"type":"IMAGE","fileName":[1],"senderId":"u1"})"
            << "Вы  ·  Вложение"
            << ""
            << "";
        QTest::newRow("attachment address from content")
            << "u1"
            << R"({"type":"IMAGE","content":"https://localhost/auth/flow/web/files/f1","fileName":"a.png","senderId":"u1"})"
            << "Вы  ·  a.png" << media << "a.png";
        QTest::newRow("empty media falls back to content")
            << "u1"
            << R"({"type":"FILE","mediaUrl":"","content":"https://localhost/auth/flow/web/files/f1","senderId":"u1"})"
            << "Вы  ·  Вложение" << media << "";
        QTest::newRow("type is case-sensitive")
            << "u1"
            << R"({"type":"text","content":"hi","senderId":"u1"})"
            << "Вы  ·  Вложение"
            << "hi"
            << "";
        QTest::newRow("missing type is an attachment") << "u1"
                                                       << R"({"content":"hi","senderId":"u1"})"
                                                       << "Вы  ·  Вложение"
                                                       << "hi"
                                                       << "";
        QTest::newRow("type not a string") << "u1"
                                           << R"({"type":1,"content":"hi","senderId":"u1"})"
                                           << "Вы  ·  Вложение"
                                           << "hi"
                                           << "";
        QTest::newRow("text content not a string")
            << "u1"
            << R"({"type":"TEXT","content":{},"senderId":"u1"})"
            << "Вы  ·  "
            << ""
            << "";
        QTest::newRow("empty element") << "u1"
                                       << "{}"
                                       << "Участник  ·  Вложение"
                                       << ""
                                       << "";
    }
    void messageRow() {
        QFETCH(QString, userId);
        QFETCH(QString, element);
        QFETCH(QString, text);
        QFETCH(QString, address);
        QFETCH(QString, fileName);
        const chat::MessageRow row = chat::messageRow(json(element.toUtf8().constData()), userId);
        QCOMPARE(row.text, text);
        QCOMPARE(row.address, address);
        QCOMPARE(row.fileName, fileName);
    }

    void chatPath_data() {
        QTest::addColumn<QString>("chatId");
        QTest::addColumn<QString>("path");
        QTest::newRow("plain") << "general"
                               << "/auth/flow/web/chats/general/messages";
        QTest::newRow("unreserved kept") << "a-b_c.d~e"
                                         << "/auth/flow/web/chats/a-b_c.d~e/messages";
        QTest::newRow("slash escaped") << "team/design"
                                       << "/auth/flow/web/chats/team%2Fdesign/messages";
        QTest::newRow("reserved escaped")
            << "a?b#c&d=e+f %"
            << "/auth/flow/web/chats/a%3Fb%23c%26d%3De%2Bf%20%25/messages";
        QTest::newRow("dot segments stay inside") << ".."
                                                  << "/auth/flow/web/chats/../messages";
        QTest::newRow("utf-8 bytes") << "чат"
                                     << "/auth/flow/web/chats/%D1%87%D0%B0%D1%82/messages";
    }
    void chatPath() {
        QFETCH(QString, chatId);
        QFETCH(QString, path);
        QCOMPARE(chat::chatPath(chatId, QStringLiteral("messages")), path);
    }

    void uploadPartDisposition_data() {
        QTest::addColumn<QString>("localPath");
        QTest::addColumn<QByteArray>("header");
        const QByteArray head = "form-data; name=\"file\"; filename=\"";
        QTest::newRow("plain") << "/tmp/dir/report.pdf" << head + "report.pdf\"";
        QTest::newRow("backslash and quote") << "/tmp/a\\b\"c.txt" << head + "a_b_c.txt\"";
        QTest::newRow("semicolon unchanged") << "/tmp/a;b.txt" << head + "a;b.txt\"";
        QTest::newRow("non-ASCII as raw UTF-8")
            << "/tmp/Отчёт.txt" << head + QByteArray("Отчёт.txt") + '"';
        QTest::newRow("line break")
            << "/tmp/a\r\nX-Injected: 1.txt" << head + "a__X-Injected: 1.txt\"";
        QTest::newRow("tab, NUL-free controls and DEL")
            << QString::fromUtf8("/tmp/a\tb\x01\x1f\x7f.txt") << head + "a_b___.txt\"";
        QTest::newRow("space and percent unchanged") << "/tmp/a b%20.txt" << head + "a b%20.txt\"";
    }
    void uploadPartDisposition() {
        QFETCH(QString, localPath);
        QFETCH(QByteArray, header);
        QCOMPARE(chat::uploadPartDisposition(localPath), header);
    }

    void proposedSaveName_data() {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("proposed");
        QTest::newRow("plain") << "notes.txt"
                               << "notes.txt";
        QTest::newRow("empty") << ""
                               << "file";
        QTest::newRow("slashes") << "a/b/report.pdf"
                                 << "report.pdf";
        QTest::newRow("backslashes") << "..\\..\\Windows\\evil.exe"
                                     << "evil.exe";
        QTest::newRow("mixed") << "a\\b/c\\d.txt"
                               << "d.txt";
        QTest::newRow("absolute") << "/etc/passwd"
                                  << "passwd";
        QTest::newRow("trailing slash") << "dir/"
                                        << "file";
        QTest::newRow("trailing backslash") << "dir\\"
                                            << "file";
        QTest::newRow("dot") << "."
                             << "file";
        QTest::newRow("dot dot") << ".."
                                 << "file";
        QTest::newRow("dot dot after dirs") << "a/.."
                                            << "file";
        QTest::newRow("dot dot backslash") << "a\\.."
                                           << "file";
        QTest::newRow("three dots are a name") << "..."
                                               << "...";
        QTest::newRow("hidden file") << "x/.bashrc"
                                     << ".bashrc";
    }
    void proposedSaveName() {
        QFETCH(QString, fileName);
        QFETCH(QString, proposed);
        QCOMPARE(chat::proposedSaveName(fileName), proposed);
    }

    void downloadUrl_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("fetched"); // empty: refused
        QTest::newRow("service file") << "https://localhost:8443/auth/flow/web/files/f1"
                                      << "https://localhost:8443/auth/flow/web/files/f1";
        QTest::newRow("service, other path") << "https://localhost/other"
                                             << "https://localhost/other";
        QTest::newRow("upper-case scheme and host") << "HTTPS://LOCALHOST/auth/flow/web/files/f1"
                                                    << "https://localhost/auth/flow/web/files/f1";
        QTest::newRow("www, service files: service host")
            << "https://www.localhost:8443/auth/flow/web/files/f1?x=1"
            << "https://localhost:8443/auth/flow/web/files/f1?x=1";
        QTest::newRow("www, path compared decoded")
            << "https://www.localhost/auth/flow/web%2Ffiles/f1"
            << "https://localhost/auth/flow/web%2Ffiles/f1";
        QTest::newRow("www, other path keeps www") << "https://www.localhost/img/a.png"
                                                   << "https://www.localhost/img/a.png";
        QTest::newRow("www, files path is case-sensitive")
            << "https://www.localhost/Auth/flow/web/files/f1"
            << "https://www.localhost/Auth/flow/web/files/f1";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("http") << "http://localhost/auth/flow/web/files/f1"
                              << "";
        QTest::newRow("relative") << "/auth/flow/web/files/f1"
                                  << "";
        QTest::newRow("no scheme") << "localhost/auth/flow/web/files/f1"
                                   << "";
        QTest::newRow("other host") << "https://example.com/auth/flow/web/files/f1"
                                    << "";
        QTest::newRow("host suffix") << "https://evillocalhost/auth/flow/web/files/f1"
                                     << "";
        QTest::newRow("sub-domain") << "https://a.localhost/auth/flow/web/files/f1"
                                    << "";
        QTest::newRow("www twice") << "https://www.www.localhost/auth/flow/web/files/f1"
                                   << "";
        QTest::newRow("service as prefix") << "https://localhost.example.com/x"
                                           << "";
        QTest::newRow("user info before other host") << "https://localhost@example.com/x"
                                                     << "";
        QTest::newRow("ftp") << "ftp://localhost/x"
                             << "";
        QTest::newRow("wss") << "wss://localhost/x"
                             << "";
        QTest::newRow("file") << "file:///etc/passwd"
                              << "";
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
        QTest::newRow("unknown total") << qint64(5) << qint64(-1) << qint64(-1);
        QTest::newRow("zero total") << qint64(0) << qint64(0) << qint64(-1);
        QTest::newRow("nothing yet") << qint64(0) << qint64(10) << qint64(0);
        QTest::newRow("one of three truncates") << qint64(1) << qint64(3) << qint64(33);
        QTest::newRow("two of three truncates") << qint64(2) << qint64(3) << qint64(66);
        QTest::newRow("almost") << qint64(999) << qint64(1000) << qint64(99);
        QTest::newRow("all") << qint64(26214400) << qint64(26214400) << qint64(100);
        QTest::newRow("beyond 32 bits") << qint64(5000000000) << qint64(10000000000) << qint64(50);
        QTest::newRow("more than the total") << qint64(12) << qint64(10) << qint64(100);
        QTest::newRow("huge total") << qint64(1) << std::numeric_limits<qint64>::max() << qint64(0);
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
