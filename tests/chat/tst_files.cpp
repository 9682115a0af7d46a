// Upload and download against the local service, and against a scripted one where the raw request
// or a broken answer is the point: limits, part header bytes, progress, address checks, redirects,
// safe saving.
#include "tests/support/localservice.h"
#include "tests/support/windowkit.h"

#include <QFileDialog>
#include <QJsonArray>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QScopeGuard>

#include <csignal>

#include <sys/resource.h>

using namespace win;

namespace {

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QStringList filesIn(const QString &dir) {
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

// The one reply of the window in flight to a path containing pathPart.
QNetworkReply *replyTo(Window &w, const QString &pathPart) {
    for (QNetworkReply *reply : w.net.findChildren<QNetworkReply *>(Qt::FindDirectChildrenOnly))
        if (reply->isRunning() && reply->url().path(QUrl::FullyEncoded).contains(pathPart))
            return reply;
    return nullptr;
}

// Answers every file dialog that opens: notes its caption and proposed name, then accepts it with
// `answer` or, when that is empty, cancels it.
class FileDialogDriver : public QObject {
public:
    QString answer;
    QStringList captions, proposed;
    FileDialogDriver() {
        connect(&timer, &QTimer::timeout, this, [this] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            captions << dialog->windowTitle();
            proposed << QFileInfo(dialog->selectedFiles().value(0)).fileName();
            if (answer.isEmpty())
                return dialog->reject();
            dialog->selectFile(answer);
            if (auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                edit->setText(answer);
            static_cast<QDialog *>(dialog)->accept();
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
    QByteArray bigBytes;
    std::unique_ptr<Window> w;
    std::unique_ptr<RequestLog> log;

    QListWidgetItem attachment(const QString &address, const QString &name) {
        QListWidgetItem item(QStringLiteral("Вы  ·  ") + name);
        item.setData(Qt::UserRole, address);
        item.setData(Qt::UserRole + 1, name);
        return item;
    }

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        bigBytes = QByteArray(8 * 1024 * 1024 + 124, Qt::Uninitialized);
        QRandomGenerator(42).fillRange(reinterpret_cast<quint32 *>(bigBytes.data()),
                                       bigBytes.size() / 4);
        QVERIFY(writeFile(work.filePath("big.bin"), bigBytes));
        QVERIFY(svc.start({"--session", "u1:file-token", "--big-file", work.filePath("big.bin")}));
    }
    void init() {
        w = quietWindow(log, "file-token");
        QVERIFY(w);
    }
    void cleanup() {
        log.reset();
        w.reset();
    }

    // size -1: no such file, -2: a folder. Sent files show their progress, then reload the chat.
    void upload_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("chat");
        QTest::addColumn<QString>("status");
        const QString refused = QStringLiteral("Файл недоступен или больше 25 МБ");
        row("exactly 25 MiB is sent", qint64(26214400), QStringLiteral("team/design"), QString());
        row("one byte more is refused", qint64(26214401), QStringLiteral("team/design"), refused);
        row("empty file is sent", qint64(0), QStringLiteral("team/design"), QString());
        row("missing file is refused", qint64(-1), QStringLiteral("team/design"), refused);
        row("folder is refused", qint64(-2), QStringLiteral("team/design"), refused);
        row("refused by the service", qint64(5), QStringLiteral("u2-u3"),
            QStringLiteral("Не удалось отправить файл"));
    }
    void upload() {
        QFETCH(qint64, size);
        QFETCH(QString, chat);
        QFETCH(QString, status);
        const QString path = work.filePath(QStringLiteral("up-%1.bin").arg(size));
        QFile file(path);
        QVERIFY(size < 0 || (file.open(QIODevice::WriteOnly) && file.resize(size)));
        QVERIFY(size != -2 || QDir().mkdir(path));
        const auto remove = qScopeGuard([&] {
            QDir().rmdir(path);
            file.remove();
        });
        w->currentChatId = chat;
        w->uploadPath(path);
        QNetworkReply *reply = replyTo(*w, "/files");
        QStringList wrong;
        QString finishedText;
        int shown = 0;
        if (reply) {
            QCOMPARE(w->statusLabel->text(), QStringLiteral("Отправляем файл…"));
            connect(reply, &QNetworkReply::finished, this,
                    [&] { finishedText = w->statusLabel->text(); });
            connect(reply, &QNetworkReply::uploadProgress, this, [&](qint64 sent, qint64 total) {
                if (total > 0 && ++shown &&
                    w->statusLabel->text() !=
                        QStringLiteral("Загрузка %1%").arg(sent * 100 / total))
                    wrong << w->statusLabel->text();
            });
        }
        QVERIFY(settled(*w));
        QCOMPARE(w->statusLabel->text(), status);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join("; ")));
        if (!status.isEmpty()) {
            QCOMPARE(log->count(Get, "/messages"), 0);
            QCOMPARE(log->count(Post, "/files"), reply ? 1 : 0);
            return;
        }
        QVERIFY(size == 0 || shown > 0);
        QCOMPARE(finishedText, QStringLiteral("Файл отправлен"));
        const RequestLog::Entry sent = log->entries.first();
        QCOMPARE(sent.path + ' ' + QString::number(sent.status) + ' ' +
                     QString::number(sent.transferTimeout),
                 QStringLiteral("/auth/flow/web/chats/team%2Fdesign/files 201 30000"));
        QCOMPARE(rowTexts(w->messageList).last(), "Вы  ·  " + QFileInfo(path).fileName());
    }

    // Only a scripted service sees the bytes the client wrote: a hostile name keeps non-ASCII as
    // raw UTF-8 and turns quote, backslash and controls into "_".
    void uploadPartHeaderBytes() {
        StubServer stub;
        QVERIFY(stub.listen());
        stub.respond = [](const StubRequest &r) {
            return stubJson(r.path.endsWith("/files") ? 201 : 401, "{}");
        };
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        std::unique_ptr<RequestLog> stubLog;
        const std::unique_ptr<Window> local = quietWindow(stubLog);
        servicetesthook::pointAt(QStringLiteral("localhost"), svc.port());
        QVERIFY(local);
        stub.requests.clear();
        QTemporaryDir dir;
        const QString path =
            dir.filePath(QStringLiteral("Отчёт a\\b\"c;d\r\nContent-Type: evil\t\x7f.txt"));
        const QByteArray content = "line one\r\n--not a boundary\r\n\0end";
        QVERIFY(writeFile(path, content));
        local->currentChatId = QStringLiteral("team/design");
        local->uploadPath(path);
        QVERIFY(settled(*local));
        const StubRequest request = stub.requests.value(0);
        QCOMPARE(request.method + ' ' + request.path,
                 QByteArray("POST /auth/flow/web/chats/team%2Fdesign/files"));
        QCOMPARE(request.header("origin"), local->baseUrl.toUtf8());
        const QByteArray type = request.header("content-type");
        QVERIFY2(type.startsWith("multipart/form-data; boundary="), type.constData());
        const QByteArray boundary = type.mid(type.indexOf('=') + 1).replace("\"", "");
        QCOMPARE(request.body,
                 "--" + boundary +
                     "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
                     "Отчёт a_b_c;d__Content-Type: evil__.txt\"\r\n\r\n" + content + "\r\n--" +
                     boundary + "--\r\n");
    }

    // Cancelled dialogs and refused addresses send nothing; no chat opens no dialog.
    void nothingSent_data() {
        QTest::addColumn<QString>("address"); // "upload": the file button
        QTest::addColumn<QString>("status");
        const QString port = QString::number(svc.port()),
                      refused = QStringLiteral("Недопустимый адрес файла");
        row("upload cancelled", QStringLiteral("upload"), QStringLiteral("как было"));
        row("save cancelled", svc.baseUrl() + "/auth/flow/web/files/x", QStringLiteral("как было"));
        row("plain text row", QString(), refused);
        row("http", "http://localhost:" + port + "/auth/flow/web/files/x", refused);
        row("loopback address", "https://127.0.0.1:" + port + "/auth/flow/web/files/x", refused);
        row("relative", QStringLiteral("/auth/flow/web/files/x"), refused);
    }
    void nothingSent() {
        QFETCH(QString, address);
        QFETCH(QString, status);
        FileDialogDriver dialogs;
        w->statusLabel->setText(QStringLiteral("как было"));
        QStringList captions;
        if (address == "upload") {
            click(*w, "fileButton"); // no chat yet
            QVERIFY(dialogs.captions.isEmpty());
            w->currentChatId = QStringLiteral("general");
            w->upload();
            captions << QStringLiteral("Выберите файл");
        } else {
            QListWidgetItem item = attachment(address, QStringLiteral("a/.."));
            w->download(&item);
            if (status != "Недопустимый адрес файла") {
                captions << QStringLiteral("Сохранить файл");
                QCOMPARE(dialogs.proposed, QStringList{"file"});
            }
        }
        QCOMPARE(dialogs.captions, captions);
        QVERIFY(settled(*w));
        QCOMPARE(log->entries.size(), 0);
        QCOMPARE(w->statusLabel->text(), status);
    }

    // Asked for under "www." from a row whose name carries a folder: fetched from the service
    // host, streamed to disk with progress, the target appearing only at the end.
    void downloadStreamsToDisk() {
        QString address;
        w->call(QStringLiteral("/auth/flow/web/chats/general/messages"), {}, false,
                [&](QJsonObject reply, QString) {
                    for (const QJsonValue &m : reply.value("messages").toArray())
                        if (m["fileName"].toString() == "big.bin")
                            address = m["mediaUrl"].toString();
                });
        QVERIFY(waitUntil([&] { return !address.isEmpty(); }));
        address.replace(QStringLiteral("https://localhost"),
                        QStringLiteral("https://www.localhost"));
        QTemporaryDir dir;
        FileDialogDriver dialogs;
        dialogs.answer = dir.filePath("saved.bin");
        log->entries.clear();
        QListWidgetItem item = attachment(address, QStringLiteral("папка\\big.bin"));
        w->download(&item);
        QCOMPARE(dialogs.proposed, QStringList{"big.bin"});
        QNetworkReply *reply = replyTo(*w, "/files/");
        QVERIFY(reply);
        QCOMPARE(reply->url().host(), QStringLiteral("localhost"));
        QStringList wrong;
        int progressShown = 0;
        qint64 mostBuffered = 0, mostOnDisk = 0;
        connect(reply, &QNetworkReply::downloadProgress, this, [&](qint64 got, qint64 total) {
            if (total > 0 && ++progressShown &&
                w->statusLabel->text() != QStringLiteral("Скачивание %1%").arg(got * 100 / total))
                wrong << w->statusLabel->text();
        });
        // Seen after the window's own handler has taken what arrived.
        connect(reply, &QNetworkReply::readyRead, this, [&] {
            mostBuffered = std::max(mostBuffered, reply->bytesAvailable());
            if (const auto *save = reply->findChild<QSaveFile *>())
                mostOnDisk = std::max(mostOnDisk, save->pos());
            if (QFile::exists(dialogs.answer))
                wrong << "target written before the end";
        });
        QVERIFY(settled(*w));
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Файл сохранён"));
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join("; ")));
        QVERIFY(progressShown > 0);
        QVERIFY2(mostOnDisk > 1024 * 1024, qPrintable(QString::number(mostOnDisk)));
        QVERIFY2(mostBuffered <= 2 * 1024 * 1024, qPrintable(QString::number(mostBuffered)));
        QVERIFY(readFile(dialogs.answer) == bigBytes);
        QCOMPARE(filesIn(dir.path()), QStringList{"saved.bin"});
        QCOMPARE(log->entries.first().transferTimeout, 30000);
    }

    void failedDownloadKeepsTheTarget_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("status");
        const QString fetch = QStringLiteral("Не удалось скачать файл"),
                      save = QStringLiteral("Не удалось сохранить файл");
        for (const char *how :
             {"error page", "cut half-way", "nobody listening", "redirect to another host"})
            row(how, QString::fromLatin1(how), fetch);
        row("target is a folder", QStringLiteral("folder"), save);
        row("disk fills up half-way", QStringLiteral("full"), save);
    }
    void failedDownloadKeepsTheTarget() {
        QFETCH(QString, how);
        QFETCH(QString, status);
        StubServer stub, elsewhere;
        QVERIFY(stub.listen() && elsewhere.listen());
        const QByteArray body(100000, 'x');
        const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
        stub.respond = [&](const StubRequest &) {
            if (how == "error page")
                return StubReply{500, "<html>oops</html>"};
            if (how.startsWith("redirect"))
                return StubReply{
                    302,
                    {},
                    {"Location: https://127.0.0.1:" + QByteArray::number(elsewhere.port()) + "/f"}};
            return StubReply{200,   {}, {},
                             false, 0,  head + (how == "cut half-way" ? body.left(50000) : body)};
        };
        elsewhere.respond = [&](const StubRequest &) { return StubReply{200, body}; };
        QUrl url(QStringLiteral("https://localhost:%1/auth/flow/web/files/f").arg(stub.port()));
        QTcpServer closed;
        if (how == "nobody listening") {
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            url.setPort(closed.serverPort());
        }
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("kept.txt"), "old contents"));
        const QString target = dir.filePath(how == "folder" ? "sub" : "kept.txt");
        QVERIFY(how != "folder" || QDir(dir.path()).mkdir("sub"));
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
        w->downloadTo(url, target);
        QVERIFY(settled(*w));
        QCOMPARE(w->statusLabel->text(), status);
        QCOMPARE(readFile(dir.filePath("kept.txt")), QByteArray("old contents"));
        QCOMPARE(filesIn(dir.path()), QStringList{"kept.txt"});
        QCOMPARE(log->entries.size(), how == "folder" ? 0 : 1);
        QCOMPARE(elsewhere.requests.size(), 0);
    }
};

QTEST_MAIN(FilesTest)
#include "tst_files.moc"
