// The chat page against the local service: the chat list, selection kept across refreshes,
// search, the message view with its scroll rule, sending, the loading guard and bad chat ids;
// upload and download, also against a scripted service where a broken answer is the point: limits,
// address checks, redirects, safe saving.
#include "tests/support/localservice.h"
#include "tests/support/windowkit.h"

#include <QFileDialog>
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
    QTemporaryDir work;
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
        QVERIFY(QDir(work.path()).mkdir(QStringLiteral("Загрузки")));
        QVERIFY(writeFile(work.filePath("user-dirs.dirs"),
                          "XDG_DOWNLOAD_DIR=\"" + work.filePath("Загрузки").toUtf8() + "\"\n"));
        qputenv("XDG_CONFIG_HOME", work.path().toUtf8());
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
        w->searchEdit->setText(search);
        w->rebuildChats(json(reply), QString());
        QCOMPARE(seenRows(w->chatList), rows);
        QCOMPARE(w->currentChatId, selected);
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
        // "meanwhile" empty: the input is left alone; "after": "posts|input|status|last row" (""
        // row: no reload)
        for (const char *column : {"chat", "typed", "meanwhile", "after"})
            QTest::addColumn<QString>(column);
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

    // size -1: no such file. A sent file reloads the chat.
    void upload_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("status");
        const QString refused = QStringLiteral("Файл недоступен или больше 25 МБ");
        row("exactly 25 MiB is sent", qint64(26214400), QString());
        row("one byte more is refused", qint64(26214401), refused);
        row("missing file is refused", qint64(-1), refused);
        row("refused by the service", qint64(5), QStringLiteral("Не удалось отправить файл"));
    }
    void upload() {
        QFETCH(qint64, size);
        QFETCH(QString, status);
        const QString path = work.filePath(QStringLiteral("up-%1.bin").arg(size));
        QFile file(path);
        QVERIFY(size < 0 || (file.open(QIODevice::WriteOnly) && file.resize(size)));
        const bool foreign = size == 5; // a chat of others: the service refuses
        w->currentChatId = foreign ? QStringLiteral("u2-u3") : QStringLiteral("team/design");
        w->uploadPath(path);
        QVERIFY(settled(*w));
        QCOMPARE(w->statusLabel->text(), status);
        QCOMPARE(log->count(Post, "/files"), int(status.isEmpty() || foreign));
        QCOMPARE(log->count(Get, "/messages"), int(status.isEmpty()));
        const QStringList shown = rowTexts(w->messageList);
        QCOMPARE(shown.isEmpty() ? QString() : shown.last(),
                 status.isEmpty() ? "Вы  ·  " + QFileInfo(path).fileName() : QString());
    }

    // Cancelled dialogs and refused addresses send nothing; no chat opens no dialog. The save
    // dialog opens in the desktop's downloads folder, wherever the user's settings put it.
    void nothingSent() {
        QStringList captions;
        QString proposed, folder;
        QTimer driver; // cancels every file dialog that opens
        connect(&driver, &QTimer::timeout, this, [&] {
            if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
                captions << dialog->windowTitle();
                proposed = QFileInfo(dialog->selectedFiles().value(0)).fileName();
                folder = dialog->directory().absolutePath();
                dialog->reject();
            }
        });
        driver.start(20);
        w->findChild<QPushButton *>("fileButton")->click(); // no chat yet
        w->currentChatId = QStringLiteral("general");
        w->upload();
        QListWidgetItem item;
        item.setData(Qt::UserRole, svc.baseUrl() + "/auth/flow/web/files/x");
        item.setData(Qt::UserRole + 1, QStringLiteral("a/.."));
        w->download(&item);
        QCOMPARE(captions, QStringList({"Выберите файл", "Сохранить файл"}));
        QCOMPARE(proposed + ' ' + folder, "file " + work.filePath("Загрузки"));
        const QString port = QString::number(svc.port());
        for (const QString &refused :
             {QString(), "http://localhost:" + port + "/auth/flow/web/files/x"}) {
            item.setData(Qt::UserRole, refused);
            w->download(&item);
            QCOMPARE(w->statusLabel->text(), QStringLiteral("Недопустимый адрес файла"));
        }
        QVERIFY(settled(*w));
        QCOMPARE(captions.size(), 2);
        QCOMPARE(log->entries.size(), 0);
    }

    // A history past the reply limit is said, and the refresh stops fetching it until the chat is
    // selected anew.
    void historyPastTheLimit() {
        StubServer stub;
        QVERIFY(stub.listen());
        const QByteArray huge =
            "{\"messages\":[{\"content\":\"" + QByteArray(17 << 20, 'x') + "\"}]}";
        stub.respond = [&](const StubRequest &r) {
            return r.path.contains("/messages") ? stubJson(200, huge) : stubJson(401, "{}");
        };
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        std::unique_ptr<RequestLog> stubLog;
        const std::unique_ptr<Window> local = quietWindow(stubLog);
        servicetesthook::pointAt(QStringLiteral("localhost"), svc.port());
        QVERIFY(local);
        local->rebuildChats(json(R"({"chats":[{"id":"a"},{"id":"b"}]})"), {});
        for (const int row : {0, 1}) {
            local->chatList->setCurrentRow(row);
            QVERIFY(waitUntil([&] { return !local->messagesLoading; }));
            QCOMPARE(local->statusLabel->text(),
                     QStringLiteral("История чата больше 16 МБ, её нельзя показать"));
            QCOMPARE(local->messageList->count(), 0);
            local->loadMessages(); // the refresh tick
            QVERIFY(!local->messagesLoading);
        }
        QCOMPARE(stubLog->count(Get, "/messages"), 2);
    }

    // Saved whole under the chosen name; a failed download leaves the target as it was.
    void download_data() {
        QTest::addColumn<QString>("how");
        for (const char *how : {"error page", "cut half-way", "redirect", "folder", "saved"})
            row(how, QString::fromLatin1(how));
    }
    void download() {
        QFETCH(QString, how);
        const QString status = how == "saved" ? QStringLiteral("Файл сохранён")
                               : how == "folder" ? QStringLiteral("Не удалось сохранить файл")
                                                 : QStringLiteral("Не удалось скачать файл");
        StubServer stub, elsewhere;
        QVERIFY(stub.listen() && elsewhere.listen());
        const QByteArray body(100000, 'x');
        const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
        stub.respond = [&](const StubRequest &) {
            StubReply reply = stubJson(how == "error page" ? 500 : 302, "<html>oops</html>");
            if (how == "redirect") // to another host
                reply.headers << "Location: https://127.0.0.1:" +
                                     QByteArray::number(elsewhere.port()) + "/f";
            else if (how != "error page")
                reply.raw = head + (how == "cut half-way" ? body.left(50000) : body);
            return reply;
        };
        elsewhere.respond = [&](const StubRequest &) { return stubJson(200, body); };
        const QUrl url(
            QStringLiteral("https://localhost:%1/auth/flow/web/files/f").arg(stub.port()));
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("kept.txt"), "old contents"));
        const QString target = dir.filePath(how == "folder" ? "sub" : "kept.txt");
        QVERIFY(how != "folder" || QDir(dir.path()).mkdir("sub"));
        w->downloadTo(url, target);
        QVERIFY(settled(*w));
        QCOMPARE(w->statusLabel->text(), status);
        QFile kept(dir.filePath("kept.txt"));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), how == "saved" ? body : "old contents");
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"kept.txt"});
        QCOMPARE(log->entries.size(), how == "folder" ? 0 : 1);
        QCOMPARE(elsewhere.requests.size(), 0);
    }
};

QTEST_MAIN(ChatTest)
#include "tst_chat.moc"
