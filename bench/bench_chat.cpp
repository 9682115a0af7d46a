// Chat page figures against the local service, in-process and over real TLS.
//
//   chat_list_rebuild_2000_ms       GUI-thread CPU time from a 2,000-chat reply arriving until the
//                                   rebuilt list has been laid out and what the reply changed has
//                                   been painted (the refresh tick)
//   message_list_rebuild_2000_ms    the same for a 2,000-message reply of the open chat
//   chat_refresh_unchanged_2000_ms, message_refresh_unchanged_2000_ms
//                                   the same for a refresh whose reply is the one shown
//   message_refresh_append_2000_ms  the same for a refresh that brings one new message
//
// CPU time of the GUI thread, because other processes share this machine's two cores; the
// wall-clock medians are printed as comments beside them, and so is the message list's first
// rebuild (no row sizes known yet).
//   download_200mb_rss_growth_mb    peak resident memory above the start while a 200 MiB
//                                   attachment is saved
//   upload_25mb_rss_growth_mb       the same while a 25 MiB file is uploaded
#include "app/window.h"
#include "bench/benchutil.h"
#include "chat/rowdelegate.h"
#include "tests/support/localservice.h"
#include "tests/support/testutil.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QListWidget>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

#include <time.h>

namespace {

using testutil::waitUntil;

using benchutil::comment;
using benchutil::figure;
using benchutil::median;

constexpr int rebuildRuns = 15;
constexpr int downloadRuns = 3;
constexpr int uploadRuns = 5;
constexpr qint64 bigFileBytes = 200LL * 1024 * 1024;
constexpr qint64 uploadBytes = 25LL * 1024 * 1024;

qint64 statusKb(const QByteArray &key) {
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Lets VmHWM start again from the current resident size.
bool resetPeak() {
    QFile file(QStringLiteral("/proc/self/clear_refs"));
    return file.open(QIODevice::WriteOnly) && file.write("5") == 1;
}

double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

struct Cost {
    double cpuMs = -1;
    double wallMs = -1;
};

bool writeRandomFile(const QString &path, qint64 size) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(7);
    for (qint64 left = size; left > 0; left -= chunk.size()) {
        for (char &b : chunk)
            b = static_cast<char>(generator.generate());
        const qint64 n = std::min<qint64>(left, chunk.size());
        if (file.write(chunk.constData(), n) != n)
            return false;
    }
    return true;
}

// GUI-thread time from the reply to `pathPart` finishing until its handler, the layout and the
// paint that follow have run. Only what the handler marked for repainting is painted, as in the
// running program: a refresh that changes nothing paints nothing.
Cost timedRebuild(Window &w, const QString &pathPart, const std::function<void()> &request) {
    QElapsedTimer clock;
    double cpuStart = 0;
    bool handled = false;
    Cost cost;
    QMetaObject::Connection hook =
        QObject::connect(&w.net, &QNetworkAccessManager::finished, &w, [&](QNetworkReply *reply) {
            if (!reply->url().path(QUrl::FullyEncoded).contains(pathPart))
                return;
            clock.start();
            cpuStart = threadCpuMs();
            // Queued behind the window's own finished handler.
            QTimer::singleShot(0, &w, [&] {
                QCoreApplication::sendPostedEvents();
                QCoreApplication::processEvents();
                cost = {threadCpuMs() - cpuStart, double(clock.nsecsElapsed()) / 1e6};
                handled = true;
            });
        });
    request();
    const bool ok = waitUntil([&] { return handled; }, 60000);
    QObject::disconnect(hook);
    return ok ? cost : Cost{};
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testutil::isolateUserData();

    QTemporaryDir work;
    const QString bigPath = work.filePath(QStringLiteral("big-200mb.bin"));
    const QString uploadPath = work.filePath(QStringLiteral("upload-25mb.bin"));
    if (!work.isValid() || !writeRandomFile(bigPath, bigFileBytes) ||
        !writeRandomFile(uploadPath, uploadBytes)) {
        comment(QStringLiteral("cannot write the test files"));
        return 1;
    }

    // u1 has 5 chats of its own (with the echo contact's); "general" gets one more message for the
    // big file.
    LocalService svc;
    if (!svc.start({QStringLiteral("--session"), QStringLiteral("u1:bench-token"),
                    QStringLiteral("--extra-chats"), QStringLiteral("1995"),
                    QStringLiteral("--big-chat-messages"), QStringLiteral("1999"),
                    QStringLiteral("--big-file"), bigPath})) {
        comment(QStringLiteral("the local service did not start"));
        return 1;
    }

    Window w;
    w.resize(1100, 760);
    w.show();
    // Start-up asks "me" without a session and starts a QR sign-in; let that settle first.
    int startupReplies = 0;
    QObject::connect(&w.net, &QNetworkAccessManager::finished, &w,
                     [&](QNetworkReply *) { ++startupReplies; });
    const bool settled = waitUntil([&] { return startupReplies >= 2; }, 20000);
    Q_UNUSED(settled);
    w.pollTimer.stop();
    QNetworkCookie cookie(QByteArrayLiteral("tovik_web_session"), QByteArrayLiteral("bench-token"));
    cookie.setPath(QStringLiteral("/"));
    cookie.setSecure(true);
    w.net.cookieJar()->setCookiesFromUrl({cookie}, QUrl(svc.baseUrl()));
    w.userId = QStringLiteral("u1");
    w.pages->setCurrentIndex(1);
    QCoreApplication::processEvents();

    // Full rebuilds: the list is emptied and forgotten first, so the reply is all new rows.
    QList<double> chatMs;
    QList<double> chatWallMs;
    QList<double> chatSameMs;
    for (int i = 0; i < 2 * rebuildRuns; ++i) {
        // The selection sits in the middle, so every rebuild also re-selects it.
        if (i == 1 && w.chatList->count() > 1000)
            w.currentChatId = w.chatList->item(1000)->data(Qt::UserRole).toString();
        const bool same = i >= rebuildRuns;
        if (!same) {
            w.chatList->clear();
            w.shownChats = {};
        }
        const Cost cost = timedRebuild(w, QStringLiteral("/web/chats"), [&] { w.loadChats(); });
        if (cost.cpuMs < 0 || w.chatList->count() != 2000) {
            comment(QStringLiteral("chat list did not load: %1 rows, status \"%2\"")
                        .arg(w.chatList->count())
                        .arg(w.statusLabel->text()));
            return 1;
        }
        if (same) {
            chatSameMs << cost.cpuMs;
        } else if (i > 0) {
            chatMs << cost.cpuMs;
            chatWallMs << cost.wallMs;
        }
    }
    comment(QStringLiteral("chat list: %1 rebuilds of 2000 rows after a warm-up; wall-clock median "
                           "%2 ms; %3 refreshes with an unchanged reply")
                .arg(chatMs.size())
                .arg(median(chatWallMs), 0, 'f', 2)
                .arg(chatSameMs.size()));
    figure("chat_list_rebuild_2000_ms", median(chatMs), "ms");
    figure("chat_refresh_unchanged_2000_ms", median(chatSameMs), "ms");

    w.currentChatId = QStringLiteral("general");
    QList<double> messageMs;
    QList<double> firstMs;
    QList<double> sameMs;
    const auto loadMessages = [&](QList<double> &into) {
        const Cost cost = timedRebuild(w, QStringLiteral("/messages"), [&] { w.loadMessages(); });
        if (cost.cpuMs < 0 || w.messageList->count() < 2000) {
            comment(QStringLiteral("messages did not load: %1 rows, status \"%2\"")
                        .arg(w.messageList->count())
                        .arg(w.statusLabel->text()));
            return false;
        }
        into << cost.cpuMs;
        return true;
    };
    for (int i = 0; i < 2 * rebuildRuns + 5; ++i) {
        // Opening the chat again: its rows replace what the list shows, their sizes are known.
        // The last few runs start with no row sizes known, as when a chat is first opened.
        const bool same = i >= rebuildRuns && i < 2 * rebuildRuns;
        const bool first = i >= 2 * rebuildRuns;
        if (!same)
            w.shownMessages = {};
        if (first) {
            chat::CachedRowDelegate::of(w.messageList)->nextGeneration();
            chat::CachedRowDelegate::of(w.messageList)->nextGeneration();
        }
        QList<double> warmUp;
        if (!loadMessages(first ? firstMs : same ? sameMs : i > 0 ? messageMs : warmUp))
            return 1;
    }
    comment(QStringLiteral("message list: %1 rebuilds of 2000 rows after a warm-up; with no row "
                           "sizes known (first open), median of %2: %3 ms; %4 refreshes with an "
                           "unchanged reply")
                .arg(messageMs.size())
                .arg(firstMs.size())
                .arg(median(firstMs), 0, 'f', 2)
                .arg(sameMs.size()));
    figure("message_list_rebuild_2000_ms", median(messageMs), "ms");
    figure("message_refresh_unchanged_2000_ms", median(sameMs), "ms");

    const QString bigAddress =
        w.messageList->item(w.messageList->count() - 1)->data(Qt::UserRole).toString();

    // Someone writes one message between two refreshes; the open chat shows it at the end.
    QList<double> appendMs;
    for (int i = 0; i < rebuildRuns; ++i) {
        bool posted = false;
        w.call(QStringLiteral("/auth/flow/web/chats/general/messages"),
               QJsonObject{{QStringLiteral("text"), QStringLiteral("Новое сообщение %1").arg(i)}},
               true, [&](QJsonObject, QString) { posted = true; });
        waitUntil([&] { return posted; }, 20000);
        const int before = w.messageList->count();
        if (!loadMessages(appendMs) || w.messageList->count() != before + 1) {
            comment(QStringLiteral("the new message did not arrive"));
            return 1;
        }
    }
    comment(QStringLiteral("message list: %1 refreshes adding one message to 2000")
                .arg(appendMs.size()));
    figure("message_refresh_append_2000_ms", median(appendMs), "ms");
    w.currentChatId.clear();
    QCoreApplication::processEvents();

    QList<double> downloadMb;
    for (int i = 0; i < downloadRuns; ++i) {
        const QString target = work.filePath(QStringLiteral("saved.bin"));
        w.statusLabel->clear();
        if (!resetPeak()) {
            comment(QStringLiteral("cannot reset the peak resident size"));
            return 1;
        }
        const qint64 before = statusKb("VmRSS");
        w.downloadTo(QUrl(bigAddress), target);
        const auto ended = [&] {
            const QString text = w.statusLabel->text();
            return text.startsWith(QStringLiteral("Файл")) ||
                   text.startsWith(QStringLiteral("Не удалось"));
        };
        if (!waitUntil(ended, 300000) || w.statusLabel->text() != QStringLiteral("Файл сохранён") ||
            QFile(target).size() != bigFileBytes) {
            comment(QStringLiteral("download failed: \"%1\"").arg(w.statusLabel->text()));
            return 1;
        }
        downloadMb << double(statusKb("VmHWM") - before) / 1024;
        QFile::remove(target);
    }
    comment(QStringLiteral("download: %1 runs of 200 MiB").arg(downloadMb.size()));
    figure("download_200mb_rss_growth_mb", median(downloadMb), "MB");

    // A small chat, so the reload after each upload costs next to nothing.
    w.currentChatId = QStringLiteral("u1-u2");
    QList<double> uploadMb;
    for (int i = 0; i < uploadRuns; ++i) {
        int status = -1;
        QMetaObject::Connection hook = QObject::connect(
            &w.net, &QNetworkAccessManager::finished, &w, [&](QNetworkReply *reply) {
                if (reply->url().path().endsWith(QStringLiteral("/files")))
                    status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            });
        if (!resetPeak()) {
            comment(QStringLiteral("cannot reset the peak resident size"));
            return 1;
        }
        const qint64 before = statusKb("VmRSS");
        w.uploadPath(uploadPath);
        const bool ended = waitUntil([&] { return status >= 0; }, 300000);
        const qint64 peak = statusKb("VmHWM");
        QObject::disconnect(hook);
        if (!ended || status != 201) {
            comment(QStringLiteral("upload failed: HTTP %1").arg(status));
            return 1;
        }
        uploadMb << double(peak - before) / 1024;
        waitUntil([&] { return !w.messagesLoading; }, 20000);
    }
    comment(QStringLiteral("upload: %1 runs of 25 MiB").arg(uploadMb.size()));
    figure("upload_25mb_rss_growth_mb", median(uploadMb), "MB");
    return 0;
}
