// Voice figures on a private headless PulseAudio, through the local service: two clients, each in
// its own process (as on two machines), in one call.
//
//   bench_voice [--runs N] [--sharing]
//
// Latency and dropouts are measured twice: on a quiet machine, and under a standard load of two
// busy processes at normal priority (started and stopped here). With --sharing both clients share
// their screens during the call and only the dropout figure is measured, as
// voice_dropouts_sharing_per_10s, together with the memory the sharing side keeps once sharing
// has stopped (sharing_rss_retained_mb). The program re-runs itself with --client for each client
// process and with --busy for each load process.
#include "bench/benchutil.h"
#include "calls/mixer.h"
#include "calls/nativecalls.h"
#include "tests/support/localservice.h"
#include "tests/support/pulsetestserver.h"
#include "tests/support/testutil.h"
#include "tests/support/toneanalysis.h"
#include "web/service.h"
#include "web/servicetesthook.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <QtEndian>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

// Measurements only the benchmark makes, beside the tests' in toneanalysis.h.
namespace tone {

// The delay in samples, up to `maxLag`, at which `right` best matches the `length` samples of
// `left` starting at `begin`, with the normalised correlation there.
struct Match {
    qsizetype lag = -1;
    double correlation = 0;
};
inline Match bestLag(const Samples &left, const Samples &right, qsizetype begin, qsizetype length,
                     qsizetype maxLag) {
    Match best;
    double leftEnergy = 0;
    for (qsizetype i = 0; i < length; ++i)
        leftEnergy += double(left[begin + i]) * left[begin + i];
    for (qsizetype lag = 0; lag <= maxLag && begin + lag + length <= right.size(); ++lag) {
        double cross = 0;
        double rightEnergy = 0;
        for (qsizetype i = 0; i < length; ++i) {
            const double r = right[begin + lag + i];
            cross += double(left[begin + i]) * r;
            rightEnergy += r * r;
        }
        if (leftEnergy <= 0 || rightEnergy <= 0)
            continue;
        const double c = cross / std::sqrt(leftEnergy * rightEnergy);
        if (c > best.correlation) {
            best.correlation = c;
            best.lag = lag;
        }
    }
    return best;
}

// Runs of at least `minRun` consecutive samples quieter than `threshold` in [begin, end).
inline int silentRuns(const Samples &s, qsizetype begin, qsizetype end, qsizetype minRun,
                      int threshold) {
    int runs = 0;
    qsizetype quiet = 0;
    for (qsizetype i = begin; i < end; ++i) {
        if (std::abs(int(s[i])) < threshold) {
            if (++quiet == minRun)
                ++runs;
        } else {
            quiet = 0;
        }
    }
    return runs;
}

} // namespace tone

namespace {

using benchutil::comment;
using benchutil::figure;
using benchutil::median;

// ---- client process ----

// Signs in with a ready-made session, dials or answers, reports "active" once the voice runs, and
// hangs up when its standard input closes. With --sharing, the lines "share" and "unshare" on its
// standard input start and stop sharing the screen; it answers "sharing", "not sharing" or
// "unshared".
int runClient(QApplication &app, const QStringList &args) {
    if (args.size() < 6)
        return 2;
    const int port = args[2].toInt();
    const QString user = args[3];
    const QString token = args[4];
    const bool dials = args[5] == QLatin1String("dial");
    const bool sharing = args.contains(QStringLiteral("--sharing"));

    testutil::isolateUserData();
    service::installTrust();
    servicetesthook::pointAt(QStringLiteral("localhost"), port);
    QWidget window;
    auto *calls = new NativeCalls(nullptr, &window);
    // Answers the screen-sharing question with Yes; gone afterwards, so it costs the call nothing.
    auto boxCloser = std::make_unique<QObject>();
    if (sharing)
        testutil::autoCloseModalBoxes(boxCloser.get(), true);
    calls->setCredentials(user, token);

    bool dialed = false;
    bool answered = false;
    bool reported = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &window, [&] {
        if (dials && !dialed && calls->connected) {
            dialed = true;
            calls->dial(QStringLiteral("u1-u2"), QStringLiteral("Борис Орлов"));
        }
        if (!dials && !answered && calls->answerButton.isVisible()) {
            answered = true;
            calls->answer();
        }
        if (!reported && calls->mediaActive) {
            reported = true;
            if (!sharing)
                boxCloser.reset();
            poll.stop();
            std::printf("active\n");
            std::fflush(stdout);
        }
    });
    poll.start(20);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &window, [&] {
        char buffer[256];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got > 0) {
            const QByteArray said(buffer, int(got));
            if (said.startsWith("share") && !calls->screenTimer.isActive()) {
                calls->toggleScreenShare();
                std::printf(calls->screenTimer.isActive() ? "sharing\n" : "not sharing\n");
            } else if (said.startsWith("unshare") && calls->screenTimer.isActive()) {
                calls->toggleScreenShare();
                std::printf("unshared\n");
            }
            std::fflush(stdout);
            return;
        }
        input.setEnabled(false);
        calls->hangUp();
        QTimer::singleShot(300, &window, [&app] { app.quit(); });
    });
    return app.exec();
}

