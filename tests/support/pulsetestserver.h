#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

// The private headless PulseAudio of scripts/pulse-test-server.sh, for the voice tests and
// benchmarks. start() also points this process's libpulse at it; every stream created afterwards
// talks to it. The destructor stops it.
class PulseTestServer {
public:
    PulseTestServer() = default;
    ~PulseTestServer() { stop(); }
    PulseTestServer(const PulseTestServer &) = delete;
    PulseTestServer &operator=(const PulseTestServer &) = delete;

    bool start() {
        if (running)
            return true;
        if (!dir.isValid())
            return false;
        QProcess script;
        script.start(QStringLiteral("bash"), {scriptPath(), QStringLiteral("start"), dir.path()});
        if (!script.waitForFinished(30000) || script.exitStatus() != QProcess::NormalExit ||
            script.exitCode() != 0) {
            log = QString::fromLocal8Bit(script.readAllStandardError());
            script.kill();
            script.waitForFinished(5000);
            // Whatever got as far as writing a pid file is stopped again.
            runScript(QStringLiteral("stop"));
            return false;
        }
        running = true;
        env = QProcessEnvironment::systemEnvironment();
        const QList<QByteArray> lines = script.readAllStandardOutput().split('\n');
        for (const QByteArray &line : lines) {
            const qsizetype eq = line.indexOf('=');
            if (eq <= 0)
                continue;
            const QByteArray name = line.left(eq);
            const QByteArray value = line.mid(eq + 1);
            env.insert(QString::fromLocal8Bit(name), QString::fromLocal8Bit(value));
            if (name == "PULSE_SERVER" || name == "PULSE_CLIENTCONFIG")
                qputenv(name.constData(), value);
        }
        qInfo("private audio server: %s", qPrintable(kind()));
        return true;
    }

    void stop() {
        if (!running)
            return;
        running = false;
        runScript(QStringLiteral("stop"));
    }

    // For the helper programs (paplay, parecord, pactl, client processes).
    QProcessEnvironment environment() const { return env; }
    QString errors() const { return log; }
    // "pulseaudio", or "pipewire" (pipewire-pulse) where the pulseaudio package cannot be had.
    QString kind() const { return env.value(QStringLiteral("TOVIK_AUDIO_SERVER")); }

private:
    static QString scriptPath() {
        return QStringLiteral(TOVIK_SOURCE_DIR "/scripts/pulse-test-server.sh");
    }
    void runScript(const QString &action) {
        QProcess script;
        script.start(QStringLiteral("bash"), {scriptPath(), action, dir.path()});
        if (!script.waitForFinished(20000)) {
            script.kill();
            script.waitForFinished(5000);
        }
    }

    QTemporaryDir dir;
    QProcessEnvironment env;
    QString log;
    bool running = false;
};

// Helper programs of the audio server, run without blocking the event loop (the clients under test
// live on it).
namespace pulsetools {

// Records one of the server's sources in stereo at 8 kHz, raw, into memory.
class Recorder {
public:
    ~Recorder() { finish(); }

    bool start(const PulseTestServer &server, const QString &source) {
        process.setProcessEnvironment(server.environment());
        process.start(QStringLiteral("parecord"),
                      {QStringLiteral("--raw"), QStringLiteral("--latency-msec=20"),
                       QStringLiteral("--device=") + source, QStringLiteral("--rate=8000"),
                       QStringLiteral("--channels=2"), QStringLiteral("--format=s16le")});
        return process.waitForStarted(5000) &&
               QTest::qWaitFor([this] { return process.bytesAvailable() > 0; }, 5000);
    }

    // Stops recording; returns everything recorded since start().
    QByteArray finish() {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000)) {
                process.kill();
                process.waitForFinished(5000);
            }
        }
        data += process.readAllStandardOutput();
        return data;
    }

private:
    QProcess process;
    QByteArray data;
};

struct Playback {
    QString sink;
    QString wavPath;
};

// Plays WAV files into sinks, all at once, and waits (event loop running) until all have played.
inline bool play(const PulseTestServer &server, const QList<Playback> &items,
                 int timeoutMs = 30000) {
    std::vector<std::unique_ptr<QProcess>> players;
    for (const Playback &item : items) {
        auto player = std::make_unique<QProcess>();
        player->setProcessEnvironment(server.environment());
        player->start(QStringLiteral("paplay"),
                      {QStringLiteral("--device=") + item.sink, item.wavPath});
        players.push_back(std::move(player));
    }
    bool ok = QTest::qWaitFor(
        [&players] {
            return std::all_of(players.begin(), players.end(), [](const auto &player) {
                return player->state() == QProcess::NotRunning;
            });
        },
        timeoutMs);
    for (const auto &player : players) {
        if (player->state() != QProcess::NotRunning) {
            player->kill();
            player->waitForFinished(5000);
        }
        ok = ok && player->exitStatus() == QProcess::NormalExit && player->exitCode() == 0;
    }
    return ok;
}

} // namespace pulsetools
