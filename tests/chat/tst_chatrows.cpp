// The widget-free rules of the chat page, text in and values out, and the row-size cache.
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

void rulesTable();

} // namespace

class ChatRowsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // One function per row: a message row as user u1 sees it ("text|address|file name"), the
    // chat path, the upload part's file name, the proposed save name, the address fetched.
    void rules_data() { rulesTable(); }
    void rules() {
        QFETCH(QString, function);
        QFETCH(QString, in);
        QFETCH(QString, out);
        if (function == "row") {
            const chat::MessageRow r = chat::messageRow(json(in.toUtf8()), QStringLiteral("u1"));
            QCOMPARE(r.text + '|' + r.address + '|' + r.fileName, out);
        } else if (function == "path") {
            QCOMPARE(chat::chatPath(in, QStringLiteral("messages")), out);
        } else if (function == "part") {
            QCOMPARE(chat::uploadPartDisposition(in),
                     "form-data; name=\"file\"; filename=\"" + out.toUtf8() + '"');
        } else if (function == "save") {
            QCOMPARE(chat::proposedSaveName(in), out);
        } else {
            const std::optional<QUrl> url = chat::downloadUrl(in, QStringLiteral("localhost"));
            QCOMPARE(url ? url->toString(QUrl::FullyEncoded) : QString(), out);
        }
    }

    // The same sizes as the default delegate, keyed by width and text, and bounded across
    // rebuilds and resizes.
    void rowSizeCache() {
        QListWidget list;
        list.setWordWrap(true);
        auto *cache = chat::CachedRowDelegate::of(&list);
        const QString shortText = QStringLiteral("Вы  ·  коротко");
        list.addItem(shortText);
        const QModelIndex row = list.model()->index(0, 0);
        QStyledItemDelegate plain;
        for (int width : {380, 90, 380})
            for (const QString &text :
                 {shortText, "Борис  ·  " + QString(60, 'w').replace("ww", "w "), QString()}) {
                list.item(0)->setText(text);
                QCOMPARE(cache->sizeHint(optionFor(list, width), row),
                         plain.sizeHint(optionFor(list, width), row));
            }
        for (int width = 1; width <= 110000; ++width) // more than both generations hold
            cache->sizeHint(optionFor(list, width), row);
        QVERIFY2(cache->cachedCount() <= 100000, qPrintable(QString::number(cache->cachedCount())));
    }
};

namespace {

// Kept out of the class: its literals confuse the meta-object compiler.
void rulesTable() {
    QTest::addColumn<QString>("function");
    QTest::addColumn<QString>("in");
    QTest::addColumn<QString>("out");
    row("row: text keeps its media", "row",
        R"({"type":"TEXT","content":"см.","mediaUrl":"https://h/f1","senderId":"u1"})",
        "Вы  ·  см.|https://h/f1|");
    row("row: text content is no address", "row",
        R"({"type":"TEXT","content":"https://localhost/x","senderId":"u1"})",
        "Вы  ·  https://localhost/x||");
    row("row: deleted", "row",
        R"({"type":"DELETED","content":"","senderId":"u2","senderName":"Б"})",
        "Б  ·  Сообщение удалено||");
    row("row: file", "row",
        R"({"type":"FILE","fileName":"notes.txt","mediaUrl":"https://h/f1","senderId":"u1"})",
        "Вы  ·  notes.txt|https://h/f1|notes.txt");
    row("row: empty element", "row", "{}", "Участник  ·  Вложение||");
    row("path: slash escaped", "path", "team/design",
        "/auth/flow/web/chats/team%2Fdesign/messages");
    // The network stack would drop these segments: no path is made for them.
    row("path: dot", "path", ".", "");
    row("path: dot dot", "path", "..", "");
    row("path: three dots are a name", "path", "...", "/auth/flow/web/chats/.../messages");
    row("part: backslash and quote", "part", "/tmp/a\\b\"c.txt", "a_b_c.txt");
    row("part: controls and DEL", "part", "/tmp/a\r\nX: 1\tb\x01\x1f\x7f.txt", "a__X: 1_b___.txt");
    row("save: empty", "save", "", "file");
    row("save: mixed separators", "save", "..\\a/b\\d.txt", "d.txt");
    row("save: dot dot", "save", "a\\..", "file");
    const QString files = "https://localhost:8443/auth/flow/web/files/f1";
    row("url: service file", "url", files, files);
    row("url: www, service files: service host", "url",
        "https://www.localhost:8443/auth/flow/web/files/f1?x=1", files + "?x=1");
    for (const char *refused :
         {"http://localhost/auth/flow/web/files/f1", "/auth/flow/web/files/f1",
          "https://evillocalhost/x", "https://a.localhost/x", "https://www.www.localhost/x",
          "https://localhost.example.com/x", "https://localhost@example.com/x",
          "file:///etc/passwd"})
        row(refused, "url", QString::fromLatin1(refused), QString());
}

} // namespace

QTEST_MAIN(ChatRowsTest)
#include "tst_chatrows.moc"