// ---- measuring process ----

class Bench {
public:
    bool start(bool sharing) {
        if (!pulse.start()) {
            comment(QStringLiteral("PulseAudio did not start: ") + pulse.errors());
            return false;
        }
        if (!service.start({QStringLiteral("--session"), QStringLiteral("u1:tok1"),
                            QStringLiteral("--session"), QStringLiteral("u2:tok2")})) {
            comment(QStringLiteral("the local service did not start"));
            return false;
        }
        startClient(a, QStringLiteral("u1"), QStringLiteral("tok1"), "micA", "spkA", true, sharing);
        startClient(b, QStringLiteral("u2"), QStringLiteral("tok2"), "micB", "spkB", false,
                    sharing);
        if (!QTest::qWaitFor([this] { return isActive(a, activeA) && isActive(b, activeB); },
                             30000)) {
            comment(QStringLiteral("the two clients did not get into a call"));
            return false;
        }
        // Let the queues and the loudspeaker buffers settle as in a call that has been running (an
        // idle null sink may take up to two seconds to deliver its first block).
        QTest::qWait(4000);
        return true;
    }

    // Sends a line to one client, or both, and waits for the answers; true when all said
    // `expected`.
    bool tell(const QByteArray &line, const QByteArray &expected, bool alsoB = true) {
        QList<QProcess *> told{&a};
        if (alsoB)
            told << &b;
        QList<QByteArray> said(told.size());
        for (QProcess *client : told)
            client->write(line + '\n');
        const bool answered = QTest::qWaitFor(
            [&] {
                bool all = true;
                for (qsizetype i = 0; i < told.size(); ++i) {
                    said[i] += told[i]->readAllStandardOutput();
                    all = all && said[i].contains('\n');
                }
                return all;
            },
            15000);
        return answered && std::all_of(said.begin(), said.end(), [&](const QByteArray &text) {
                   return text.startsWith(expected);
               });
    }

