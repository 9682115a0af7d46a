// Voice through a real, private, headless PulseAudio: the back end on its own, then two clients
// in a call through the local service, each hearing the other.
#include "tests/support/localservice.h"
#include "tests/support/pulsetestserver.h"
#include "tests/support/testkit.h"
#include "tests/support/toneanalysis.h"

#include <QFile>
#include <QLocalServer>
#include <QThread>

#include <cmath>
#include <mutex>

class VoiceCallTest : public QObject {
    Q_OBJECT
    PulseTestServer pulse;
    LocalService service;
    QTemporaryDir files;

    // Opens a device with PULSE_SERVER pointing elsewhere for the moment.
    bool opensAt(const QByteArray &server) {
        const QByteArray own = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", server);
        const bool opened = createSystemAudioDevice()->open([](const char *, int) {});
        qputenv("PULSE_SERVER", own);
        return opened;
    }

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        service::installTrust();
        QVERIFY2(pulse.start(), qPrintable(pulse.errors()));
        QVERIFY(service.start({"--session", "u1:tok1", "--session", "u2:tok2"}));
    }

    // Unknown devices, no server and a server that never answers are refused without holding the
    // GUI thread; a device delivers whole blocks on its own thread, holds only a few playback
    // blocks, and outlives its server.
    void device() {
        for (const auto &[mic, speaker] :
             {std::pair{"nosuchsource", "spkA"}, std::pair{"micA", "nosuchsink"},
              std::pair{"spkA", "spkA"}}) {
            const auto d = createSystemAudioDevice(mic, speaker);
            QVERIFY(!d->open([](const char *, int) {}) && !d->isOpen() && !d->canWrite());
        }
        QVERIFY(!opensAt("unix:" + files.filePath("nothing-here").toUtf8()));
        QLocalServer silent;
        QVERIFY(silent.listen(files.filePath(QStringLiteral("silent"))));
        QVERIFY(!opensAt("unix:" + silent.fullServerName().toUtf8()));

        std::mutex lock;
        QList<int> sizes;
        bool onGuiThread = false;
        const auto d = createSystemAudioDevice("micA", "spkA");
        QVERIFY(d->open([&](const char *, int size) {
            std::lock_guard<std::mutex> hold(lock);
            sizes << size;
            onGuiThread = onGuiThread || QThread::currentThread() == qApp->thread();
        }));
        const char silence[AudioDevice::blockBytes] = {};
        int written = 0;
        for (; d->canWrite() && written < 100; ++written)
            d->write(silence);
        QVERIFY2(written >= 2 && written <= 8, qPrintable(QString::number(written)));
        QVERIFY(waitUntil([&] { return d->canWrite(); }, 2000));
        QVERIFY(waitUntil(
            [&] {
                std::lock_guard<std::mutex> hold(lock);
                return sizes.size() >= 10;
            },
            5000));
        d->reset();
        d->close();
        QVERIFY(!d->isOpen());
        {
            std::lock_guard<std::mutex> hold(lock);
            QCOMPARE(sizes, QList<int>(sizes.size(), AudioDevice::blockBytes));
            QVERIFY(!onGuiThread);
        }

        const QByteArray server = qgetenv("PULSE_SERVER"), config = qgetenv("PULSE_CLIENTCONFIG");
        {
            PulseTestServer own;
            QVERIFY2(own.start(), qPrintable(own.errors()));
            std::atomic<int> blocks{0};
            const auto orphan = createSystemAudioDevice("micA", "spkA");
            QVERIFY(orphan->open([&blocks](const char *, int) { ++blocks; }));
            QVERIFY(waitUntil([&] { return blocks > 0; }, 5000));
            own.stop();
            QVERIFY(waitUntil([&] { return !orphan->canWrite(); }, 5000));
            orphan->write(silence);
            orphan->reset();
            orphan->close();
        }
        qputenv("PULSE_SERVER", server);
        qputenv("PULSE_CLIENTCONFIG", config);
    }

    // Two seconds of 1 kHz at -12 dBFS into each microphone at once: each side hears the other's
    // tone at its pitch and level.
    void twoClientsInACallHearEachOther() {
        CallClient a(false), b(false);
        a.calls->voice.setDevice(createSystemAudioDevice("micA", "spkA"));
        b.calls->voice.setDevice(createSystemAudioDevice("micB", "spkB"));
        QVERIFY(a.signIn("u1", "tok1") && b.signIn("u2", "tok2"));
        a.calls->dial(QStringLiteral("u1-u2"), QStringLiteral("Борис Орлов"));
        QVERIFY(waitUntil([&] { return b.calls->answerButton.isVisible(); }));
        b.calls->answer();
        QVERIFY2(waitUntil([&] { return a.calls->mediaActive && b.calls->mediaActive; }),
                 qPrintable(a.boxes.join(" | ")));
        // A null sink nobody listened to may take a while to deliver its first block.
        QVERIFY(waitUntil(
            [&] { return !a.calls->lastAudioSeq.isEmpty() && !b.calls->lastAudioSeq.isEmpty(); }));
        const QString wavPath = files.filePath(QStringLiteral("tone.wav"));
        QFile wav(wavPath);
        QVERIFY(wav.open(QIODevice::WriteOnly));
        wav.write(tone::leftOnlyWav(tone::sine(1000, 8000, 2 * tone::rate)));
        wav.close();
        pulsetools::Recorder ab, ba;
        QVERIFY(ab.start(pulse, "busAB.monitor") && ba.start(pulse, "busBA.monitor"));
        QVERIFY(pulsetools::play(pulse, {{"busAB", wavPath}, {"busBA", wavPath}}));
        QTest::qWait(600); // the tail travels through both clients
        const QByteArray recordings[] = {ab.finish(), ba.finish()};
        a.calls->hangUp();
        QVERIFY(waitUntil([&] { return !b.calls->mediaActive; }));
        QVERIFY(!a.calls->mediaActive && a.boxes.isEmpty() && b.boxes.isEmpty());

        for (const QByteArray &raw : recordings) {
            // The steady part of the tone on each channel; a quarter second is left out at either
            // end.
            const tone::Stereo bus = tone::split(raw);
            const qsizetype margin = tone::rate / 4;
            const tone::Span in = tone::loudSpan(bus.left, 1000),
                             out = tone::loudSpan(bus.right, 1000);
            QVERIFY2(!in.isEmpty() && in.end - in.begin >= 4 * margin,
                     "the tone did not reach the microphone");
            QVERIFY2(!out.isEmpty() && out.end - out.begin >= 4 * margin,
                     "too little came out of the other loudspeaker");
            const double inRms = tone::rms(bus.left, in.begin + margin, in.end - margin);
            const double outRms = tone::rms(bus.right, out.begin + margin, out.end - margin);
            const double hertz = tone::frequency(bus.right, out.begin + margin, out.end - margin);
            const double levelDb = 20 * std::log10(outRms / inRms);
            const QString seen = QStringLiteral("%1 Hz, level %2 dB").arg(hertz).arg(levelDb);
            qInfo("%s", qPrintable(seen));
            QVERIFY2(std::abs(hertz / 1000.0 - 1) <= 0.05 && std::abs(levelDb) <= 3,
                     qPrintable(seen));
        }
    }
};

QTEST_MAIN(VoiceCallTest)
#include "tst_voicecall.moc"
