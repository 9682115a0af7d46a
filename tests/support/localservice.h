#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// The local service as a child process on a free loopback port. start() also points the core
// library at it, so a Window constructed afterwards talks to this instance.
class LocalService {
public:
    LocalService() = default;
    ~LocalService() { stop(); }
    LocalService(const LocalService &) = delete;
    LocalService &operator=(const LocalService &) = delete;

    // Extra command-line arguments (e.g. "--auto-confirm", "u1"). Waits up to 20 s for it to
    // listen.
    bool start(const QStringList &arguments = {});
    // Starts again on the same port with the same arguments (a server restart).
    bool restart();
    void stop();

    int port() const { return listeningPort; }
    // For fault injection: stopping and continuing the process by its id.
    qint64 pid() const { return process.processId(); }
    QString baseUrl() const { return "https://localhost:" + QString::number(listeningPort); }
    QString output() const { return log; }

private:
    bool launch(const QStringList &arguments, int port);

    QProcess process;
    QTemporaryDir files;
    QStringList lastArguments;
    QString log;
    int listeningPort = 0;
};
