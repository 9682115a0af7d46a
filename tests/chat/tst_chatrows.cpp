// The widget-free rules of the chat page, JSON in and values out, and the row-size cache.
#include "chat/attachments.h"
#include "chat/messagerow.h"
#include "chat/rowdelegate.h"
#include "tests/support/testkit.h"

#include <QListWidget>
#include <QStyleOptionViewItem>

namespace {

QStyleOptionViewItem optionFor(const QListWidget &list, int width) {
    QStyleOptionViewItem option;
    option.initFrom(list.viewport());
    option.rect = QRect(0, 0, width, 20);
    option.features |= QStyleOptionViewItem::WrapText;
    return option;
}

void rowsTable();

} // namespace

class ChatRowsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // userId "" reads a chat row: "id|name"; otherwise a message row: "text|address|file name".
    void rows_data() { rowsTable(); }
    void rows() {
        QFETCH(QString, userId);
        QFETCH(QByteArray, element);
        QFETCH(QString, expected);
        if (userId.isEmpty()) {
            const chat::ChatRow r = chat::chatRow(json(element));
            QCOMPARE(r.id + '|' + r.name, expected);
        } else {
            const chat::MessageRow r = chat::messageRow(json(element), userId);
            QCOMPARE(r.text + '|' + r.address + '|' + r.fileName, expected);
        }
    }

    // One function per row: the chat path, the upload part's file name, the proposed save name.
    void names_data() {
        QTest::addColumn<QString>("function");
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        row("path: unreserved kept", "path", "a-b_c.d~e",
            "/auth/flow/web/chats/a-b_c.d~e/messages");
        row("path: slash escaped", "path", "team/design",
            "/auth/flow/web/chats/team%2Fdesign/messages");
        row("path: reserved escaped", "path", "a?b#c&d=e+f %",
            "/auth/flow/web/chats/a%3Fb%23c%26d%3De%2Bf%20%25/messages");
        row("path: utf-8 bytes", "path", "чат", "/auth/flow/web/chats/%D1%87%D0%B0%D1%82/messages");
        row("part: backslash and quote", "part", "/tmp/a\\b\"c.txt", "a_b_c.txt");
        row("part: semicolon, space, percent", "part", "/tmp/a;b %20.txt", "a;b %20.txt");
        row("part: non-ASCII raw", "part", "/tmp/Отчёт.txt", "Отчёт.txt");
        row("part: line break", "part", "/tmp/a\r\nX-Injected: 1.txt", "a__X-Injected: 1.txt");
        row("part: controls and DEL", "part", "/tmp/a\tb\x01\x1f\x7f.txt", "a_b___.txt");
        row("save: plain", "save", "notes.txt", "notes.txt");
        row("save: empty", "save", "", "file");
        row("save: mixed separators", "save", "..\\a/b\\d.txt", "d.txt");
        row("save: trailing slash", "save", "dir/", "file");
        row("save: trailing backslash", "save", "dir\\", "file");
        row("save: dot", "save", ".", "file");
        row("save: dot dot", "save", "a\\..", "file");
        row("save: three dots are a name", "save", "...", "...");
    }
    void names() {
        QFETCH(QString, function);
        QFETCH(QString, in);
        QFETCH(QString, out);
        if (function == "path")
            QCOMPARE(chat::chatPath(in, QStringLiteral("messages")), out);
        else if (function == "part")
            QCOMPARE(chat::uploadPartDisposition(in),
                     "form-data; name=\"file\"; filename=\"" + out.toUtf8() + '"');
        else
            QCOMPARE(chat::proposedSaveName(in), out);
    }

    void downloadUrl_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("fetched"); // empty: refused
        const QString files = "https://localhost:8443/auth/flow/web/files/f1";
        row("service file", "localhost", files, files);
        row("upper-case scheme and host", "localhost", "HTTPS://LOCALHOST/other",
            "https://localhost/other");
        row("www, service files: service host", "localhost",
            "https://www.localhost:8443/auth/flow/web/files/f1?x=1", files + "?x=1");
        row("www, path compared decoded", "localhost",
            "https://www.localhost/auth/flow/web%2Ffiles/f1",
            "https://localhost/auth/flow/web%2Ffiles/f1");
        row("www, other path keeps www", "localhost", "https://www.localhost/img/a.png",
            "https://www.localhost/img/a.png");
        row("www, files path is case-sensitive", "localhost",
            "https://www.localhost/Auth/flow/web/files/f1",
            "https://www.localhost/Auth/flow/web/files/f1");
        row("configured host in any case", "Tovik.Example",
            "https://www.tovik.example/auth/flow/web/files/f",
            "https://tovik.example/auth/flow/web/files/f");
        row("another configured host", "tovik.example", "https://localhost/x", "");
        for (const char *refused :
             {"http://localhost/auth/flow/web/files/f1", "/auth/flow/web/files/f1",
              "https://evillocalhost/x", "https://a.localhost/x", "https://www.www.localhost/x",
              "https://localhost.example.com/x", "https://localhost@example.com/x",
              "file:///etc/passwd"})
            row(refused, "localhost", QString::fromLatin1(refused), QString());
    }
    void downloadUrl() {
        QFETCH(QString, host);
        QFETCH(QString, address);
        QFETCH(QString, fetched);
        const std::optional<QUrl> url = chat::downloadUrl(address, host);
        QCOMPARE(url ? url->toString(QUrl::FullyEncoded) : QString(), fetched);
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

    // The same sizes as the default delegate, keyed by width and text, and bounded across
    // rebuilds and resizes.
    void rowSizeCache() {
        QListWidget list;
        list.setWordWrap(true);
        auto *cache = chat::CachedRowDelegate::of(&list);
        QCOMPARE(chat::CachedRowDelegate::of(&list), cache);
        QCOMPARE(list.itemDelegate(), cache);
        const QString longText = "Борис  ·  " + QString(60, 'w').replace("ww", "w ");
        list.addItems({QStringLiteral("Вы  ·  коротко"), longText, QString()});
        QStyledItemDelegate plain;
        for (int width : {380, 90}) {
            for (int i = 0; i < 3; ++i) {
                const QModelIndex index = list.model()->index(i, 0);
                const QSize expected = plain.sizeHint(optionFor(list, width), index);
                QCOMPARE(cache->sizeHint(optionFor(list, width), index), expected);
                QCOMPARE(cache->sizeHint(optionFor(list, width), index), expected);
                cache->nextGeneration();
                QCOMPARE(cache->sizeHint(optionFor(list, width), index), expected);
            }
        }
        const QModelIndex first = list.model()->index(0, 0);
        const QSize before = cache->sizeHint(optionFor(list, 90), first);
        list.item(0)->setText(longText);
        QCOMPARE(cache->sizeHint(optionFor(list, 90), first),
                 plain.sizeHint(optionFor(list, 90), list.model()->index(1, 0)));
        list.item(0)->setText(QStringLiteral("Вы  ·  коротко"));
        QCOMPARE(cache->sizeHint(optionFor(list, 90), first), before);

        for (int rebuild = 0; rebuild < 6; ++rebuild) {
            cache->nextGeneration();
            list.clear();
            for (int i = 0; i < 100; ++i)
                list.addItem(QStringLiteral("сообщение %1 / %2").arg(i).arg(rebuild));
            for (int i = 0; i < list.count(); ++i)
                cache->sizeHint(optionFor(list, 300), list.model()->index(i, 0));
            QVERIFY2(cache->cachedCount() <= 200, "more than two rebuilds held");
        }
        for (int width = 1; width <= 60000; ++width)
            cache->sizeHint(optionFor(list, width), list.model()->index(0, 0));
        QVERIFY2(cache->cachedCount() <= 100000, qPrintable(QString::number(cache->cachedCount())));
    }
};

