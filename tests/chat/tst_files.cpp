// Upload and download against the local service, and against a scripted one where a broken answer
// is the point: limits, address checks, redirects, safe saving.
#include "tests/support/localservice.h"
#include "tests/support/windowkit.h"

#include <QFileDialog>
#include <QScopeGuard>

using namespace win;

namespace {

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Cancels every file dialog that opens, noting its caption, proposed name and folder.
class FileDialogDriver : public QObject {
public:
    QStringList captions, proposed, folders;
    FileDialogDriver() {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
                captions << dialog->windowTitle();
                proposed << QFileInfo(dialog->selectedFiles().value(0)).fileName();
                folders << dialog->directory().absolutePath();
                dialog->reject();
            }
        });
        timer.start(20);
    }

private:
    QTimer timer;
};

} // namespace

class FilesTest : public QObject {
    Q_OBJECT
    LocalService svc;
    QTemporaryDir work;
    std::unique_ptr<Window> w;
    std::unique_ptr<RequestLog> log;

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        QVERIFY(QDir(work.path()).mkdir(QStringLiteral("Загрузки")));
        QVERIFY(writeFile(work.filePath("user-dirs.dirs"),
                          "XDG_DOWNLOAD_DIR=\"" + work.filePath("Загрузки").toUtf8() + "\"\n"));
        qputenv("XDG_CONFIG_HOME", work.path().toUtf8());
        QVERIFY(svc.start({"--session", "u1:file-token"}));
    }
    void init() {
        w = quietWindow(log, "file-token");
        QVERIFY(w);
    }
    void cleanup() {
        log.reset();
        w.reset();
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
        const auto remove = qScopeGuard([&] { file.remove(); });
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
        FileDialogDriver dialogs;
        w->statusLabel->setText(QStringLiteral("как было"));
        click(*w, "fileButton"); // no chat yet
        w->currentChatId = QStringLiteral("general");
        w->upload();
        QListWidgetItem item;
        item.setData(Qt::UserRole, svc.baseUrl() + "/auth/flow/web/files/x");
        item.setData(Qt::UserRole + 1, QStringLiteral("a/.."));
        w->download(&item);
        QCOMPARE(dialogs.captions, QStringList({"Выберите файл", "Сохранить файл"}));
        QCOMPARE(dialogs.proposed.last(), QStringLiteral("file"));
        QCOMPARE(dialogs.folders.last(), work.filePath("Загрузки"));
        QCOMPARE(w->statusLabel->text(), QStringLiteral("как было"));
        const QString port = QString::number(svc.port());
        for (const QString &refused :
             {QString(), "http://localhost:" + port + "/auth/flow/web/files/x"}) {
            item.setData(Qt::UserRole, refused);
            w->download(&item);
            QCOMPARE(w->statusLabel->text(), QStringLiteral("Недопустимый адрес файла"));
        }
        QVERIFY(settled(*w));
        QCOMPARE(dialogs.captions.size(), 2);
        QCOMPARE(log->entries.size(), 0);
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

QTEST_MAIN(FilesTest)
#include "tst_files.moc"
