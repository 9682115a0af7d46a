// Faults injected mid-call, with voice and screen sharing running both ways between two clients
// of the local service (in this process, with scripted audio devices), and during a download:
//
//   (c) the service stops reading for 30 s (SIGSTOP):
//       send_backlog_peak_mb         the most either client held unsent in its socket
//       fault_stall_rss_growth_mb    how much this process grew over the stall
//       fault_stall_voice_back_s     from the service continuing until voice is heard again
//   (a) the service is killed (SIGKILL) and started again on the same port:
//       fault_restart_reconnect_s    until both clients are connected again
//       fault_restart_voice_back_s   until voice is heard again (-1: the call did not come back)
//   (b) the audio server going away is measured on a real audio server, next to the voice
//       figures; it has no place here, where the devices are scripted.
//   (d) the disk fills during a download (a file size limit on this process):
//       fault_disk_full_target_kept  1 when the file being replaced is unchanged
//       fault_disk_full_reported     1 when the status says the save failed
#include "app/window.h"
#include "bench/benchutil.h"
#include "calls/mixer.h"
#include "calls/nativecalls.h"
#include "tests/support/localservice.h"
#include "tests/support/testkit.h"
#include "tests/support/testutil.h"
#include "web/service.h"
#include "web/servicetesthook.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <QtEndian>

#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace {

using benchutil::comment;
using benchutil::figure;

constexpr int stallSeconds = 30;

QByteArray toneBlock() {
    QByteArray block(mixer::blockBytes, Qt::Uninitialized);
    for (int i = 0; i < mixer::samplesPerBlock; ++i)
        qToLittleEndian<qint16>(qint16(i % 20 < 10 ? 8000 : -8000), block.data() + 2 * i);
    return block;
}

// A busy 640 x 480 screen, about as large as a sent image gets.
QByteArray screenJpeg() {
    QImage image(640, 480, QImage::Format_RGB32);
    quint32 noise = 1;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            noise = noise * 1664525u + 1013904223u;
            image.setPixel(x, y, noise >> 8);
        }
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 25);
    return bytes;
}

double rssMb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

struct Client {
    std::shared_ptr<FakeAudioState> audio = std::make_shared<FakeAudioState>();
    QNetworkAccessManager net;
    QWidget window;
    NativeCalls *calls = nullptr;
    // Loud blocks this client's loudspeaker has played.
    int heard = 0;

    Client(const QString &user, const QString &token) {
        calls = new NativeCalls(&net, &window);
        calls->voice.setDevice(std::make_unique<FakeAudioDevice>(audio));
        calls->setCredentials(user, token);
    }
    // One 20 ms tick of the scripted devices: a block from the microphone, and the loudspeaker
    // takes what was played.
    void tick(const QByteArray &tone) {
        if (audio->open && audio->capture)
            audio->capture(tone.constData(), int(tone.size()));
        for (const QByteArray &played : std::as_const(audio->written)) {
            if (qAbs(qFromLittleEndian<qint16>(played.constData() + 20)) > 1000)
                ++heard;
        }
        audio->written.clear();
        audio->queued = 0;
    }
};

// Until `done` holds, in seconds; -1 after `limitMs`.
template <typename Done> double secondsUntil(Done done, int limitMs) {
    QElapsedTimer clock;
    clock.start();
    if (!QTest::qWaitFor(done, limitMs))
        return -1;
    return double(clock.elapsed()) / 1000.0;
}

// Voice heard again by both sides: a few more loud blocks than before.
bool voiceFlows(Client &a, Client &b, int heardA, int heardB) {
    return a.heard > heardA + 10 && b.heard > heardB + 10;
}

