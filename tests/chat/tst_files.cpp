// Upload and download against the local service (and a stub where the raw request or a broken
// answer is the point): limits, part header bytes, progress, address checks, safe saving.
#include "chatfixture.h"

#include "tests/support/localservice.h"
#include "tests/support/testutil.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <memory>

#include <sys/resource.h>

using namespace chattest;

namespace {

constexpr auto Get = QNetworkAccessManager::GetOperation;
constexpr auto Post = QNetworkAccessManager::PostOperation;

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// The one reply of the window now in flight to a path containing pathPart.
QNetworkReply *replyTo(Window &w, const QString &pathPart) {
    const auto replies = w.net.findChildren<QNetworkReply *>(Qt::FindDirectChildrenOnly);
    for (QNetworkReply *reply : replies) {
        if (reply->isRunning() && reply->url().path(QUrl::FullyEncoded).contains(pathPart))
            return reply;
    }
    return nullptr;
}

// Answers every file dialog that opens: notes its caption and proposed name, then accepts it
// with `answer` or, when that is empty, cancels it.
class FileDialogDriver : public QObject {
public:
    QString answer;
    QStringList captions;
    QStringList proposed;
    QStringList folders;

    FileDialogDriver() {
        connect(&timer, &QTimer::timeout, this, [this] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            captions << dialog->windowTitle();
            const QStringList selected = dialog->selectedFiles();
            proposed << (selected.isEmpty() ? QString() : QFileInfo(selected.first()).fileName());
            folders << dialog->directory().absolutePath();
            if (answer.isEmpty()) {
                dialog->reject();
            } else {
                dialog->selectFile(answer);
                // The dialog may still be filling in the proposed name; the typed text is what
                // counts on accept.
                if (auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                    edit->setText(answer);
                static_cast<QDialog *>(dialog)->accept(); // protected in QFileDialog
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
private:
    LocalService svc;
    QTemporaryDir work;
    QByteArray bigBytes;
    std::unique_ptr<Window> w;
    std::unique_ptr<RequestLog> log;

    QString workPath(const QString &name) const { return work.filePath(name); }

    // The address of the first attachment in "general" called fileName.
    QString attachmentAddress(const QString &fileName) {
        QString address;
        bool done = false;
        w->call(QStringLiteral("/auth/flow/web/chats/general/messages"), QJsonObject(), false,
                [&](QJsonObject reply, QString) {
                    for (const QJsonValue &m : reply.value(QStringLiteral("messages")).toArray()) {
                        if (address.isEmpty() &&
                            m.toObject().value(QStringLiteral("fileName")).toString() == fileName)
                            address = m.toObject().value(QStringLiteral("mediaUrl")).toString();
                    }
                    done = true;
                });
        [&] { QVERIFY(waitUntil([&] { return done; })); }();
        return address;
    }

    QStringList otherFilesThan(const QString &dir, const QString &name) const {
        QStringList names = QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
        names.removeAll(name);
        return names;
    }

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        QVERIFY(work.isValid());
        bigBytes = QByteArray(8 * 1024 * 1024 + 124, Qt::Uninitialized);
        QRandomGenerator(42).fillRange(reinterpret_cast<quint32 *>(bigBytes.data()),
                                       bigBytes.size() / 4);
        QVERIFY(writeFile(workPath("big.bin"), bigBytes));
        QVERIFY(svc.start({QStringLiteral("--session"), QStringLiteral("u1:file-token"),
                           QStringLiteral("--big-file"), workPath("big.bin")}));
    }

    void init() {
        w = openQuietWindow(log);
        QVERIFY(w);
        setSession(*w, "file-token");
        w->userId = QStringLiteral("u1");
    }
    void cleanup() {
        log.reset();
        w.reset();
    }

    void uploadLimit_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size"); // -1: no such file, -2: a folder
        QTest::addColumn<bool>("accepted");
        QTest::newRow("exactly 25 MiB is sent") << "limit.bin" << qint64(26214400) << true;
        QTest::newRow("one byte more is refused") << "over.bin" << qint64(26214401) << false;
        QTest::newRow("empty file is sent") << "empty.txt" << qint64(0) << true;
        QTest::newRow("missing file is refused") << "missing.bin" << qint64(-1) << false;
        QTest::newRow("folder is refused") << "folder" << qint64(-2) << false;
    }
    void uploadLimit() {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(bool, accepted);
        const QString path = workPath(name);
        QFile file(path);
        QVERIFY(size < 0 || (file.open(QIODevice::WriteOnly) && file.resize(size)));
        QVERIFY(size != -2 || QDir(work.path()).mkdir(name));
        w->currentChatId = QStringLiteral("team/design");
        w->uploadPath(path);
        QDir().rmdir(path);
        file.remove();
        if (!accepted) {
            QCOMPARE(w->statusLabel->text(), QStringLiteral("Файл недоступен или больше 25 МБ"));
            QTest::qWait(200);
            QCOMPARE(log->count(Post, "/files"), 0);
            return;
        }
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Отправляем файл…"));
        QNetworkReply *reply = replyTo(*w, "/files");
        QVERIFY(reply);
        QString finishedText;
        connect(reply, &QNetworkReply::finished, this,
                [&] { finishedText = w->statusLabel->text(); });
        QStringList wrong;
        int shown = 0;
        connect(reply, &QNetworkReply::uploadProgress, this, [&](qint64 sent, qint64 total) {
            if (total <= 0)
                return;
            ++shown;
            if (w->statusLabel->text() != QStringLiteral("Загрузка %1%").arg(sent * 100 / total))
                wrong << w->statusLabel->text() + " for " + QString::number(sent);
        });
        QVERIFY(waitUntil([&] { return log->count(Post, "/files") == 1; }, 60000));
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join("; ")));
        QVERIFY(size == 0 || shown > 0);
        QCOMPARE(finishedText, QStringLiteral("Файл отправлен"));
        const RequestLog::Entry sent = log->entries.first();
        QCOMPARE(sent.status, 201);
        QCOMPARE(sent.transferTimeout, 30000);
        QCOMPARE(sent.path, QStringLiteral("/auth/flow/web/chats/team%2Fdesign/files"));
        // The reload that follows shows the new attachment and clears the text.
        QVERIFY(waitUntil([&] { return log->count(Get, "/messages") == 1; }));
        QVERIFY(w->statusLabel->text().isEmpty());
        QCOMPARE(rowTexts(w->messageList).last(), QStringLiteral("Вы  ·  ") + name);
    }

