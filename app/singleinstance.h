#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

// One running program per user data folder: two processes on one session file would overwrite
// each other's sign-in and both ring for every call. The first start holds a lock file in the
// folder and listens on a local socket named after the folder; a later start finds the lock,
// knocks on that socket so the first one shows its window, and ends. Other data folders (other
// profiles) have other locks and sockets and run side by side.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(const QString &dataFolder, QObject *parent = nullptr);

    // False when another process holds the folder; it has been asked to show its window.
    bool claim();

    static QString serverName(const QString &dataFolder);

Q_SIGNALS:
    // A later start asked this instance to show its window.
    void activationRequested();

private:
    void knock();

    QString folder;
    QLockFile lock;
    QLocalServer server;
};
