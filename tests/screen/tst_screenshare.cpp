// Screen sharing: asking, sending, stopping and showing, on the offscreen platform; then on a real
// X screen, where the suite's run starts a private Xvfb and runs this executable again inside it
// (xcb platform) for a real grab of a known picture, the size limit, and two clients sharing
// through the local service.

#include "calls/screenimage.h"
#include "tests/screen/xscreen.h"
#include "tests/support/localservice.h"
#include "tests/support/testkit.h"

#include <QBuffer>

namespace {

QString base64Image(QSize size, QColor colour, const char *format = "JPEG") {
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, 60);
    return QString::fromLatin1(bytes.toBase64());
}

QJsonObject screenEvent(const QJsonValue &id, const QJsonValue &jpeg) {
    return {{"id", id}, {"jpeg", jpeg}};
}

QImage decoded(const QJsonObject &event) {
    return screenimage::decodeBase64Jpeg(event.value("jpeg").toString());
}

QSize screenSize() {
    return QGuiApplication::primaryScreen()->geometry().size();
}

// A client in call "call-1" whose sharing the test drives frame by frame.
struct Sharer : CallClient {
    Sharer() { offline("call-1"); }
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

    // What goes out is the whole screen, scaled into the sent bounds; the viewer shows it scaled
    // into the shown bounds.
    void grabsTheWholeScreen() {
        xscreen::ScreenCover cover(xscreen::Pattern::Quadrants);
        QVERIFY(cover.showOnScreen());
        Sharer sharer, viewer;
        sharer.calls->screenButton.click();
        QVERIFY(waitUntil([&] { return sharer.screens().size() >= 2; }, 5000));
        const QSize sent = screenimage::fitInside(screenSize(), screenimage::sentBounds);
        for (const QJsonObject &event : sharer.screens()) {
            QCOMPARE(event.keys(), QStringList({"id", "jpeg"}));
            QCOMPARE(event["id"].toString(), QStringLiteral("call-1"));
            QCOMPARE(decoded(event).size(), sent);
            QVERIFY2(xscreen::quadrantMismatch(decoded(event)).isEmpty(),
                     qPrintable(xscreen::quadrantMismatch(decoded(event))));
            viewer.calls->receiveScreen(event);
            const QImage shown = viewer.calls->screenLabel.pixmap().toImage();
            QCOMPARE(shown.size(), screenimage::fitInside(sent, screenimage::shownBounds));
            QVERIFY(xscreen::quadrantMismatch(shown).isEmpty());
        }
    }

    void skipsOversizedFramesAndGoesOn() {
        xscreen::ScreenCover cover(xscreen::Pattern::Noise);
        QVERIFY(cover.showOnScreen());
        QVERIFY2(
            !screenimage::encodeFrame(QGuiApplication::primaryScreen()->grabWindow(0).toImage()),
            "this screen's noise fits the limit; run on a 4:3 screen");
        Sharer sharer;
        sharer.calls->screenButton.click();
        QTest::qWait(1600); // three ticks
        QCOMPARE(sharer.screens().size(), 0);
        QVERIFY(sharer.calls->screenTimer.isActive());
        cover.setPattern(xscreen::Pattern::Quadrants);
        QVERIFY(cover.waitUntilGrabbed());
        // A frame whose strips straddle the change holds some of each picture.
        QVERIFY(waitUntil(
            [&] {
                return !sharer.screens().isEmpty() &&
                       xscreen::quadrantMismatch(decoded(sharer.screens().last())).isEmpty();
            },
            5000));
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
        cover.raise();
        QVERIFY(cover.waitUntilGrabbed());
        anna.calls->screenButton.click();
        QVERIFY(waitUntil([&] { return !boris.calls->screenLabel.isHidden(); }));
        const QSize sent = screenimage::fitInside(screenSize(), screenimage::sentBounds);
        QCOMPARE(boris.calls->screenLabel.pixmap().size(),
                 screenimage::fitInside(sent, screenimage::shownBounds));
        // The first image may still hold the question box that started the sharing.
        QVERIFY(waitUntil(
            [&] {
                return xscreen::quadrantMismatch(boris.calls->screenLabel.pixmap().toImage())
                    .isEmpty();
            },
            5000));
        anna.calls->screenButton.click();
        QCOMPARE(anna.sentEvents("native_screen").last()["jpeg"].toString(), QString());
        QVERIFY(waitUntil([&] { return boris.calls->screenLabel.isHidden(); }));
        anna.calls->hangupButton.click();
        QVERIFY(waitUntil([&] { return boris.calls->callRecord.isEmpty(); }));
    }
};

class ScreenShareTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { testutil::isolateUserData(); }

    // Sharing starts only on yes, with the first image at the first timeout; stopping sends one
    // end event, and nothing after.
    void askThenShareThenStop_data() {
        QTest::addColumn<bool>("accept");
        row("no", false);
        row("yes", true);
    }
    void askThenShareThenStop() {
        QFETCH(bool, accept);
        xscreen::ScreenCover cover(xscreen::Pattern::Quadrants);
        QVERIFY(cover.showOnScreen());
        Sharer s;
        s.acceptBoxes = accept;
        QWidget *parent = nullptr;
        s.onBox = [&] { parent = QApplication::activeModalWidget()->parentWidget(); };
        s.calls->screenButton.click();
        QCOMPARE(parent, &s.calls->callDialog);
        QCOMPARE(s.calls->screenTimer.isActive(), accept);
        QCOMPARE(s.screens().size(), 0);
        if (!accept) {
            QTest::qWait(800); // past the first tick
            QVERIFY(s.sent.isEmpty());
            return;
        }
        QCOMPARE(s.calls->screenTimer.interval(), 500);
        QVERIFY(waitUntil([&] { return !s.screens().isEmpty(); }, 5000));
        const QJsonObject first = s.screens().first();
        QCOMPARE(first["id"].toString(), QStringLiteral("call-1"));
        QCOMPARE(decoded(first).size(),
                 screenimage::fitInside(cover.size(), screenimage::sentBounds));
        QVERIFY(xscreen::quadrantMismatch(decoded(first)).isEmpty());
        QVERIFY(s.settle());
        const qsizetype before = s.screens().size();
        const QString stopText = s.calls->screenButton.text();
        s.calls->screenButton.click();
        QCOMPARE(s.screens().size(), before + 1);
        QCOMPARE(s.screens().last(), screenEvent("call-1", ""));
        QVERIFY(!s.calls->screenTimer.isActive());
        QVERIFY(s.calls->screenButton.text() != stopText);
        QTest::qWait(1200); // more than two ticks
        QCOMPARE(s.screens().size(), before + 1);
    }

    // A frame that finishes after its sharing or call ended is dropped; one frame is in flight at
    // a time; nothing goes without a call.
    void framesInFlight_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<int>("events");
        row("sharing stopped", QStringLiteral("stop"), 1);
        row("stopped and started again", QStringLiteral("restart"), 1);
        row("call ended", QStringLiteral("finish"), 0);
        row("next call shares", QStringLiteral("next call"), 0);
        row("two ticks, one frame", QStringLiteral("tick"), 1);
        row("no call", QStringLiteral("no call"), 0);
    }
    void framesInFlight() {
        QFETCH(QString, what);
        QFETCH(int, events);
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
        QVERIFY(s.calls->screenTimer.isActive() ==
                (what == "restart" || what == "next call" || what == "tick" || what == "no call"));
    }

    // The question runs a nested event loop; consent must not carry over to a call that was not
    // there when it was asked. Hanging up stops sharing and clears the view.
    void consentAndHangUp_data() {
        QTest::addColumn<QString>("callIdMeanwhile");
        row("call ended", QString());
        row("another call", QStringLiteral("call-2"));
    }
    void consentAndHangUp() {
        QFETCH(QString, callIdMeanwhile);
        {
            Sharer s;
            s.onBox = [&] { s.calls->callId = callIdMeanwhile; };
            s.calls->screenButton.click();
            QVERIFY(!s.calls->screenTimer.isActive());
            QTest::qWait(700); // past the first tick
            QCOMPARE(s.screens().size(), 0);
        }

        Sharer h;
        h.calls->screenButton.click();
        QVERIFY(waitUntil([&] { return !h.screens().isEmpty(); }, 5000));
        h.calls->receiveScreen(screenEvent("call-1", base64Image({640, 360}, Qt::red)));
        QVERIFY(!h.calls->screenLabel.pixmap().isNull());
        QVERIFY(h.settle());
        h.sent.clear();
        h.calls->finish();
        QVERIFY(!h.calls->screenTimer.isActive() && h.calls->screenLabel.pixmap().isNull());
        QTest::qWait(1200); // more than two ticks
        QCOMPARE(h.screens().size(), 0);
    }

    // call held / shown before / payload / shown after / pixmap size after (empty: none).
    void receives_data() {
        QTest::addColumn<QString>("callId");
        QTest::addColumn<bool>("shownBefore");
        QTest::addColumn<QJsonObject>("payload");
        QTest::addColumn<QSize>("pixmapAfter");
        const QString wide = base64Image({640, 360}, Qt::darkGreen);
        QString bomb = base64Image({16, 16}, Qt::gray);
        QByteArray jpeg = QByteArray::fromBase64(bomb.toLatin1());
        jpeg.replace(jpeg.indexOf("\xFF\xC0") + 5, 4, "\xFF\xDC\xFF\xDC");
        bomb = QString::fromLatin1(jpeg.toBase64());
        const QSize before(460, 258);
        row("image", QStringLiteral("call-1"), false, screenEvent("call-1", wide), QSize(460, 258));
        row("4:3 image", QStringLiteral("call-1"), true,
            screenEvent("call-1", base64Image({640, 480}, Qt::blue)), QSize(373, 280));
        row("another call, hidden", QStringLiteral("call-1"), false, screenEvent("call-2", wide),
            QSize());
        row("another call, shown", QStringLiteral("call-1"), true, screenEvent("call-2", ""),
            before);
        row("id as a number", QStringLiteral("7"), true, screenEvent(7, ""), before);
        row("no call held", QString(), false, QJsonObject{{"jpeg", wide}}, QSize());
        row("end of sharing", QStringLiteral("call-1"), true, screenEvent("call-1", ""), QSize());
        row("no jpeg", QStringLiteral("call-1"), true, QJsonObject{{"id", "call-1"}}, QSize());
        row("jpeg not a string", QStringLiteral("call-1"), true, screenEvent("call-1", 12345),
            QSize());
        row("base64 garbage", QStringLiteral("call-1"), true,
            screenEvent("call-1", "@@@@ not base64 ~~~~"), QSize());
        row("truncated jpeg", QStringLiteral("call-1"), true,
            screenEvent("call-1", wide.left(wide.size() / 2)), QSize());
        row("jpeg bomb", QStringLiteral("call-1"), true, screenEvent("call-1", bomb), QSize());
        row("png", QStringLiteral("call-1"), true,
            screenEvent("call-1", base64Image({64, 64}, Qt::white, "PNG")), QSize());
    }
    void receives() {
        QFETCH(QString, callId);
        QFETCH(bool, shownBefore);
        QFETCH(QJsonObject, payload);
        QFETCH(QSize, pixmapAfter);
        Sharer s;
        s.calls->callId = callId;
        if (shownBefore)
            s.calls->receiveScreen(screenEvent(callId, base64Image({640, 360}, Qt::red)));
        s.calls->receiveScreen(payload);
        QCOMPARE(!s.calls->screenLabel.isHidden(), pixmapAfter.isValid());
        QCOMPARE(s.calls->screenLabel.pixmap().size(),
                 pixmapAfter.isValid() ? pixmapAfter : QSize(0, 0));
        if (pixmapAfter == QSize(373, 280)) // the newest image wins
            QVERIFY(qBlue(s.calls->screenLabel.pixmap().toImage().pixel(180, 140)) > 200);
        QVERIFY(s.sent.isEmpty());
    }

    // Runs the checks above that need a real X screen, in a child on a private Xvfb.
    void onARealXScreen_data() {
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<QStringList>("functions");
        row("1920x1080", QSize(1920, 1080),
            QStringList{"grabsTheWholeScreen", "sharesTheScreenEndToEnd"});
        // A 4:3 screen sends 640 x 480, enough room for noise to pass the size limit.
        row("1920x1440", QSize(1920, 1440), QStringList{"skipsOversizedFramesAndGoesOn"});
    }
    void onARealXScreen() {
        QFETCH(QSize, screen);
        QFETCH(QStringList, functions);
        if (!xscreen::PrivateXServer::available())
            QSKIP("Xvfb is not installed");
        xscreen::PrivateXServer x;
        QVERIFY2(x.start(screen), "Xvfb did not start");
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        x.startChild(child, functions);
        const bool finished = child.waitForFinished(240000);
        if (!finished) {
            child.kill();
            child.waitForFinished(5000);
        }
        QVERIFY2(finished && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 qPrintable(QString::fromLocal8Bit(child.readAll()).right(8000)));
    }
};

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    if (xscreen::isChild()) {
        ScreenOnXTest test;
        return QTest::qExec(&test, argc, argv);
    }
    ScreenShareTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_screenshare.moc"