namespace {

// Kept out of the class: its literals confuse the meta-object compiler.
void rowsTable() {
    QTest::addColumn<QString>("userId");
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<QString>("expected");
    row("chat", "", QByteArray(R"({"id":"team/design","name":"Дизайн"})"), "team/design|Дизайн");
    row("chat: numeric name", "", QByteArray(R"({"id":"a","name":5})"), "a|Чат");
    row("chat: empty name stays", "", QByteArray(R"({"id":"a","name":""})"), "a|");
    row("chat: numeric id", "", QByteArray(R"({"id":7,"name":"x"})"), "|x");
    row("own text", "u1", QByteArray(R"({"type":"TEXT","content":"a\nb","senderId":"u1"})"),
        "Вы  ·  a\nb||");
    row("other's text", "u1",
        QByteArray(R"({"type":"TEXT","content":"Да","senderId":"u2","senderName":"Б"})"),
        "Б  ·  Да||");
    row("numeric sender name", "u1",
        QByteArray(R"({"type":"TEXT","content":"Да","senderId":"u2","senderName":3})"),
        "Участник  ·  Да||");
    row("no sender id", "u1", QByteArray(R"({"type":"TEXT","content":"Да","senderName":"Б"})"),
        "Б  ·  Да||");
    row("text keeps its media", "u1",
        QByteArray(R"({"type":"TEXT","content":"см.","mediaUrl":"https://h/f1","senderId":"u1"})"),
        "Вы  ·  см.|https://h/f1|");
    row("text content is no address", "u1",
        QByteArray(R"({"type":"TEXT","content":"https://localhost/x","senderId":"u1"})"),
        "Вы  ·  https://localhost/x||");
    row("deleted", "u1",
        QByteArray(R"({"type":"DELETED","content":"","senderId":"u2","senderName":"Б"})"),
        "Б  ·  Сообщение удалено||");
    row("file", "u1",
        QByteArray(
            R"({"type":"FILE","fileName":"notes.txt","mediaUrl":"https://h/f1","senderId":"u1"})"),
        "Вы  ·  notes.txt|https://h/f1|notes.txt");
    row("file name not a string", "u1",
        QByteArray(R"({"type":"IMAGE","fileName":[1],"senderId":"u1"})"), "Вы  ·  Вложение||");
    row("empty media falls back to content", "u1",
        QByteArray(R"({"type":"FILE","mediaUrl":"","content":"https://h/f1","senderId":"u1"})"),
        "Вы  ·  Вложение|https://h/f1|");
    row("type is case-sensitive", "u1",
        QByteArray(R"({"type":"text","content":"hi","senderId":"u1"})"), "Вы  ·  Вложение|hi|");
    row("text content not a string", "u1",
        QByteArray(R"({"type":"TEXT","content":{},"senderId":"u1"})"), "Вы  ·  ||");
    row("empty element", "u1", QByteArray("{}"), "Участник  ·  Вложение||");
}

} // namespace

QTEST_MAIN(ChatRowsTest)
#include "tst_chatrows.moc"
