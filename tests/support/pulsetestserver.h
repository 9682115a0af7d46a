#pragma once

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

// The private headless PulseAudio of scripts/pulse-test-server.sh, for the voice tests and
// benchmarks. start() also points this process's libpulse at it; every stream created afterwards
// talks to it. The destructor stops it.
class PulseTestServer {
public:
    ~PulseTestServer() { stop(); }

    bool start() {
        QProcess script;
        if (!dir.isValid() || !runScript(script, QStringLiteral("start"), 30000) ||
            script.exitCode() != 0) {
            log = QString::fromLocal8Bit(script.readAllStandardError());
            // Whatever got as far as writing a pid file is stopped again.
            QProcess stopper;
            runScript(stopper, QStringLiteral("stop"), 20000);
            return false;
        }
        running = true;
        env = QProcessEnvironment::systemEnvironment();
        for (const QByteArray &line : script.readAllStandardOutput().split('\n')) {
            const qsizetype eq = line.indexOf('=');
            const QByteArray name = line.left(eq), value = line.mid(eq + 1);
            if (eq > 0)
                env.insert(QString::fromLocal8Bit(name), QString::fromLocal8Bit(value));
            if (eq > 0 && (name == "PULSE_SERVER" || name == "PULSE_CLIENTCONFIG"))
                qputenv(name.constData(), value);
        }
        return true;
    }

    void stop() {
        QProcess script;
        if (std::exchange(running, false))
            runScript(script, QStringLiteral("stop"), 20000);
    }

    // For the helper programs (paplay, parecord, pactl, client processes).
    QProcessEnvironment environment() const { return env; }
    QString errors() const { return log; }
    // "pulseaudio", or "pipewire" (pipewire-pulse) where the pulseaudio package cannot be had.
    QString kind() const { return env.value(QStringLiteral("TOVIK_AUDIO_SERVER")); }

private:
    bool runScript(QProcess &script, const QString &action, int timeoutMs) {
        script.start(
            QStringLiteral("bash"),
            {QStringLiteral(TOVIK_SOURCE_DIR "/scripts/pulse-test-server.sh"), action, dir.path()});
        if (script.waitForFinished(timeoutMs))
            return script.exitStatus() == QProcess::NormalExit;
        script.kill();
        script.waitForFinished(5000);
        return false;
    }

    QTemporaryDir dir;
    QProcessEnvironment env;
    QString log;
    bool running = false;
};

// Helper programs of the audio server, run without blocking the event loop (the clients under test
// live on it).
namespace pulsetools {

inline void end(QProcess &process) {
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// Records one of the server's sources in stereo at 8 kHz, raw, into memory.
struct Recorder {
    ~Recorder() { finish(); }

    bool start(const PulseTestServer &server, const QString &source) {
        process.setProcessEnvironment(server.environment());
        process.start(QStringLiteral("parecord"),
                      {"--raw", "--latency-msec=20", "--device=" + source, "--rate=8000",
                       "--channels=2", "--format=s16le"});
        return process.waitForStarted(5000) &&
               QTest::qWaitFor([this] { return process.bytesAvailable() > 0; }, 5000);
    }

    // Stops recording; returns everything recorded since start().
    QByteArray finish() {
        if (process.state() != QProcess::NotRunning)
            end(process);
        return data += process.readAllStandardOutput();
    }

    QProcess process;
    QByteArray data;
};

struct Playback {
    QString sink, wavPath;
};

// Plays WAV files into sinks, all at once, and waits (event loop running) until all have played.
inline bool play(const PulseTestServer &server, const QList<Playback> &items,
                 int timeoutMs = 30000) {
    std::vector<std::unique_ptr<QProcess>> players;
    for (const Playback &item : items) {
        players.push_back(std::make_unique<QProcess>());
        players.back()->setProcessEnvironment(server.environment());
        players.back()->start(QStringLiteral("paplay"), {"--device=" + item.sink, item.wavPath});
    }
    const auto done = [](const auto &p) { return p->state() == QProcess::NotRunning; };
    bool ok = QTest::qWaitFor([&] { return std::all_of(players.begin(), players.end(), done); },
                              timeoutMs);
    for (const auto &player : players) {
        end(*player);
        ok = ok && player->exitStatus() == QProcess::NormalExit && player->exitCode() == 0;
    }
    return ok;
}

} // namespace pulsetools
