// Screen sharing: asking, sending, stopping and showing, on the offscreen platform; then on a real
// X screen, where the suite's run starts a private Xvfb and runs this executable again inside it
// (xcb platform) for two clients sharing a real grab of a known picture through the local
// service.

#include "calls/screenimage.h"
#include "tests/screen/xscreen.h"
#include "tests/support/localservice.h"
#include "tests/support/testkit.h"

#include <QBuffer>

namespace {

QString base64Image(QSize size, QColor colour) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 60);
    return QString::fromLatin1(bytes.toBase64());
}

QJsonObject screenEvent(const QJsonValue &id, const QJsonValue &jpeg) {
    return {{"id", id}, {"jpeg", jpeg}};
}

// A client in call "call-1" whose sharing the test drives frame by frame.
struct Sharer : CallClient {
    Sharer() {
        offline("call-1");
        calls->screenShowIntervalMs = 0;
    }
    QList<QJsonObject> screens() const { return sentEvents("native_screen"); }
    void shareManually() {
        calls->screenButton.click();
        calls->screenTimer.start(3600 * 1000);
    }
    bool settle() {
        const bool idle = waitUntil([this] { return !calls->screenCapture.busy(); }, 10000);
        QCoreApplication::processEvents();
        return idle;
    }
};

} // namespace

class ScreenOnXTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        service::installTrust();
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    }

    void sharesTheScreenEndToEnd() {
        LocalService svc;
        QVERIFY(svc.start({"--session", "u1:screen-a", "--session", "u2:screen-b"}));
        xscreen::ScreenCover cover(xscreen::Pattern::Quadrants);
        QVERIFY(cover.showOnScreen());
        CallClient anna, boris;
        QVERIFY(anna.signIn("u1", "screen-a") && boris.signIn("u2", "screen-b"));
        anna.calls->dial(QStringLiteral("u1-u2"), QStringLiteral("Анна и Борис"));
        QVERIFY(waitUntil([&] { return !boris.calls->callRecord.isEmpty(); }));
        boris.calls->answerButton.click();
        QVERIFY2(waitUntil([&] { return anna.calls->mediaActive && boris.calls->mediaActive; }),
                 qPrintable(anna.boxes.join('|')));
        // Without a window manager the cover has to be raised again over the call windows.
        QVERIFY(cover.showOnScreen());
        anna.calls->screenButton.click();
        QVERIFY(waitUntil([&] { return !boris.calls->screenLabel.isHidden(); }));
        // What goes out is the whole screen, scaled into the sent bounds; the viewer shows it
        // scaled into the shown bounds.
        const QSize sent = screenimage::fitInside(cover.size(), screenimage::sentBounds);
        const QJsonObject first = anna.sentEvents("native_screen").first();
        QCOMPARE(screenimage::decodeBase64Jpeg(first["jpeg"].toString()).size(), sent);
        QCOMPARE(boris.calls->screenLabel.pixmap().size(),
                 screenimage::fitInside(sent, screenimage::shownBounds));
        // The first image may still hold the question box that started the sharing.
        QVERIFY(waitUntil(
            [&] { return xscreen::showsQuadrants(boris.calls->screenLabel.pixmap().toImage()); },
            5000));
        anna.calls->screenButton.click();
        QCOMPARE(anna.sentEvents("native_screen").last()["jpeg"].toString(), QString());
        QVERIFY(waitUntil([&] { return boris.calls->screenLabel.isHidden(); }));
    }
};

class ScreenShareTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { testutil::isolateUserData(); }

    // Sharing starts on yes, with the first image at the first timeout; stopping sends one end
    // event, and nothing after.
    void askThenShareThenStop() {
        xscreen::ScreenCover cover(xscreen::Pattern::Quadrants);
        QVERIFY(cover.showOnScreen());
        Sharer s;
        QWidget *parent = nullptr;
        s.onBox = [&] { parent = QApplication::activeModalWidget()->parentWidget(); };
        s.calls->screenButton.click();
        QCOMPARE(parent, &s.calls->callDialog);
        QVERIFY(s.calls->screenTimer.isActive() && s.screens().isEmpty());
        QVERIFY(waitUntil([&] { return !s.screens().isEmpty(); }, 5000));
        QCOMPARE(s.screens().first()["id"].toString(), QStringLiteral("call-1"));
        QVERIFY(s.settle());
        const qsizetype before = s.screens().size();
        s.calls->screenButton.click();
        QCOMPARE(s.screens().size(), before + 1);
        QCOMPARE(s.screens().last(), screenEvent("call-1", ""));
        QVERIFY(!s.calls->screenTimer.isActive());
        QTest::qWait(1200); // more than two ticks
        QCOMPARE(s.screens().size(), before + 1);
    }

    // A frame that finishes after its sharing or call ended is dropped; one frame is in flight at
    // a time; nothing goes without a call.
    void framesInFlight() {
        for (const QString what : {"stop", "restart", "finish", "next call", "tick", "no call"}) {
            const int events = what == "stop" || what == "restart" || what == "tick";
            Sharer s;
            if (what == "no call")
                s.calls->callId.clear();
            s.shareManually();
            s.calls->sendScreenFrame();
            QCOMPARE(s.calls->screenCapture.busy(), what != "no call");
            if (what == "stop" || what == "restart")
                s.calls->screenButton.click();
            if (what == "restart")
                s.shareManually();
            if (what == "finish" || what == "next call")
                s.calls->finish();
            if (what == "next call") {
                s.calls->callId = QStringLiteral("call-2");
                s.shareManually();
            }
            if (what == "tick")
                s.calls->sendScreenFrame();
            QVERIFY(s.settle());
            QCOMPARE(s.screens().size(), events);
            if (what == "stop" || what == "restart")
                QCOMPARE(s.screens().first(), screenEvent("call-1", ""));
            QCOMPARE(s.calls->screenTimer.isActive(), what != "stop" && what != "finish");
        }
    }

    // Nothing goes on no; the question runs a nested event loop, and consent must not carry over
    // to a call that was not there when it was asked.
    void consentIsForTheCallAsked() {
        for (const auto &[accept, callIdMeanwhile] :
             {std::pair{false, QStringLiteral("call-1")}, {true, QString()}, {true, "call-2"}}) {
            Sharer s;
            s.acceptBoxes = accept;
            s.onBox = [&] { s.calls->callId = callIdMeanwhile; };
            s.calls->screenButton.click();
            QTest::qWait(700); // past the first tick
            QVERIFY(s.sent.isEmpty());
        }
    }

    // call held / shown before / payload / pixmap size after (empty: none shown): an image, a
    // 4:3 image, another call's while hidden and while shown, an id as a number, no call held,
    // end of sharing (the image before it still being decoded), a jpeg not a string, a truncated
    // jpeg.
    void receives() {
        struct Case {
            QString callId;
            bool shownBefore;
            QJsonObject payload;
            QSize pixmapAfter;
        };
        const QString wide = base64Image({640, 360}, Qt::darkGreen);
        const QSize before(460, 258);
        const Case rows[] = {
            {"call-1", false, screenEvent("call-1", wide), before},
            {"call-1", true, screenEvent("call-1", base64Image({640, 480}, Qt::blue)), {373, 280}},
            {"call-1", false, screenEvent("call-2", wide), {}},
            {"call-1", true, screenEvent("call-2", ""), before},
            {"7", true, screenEvent(7, ""), before},
            {{}, false, {{"jpeg", wide}}, {}},
            {"call-1", true, screenEvent("call-1", ""), {}},
            {"call-1", true, screenEvent("call-1", 12345), {}},
            {"call-1", true, screenEvent("call-1", wide.left(wide.size() / 2)), {}}};
        for (const auto &[callId, shownBefore, payload, pixmapAfter] : rows) {
            Sharer s;
            s.calls->callId = callId;
            if (shownBefore)
                s.calls->receiveScreen(screenEvent(callId, base64Image({640, 360}, Qt::red)));
            s.calls->receiveScreen(payload);
            QVERIFY(waitUntil([&] { return !s.calls->screenDecoder.busy(); }));
            QCOMPARE(!s.calls->screenLabel.isHidden(), pixmapAfter.isValid());
            QCOMPARE(s.calls->screenLabel.pixmap().size(),
                     pixmapAfter.isValid() ? pixmapAfter : QSize(0, 0));
            QVERIFY(s.sent.isEmpty());
        }
    }

    // Images arriving faster than a few a second are not all decoded: one arriving too soon
    // waits, a newer one replaces it unseen, and the newest is shown when its turn comes; one
    // still waiting or being decoded when the call ends belongs to no call.
    void imagesAreRateLimited() {
        Sharer s;
        s.calls->screenShowIntervalMs = 250;
        s.calls->receiveScreen(screenEvent("call-1", base64Image({640, 360}, Qt::red)));
        QVERIFY(waitUntil([&] { return !s.calls->screenLabel.pixmap().isNull(); }));
        const qint64 first = s.calls->screenLabel.pixmap().cacheKey();
        s.calls->receiveScreen(screenEvent("call-1", base64Image({640, 360}, Qt::green)));
        s.calls->receiveScreen(screenEvent("call-1", base64Image({640, 360}, Qt::blue)));
        QCOMPARE(s.calls->screenLabel.pixmap().cacheKey(), first);
        QVERIFY(waitUntil(
            [&] { return qBlue(s.calls->screenLabel.pixmap().toImage().pixel(230, 129)) > 200; }));
        // The first waits for its turn; the second, the first since the call began, is decoded
        // at once.
        for (int i = 0; i < 2; ++i) {
            s.calls->receiveScreen(screenEvent("call-1", base64Image({640, 360}, Qt::green)));
            s.calls->finish();
            s.calls->callId = QStringLiteral("call-1");
            QTest::qWait(400); // past the first one's turn
            QVERIFY(waitUntil([&] { return !s.calls->screenDecoder.busy(); }));
            QVERIFY(s.calls->screenLabel.pixmap().isNull());
        }
    }

    // Runs the checks above that need a real X screen, in a child on a private Xvfb.
    void onARealXScreen() {
        if (!xscreen::PrivateXServer::available())
            QSKIP("Xvfb is not installed");
        xscreen::PrivateXServer x;
        QVERIFY2(x.start({1920, 1080}), "Xvfb did not start");
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        x.startChild(child, {});
        const bool finished = child.waitForFinished(240000); // else killed with `child`
        QVERIFY2(finished && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 qPrintable(QString::fromLocal8Bit(child.readAll()).right(8000)));
    }
};

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    ScreenOnXTest onX;
    ScreenShareTest offscreen;
    return QTest::qExec(xscreen::isChild() ? static_cast<QObject *>(&onX) : &offscreen, argc, argv);
}

#include "tst_screenshare.moc"