int callFaults(LocalService &service) {
    Client anna(QStringLiteral("u1"), QStringLiteral("tok1"));
    Client boris(QStringLiteral("u2"), QStringLiteral("tok2"));
    // A call the service no longer knows is reported in a box; nobody is there to close it.
    QStringList boxes;
    testutil::autoCloseModalBoxes(&anna.window, true, &boxes);
    if (!QTest::qWaitFor([&] { return anna.calls->connected && boris.calls->connected; }, 15000))
        return comment(QStringLiteral("the clients did not connect")), 1;
    anna.calls->dial(QStringLiteral("u1-u2"), QStringLiteral("Борис"));
    if (!QTest::qWaitFor([&] { return boris.calls->answerButton.isVisible(); }, 10000))
        return comment(QStringLiteral("the call did not ring")), 1;
    boris.calls->answer();
    if (!QTest::qWaitFor([&] { return anna.calls->mediaActive && boris.calls->mediaActive; },
                         10000))
        return comment(QStringLiteral("the call did not start")), 1;

    const QByteArray tone = toneBlock();
    const QByteArray jpeg = screenJpeg();
    QTimer voiceTick;
    QObject::connect(&voiceTick, &QTimer::timeout, &anna.window, [&] {
        anna.tick(tone);
        boris.tick(tone);
    });
    voiceTick.start(20);
    QTimer screenTick;
    QObject::connect(&screenTick, &QTimer::timeout, &anna.window, [&] {
        for (Client *c : {&anna, &boris}) {
            if (!c->calls->callId.isEmpty())
                c->calls->sendScreenImage(c->calls->callId, jpeg);
        }
    });
    screenTick.start(500);
    comment(QStringLiteral("voice both ways, and a %1 kB screen each way twice a second")
                .arg(jpeg.size() / 1024));
    if (secondsUntil([&] { return voiceFlows(anna, boris, 0, 0); }, 10000) < 0)
        return comment(QStringLiteral("no voice at the start")), 1;
    QTest::qWait(2000);

    // (c) The service stops reading.
    const double rssBefore = rssMb();
    qint64 peak = 0;
    ::kill(pid_t(service.pid()), SIGSTOP);
    QElapsedTimer stall;
    stall.start();
    while (!stall.hasExpired(stallSeconds * 1000)) {
        QTest::qWait(100);
        peak = qMax(peak, qMax(anna.calls->unsentBytes, boris.calls->unsentBytes));
    }
    const double rssGrowth = rssMb() - rssBefore;
    ::kill(pid_t(service.pid()), SIGCONT);
    const int heardA = anna.heard;
    const int heardB = boris.heard;
    const double stallBack =
        secondsUntil([&] { return voiceFlows(anna, boris, heardA, heardB); }, 30000);
    figure("send_backlog_peak_mb", double(peak) / (1024.0 * 1024.0), "MB");
    figure("fault_stall_rss_growth_mb", rssGrowth, "MB");
    figure("fault_stall_voice_back_s", stallBack, "s");

    // (a) The service is killed and started again.
    QTest::qWait(2000);
    // From the kill to both clients ready on a new connection.
    const quint64 readyA = anna.calls->readyCount;
    const quint64 readyB = boris.calls->readyCount;
    QElapsedTimer restartClock;
    restartClock.start();
    ::kill(pid_t(service.pid()), SIGKILL);
    if (!service.restart())
        return comment(QStringLiteral("the service did not start again")), 1;
    const bool back = QTest::qWaitFor(
        [&] { return anna.calls->readyCount > readyA && boris.calls->readyCount > readyB; }, 30000);
    const double reconnect = back ? double(restartClock.elapsed()) / 1000.0 : -1;
    const int heardA2 = anna.heard;
    const int heardB2 = boris.heard;
    const double restartBack =
        secondsUntil([&] { return voiceFlows(anna, boris, heardA2, heardB2); }, 20000);
    figure("fault_restart_reconnect_s", reconnect, "s");
    figure("fault_restart_voice_back_s", restartBack, "s");
    if (restartBack < 0)
        comment(QStringLiteral("after the restart: call held by Анна %1, by Борис %2; boxes: %3")
                    .arg(!anna.calls->callRecord.isEmpty())
                    .arg(!boris.calls->callRecord.isEmpty())
                    .arg(boxes.join(QStringLiteral("; "))));
    voiceTick.stop();
    screenTick.stop();
    anna.calls->hangUp();
    boris.calls->hangUp();
    anna.calls->sessionUserId.clear();
    boris.calls->sessionUserId.clear();
    anna.calls->reconnectTimer.stop();
    boris.calls->reconnectTimer.stop();
    return 0;
}

// (d) A 2 MB file is downloaded over an older copy while the process may write at most 256 kB.
int diskFull() {
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("large.bin"));
    QFile file(source);
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(2 * 1024 * 1024, 'x')) < 0)
        return 1;
    file.close();
    Window w;
    QNetworkCookie cookie(QByteArrayLiteral("tovik_web_session"), QByteArrayLiteral("tok1"));
    cookie.setPath(QStringLiteral("/"));
    cookie.setSecure(true);
    w.net.cookieJar()->setCookiesFromUrl({cookie}, QUrl(w.baseUrl));
    w.currentChatId = QStringLiteral("u1-u2");
    w.uploadPath(source);
    QString address;
    const bool uploaded = QTest::qWaitFor(
        [&] {
            for (int i = 0; i < w.messageList->count(); ++i) {
                const QString url = w.messageList->item(i)->data(Qt::UserRole).toString();
                if (!url.isEmpty())
                    address = url;
            }
            return !address.isEmpty();
        },
        20000);
    if (!uploaded)
        return comment(QStringLiteral("the file was not uploaded")), 1;
    const QString target = dir.filePath(QStringLiteral("kept.bin"));
    QFile kept(target);
    if (!kept.open(QIODevice::WriteOnly) || kept.write("old contents") < 0)
        return 1;
    kept.close();

    rlimit original{};
    getrlimit(RLIMIT_FSIZE, &original);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = original;
    limited.rlim_cur = 256 * 1024;
    setrlimit(RLIMIT_FSIZE, &limited);
    w.statusLabel->clear();
    w.downloadTo(QUrl(address), target);
    const bool ended = QTest::qWaitFor(
        [&] {
            return w.statusLabel->text().startsWith(QStringLiteral("Не ")) ||
                   w.statusLabel->text() == QStringLiteral("Файл сохранён");
        },
        20000);
    setrlimit(RLIMIT_FSIZE, &original);
    std::signal(SIGXFSZ, previousHandler);
    if (!ended || !kept.open(QIODevice::ReadOnly))
        return comment(QStringLiteral("the download never ended")), 1;
    comment(QStringLiteral("disk full: the status read \"%1\"").arg(w.statusLabel->text()));
    figure("fault_disk_full_target_kept", kept.readAll() == "old contents" ? 1 : 0, "bool");
    figure("fault_disk_full_reported",
           w.statusLabel->text() == QStringLiteral("Не удалось сохранить файл") ? 1 : 0, "bool");
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    testutil::isolateUserData();
    service::installTrust();
    LocalService service;
    // The service keeps its live calls in a state file, so that a restart can take them back.
    QTemporaryDir state;
    if (!service.start({QStringLiteral("--session"), QStringLiteral("u1:tok1"),
                        QStringLiteral("--session"), QStringLiteral("u2:tok2"),
                        QStringLiteral("--state-file"),
                        state.filePath(QStringLiteral("state.json"))})) {
        comment(QStringLiteral("the local service did not start"));
        return 1;
    }
    int status = callFaults(service);
    status |= diskFull();
    service.stop();
    return status;
}