    // Resident memory of client A's process, in MiB.
    double residentMegabytes() const {
        QFile status(QStringLiteral("/proc/%1/status").arg(a.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return 0;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
        }
        return 0;
    }

    // The standard load: two processes that keep a core busy each, at normal priority.
    void startLoad() {
        for (auto &busy : load) {
            busy = std::make_unique<QProcess>();
            busy->start(QCoreApplication::applicationFilePath(), {QStringLiteral("--busy")});
            busy->waitForStarted(5000);
        }
    }
    void stopLoad() {
        for (auto &busy : load) {
            if (busy && busy->state() != QProcess::NotRunning) {
                busy->kill();
                busy->waitForFinished(5000);
            }
            busy.reset();
        }
    }

    void stop() {
        stopLoad();
        for (QProcess *client : {&a, &b}) {
            if (client->state() == QProcess::NotRunning)
                continue;
            client->closeWriteChannel();
            if (!QTest::qWaitFor([client] { return client->state() == QProcess::NotRunning; },
                                 5000)) {
                client->terminate();
                if (!client->waitForFinished(3000)) {
                    client->kill();
                    client->waitForFinished(3000);
                }
            }
        }
        service.stop();
        pulse.stop();
    }

    // Plays `wav` into A's microphone and records what A's microphone and B's loudspeaker did.
    tone::Stereo playAndRecord(const QByteArray &wav) {
        const QString path = files.filePath(QStringLiteral("stimulus.wav"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(wav) != wav.size())
            return {};
        file.close();
        pulsetools::Recorder recorder;
        if (!recorder.start(pulse, QStringLiteral("busAB.monitor")))
            return {};
        const bool played = pulsetools::play(pulse, {{QStringLiteral("busAB"), path}});
        QTest::qWait(700);
        const QByteArray raw = recorder.finish();
        return played ? tone::split(raw) : tone::Stereo{};
    }

    // Ten 20 ms bursts, one a second; for each, the delay at which B's loudspeaker matches it.
    QList<double> latencies() {
        tone::Samples left(11 * tone::rate, 0);
        const tone::Samples burst = tone::sine(1000, 8000, tone::rate / 50);
        for (int i = 0; i < 10; ++i)
            std::copy(burst.begin(), burst.end(), left.begin() + (tone::rate / 2 + i * tone::rate));
        const tone::Stereo bus = playAndRecord(tone::leftOnlyWav(left));
        QList<double> found;
        qsizetype from = 0;
        for (int i = 0; i < 10; ++i) {
            const tone::Span span = tone::loudSpan(bus.left, 1000, from, from + tone::rate * 2);
            if (span.isEmpty())
                break;
            const qsizetype begin = std::max<qsizetype>(0, span.begin - 2);
            const tone::Match match =
                tone::bestLag(bus.left, bus.right, begin, burst.size() + 2, tone::rate / 2);
            if (match.correlation > 0.8)
                found << double(match.lag) * 1000.0 / tone::rate;
            else
                comment(QStringLiteral("burst %1 not heard (best correlation %2)")
                            .arg(i + 1)
                            .arg(match.correlation, 0, 'f', 2));
            from = span.begin + tone::rate / 2;
        }
        return found;
    }

    // Silent stretches of 2 ms or more in B's loudspeaker during 10 s of steady tone.
    int dropouts() {
        const tone::Stereo bus =
            playAndRecord(tone::leftOnlyWav(tone::sine(1000, 8000, 11 * tone::rate)));
        const tone::Span heard = tone::loudSpan(bus.right, 1000);
        if (heard.isEmpty() || heard.end - heard.begin < 10 * tone::rate) {
            comment(QStringLiteral("the steady tone was not heard for 10 s"));
            return -1;
        }
        return tone::silentRuns(bus.right, heard.begin, heard.begin + 10 * tone::rate,
                                tone::rate / 500, 100);
    }

    // Percent of one core that client A's process used over `seconds` of the call.
    double cpuPercent(int seconds) {
        const double before = cpuSeconds(a.processId());
        QElapsedTimer wall;
        wall.start();
        QTest::qWait(seconds * 1000);
        const double used = cpuSeconds(a.processId()) - before;
        return 100.0 * used / (double(wall.nsecsElapsed()) / 1e9);
    }

private:
    void startClient(QProcess &client, const QString &user, const QString &token, const char *mic,
                     const char *speaker, bool dials, bool sharing) {
        QProcessEnvironment env = pulse.environment();
        env.insert(QStringLiteral("PULSE_SOURCE"), QString::fromLatin1(mic));
        env.insert(QStringLiteral("PULSE_SINK"), QString::fromLatin1(speaker));
        client.setProcessEnvironment(env);
        client.setProcessChannelMode(QProcess::SeparateChannels);
        client.setStandardErrorFile(QProcess::nullDevice());
        QStringList args{QStringLiteral("--client"), QString::number(service.port()), user, token,
                         dials ? QStringLiteral("dial") : QStringLiteral("answer")};
        if (sharing)
            args << QStringLiteral("--sharing");
        client.start(QCoreApplication::applicationFilePath(), args);
    }

    bool isActive(QProcess &client, bool &seen) {
        const QByteArray said = client.readAllStandardOutput();
        seen = seen || said.contains("active");
        return seen;
    }

    static double cpuSeconds(qint64 pid) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return 0;
        const QByteArray line = stat.readAll();
        // Fields after the parenthesised command name; utime and stime are the 14th and 15th.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 13)
            return 0;
        const double ticks = fields[11].toDouble() + fields[12].toDouble();
        return ticks / double(sysconf(_SC_CLK_TCK));
    }

    PulseTestServer pulse;
    LocalService service;
    QTemporaryDir files;
    QProcess a;
    QProcess b;
    bool activeA = false;
    bool activeB = false;
    std::unique_ptr<QProcess> load[2];
};

// One tick of the mixer with eight senders, each with a queued block.
double mixTickMicroseconds() {
    QByteArray block(320, Qt::Uninitialized);
    for (int i = 0; i < 160; ++i)
        qToLittleEndian<qint16>(qint16((i * 397) % 20000 - 10000), block.data() + 2 * i);
    mixer::Queues queues;
    for (int s = 0; s < 8; ++s)
        queues[QStringLiteral("sender%1").arg(s)];
    QList<double> runs;
    qint64 sink = 0;
    for (int run = 0; run < 15; ++run) {
        qint64 nanos = 0;
        constexpr int batches = 5000;
        for (int batch = 0; batch < batches; ++batch) {
            for (auto &queue : queues) {
                for (qsizetype n = 0; n < mixer::maxQueuedBlocks; ++n)
                    queue.enqueue(block);
            }
            QElapsedTimer timer;
            timer.start();
            for (qsizetype n = 0; n < mixer::maxQueuedBlocks; ++n)
                sink += mixer::mixTick(queues).at(n);
            nanos += timer.nsecsElapsed();
        }
        runs << double(nanos) / 1000.0 / double(batches * mixer::maxQueuedBlocks);
    }
    comment(QStringLiteral("mix tick: 15 runs of %1 ticks (checksum %2)")
                .arg(5000 * mixer::maxQueuedBlocks)
                .arg(sink));
    return median(runs);
}

// Latency and dropout runs of one condition (quiet or loaded), as medians over the runs.
struct VoiceRuns {
    QList<double> medians;
    QList<double> maxima;
    QList<double> dropouts;
};

VoiceRuns measureVoice(Bench &bench, int runs, const QString &condition) {
    VoiceRuns found;
    for (int run = 0; run < runs; ++run) {
        const int count = bench.dropouts();
        if (count >= 0)
            found.dropouts << count;
    }
    for (int run = 0; run < runs; ++run) {
        const QList<double> lags = bench.latencies();
        if (lags.size() < 10)
            comment(QStringLiteral("%1 run %2: only %3 of 10 bursts heard")
                        .arg(condition)
                        .arg(run + 1)
                        .arg(lags.size()));
        if (lags.isEmpty())
            continue;
        found.medians << median(lags);
        found.maxima << *std::max_element(lags.begin(), lags.end());
        comment(QStringLiteral("%1 run %2: latency min %3 median %4 max %5 ms")
                    .arg(condition)
                    .arg(run + 1)
                    .arg(*std::min_element(lags.begin(), lags.end()))
                    .arg(median(lags))
                    .arg(found.maxima.last()));
    }
    QStringList counts;
    for (double count : found.dropouts)
        counts << QString::number(count);
    comment(
        QStringLiteral("%1 dropouts per run: %2").arg(condition, counts.join(QLatin1Char(' '))));
    return found;
}

int runSharing(Bench &bench, int runs) {
    // Memory first, with only A sharing (as in a call where one side shows its screen): what A
    // keeps 10 s after sharing stopped, against what it had before it started.
    const double before = bench.residentMegabytes();
    if (!bench.tell("share", "sharing", false)) {
        comment(QStringLiteral("screen sharing did not start"));
        bench.stop();
        return 1;
    }
    QTest::qWait(20000);
    const double during = bench.residentMegabytes();
    const bool unshared = bench.tell("unshare", "unshared", false);
    QTest::qWait(10000);
    const double after = bench.residentMegabytes();
    // A second round shows whether what is kept is a one-time cost or grows with every share.
    const bool again = bench.tell("share", "sharing", false) && (QTest::qWait(20000), true) &&
                       bench.tell("unshare", "unshared", false) && (QTest::qWait(10000), true);
    if (again)
        comment(QStringLiteral("sharing side resident after a second 20 s share: %1 MiB")
                    .arg(bench.residentMegabytes(), 0, 'f', 1));
    comment(QStringLiteral("sharing side resident: %1 MiB before sharing, %2 after 20 s of "
                           "sharing, %3 10 s after it stopped")
                .arg(before, 0, 'f', 1)
                .arg(during, 0, 'f', 1)
                .arg(after, 0, 'f', 1));
    if (unshared && before > 0 && after > 0)
        figure("sharing_rss_retained_mb", after - before, "MiB");

    if (!bench.tell("share", "sharing")) {
        comment(QStringLiteral("screen sharing did not start on both sides"));
        bench.stop();
        return 1;
    }
    QList<double> dropoutRuns;
    for (int run = 0; run < runs; ++run) {
        const int count = bench.dropouts();
        if (count >= 0)
            dropoutRuns << count;
    }
    bench.stop();
    comment(QStringLiteral("dropouts while both share: median of %1 runs of 10 s").arg(runs));
    if (!dropoutRuns.isEmpty())
        figure("voice_dropouts_sharing_per_10s", median(dropoutRuns), "count");
    return dropoutRuns.isEmpty() || !unshared ? 1 : 0;
}

int runBench(const QStringList &args) {
    const bool sharing = args.contains(QStringLiteral("--sharing"));
    int runs = 3;
    if (const qsizetype at = args.indexOf(QStringLiteral("--runs")); at > 0 && at + 1 < args.size())
        runs = std::clamp(args[at + 1].toInt(), 1, 20);
    testutil::isolateUserData();

    if (!sharing)
        figure("mix_tick_8_senders_us", mixTickMicroseconds(), "us");

    Bench bench;
    if (!bench.start(sharing)) {
        bench.stop();
        return 1;
    }
    if (sharing)
        return runSharing(bench, runs);

    const VoiceRuns quiet = measureVoice(bench, runs, QStringLiteral("quiet"));
    QList<double> cpu;
    for (int run = 0; run < runs; ++run)
        cpu << bench.cpuPercent(20);
    bench.startLoad();
    // The load's first seconds may stall the clients; the measurement starts once it has run.
    QTest::qWait(3000);
    const VoiceRuns loaded = measureVoice(bench, runs, QStringLiteral("loaded"));
    bench.stop();

    comment(QStringLiteral("voice: median of %1 runs (ten bursts each; 10 s of tone each; 20 s of "
                           "call each for the CPU); loaded: two busy processes running")
                .arg(runs));
    if (!quiet.medians.isEmpty()) {
        figure("voice_latency_median_ms", median(quiet.medians), "ms");
        figure("voice_latency_max_ms", median(quiet.maxima), "ms");
    }
    if (!quiet.dropouts.isEmpty())
        figure("voice_dropouts_per_10s", median(quiet.dropouts), "count");
    if (!loaded.medians.isEmpty()) {
        figure("voice_latency_median_loaded_ms", median(loaded.medians), "ms");
        figure("voice_latency_max_loaded_ms", median(loaded.maxima), "ms");
    }
    if (!loaded.dropouts.isEmpty())
        figure("voice_dropouts_loaded_per_10s", median(loaded.dropouts), "count");
    figure("call_cpu_percent", median(cpu), "%");
    return quiet.medians.isEmpty() || quiet.dropouts.isEmpty() || loaded.medians.isEmpty() ? 1 : 0;
}

// One core kept busy until the benchmark kills it, or dies, or ten minutes have passed.
int runBusy() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    volatile unsigned long spins = 0;
    while (std::chrono::steady_clock::now() < until) {
        for (int i = 0; i < 1000000; ++i)
            spins = spins + 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--busy") == 0)
        return runBusy();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() > 1 && args[1] == QLatin1String("--client"))
        return runClient(app, args);
    return runBench(args);
}
