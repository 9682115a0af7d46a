// Voice through a real, private, headless PulseAudio: the back end on its own, then two clients
// in a call through the local service, each hearing the other.
#include "calls/ringer.h"
#include "tests/support/localservice.h"
#include "tests/support/pulsetestserver.h"
#include "tests/support/testkit.h"
#include "tests/support/toneanalysis.h"

#include <QFile>
#include <QLocalServer>
#include <QThread>

#include <atomic>
#include <cmath>

class VoiceCallTest : public QObject {
    Q_OBJECT
    PulseTestServer pulse;
    LocalService service;
    QTemporaryDir files;

    QString sinkInputs() {
        QProcess pactl;
        pactl.setProcessEnvironment(pulse.environment());
        pactl.start(QStringLiteral("pactl"), {"list", "sink-inputs"});
        pactl.waitForFinished(10000);
        return QString::fromUtf8(pactl.readAllStandardOutput());
    }
    QString wavOf(int seconds) {
        const QString path = files.filePath(QStringLiteral("tone%1.wav").arg(seconds));
        QFile wav(path);
        if (wav.open(QIODevice::WriteOnly))
            wav.write(tone::leftOnlyWav(tone::sine(1000, 8000, seconds * tone::rate)));
        return path;
    }

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        service::installTrust();
        QVERIFY2(pulse.start(), qPrintable(pulse.errors()));
        QVERIFY(service.start({"--session", "u1:tok1", "--session", "u2:tok2"}));
    }

    // Unknown devices, no server and a server that never answers are refused without holding the
    // GUI thread; a device delivers whole blocks on its own thread and holds only a few playback
    // blocks.
    void device() {
        // pipewire-pulse moves a stream for an unknown device to the default one.
        for (const auto &[mic, speaker] :
             {std::pair{"nosuchsource", "spkA"}, std::pair{"micA", "nosuchsink"},
              std::pair{"spkA", "spkA"}}) {
            if (pulse.kind() == "pipewire")
                break;
            const auto d = createSystemAudioDevice(mic, speaker);
            QVERIFY(!d->open([](const char *, int) {}) && !d->isOpen() && !d->canWrite());
        }
        QLocalServer silent;
        QVERIFY(silent.listen(files.filePath(QStringLiteral("silent"))));
        const QByteArray own = qgetenv("PULSE_SERVER");
        for (const QString &server : {files.filePath("nothing-here"), silent.fullServerName()}) {
            qputenv("PULSE_SERVER", "unix:" + server.toUtf8());
            QVERIFY(!createSystemAudioDevice()->open([](const char *, int) {}));
            // With no server to play the ring the bell rings instead.
            QVERIFY(server == silent.fullServerName() || !Ringer().ring());
        }
        qputenv("PULSE_SERVER", own);

        std::atomic<int> blocks{0}, odd{0}; // odd: of another size, or on the GUI thread
        const auto d = createSystemAudioDevice("micA", "spkA");
        QVERIFY(d->open([&](const char *, int size) {
            ++blocks;
            odd += size != AudioDevice::blockBytes || QThread::currentThread() == qApp->thread();
        }));
        const char silence[AudioDevice::blockBytes] = {};
        int written = 0;
        for (; d->canWrite() && written < 100; ++written)
            d->write(silence);
        QVERIFY2(written >= 2 && written <= 8, qPrintable(QString::number(written)));
        QVERIFY(waitUntil([&] { return d->canWrite() && blocks >= 10; }, 5000));
        d->reset();
        d->close();
        QVERIFY(!d->isOpen() && odd == 0);
    }

    // The ring is the desktop's event sound through the sound server, silenced with the ringing.
    void ringPlaysTheDesktopSound() {
        Ringer ringer;
        QVERIFY(ringer.ring());
        QVERIFY(waitUntil([&] { return sinkInputs().contains("phone-incoming-call"); }, 5000));
        ringer.stop();
        QVERIFY(waitUntil([&] { return !sinkInputs().contains("phone-incoming-call"); }, 5000));
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
        const auto bothHear = [&](const char *when) {
            pulsetools::Recorder ab, ba;
            QVERIFY(ab.start(pulse, "busAB.monitor") && ba.start(pulse, "busBA.monitor"));
            QVERIFY(pulsetools::play(pulse, {{"busAB", wavOf(2)}, {"busBA", wavOf(2)}}));
            QTest::qWait(600); // the tail travels through both clients
            for (const QByteArray &raw : {ab.finish(), ba.finish()}) {
                // The steady part of the tone on each channel; a quarter second is left out at
                // either end.
                const tone::Stereo bus = tone::split(raw);
                const qsizetype margin = tone::rate / 4;
                const tone::Span in = tone::loudSpan(bus.left, 1000),
                                 out = tone::loudSpan(bus.right, 1000);
                QVERIFY2(in.end - in.begin >= 4 * margin && out.end - out.begin >= 4 * margin,
                         "too little of the tone came through");
                const double inRms = tone::rms(bus.left, in.begin + margin, in.end - margin);
                const double outRms = tone::rms(bus.right, out.begin + margin, out.end - margin);
                const double hertz =
                    tone::frequency(bus.right, out.begin + margin, out.end - margin);
                const double levelDb = 20 * std::log10(outRms / inRms);
                const QString seen =
                    QStringLiteral("%1: %2 Hz, level %3 dB").arg(when).arg(hertz).arg(levelDb);
                QVERIFY2(std::abs(hertz / 1000.0 - 1) <= 0.05 && std::abs(levelDb) <= 3,
                         qPrintable(seen));
            }
        };
        bothHear("at first");
        if (QTest::currentTestFailed())
            return;
        for (const char *property : {"media.role = \"phone\"", "filter.want = \"echo-cancel\""})
            QVERIFY2(sinkInputs().contains(QLatin1String(property)), property);

        // The audio server goes away mid-call and comes back: both clients stay in the call and
        // reopen their devices.
        pulse.stop();
        QVERIFY(waitUntil([&] { return !a.calls->voice.running && !b.calls->voice.running; }));
        QVERIFY2(pulse.start(), qPrintable(pulse.errors()));
        QVERIFY(waitUntil([&] { return a.calls->voice.running && b.calls->voice.running; }));
        const auto aHeard = a.calls->lastAudioSeq.value("u2"),
                   bHeard = b.calls->lastAudioSeq.value("u1");
        QVERIFY(waitUntil([&] {
            return a.calls->lastAudioSeq.value("u2") > aHeard + 5 &&
                   b.calls->lastAudioSeq.value("u1") > bHeard + 5;
        }));
        bothHear("after the audio server came back");

        a.calls->hangUp();
        QVERIFY(waitUntil([&] { return !b.calls->mediaActive; }));
        QVERIFY(!a.calls->mediaActive);

        // The echo contact answers at once and plays back what it hears a second later.
        a.calls->dial(QStringLiteral("echo-u1"), QStringLiteral("Эхо-тест"));
        QVERIFY(waitUntil([&] { return !a.calls->lastAudioSeq.isEmpty(); }));
        pulsetools::Recorder said, heard;
        QVERIFY(said.start(pulse, "busAB.monitor") && heard.start(pulse, "busBA.monitor"));
        QVERIFY(pulsetools::play(pulse, {{"busAB", wavOf(1)}}));
        QTest::qWait(3000); // a second on its way back, with room for a busy machine
        const tone::Samples in = tone::split(said.finish()).left;
        const tone::Samples out = tone::split(heard.finish()).right;
        a.calls->hangUp();
        const tone::Span sent = tone::loudSpan(in, 1000), back = tone::loudSpan(out, 1000);
        QVERIFY2(!sent.isEmpty() && back.end - back.begin > tone::rate / 2, "no tone came back");
        const double delay = double(back.begin - sent.begin) / tone::rate;
        const double hertz = tone::frequency(out, back.begin, back.end);
        const QString seen = QStringLiteral("back after %1 s at %2 Hz").arg(delay).arg(hertz);
        QVERIFY2(delay > 0.7 && std::abs(hertz / 1000.0 - 1) <= 0.05, qPrintable(seen));
        QVERIFY(a.boxes.isEmpty() && b.boxes.isEmpty());
    }
};

QTEST_MAIN(VoiceCallTest)
#include "tst_voicecall.moc"