    void failedUploadSaysSo() {
        const QString path = workPath("small.txt");
        QVERIFY(writeFile(path, "hello"));
        w->currentChatId = QStringLiteral("u2-u3"); // a chat of others
        w->uploadPath(path);
        QVERIFY(waitUntil([&] { return log->count(Post, "/files") == 1; }));
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Не удалось отправить файл"));
        QTest::qWait(200);
        QCOMPARE(log->count(Get, "/messages"), 0);
    }

    // The local service parses the form; only a stub sees the bytes the client wrote.
    // A hostile name: non-ASCII stays raw UTF-8, quote, backslash and controls become "_".
    void uploadPartHeaderBytes() {
        const QString name = QStringLiteral("Отчёт a\\b\"c;d\r\nContent-Type: evil\t\x7f.txt");
        const QByteArray sentName = "Отчёт a_b_c;d__Content-Type: evil__.txt";
        StubServer stub;
        stub.respond = chatRoutesOnly;
        QVERIFY(stub.start());
        std::unique_ptr<RequestLog> stubLog;
        const std::unique_ptr<Window> local = openStubWindow(stub, stubLog, svc.port());
        QVERIFY(local);

        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        const QByteArray content = "line one\r\n--not a boundary\r\n\0end";
        QVERIFY2(writeFile(path, content), qPrintable(path));
        local->currentChatId = QStringLiteral("team/design");
        local->uploadPath(path);
        QVERIFY(waitUntil([&] { return stubLog->count(Post, "/files") == 1; }));
        QVERIFY(!stub.requests.isEmpty()); // the upload, then perhaps the reload
        const QByteArray request = stub.requests.first();
        QVERIFY2(request.startsWith("POST /auth/flow/web/chats/team%2Fdesign/files HTTP/1.1\r\n"),
                 request.left(80).constData());
        QCOMPARE(StubServer::header(request, "origin"), local->baseUrl.toUtf8());
        const QByteArray type = StubServer::header(request, "content-type");
        QVERIFY2(type.startsWith("multipart/form-data; boundary="), type.constData());
        QByteArray boundary = type.mid(type.indexOf('=') + 1);
        if (boundary.startsWith('"'))
            boundary = boundary.mid(1, boundary.size() - 2);
        const QByteArray expected =
            "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
            sentName + "\"\r\n\r\n" + content + "\r\n--" + boundary + "--\r\n";
        QCOMPARE(StubServer::body(request), expected);
    }

