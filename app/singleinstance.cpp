#include "app/singleinstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QThread>

SingleInstance::SingleInstance(const QString &dataFolder, QObject *parent)
    : QObject(parent)
    , folder(QDir(dataFolder).absolutePath())
    , lock(folder + QStringLiteral("/instance.lock")) {
    // The lock stays valid however long the program runs; a crashed holder's lock is recognised
    // by its process id and taken over.
    lock.setStaleLockTime(0);
}

QString SingleInstance::serverName(const QString &dataFolder) {
    const QByteArray path = QDir(dataFolder).absolutePath().toUtf8();
    return QStringLiteral("tovik-messenger-") +
           QString::fromLatin1(
               QCryptographicHash::hash(path, QCryptographicHash::Sha256).toHex().left(32));
}

bool SingleInstance::claim() {
    // A folder that cannot be locked at all (unwritable, say) cannot be shared either: run.
    if (QDir().mkpath(folder) && !lock.tryLock(0) && lock.error() == QLockFile::LockFailedError) {
        knock();
        return false;
    }

    const QString name = serverName(folder);
    server.setSocketOptions(QLocalServer::UserAccessOption);
    // We hold the lock, so a socket left under this name is a crashed instance's.
    QLocalServer::removeServer(name);
    // Without the socket the program still runs alone; only later starts cannot bring it forward.
    server.listen(name);
    connect(&server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *knocker = server.nextPendingConnection()) {
            knocker->disconnectFromServer();
            knocker->deleteLater();
        }
        Q_EMIT activationRequested();
    });
    return true;
}

// The holder may have taken the lock a moment ago and not be listening yet, so keep trying for a
// few seconds.
void SingleInstance::knock() {
    const QString name = serverName(folder);
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(name);
        if (socket.waitForConnected(500)) {
            socket.disconnectFromServer();
            return;
        }
        QThread::msleep(100);
    }
}
