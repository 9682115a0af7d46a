#include "web/sessionblob.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

const QByteArray cookie = "tovik_web_session=Vb3kQ9-xR_7tYw2LmN0pZ";

mode_t modeOf(const QString &path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
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
    QString dir, key;

private Q_SLOTS:
    // An existing folder open to others is closed on the first save.
    void init() {
        dir = root.filePath(QStringLiteral("Tovik/Orvelle"));
        key = dir + '/' + QLatin1String(sessionblob::keyFileName);
        QDir(root.path()).removeRecursively();
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0755) == 0);
    }

    // A private key is made once; every nonce is fresh; every changed bit or length, another key
    // or a missing one fails, and reading never creates a key.
    void roundTripAndTampering() {
        const QByteArray blob = sessionblob::protect(cookie, dir);
        QVERIFY(!blob.isEmpty() && !blob.contains(cookie.mid(18)));
        QCOMPARE(modeOf(dir), mode_t(0700));
        QCOMPARE(modeOf(key), mode_t(0600));
        QCOMPARE(QFileInfo(key).size(), 32);
        QCOMPARE(sessionblob::unprotect(blob, dir), std::optional<QByteArray>(cookie));
        const QByteArray again = sessionblob::protect(cookie, dir);
        QVERIFY(again != blob);
        QCOMPARE(sessionblob::unprotect(again, dir), std::optional<QByteArray>(cookie));
        for (qsizetype i = 0; i < blob.size(); ++i) {
            for (int bit = 0; bit < 8; ++bit) {
                QByteArray damaged = blob;
                damaged[i] = char(damaged[i] ^ (1 << bit));
                QVERIFY2(!sessionblob::unprotect(damaged, dir), qPrintable(QString::number(i)));
            }
            QVERIFY(!sessionblob::unprotect(blob.left(i), dir));
        }
        QVERIFY(!sessionblob::unprotect(blob + '\0', dir));
        QTemporaryDir otherRoot;
        QVERIFY(!sessionblob::protect(cookie, otherRoot.filePath("data")).isEmpty());
        QVERIFY(!sessionblob::unprotect(blob, otherRoot.filePath("data")));
        QVERIFY(QFile::remove(key));
        QVERIFY(!sessionblob::unprotect(blob, dir));
        QVERIFY(!QFile::exists(key));
    }

    // A key that is not exactly ours and private is refused, on reading and on writing, and is
    // never silently replaced; put right again, the old blob opens.
    void untrustedKeyIsRefusedAndKept_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("mode");
        QTest::newRow("readable by the group") << QByteArray(32, 'k') << 0640;
        QTest::newRow("writable by others") << QByteArray(32, 'k') << 0602;
        QTest::newRow("too short") << QByteArray(31, 'k') << 0600;
        QTest::newRow("too long") << QByteArray(33, 'k') << 0600;
        QTest::newRow("symlink") << QByteArray() << 0600;
        QTest::newRow("fifo") << QByteArray() << 0;
    }
    void untrustedKeyIsRefusedAndKept() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, mode);
        const QByteArray blob = sessionblob::protect(cookie, dir);
        const QByteArray good = contentOf(key);
        if (!bytes.isEmpty()) {
            QVERIFY(writeFile(key, bytes, mode_t(mode)));
        } else if (mode) {
            QVERIFY(QFile::rename(key, root.filePath("elsewhere.key")));
            QVERIFY(QFile::link(root.filePath("elsewhere.key"), key));
        } else {
            QVERIFY(QFile::remove(key) && ::mkfifo(QFile::encodeName(key).constData(), 0600) == 0);
        }
        QVERIFY(!sessionblob::unprotect(blob, dir));
        QVERIFY(sessionblob::protect(cookie, dir).isEmpty());
        if (!bytes.isEmpty()) {
            QCOMPARE(contentOf(key), bytes);
            QCOMPARE(modeOf(key), mode_t(mode));
        }
        QVERIFY(QFile::remove(key) && writeFile(key, good, 0600));
        QCOMPARE(sessionblob::unprotect(blob, dir), std::optional<QByteArray>(cookie));
    }
};

QTEST_GUILESS_MAIN(SessionBlobTest)
#include "tst_sessionblob_unix.moc"