    void cancelledDialogsSendNothing() {
        FileDialogDriver dialogs;
        w->statusLabel->setText(QStringLiteral("как было"));
        QTest::mouseClick(w->findChild<QPushButton *>(QStringLiteral("fileButton")),
                          Qt::LeftButton);
        QTest::qWait(100);
        QVERIFY2(dialogs.captions.isEmpty(), "a dialog opened without a chat");
        w->currentChatId = QStringLiteral("general");
        w->upload();
        QListWidgetItem row(QStringLiteral("Вы  ·  x"));
        row.setData(Qt::UserRole, svc.baseUrl() + "/auth/flow/web/files/x");
        row.setData(Qt::UserRole + 1, QStringLiteral("a/.."));
        // The desktop's downloads folder, wherever the user's settings put it.
        QVERIFY(QDir(work.path()).mkpath(QStringLiteral("config/Загрузки")));
        QFile dirs(workPath(QStringLiteral("config/user-dirs.dirs")));
        QVERIFY(dirs.open(QIODevice::WriteOnly));
        dirs.write("XDG_DOWNLOAD_DIR=\"" + workPath(QStringLiteral("config/Загрузки")).toUtf8() +
                   "\"\n");
        dirs.close();
        qputenv("XDG_CONFIG_HOME", workPath(QStringLiteral("config")).toUtf8());
        w->download(&row);
        qunsetenv("XDG_CONFIG_HOME");
        QCOMPARE(dialogs.captions, QStringList({"Выберите файл", "Сохранить файл"}));
        QCOMPARE(dialogs.proposed.last(), QStringLiteral("file"));
        QCOMPARE(dialogs.folders.last(), workPath(QStringLiteral("config/Загрузки")));
        QTest::qWait(100);
        QCOMPARE(log->entries.size(), 0);
        QCOMPARE(w->statusLabel->text(), QStringLiteral("как было"));
    }

    void refusedAttachmentAddresses_data() {
        QTest::addColumn<QString>("address");
        const QString port = QString::number(svc.port());
        QTest::newRow("plain text row (empty)") << "";
        QTest::newRow("http") << "http://localhost:" + port + "/auth/flow/web/files/x";
        QTest::newRow("loopback address, not the host name")
            << "https://127.0.0.1:" + port + "/auth/flow/web/files/x";
        QTest::newRow("relative") << "/auth/flow/web/files/x";
    }
    void refusedAttachmentAddresses() {
        QFETCH(QString, address);
        FileDialogDriver dialogs;
        QListWidgetItem row(QStringLiteral("Вы  ·  x.txt"));
        row.setData(Qt::UserRole, address);
        row.setData(Qt::UserRole + 1, QStringLiteral("x.txt"));
        w->download(&row);
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Недопустимый адрес файла"));
        QTest::qWait(50);
        QVERIFY(dialogs.captions.isEmpty());
        QCOMPARE(log->entries.size(), 0);
    }

