// Start-up figures, each from a fresh process so that loading the libraries, creating the
// application and building the window all count:
//
//   startup_to_window_ms          process start until the main window gets its first paint
//   restored_signin_to_chats_ms   with a saved session, process start until the chat list holds the
//                                 local service's chats
//
// The shipped program has no hooks to observe either moment from outside, so this executable
// re-runs itself as the child: it does exactly what main() does (application object, names,
// Window, show) and reports the moment on the machine's monotonic clock, which the parent read
// just before starting it. The child links the test support library as well, so its load is a
// little heavier than the program's.
#include "app/window.h"
#include "bench/benchutil.h"
#include "tests/support/localservice.h"
#include "web/servicetesthook.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QListWidget>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

using benchutil::median;

constexpr int runs = 15;
constexpr int childTimeoutMs = 20000;
const QByteArray token = "bench-startup-token";

qint64 monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void nameApplication() {
    QApplication::setOrganizationName(QStringLiteral("Tovik"));
    QApplication::setApplicationName(QStringLiteral("Orvelle"));
}

// Reports the first paint of the watched window.
class FirstPaint : public QObject {
public:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Paint && !seen) {
            seen = true;
            std::printf("at %lld\n", static_cast<long long>(monotonicNs()));
            std::fflush(stdout);
            QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        }
        return QObject::eventFilter(watched, event);
    }
    bool seen = false;
};

// The child: main()'s steps, then the moment asked for.
int child(int argc, char *argv[], bool waitForChats, int port) {
    QApplication app(argc, argv);
    nameApplication();
    servicetesthook::pointAt(QStringLiteral("localhost"), port);
    Window window;
    FirstPaint paint;
    if (!waitForChats)
        window.installEventFilter(&paint);
    window.show();
    QTimer check;
    if (waitForChats) {
        QObject::connect(&check, &QTimer::timeout, &window, [&window] {
            if (window.chatList->count() > 0) {
                std::printf("at %lld\n", static_cast<long long>(monotonicNs()));
                std::fflush(stdout);
                QCoreApplication::exit(0);
            }
        });
        check.start(1);
    }
    QTimer::singleShot(childTimeoutMs, &app, [] { QCoreApplication::exit(1); });
    return QApplication::exec();
}

// Runs one child and gives the milliseconds from just before its start to the moment it reports.
double timeChild(const QString &mode, int port, const QString &dataHome) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    process.setProcessEnvironment(env);
    process.setStandardErrorFile(QProcess::nullDevice());
    const qint64 started = monotonicNs();
    process.start(QCoreApplication::applicationFilePath(), {mode, QString::number(port)});
    if (!process.waitForFinished(childTimeoutMs + 5000) || process.exitCode() != 0)
        return -1;
    const QList<QByteArray> lines = process.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("at "))
            return double(line.mid(3).toLongLong() - started) / 1e6;
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc == 3 && (std::strcmp(argv[1], "window") == 0 || std::strcmp(argv[1], "chats") == 0))
        return child(argc, argv, std::strcmp(argv[1], "chats") == 0, std::atoi(argv[2]));

    QApplication app(argc, argv);
    nameApplication();
    QTemporaryDir fresh;
    QTemporaryDir saved;
    if (!fresh.isValid() || !saved.isValid())
        return 1;

    LocalService svc;
    if (!svc.start(
            {QStringLiteral("--session"), QStringLiteral("u1:") + QString::fromUtf8(token)})) {
        std::fprintf(stderr, "the local service did not start\n");
        return 1;
    }
    // The session file the second figure starts from, written where the child will look for it.
    qputenv("XDG_DATA_HOME", saved.path().toUtf8());
    {
        Window writer;
        writer.net.cookieJar()->setCookiesFromUrl({QNetworkCookie("tovik_web_session", token)},
                                                  QUrl(writer.baseUrl));
        writer.saveSession();
    }
    if (!QFile::exists(Window::sessionFilePath())) {
        std::fprintf(stderr, "no session file was written\n");
        return 1;
    }

    QList<double> window;
    QList<double> chats;
    // One unmeasured round of each warms the disk cache, as any later start of the program is.
    timeChild(QStringLiteral("window"), svc.port(), fresh.path());
    timeChild(QStringLiteral("chats"), svc.port(), saved.path());
    for (int i = 0; i < runs; ++i) {
        const double shown = timeChild(QStringLiteral("window"), svc.port(), fresh.path());
        const double filled = timeChild(QStringLiteral("chats"), svc.port(), saved.path());
        if (shown < 0 || filled < 0) {
            std::fprintf(stderr, "a child run failed\n");
            return 1;
        }
        window.append(shown);
        chats.append(filled);
    }
    std::printf(
        "# startup: medians of %d fresh processes each, after one warm-up run; platform %s\n", runs,
        qPrintable(QGuiApplication::platformName()));
    std::printf("figure startup_to_window_ms %.1f ms\n", median(window));
    std::printf("figure restored_signin_to_chats_ms %.1f ms\n", median(chats));
    return 0;
}
