// The session file across program runs, against the local service: a later window signs in from
// it, and anything wrong with it leads quietly to the QR code.

#include "app/service.h"
#include "app/window.h"
#include "tests/support/localservice.h"
#include "tests/support/testutil.h"
#include "tests/web/websupport.h"

#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QRandomGenerator>
#include <QSet>
#include <QStackedWidget>
#include <QTest>

#include <sys/stat.h>

using namespace websupport;

namespace {

const QByteArray tokenA = "tok-session-A-9f8e7d";
const QByteArray tokenB = "tok-session-B-1a2b3c";

QString keyFile() {
    return dataFolder() + QStringLiteral("/session.key");
}

QByteArray contentOf(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool overwrite(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

mode_t modeOf(const QString &path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 0777 : 0;
}

// What may show on the sign-in page on the way to a QR code: nothing that reads like an error.
const QSet<QString> quietTexts{QString(), preparing, scanPrompt};

} // namespace

class SessionTest : public QObject {
    Q_OBJECT

    LocalService svc;

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        nameApplication();
        service::installTrust();
        QVERIFY(svc.start({QStringLiteral("--session"), QStringLiteral("u1:") + tokenA,
                           QStringLiteral("--session"), QStringLiteral("u3:") + tokenB}));
    }

    void init() { forgetSession(); }

    void laterStartSignsInWithoutQr() {
        writeSessionFile(tokenA);
        Window window;
        QSet<QString> seen;
        bool qrShown = false;
        QVERIFY(QTest::qWaitFor(
            [&] {
                seen.insert(window.loginStatus->text());
                qrShown = qrShown || !window.qrLabel->pixmap().isNull();
                return window.pages->currentIndex() == 1;
            },
            10000));
        QCOMPARE(seen, QSet<QString>{QString()});
        QVERIFY(!qrShown);
        QCOMPARE(window.userId, QStringLiteral("u1"));
        QVERIFY(QTest::qWaitFor([&] { return window.chatList->count() > 0; }, 10000));
        QVERIFY(!window.pollTimer.isActive());
    }

    void fileAndKeyArePrivateAndHoldNoCookieInClear() {
        writeSessionFile(tokenA);
        const QByteArray bytes = contentOf(Window::sessionFilePath());
        QVERIFY(!bytes.isEmpty());
        QVERIFY(!bytes.contains(tokenA));
        QVERIFY(!bytes.contains("tovik_web_session"));
        QVERIFY(!bytes.contains(tokenA.toBase64()));
        QCOMPARE(modeOf(Window::sessionFilePath()), mode_t(0600));
        QCOMPARE(modeOf(keyFile()), mode_t(0600));
        QCOMPARE(modeOf(dataFolder()), mode_t(0700));
        QVERIFY(!contentOf(keyFile()).contains(tokenA));
        // The save-file leaves nothing else behind.
        QCOMPARE(
            QDir(dataFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            (QStringList{QStringLiteral("session.bin"), QStringLiteral("session.key")}));
    }

    void savingAgainReplacesTheWholeFile() {
        writeSessionFile(tokenA);
        writeSessionFile(tokenB);
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return window.pages->currentIndex() == 1; }, 10000));
        QCOMPARE(window.userId, QStringLiteral("u3"));
    }

    void saveWithoutCookieKeepsTheOlderFile() {
        writeSessionFile(tokenA);
        const QByteArray before = contentOf(Window::sessionFilePath());
        Window window;
        QVERIFY(QTest::qWaitFor([&] { return window.pages->currentIndex() == 1; }, 10000));
        QNetworkCookieJar *jar = window.net.cookieJar();
        for (const QNetworkCookie &cookie : jar->cookiesForUrl(QUrl(window.baseUrl)))
            jar->deleteCookie(cookie);
        jar->setCookiesFromUrl({QNetworkCookie("other", "x"),
                                QNetworkCookie("tovik_web_sessio", "y"),
                                QNetworkCookie("Tovik_web_session", "z")},
                               QUrl(window.baseUrl));
        window.saveSession();
        QCOMPARE(contentOf(Window::sessionFilePath()), before);
    }

    void unusableFileLeadsQuietlyToQr_data() {
        QTest::addColumn<QString>("damage");
        QTest::newRow("one bit flipped") << "flip";
        QTest::newRow("truncated") << "truncate";
        QTest::newRow("empty") << "empty";
        QTest::newRow("random bytes") << "random";
        QTest::newRow("another user's key") << "foreign key";
        QTest::newRow("key readable by others") << "key mode";
        QTest::newRow("key missing") << "no key";
        QTest::newRow("file is a folder") << "folder";
    }

    void unusableFileLeadsQuietlyToQr() {
        QFETCH(QString, damage);
        writeSessionFile(tokenA);
        const QString file = Window::sessionFilePath();
        QByteArray bytes = contentOf(file);
        QVERIFY(bytes.size() > 40);
        if (damage == QLatin1String("flip")) {
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x10);
            QVERIFY(overwrite(file, bytes));
        } else if (damage == QLatin1String("truncate")) {
            QVERIFY(overwrite(file, bytes.left(bytes.size() - 7)));
        } else if (damage == QLatin1String("empty")) {
            QVERIFY(overwrite(file, QByteArray()));
        } else if (damage == QLatin1String("random")) {
            QByteArray noise(bytes.size(), Qt::Uninitialized);
            for (char &c : noise)
                c = char(QRandomGenerator::global()->bounded(256));
            QVERIFY(overwrite(file, noise));
        } else if (damage == QLatin1String("foreign key")) {
            QByteArray other(32, Qt::Uninitialized);
            for (char &c : other)
                c = char(QRandomGenerator::global()->bounded(256));
            QVERIFY(overwrite(keyFile(), other));
        } else if (damage == QLatin1String("key mode")) {
            QVERIFY(::chmod(QFile::encodeName(keyFile()).constData(), 0644) == 0);
        } else if (damage == QLatin1String("no key")) {
            QVERIFY(QFile::remove(keyFile()));
        } else if (damage == QLatin1String("folder")) {
            QVERIFY(QFile::remove(file));
            QVERIFY(QDir().mkdir(file));
        }

        QStringList boxes;
        testutil::autoCloseModalBoxes(this, true, &boxes);
        Window window;
        QSet<QString> seen;
        QVERIFY(QTest::qWaitFor(
            [&] {
                seen.insert(window.loginStatus->text());
                return window.loginStatus->text() == scanPrompt;
            },
            10000));
        QVERIFY2((seen & quietTexts) == seen, qPrintable(QStringList(seen.values()).join(" | ")));
        QCOMPARE(window.pages->currentIndex(), 0);
        QVERIFY(boxes.isEmpty());
        QVERIFY(!hasSessionCookie(window));
    }
};

QTEST_MAIN(SessionTest)
#include "tst_session.moc"