    // Asked for under "www.", from a row whose name carries a folder: fetched from the service
    // host, streamed to disk with progress, the target only appearing at the end.
    void downloadStreamsToDiskWithProgress() {
        QString address = attachmentAddress(QStringLiteral("big.bin"));
        QVERIFY(address.startsWith(svc.baseUrl()));
        address.replace(QStringLiteral("https://localhost"),
                        QStringLiteral("https://www.localhost"));
        QTemporaryDir dir;
        FileDialogDriver dialogs;
        dialogs.answer = dir.filePath("saved.bin");
        log->entries.clear();

        QListWidgetItem row(QStringLiteral("Вы  ·  big.bin"));
        row.setData(Qt::UserRole, address);
        row.setData(Qt::UserRole + 1, QStringLiteral("папка\\big.bin"));
        w->download(&row);
        QCOMPARE(dialogs.proposed, QStringList{QStringLiteral("big.bin")});
        QNetworkReply *reply = replyTo(*w, "/files/");
        QVERIFY(reply);
        QCOMPARE(reply->url().host(), QStringLiteral("localhost"));
        QStringList wrong;
        int progressShown = 0;
        connect(reply, &QNetworkReply::downloadProgress, this, [&](qint64 got, qint64 total) {
            if (total <= 0)
                return;
            ++progressShown;
            if (w->statusLabel->text() != QStringLiteral("Скачивание %1%").arg(got * 100 / total))
                wrong << w->statusLabel->text();
        });
        // Seen after the window's own handler has taken what arrived.
        qint64 mostBuffered = 0;
        qint64 mostOnDisk = 0; // written before the reply finished
        connect(reply, &QNetworkReply::readyRead, this, [&] {
            mostBuffered = std::max(mostBuffered, reply->bytesAvailable());
            // The save file's temporary may have no name on disk; ask the save file itself.
            if (const auto *save = reply->findChild<QSaveFile *>())
                mostOnDisk = std::max(mostOnDisk, save->pos());
            if (QFile::exists(dialogs.answer))
                wrong << "target written before the end";
        });
        QVERIFY(waitUntil([&] { return log->entries.size() == 1; }, 60000));
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Файл сохранён"));
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join("; ")));
        QVERIFY(progressShown > 0);
        QVERIFY2(mostOnDisk > 1024 * 1024,
                 qPrintable(QString::number(mostOnDisk) + " bytes on disk before the end"));
        QVERIFY2(mostBuffered <= 2 * 1024 * 1024,
                 qPrintable(QString::number(mostBuffered) + " bytes held by the reply"));
        QVERIFY(readFile(dialogs.answer) == bigBytes);
        QCOMPARE(otherFilesThan(dir.path(), "saved.bin"), QStringList());
        QCOMPARE(log->entries.first().transferTimeout, 30000);
    }

    void failedDownloadKeepsTheTarget_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("status");
        QTest::newRow("error page with a body (500)") << "500"
                                                      << "Не удалось скачать файл";
        QTest::newRow("connection cut half-way") << "cut"
                                                 << "Не удалось скачать файл";
        QTest::newRow("nobody listening") << "refused"
                                          << "Не удалось скачать файл";
        QTest::newRow("target is a folder") << "folder"
                                            << "Не удалось сохранить файл";
        QTest::newRow("disk fills up half-way") << "full"
                                                << "Не удалось сохранить файл";
    }
    void failedDownloadKeepsTheTarget() {
        QFETCH(QString, how);
        QFETCH(QString, status);
        StubServer stub;
        stub.respond = [how](const QByteArray &) {
            if (how == "500")
                return httpAnswer(500, "<html>oops</html>", "text/html");
            return QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n") +
                   QByteArray(how == "cut" ? 50000 : 100000, 'x');
        };
        QVERIFY(stub.start());
        QUrl url(QStringLiteral("https://localhost:%1/auth/flow/web/files/f").arg(stub.port()));
        if (how == "refused") {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            url.setPort(closed.serverPort());
        }

        QTemporaryDir dir;
        QString target = dir.filePath("kept.txt");
        QVERIFY(writeFile(target, "old contents"));
        if (how == "folder") {
            QVERIFY(QDir(dir.path()).mkdir("sub"));
            target = dir.filePath("sub");
        }
        rlimit original{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &original) == 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        const auto restore = qScopeGuard([&] {
            setrlimit(RLIMIT_FSIZE, &original);
            std::signal(SIGXFSZ, previousHandler);
        });
        rlimit limited = original;
        limited.rlim_cur = 10000;
        QVERIFY(how != "full" || setrlimit(RLIMIT_FSIZE, &limited) == 0);
        w->statusLabel->clear();
        w->downloadTo(url, target);
        const bool sent = how != "folder";
        if (sent)
            QVERIFY(waitUntil([&] { return log->entries.size() == 1; }));
        QCOMPARE(w->statusLabel->text(), status);
        QCOMPARE(readFile(dir.filePath("kept.txt")), QByteArray("old contents"));
        QCOMPARE(otherFilesThan(dir.path(), "kept.txt"), QStringList());
        if (!sent) {
            QTest::qWait(100);
            QCOMPARE(log->entries.size(), 0);
        }
    }
};

QTEST_MAIN(FilesTest)
#include "tst_files.moc"
