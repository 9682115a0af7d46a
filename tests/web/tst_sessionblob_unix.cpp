#include "web/sessionblob.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray cookie = "tovik_web_session=Vb3kQ9-xR_7tYw2LmN0pZ";

QString keyPath(const QString &dir) {
    return dir + QLatin1Char('/') + QLatin1String(sessionblob::keyFileName);
}

mode_t modeOf(const QString &path) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

QByteArray contentOf(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes, mode_t mode) {
    QFile::remove(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

} // namespace

class SessionBlobTest : public QObject {
    Q_OBJECT

    QTemporaryDir root;
    QString dir; // the data folder, not created yet

private Q_SLOTS:
    void init() {
        dir = root.filePath(QStringLiteral("Tovik/Orvelle"));
        QDir(root.path()).removeRecursively();
        QDir().mkpath(root.path());
    }

    void roundTripCreatesAPrivateKey() {
        const QByteArray blob = sessionblob::protect(cookie, dir);
        QVERIFY(!blob.isEmpty());
        QVERIFY(!blob.contains(cookie.mid(18)));
        QCOMPARE(modeOf(dir), mode_t(0700));
        QCOMPARE(modeOf(keyPath(dir)), mode_t(0600));
        QCOMPARE(QFileInfo(keyPath(dir)).size(), 32);
        QCOMPARE(sessionblob::unprotect(blob, dir), std::optional<QByteArray>(cookie));
        // Fresh nonce each time, same key.
        const QByteArray again = sessionblob::protect(cookie, dir);
        QVERIFY(again != blob);
        QCOMPARE(sessionblob::unprotect(again, dir), std::optional<QByteArray>(cookie));
    }

    void existingFolderIsClosed() {
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0755) == 0);
        QVERIFY(!sessionblob::protect(cookie, dir).isEmpty());
        QCOMPARE(modeOf(dir), mode_t(0700));
    }

    void everyChangedBitFails() {
        const QByteArray blob = sessionblob::protect(cookie, dir);
        QVERIFY(!blob.isEmpty());
        for (qsizetype i = 0; i < blob.size(); ++i) {
            for (int bit = 0; bit < 8; ++bit) {
                QByteArray damaged = blob;
                damaged[i] = char(damaged[i] ^ (1 << bit));
                if (sessionblob::unprotect(damaged, dir))
                    QFAIL(qPrintable(QStringLiteral("flipping bit %1 of byte %2 went unnoticed")
                                         .arg(bit)
                                         .arg(i)));
            }
        }
    }

    void everyTruncationAndExtensionFails() {
        const QByteArray blob = sessionblob::protect(cookie, dir);
        for (qsizetype length = 0; length < blob.size(); ++length) {
            if (sessionblob::unprotect(blob.left(length), dir))
                QFAIL(
                    qPrintable(QStringLiteral("a blob cut to %1 bytes was accepted").arg(length)));
        }
        QVERIFY(!sessionblob::unprotect(blob + '\0', dir));
        QVERIFY(!sessionblob::unprotect(QByteArray(), dir));
    }

    void anotherKeyFails() {
        const QByteArray blob = sessionblob::protect(cookie, dir);
        QTemporaryDir otherRoot;
        const QString other = otherRoot.filePath(QStringLiteral("data"));
        QVERIFY(!sessionblob::protect(cookie, other).isEmpty());
        QVERIFY(!sessionblob::unprotect(blob, other));
    }

    void readingNeverCreatesAKey() {
        QVERIFY(QDir().mkpath(dir));
        QByteArray blob = sessionblob::protect(cookie, dir);
        QVERIFY(QFile::remove(keyPath(dir)));
        QVERIFY(!sessionblob::unprotect(blob, dir));
        QVERIFY(!QFile::exists(keyPath(dir)));
    }

    // A key that is not exactly ours and private is refused, on reading and on writing, and is
    // never silently replaced.
    void untrustedKeyIsRefusedAndKept_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("mode");
        QTest::newRow("readable by the group") << QByteArray(32, 'k') << 0640;
        QTest::newRow("readable by others") << QByteArray(32, 'k') << 0604;
        QTest::newRow("writable by others") << QByteArray(32, 'k') << 0602;
        QTest::newRow("too short") << QByteArray(31, 'k') << 0600;
        QTest::newRow("too long") << QByteArray(33, 'k') << 0600;
        QTest::newRow("empty") << QByteArray() << 0600;
    }

    void untrustedKeyIsRefusedAndKept() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, mode);
        const QByteArray blob = sessionblob::protect(cookie, dir);
        QVERIFY(!blob.isEmpty());
        const QByteArray good = contentOf(keyPath(dir));
        QVERIFY(writeFile(keyPath(dir), bytes, mode_t(mode)));
        QVERIFY(!sessionblob::unprotect(blob, dir));
        QVERIFY(sessionblob::protect(cookie, dir).isEmpty());
        QCOMPARE(contentOf(keyPath(dir)), bytes);
        QCOMPARE(modeOf(keyPath(dir)), mode_t(mode));
        // Put right again, the old blob opens.
        QVERIFY(writeFile(keyPath(dir), good, 0600));
        QCOMPARE(sessionblob::unprotect(blob, dir), std::optional<QByteArray>(cookie));
    }

    void keyThatIsNotARegularFileIsRefused() {
        const QByteArray blob = sessionblob::protect(cookie, dir);
        const QString real = root.filePath(QStringLiteral("elsewhere.key"));
        QVERIFY(QFile::rename(keyPath(dir), real));
        QVERIFY(QFile::link(real, keyPath(dir)));
        QVERIFY(!sessionblob::unprotect(blob, dir));
        QVERIFY(sessionblob::protect(cookie, dir).isEmpty());
        QVERIFY(QFileInfo(keyPath(dir)).isSymLink());

        QVERIFY(QFile::remove(keyPath(dir)));
        QVERIFY(::mkfifo(QFile::encodeName(keyPath(dir)).constData(), 0600) == 0);
        QVERIFY(!sessionblob::unprotect(blob, dir));
        QVERIFY(QFile::remove(keyPath(dir)));
        QVERIFY(QDir().mkdir(keyPath(dir)));
        QVERIFY(!sessionblob::unprotect(blob, dir));
        QVERIFY(sessionblob::protect(cookie, dir).isEmpty());
    }
};

QTEST_GUILESS_MAIN(SessionBlobTest)
#include "tst_sessionblob_unix.moc"
