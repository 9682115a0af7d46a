// Received "native_audio" frames through the whole receive path on the GUI thread: frame codec,
// JSON, dispatch, Base64, duplicate check and per-sender queue (NativeCalls::handle).
//
//   bench_frames [--runs N] [--frames N]

#include "calls/nativecalls.h"
#include "tests/support/testutil.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUuid>
#include <QWidget>

#include <algorithm>
#include <cstdio>

#include <time.h>

namespace {

double median(QList<double> values) {
    std::sort(values.begin(), values.end());
    const qsizetype mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// As the server relays them: two senders taking turns, fresh sequence numbers, a full block each.
QStringList audioFrames(const QString &callId, int count) {
    QStringList out;
    out.reserve(count);
    QByteArray block(320, '\0');
    for (int i = 0; i < count; ++i) {
        for (int b = 0; b < block.size(); ++b)
            block[b] = char((i * 31 + b * 7) & 0xff);
        const QString from = i % 2 ? QStringLiteral("u3") : QStringLiteral("u2");
        const QJsonObject payload{{QStringLiteral("id"), callId},
                                  {QStringLiteral("from"), from},
                                  {QStringLiteral("seq"), i / 2 + 1},
                                  {QStringLiteral("pcm"), QString::fromLatin1(block.toBase64())},
                                  {QStringLiteral("sentAt"), 1733500000000.0 + i * 20}};
        out << QStringLiteral("42") +
                   QString::fromUtf8(
                       QJsonDocument(QJsonArray{QStringLiteral("native_audio"), payload})
                           .toJson(QJsonDocument::Compact));
    }
    return out;
}

// CPU time of this thread: the figure is per core, whatever else the machine is doing.
qint64 threadCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int argument(const QStringList &args, const QString &name, int fallback) {
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
}

} // namespace

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    testutil::isolateUserData();
    const QStringList args = app.arguments();
    const int runs = std::max(1, argument(args, QStringLiteral("--runs"), 9));
    const int count = std::max(2, argument(args, QStringLiteral("--frames"), 100000));

    QWidget window;
    auto *calls = new NativeCalls(nullptr, &window);
    calls->callId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QStringList frames = audioFrames(calls->callId, count);

    QList<double> rates;
    QList<double> wallRates;
    for (int run = 0; run < runs; ++run) {
        calls->audioQueues.clear();
        calls->lastAudioSeq.clear();
        QElapsedTimer clock;
        clock.start();
        const qint64 cpuStart = threadCpuNs();
        for (const QString &frame : frames)
            calls->handle(frame);
        const qint64 cpuNs = threadCpuNs() - cpuStart;
        const qint64 wallNs = clock.nsecsElapsed();
        // Every frame must have got as far as the duplicate check, or the figure means nothing.
        const unsigned long long last = static_cast<unsigned long long>(count / 2);
        if (calls->lastAudioSeq.value(QStringLiteral("u2")) < last ||
            calls->lastAudioSeq.value(QStringLiteral("u3")) < last) {
            std::printf("# frames did not reach the voice queues; no figure\n");
            return 1;
        }
        rates << count / (double(cpuNs) / 1e9);
        wallRates << count / (double(wallNs) / 1e9);
    }
    std::printf("# %d runs of %d frames of %lld characters; thread CPU time; by wall clock %.0f\n",
                runs, count, static_cast<long long>(frames.first().size()), median(wallRates));
    std::printf("figure audio_frames_per_s %.0f frames/s\n", median(rates));
    return 0;
}
