#include "tests/support/localservice.h"

#include "web/servicetesthook.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QThread>

bool LocalService::start(const QStringList &arguments) {
    lastArguments = arguments;
    return launch(arguments, 0);
}

bool LocalService::restart() {
    const int samePort = listeningPort;
    stop();
    return launch(lastArguments, samePort);
}

bool LocalService::launch(const QStringList &arguments, int port) {
    QStringList args{QStringLiteral(TOVIK_LOCALSERVICE_DIR "/server.js"), QStringLiteral("--port"),
                     QString::number(port), QStringLiteral("--files-dir"), files.path()};
    args += arguments;
    // Only this run's output counts; a restart must not match the previous run's line.
    log.clear();
    listeningPort = 0;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("node"), args);
    if (!process.waitForStarted(10000))
        return false;
    static const QRegularExpression listening(
        QStringLiteral("listening on https://127\\.0\\.0\\.1:(\\d+)"));
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (!process.waitForReadyRead(200) && process.state() != QProcess::Running)
            break;
        log += QString::fromUtf8(process.readAll());
        const auto match = listening.match(log);
        if (match.hasMatch()) {
            listeningPort = match.captured(1).toInt();
            servicetesthook::pointAt(QStringLiteral("localhost"), listeningPort);
            return true;
        }
    }
    return false;
}

void LocalService::stop() {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
    log += QString::fromUtf8(process.readAll());
}
