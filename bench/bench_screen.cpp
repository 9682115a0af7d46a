// Screen-sharing figures on a real X screen: a private 1920 x 1080 Xvfb that this program starts,
// showing an ordinary-looking desktop, and this program re-run inside it.
//
//   screen_frame_ms      grab, scale and encode of one frame, all in a row
//   screen_gui_block_ms  what one frame costs the GUI thread: the grab in sendScreenFrame plus the
//                        hand-back of the encoded image (Base64 and emitting the event)
//
// Without Xvfb it measures on the offscreen platform and says so: there the "grab" is a copy of a
// window's backing store.
#include "calls/nativecalls.h"
#include "calls/screenimage.h"
#include "tests/screen/xscreen.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int runs = 31;

double median(QList<double> values) {
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

void figure(const char *name, double value, const char *unit) {
    std::printf("figure %s %.2f %s\n", name, value, unit);
    std::fflush(stdout);
}

void comment(const QString &text) {
    std::printf("# %s\n", qPrintable(text));
    std::fflush(stdout);
}

double msSince(const QElapsedTimer &timer) {
    return double(timer.nsecsElapsed()) / 1e6;
}

// Times the queued calls the GUI thread runs: the encoder's hand-back is one of them.
class TimingApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override {
        if (!measuring || event->type() != QEvent::MetaCall)
            return QApplication::notify(receiver, event);
        QElapsedTimer timer;
        timer.start();
        const bool result = QApplication::notify(receiver, event);
        queuedMs += msSince(timer);
        return result;
    }
    bool measuring = false;
    double queuedMs = 0;
};

// Runs this program again on a private X server; -1 when there is none to start.
int runOnPrivateX(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    if (!xscreen::PrivateXServer::available())
        return -1;
    xscreen::PrivateXServer x;
    if (!x.start({1920, 1080}))
        return -1;
    QProcess child;
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.setStandardErrorFile(QProcess::nullDevice());
    x.startChild(child, {});
    if (!child.waitForStarted(10000))
        return 1;
    const bool finished = child.waitForFinished(300000);
    if (!finished) {
        child.kill();
        child.waitForFinished(5000);
    }
    std::fputs(child.readAllStandardOutput().constData(), stdout);
    return finished && child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
}

int measure(TimingApplication &app) {
    QScreen *screen = QGuiApplication::primaryScreen();
    comment(QStringLiteral("platform %1, screen %2x%3")
                .arg(QGuiApplication::platformName())
                .arg(screen->geometry().width())
                .arg(screen->geometry().height()));
    xscreen::ScreenCover cover(xscreen::Pattern::Desktop);
    if (!cover.showOnScreen()) {
        comment(QStringLiteral("the desktop picture never reached the screen"));
        return 1;
    }

    QList<double> grabMs, scaleMs, encodeMs, frameMs, bytes;
    for (int i = 0; i < runs + 3; ++i) {
        QElapsedTimer timer;
        timer.start();
        const QImage grabbed = screen->grabWindow(0).toImage();
        const double grabbedAt = msSince(timer);
        const QImage scaled = screenimage::scaleToFit(grabbed, screenimage::sentBounds);
        const double scaledAt = msSince(timer);
        // Already at its size, the image goes through encodeFrame without being scaled again.
        const std::optional<QByteArray> jpeg = screenimage::encodeFrame(scaled);
        const double total = msSince(timer);
        if (i < 3)
            continue; // warm-up: plugin loading, first allocations
        grabMs << grabbedAt;
        scaleMs << scaledAt - grabbedAt;
        encodeMs << total - scaledAt;
        frameMs << total;
        bytes << double(jpeg ? jpeg->size() : -1);
        QCoreApplication::processEvents();
    }
    comment(QStringLiteral("%1 runs each; medians: grab %2 ms, scale %3 ms, encode %4 ms, "
                           "JPEG %5 bytes")
                .arg(runs)
                .arg(median(grabMs), 0, 'f', 2)
                .arg(median(scaleMs), 0, 'f', 2)
                .arg(median(encodeMs), 0, 'f', 2)
                .arg(median(bytes), 0, 'f', 0));
    figure("screen_frame_ms", median(frameMs), "ms");

    QNetworkAccessManager net;
    QWidget window;
    NativeCalls calls(&net, &window);
    calls.connected = true;
    calls.callId = QStringLiteral("bench");
    int sent = 0;
    calls.frameSent = [&sent](const QString &) { ++sent; };
    // Sharing on, but every frame is driven from here.
    calls.screenTimer.start(3600 * 1000);
    QList<double> blockMs, handBackMs;
    for (int i = 0; i < runs + 3; ++i) {
        app.queuedMs = 0;
        QElapsedTimer timer;
        timer.start();
        calls.sendScreenFrame();
        const double grabbing = msSince(timer);
        app.measuring = true;
        const bool done = QTest::qWaitFor([&calls] { return !calls.screenEncoder.busy(); }, 10000);
        app.measuring = false;
        if (!done) {
            comment(QStringLiteral("a frame never came back from the encoder"));
            return 1;
        }
        if (i >= 3) {
            blockMs << grabbing + app.queuedMs;
            handBackMs << app.queuedMs;
        }
    }
    comment(QStringLiteral("%1 runs, %2 frames emitted; the grab stays on the GUI thread, "
                           "scaling and encoding run on the encoder's thread; median hand-back "
                           "%3 ms")
                .arg(runs)
                .arg(sent)
                .arg(median(handBackMs), 0, 'f', 2));
    figure("screen_gui_block_ms", median(blockMs), "ms");
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (!xscreen::isChild()) {
        const int status = runOnPrivateX(argc, argv);
        if (status >= 0)
            return status;
        qputenv("QT_QPA_PLATFORM", "offscreen");
        comment(QStringLiteral("no Xvfb: measured offscreen, where a grab copies a window's "
                               "backing store instead of reading the X screen"));
    }
    TimingApplication app(argc, argv);
    return measure(app);
}
