// Upload and download against the local service (and a stub where the raw request or a broken
// answer is the point): limits, part header bytes, progress, address checks, safe saving.
#include "chatfixture.h"

#include "app/servicetesthook.h"
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

QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (char &b : bytes)
        b = static_cast<char>(generator.generate() & 0xFF);
    return bytes;
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

    FileDialogDriver() {
        connect(&timer, &QTimer::timeout, this, [this] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            captions << dialog->windowTitle();
            const QStringList selected = dialog->selectedFiles();
            proposed << (selected.isEmpty() ? QString() : QFileInfo(selected.first()).fileName());
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
        bigBytes = randomBytes(8 * 1024 * 1024 + 123);
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
        QTest::addColumn<qint64>("size"); // -1: no such file
        QTest::addColumn<bool>("accepted");
        QTest::newRow("exactly 25 MiB is sent") << "limit.bin" << qint64(26214400) << true;
        QTest::newRow("one byte more is refused") << "over.bin" << qint64(26214401) << false;
        QTest::newRow("empty file is sent") << "empty.txt" << qint64(0) << true;
        QTest::newRow("missing file is refused") << "missing.bin" << qint64(-1) << false;
    }
    void uploadLimit() {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(bool, accepted);
        const QString path = workPath(name);
        if (size >= 0) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
        }
        w->currentChatId = QStringLiteral("team/design");
        w->uploadPath(path);
        QFile::remove(path);
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
        QVERIFY(waitUntil([&] { return log->count(Post, "/files") == 1; }, 60000));
        QCOMPARE(finishedText, QStringLiteral("Файл отправлен"));
        const RequestLog::Entry sent = log->entries.first();
        QCOMPARE(sent.status, 201);
        QCOMPARE(sent.transferTimeout, 30000);
        QCOMPARE(sent.path, QStringLiteral("/auth/flow/web/chats/team%2Fdesign/files"));
        // The reload that follows shows the new attachment and clears the text.
        QVERIFY(waitUntil([&] { return log->count(Get, "/messages") == 1; }));
        QVERIFY(w->statusLabel->text().isEmpty());
        QListWidgetItem *last = w->messageList->item(w->messageList->count() - 1);
        QVERIFY(last);
        QCOMPARE(last->text(), QStringLiteral("Вы  ·  ") + name);
        QCOMPARE(last->data(Qt::UserRole + 1).toString(), name);
        QVERIFY(last->data(Qt::UserRole)
                    .toString()
                    .startsWith(svc.baseUrl() + "/auth/flow/web/files/"));
    }

    void uploadOfADirectoryIsRefused() {
        w->currentChatId = QStringLiteral("team/design");
        w->uploadPath(work.path());
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Файл недоступен или больше 25 МБ"));
    }

    void uploadProgressShowsWholePercents() {
        const QString path = workPath("progress.bin");
        QVERIFY(writeFile(path, bigBytes));
        w->currentChatId = QStringLiteral("general");
        w->uploadPath(path);
        QNetworkReply *reply = replyTo(*w, "/files");
        QVERIFY(reply);
        QStringList wrong;
        int shown = 0;
        connect(reply, &QNetworkReply::uploadProgress, this, [&](qint64 sent, qint64 total) {
            if (total <= 0)
                return;
            ++shown;
            const QString expected = QStringLiteral("Загрузка %1%").arg(sent * 100 / total);
            if (w->statusLabel->text() != expected)
                wrong << w->statusLabel->text() + " for " + QString::number(sent) + "/" +
                             QString::number(total);
        });
        QVERIFY(waitUntil([&] { return log->count(Post, "/files") == 1; }, 60000));
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join("; ")));
        QVERIFY(shown > 0);
    }

    void failedUploadSaysSo_data() {
        QTest::addColumn<QString>("chat");
        QTest::newRow("chat of others (404)") << "u2-u3";
        QTest::newRow("unknown chat (404)") << "nope";
    }
    void failedUploadSaysSo() {
        QFETCH(QString, chat);
        const QString path = workPath("small.txt");
        QVERIFY(writeFile(path, "hello"));
        w->currentChatId = chat;
        w->uploadPath(path);
        QVERIFY(waitUntil([&] { return log->count(Post, "/files") == 1; }));
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Не удалось отправить файл"));
        QTest::qWait(200);
        QCOMPARE(log->count(Get, "/messages"), 0);
    }

    // The local service parses the form; only a stub sees the bytes the client wrote.
    void uploadPartHeaderBytes_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("sentName");
        QTest::newRow("plain") << "plain.txt" << QByteArray("plain.txt");
        QTest::newRow("backslash and double quote") << "a\\b\"c.txt" << QByteArray("a_b_c.txt");
        QTest::newRow("semicolon unchanged")
            << "semi;colon=1.txt" << QByteArray("semi;colon=1.txt");
        QTest::newRow("non-ASCII as raw UTF-8") << "Отчёт 2025.txt" << QByteArray("Отчёт 2025.txt");
        QTest::newRow("line break cannot add a header")
            << "x\r\nContent-Type: evil\r\n\r\n.txt" << QByteArray("x__Content-Type: evil____.txt");
        QTest::newRow("tab and DEL") << "a\tb\x7f.txt" << QByteArray("a_b_.txt");
    }
    void uploadPartHeaderBytes() {
        QFETCH(QString, name);
        QFETCH(QByteArray, sentName);
        StubServer stub;
        stub.respond = [](const QByteArray &request) {
            if (request.contains("/files "))
                return httpAnswer(201, "{}");
            return request.contains("/web/chats/") ? httpAnswer(200, R"({"messages":[]})")
                                                   : httpAnswer(401, "{}");
        };
        QVERIFY(stub.start());
        servicetesthook::pointAt(QStringLiteral("localhost"), stub.port());
        std::unique_ptr<RequestLog> stubLog;
        std::unique_ptr<Window> local = openQuietWindow(stubLog);
        servicetesthook::pointAt(QStringLiteral("localhost"), svc.port());
        QVERIFY(local);
        stub.requests.clear();

        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        const QByteArray content = "line one\r\n--not a boundary\r\n\0end";
        QVERIFY2(writeFile(path, content), qPrintable(path));
        local->currentChatId = QStringLiteral("team/design");
        local->uploadPath(path);
        QNetworkReply *reply = replyTo(*local, "/files");
        QVERIFY(reply);
        QString finishedText;
        connect(reply, &QNetworkReply::finished, this,
                [&] { finishedText = local->statusLabel->text(); });
        QVERIFY(waitUntil([&] { return stubLog->count(Post, "/files") == 1; }));
        QCOMPARE(finishedText, QStringLiteral("Файл отправлен"));

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

    void fileButtonWithoutChatOpensNoDialog() {
        FileDialogDriver dialogs;
        QTest::mouseClick(w->findChild<QPushButton *>(QStringLiteral("fileButton")),
                          Qt::LeftButton);
        QTest::qWait(100);
        QVERIFY(dialogs.captions.isEmpty());
        QVERIFY(w->statusLabel->text().isEmpty());
    }

    void cancelledOpenDialogSendsNothing() {
        FileDialogDriver dialogs;
        w->currentChatId = QStringLiteral("general");
        w->statusLabel->setText(QStringLiteral("как было"));
        w->upload();
        QCOMPARE(dialogs.captions, QStringList{QStringLiteral("Выберите файл")});
        QCOMPARE(w->statusLabel->text(), QStringLiteral("как было"));
        QTest::qWait(100);
        QCOMPARE(log->count(Post, "/files"), 0);
    }

    void refusedAttachmentAddresses_data() {
        QTest::addColumn<QString>("address");
        const QString port = QString::number(svc.port());
        QTest::newRow("plain text row (empty)") << "";
        QTest::newRow("http") << "http://localhost:" + port + "/auth/flow/web/files/x";
        QTest::newRow("other host") << "https://example.com/auth/flow/web/files/x";
        QTest::newRow("loopback address, not the host name")
            << "https://127.0.0.1:" + port + "/auth/flow/web/files/x";
        QTest::newRow("relative") << "/auth/flow/web/files/x";
        QTest::newRow("sub-domain") << "https://files.localhost:" + port + "/x";
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

    void proposedSaveName_data() {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("proposed");
        QTest::newRow("no name") << ""
                                 << "file";
        QTest::newRow("directories dropped") << "dir/sub/report.pdf"
                                             << "report.pdf";
        QTest::newRow("backslash directories dropped") << "..\\..\\evil.exe"
                                                       << "evil.exe";
        QTest::newRow("dot dot") << "a/.."
                                 << "file";
    }
    void proposedSaveName() {
        QFETCH(QString, fileName);
        QFETCH(QString, proposed);
        FileDialogDriver dialogs;
        w->statusLabel->setText(QStringLiteral("как было"));
        QListWidgetItem row(QStringLiteral("Вы  ·  x"));
        row.setData(Qt::UserRole, svc.baseUrl() + "/auth/flow/web/files/x");
        row.setData(Qt::UserRole + 1, fileName);
        w->download(&row);
        QCOMPARE(dialogs.captions, QStringList{QStringLiteral("Сохранить файл")});
        QCOMPARE(dialogs.proposed, QStringList{proposed});
        // Cancelled: no request, no text.
        QTest::qWait(100);
        QCOMPARE(log->entries.size(), 0);
        QCOMPARE(w->statusLabel->text(), QStringLiteral("как было"));
    }

    void wwwAddressOfAServiceFileIsFetchedFromTheServiceHost() {
        const QString address = attachmentAddress(QStringLiteral("notes.txt"));
        QVERIFY(address.startsWith(svc.baseUrl()));
        QString www = address;
        www.replace(QStringLiteral("https://localhost"), QStringLiteral("https://www.localhost"));
        log->entries.clear();

        FileDialogDriver dialogs;
        dialogs.answer = workPath("www-notes.txt");
        QListWidgetItem row(QStringLiteral("Вы  ·  notes.txt"));
        row.setData(Qt::UserRole, www);
        row.setData(Qt::UserRole + 1, QStringLiteral("папка\\notes.txt"));
        w->download(&row);
        QCOMPARE(dialogs.proposed, QStringList{QStringLiteral("notes.txt")});
        QVERIFY(waitUntil([&] { return log->entries.size() == 1; }));
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Файл сохранён"));
        QCOMPARE(readFile(dialogs.answer), readFile(svc.filesDir() + "/notes.txt"));
        QCOMPARE(log->entries.first().transferTimeout, 30000);
    }

    void largeDownloadStreamsToDiskWithProgress() {
        const QString address = attachmentAddress(QStringLiteral("big.bin"));
        QVERIFY(!address.isEmpty());
        QTemporaryDir dir;
        const QString target = dir.filePath("big.bin");
        QVERIFY(writeFile(target, "old contents"));
        log->entries.clear();

        w->downloadTo(QUrl(address), target);
        QNetworkReply *reply = replyTo(*w, "/files/");
        QVERIFY(reply);
        QStringList wrong;
        int progressShown = 0;
        connect(reply, &QNetworkReply::downloadProgress, this, [&](qint64 got, qint64 total) {
            if (total <= 0)
                return;
            ++progressShown;
            const QString expected = QStringLiteral("Скачивание %1%").arg(got * 100 / total);
            if (w->statusLabel->text() != expected)
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
            // Until the commit the target is untouched.
            if (readFile(target) != "old contents")
                wrong << "target replaced before the end";
        });
        QVERIFY(waitUntil([&] { return log->entries.size() == 1; }, 60000));
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Файл сохранён"));
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join("; ")));
        QVERIFY(progressShown > 0);
        QVERIFY2(mostOnDisk > 1024 * 1024,
                 qPrintable(QString::number(mostOnDisk) + " bytes on disk before the end"));
        QVERIFY2(mostBuffered <= 2 * 1024 * 1024,
                 qPrintable(QString::number(mostBuffered) + " bytes held by the reply"));
        QVERIFY(readFile(target) == bigBytes);
        QCOMPARE(otherFilesThan(dir.path(), "big.bin"), QStringList());
        QCOMPARE(log->entries.first().transferTimeout, 30000);
    }

    // A disk that fills up half-way: the write fails, the download stops, the target stays.
    void writeFailureHalfWayKeepsTheTarget() {
        const QString address = attachmentAddress(QStringLiteral("big.bin"));
        QVERIFY(!address.isEmpty());
        QTemporaryDir dir;
        const QString target = dir.filePath("kept.bin");
        QVERIFY(writeFile(target, "old contents"));
        log->entries.clear();

        rlimit original{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &original) == 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = original;
        limited.rlim_cur = 1024 * 1024;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
        const auto restore = qScopeGuard([&] {
            setrlimit(RLIMIT_FSIZE, &original);
            std::signal(SIGXFSZ, previousHandler);
        });

        w->downloadTo(QUrl(address), target);
        QVERIFY(waitUntil([&] { return log->entries.size() == 1; }));
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Не удалось сохранить файл"));
        QCOMPARE(readFile(target), QByteArray("old contents"));
        QCOMPARE(otherFilesThan(dir.path(), "kept.bin"), QStringList());
    }

    void failedDownloadKeepsTheTarget_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("status");
        QTest::newRow("unknown file (404)") << "404"
                                            << "Не удалось скачать файл";
        QTest::newRow("error page with a body (500)") << "500"
                                                      << "Не удалось скачать файл";
        QTest::newRow("connection cut half-way") << "cut"
                                                 << "Не удалось скачать файл";
        QTest::newRow("nobody listening") << "refused"
                                          << "Не удалось скачать файл";
        QTest::newRow("no such folder") << "nofolder"
                                        << "Не удалось сохранить файл";
        QTest::newRow("target is a folder") << "folder"
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
                   QByteArray(50000, 'x');
        };
        QVERIFY(stub.start());
        QUrl url(QStringLiteral("https://localhost:%1/auth/flow/web/files/f").arg(stub.port()));
        if (how == "404")
            url = QUrl(svc.baseUrl() + "/auth/flow/web/files/no-such-file");
        if (how == "refused") {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            url.setPort(closed.serverPort());
        }

        QTemporaryDir dir;
        QString target = dir.filePath("kept.txt");
        QVERIFY(writeFile(target, "old contents"));
        if (how == "nofolder")
            target = dir.filePath("missing/kept.txt");
        if (how == "folder") {
            QVERIFY(QDir(dir.path()).mkdir("sub"));
            target = dir.filePath("sub");
        }
        w->statusLabel->clear();
        w->downloadTo(url, target);
        const bool sent = how != "nofolder" && how != "folder";
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
