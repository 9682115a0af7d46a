// Screen-sharing figures on a real X screen: a private 1920 x 1080 Xvfb that this program starts,
// showing an ordinary-looking desktop, and this program re-run inside it.
//
//   screen_frame_ms      grab (strip by strip, as the program does), join, scale and encode of one
//                        frame, all in a row
//   screen_gui_block_ms  what one frame costs the GUI thread in all: the grab, strip by strip,
//                        and the hand-back of the encoded image (Base64 and emitting the event)
//   screen_gui_longest_block_ms
//                        the longest the GUI thread is held at a stretch while doing that, which
//                        is what holds back its other timers
//   screen_receive_gui_ms
//                        what one received 4096 x 4096 image costs the GUI thread, from the text
//                        frame to the shown picture: its CPU time, the decode running elsewhere
//
// Without Xvfb it measures on the offscreen platform and says so: there the "grab" is a copy of a
// window's backing store.
#include "bench/benchutil.h"
#include "calls/nativecalls.h"
#include "calls/screencapture.h"
#include "calls/screenimage.h"
#include "realtime/frames.h"
#include "tests/screen/xscreen.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

#include <time.h>

namespace {

using benchutil::comment;
using benchutil::figure;
using benchutil::median;

constexpr int runs = 31;

double msSince(const QElapsedTimer &timer) {
    return double(timer.nsecsElapsed()) / 1e6;
}

double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Times the queued calls the GUI thread runs: the encoder's hand-back is one of them.
class TimingApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override {
        // The encoder's and decoder's threads come through here too; only the GUI thread counts.
        if (event->type() != QEvent::MetaCall || QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        if (afterQueuedCall) {
            const bool result = QApplication::notify(receiver, event);
            afterQueuedCall();
            return result;
        }
        if (!measuring)
            return QApplication::notify(receiver, event);
        QElapsedTimer timer;
        timer.start();
        const bool result = QApplication::notify(receiver, event);
        const double ms = msSince(timer);
        queuedMs += ms;
        longestMs = qMax(longestMs, ms);
        return result;
    }
    bool measuring = false;
    // Called after each queued call the GUI thread runs, while set.
    std::function<void()> afterQueuedCall;
    double queuedMs = 0;
    double longestMs = 0;
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

// A detailed 4096 x 4096 picture, as large as a hostile or careless sender might send.
QByteArray largeJpeg() {
    QImage image(4096, 4096, QImage::Format_RGB32);
    quint32 noise = 12345;
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int grain = int(noise >> 28);
            line[x] = qRgb((x / 16 + grain) & 255, (y / 16 + grain) & 255, ((x ^ y) >> 4) & 255);
        }
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 20);
    return bytes;
}

int measureReceive(TimingApplication &app, NativeCalls &calls) {
    const QByteArray jpeg = largeJpeg();
    const QString frame =
        frames::eventFrame(QStringLiteral("native_screen"),
                           {{QStringLiteral("id"), calls.callId},
                            {QStringLiteral("jpeg"), QString::fromLatin1(jpeg.toBase64())}});
    // Every frame decoded, so each run measures a decode rather than the rate limit.
    calls.screenShowIntervalMs = 0;
    QList<double> receiveMs, wallMs, fullDecodeMs;
    for (int i = 0; i < runs + 3; ++i) {
        calls.screenLabel.clear();
        // The image is decoded on another thread and shown by a queued call: the GUI thread waits
        // in its event loop meanwhile, free for anything else.
        QEventLoop loop;
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        app.afterQueuedCall = [&] {
            if (!calls.screenLabel.pixmap().isNull())
                loop.quit();
        };
        QElapsedTimer timer;
        timer.start();
        const double cpuAtStart = threadCpuMs();
        calls.handle(frame);
        if (calls.screenLabel.pixmap().isNull())
            loop.exec();
        const double took = threadCpuMs() - cpuAtStart;
        const double wall = msSince(timer);
        app.afterQueuedCall = nullptr;
        timer.restart();
        const QImage full =
            screenimage::scaleToFit(screenimage::decodeJpeg(jpeg), screenimage::shownBounds);
        const double fullTook = msSince(timer);
        if (calls.screenLabel.pixmap().isNull() || full.isNull()) {
            comment(QStringLiteral("the 4096 x 4096 image was not shown"));
            return 1;
        }
        if (i >= 3) {
            receiveMs << took;
            wallMs << wall;
            fullDecodeMs << fullTook;
        }
    }
    comment(QStringLiteral("received image: %1 runs of a %2 kB JPEG (%3 kB as Base64); shown "
                           "%4 ms after the frame came in; a full decode and scale would take "
                           "%5 ms")
                .arg(runs)
                .arg(jpeg.size() / 1024)
                .arg(jpeg.toBase64().size() / 1024)
                .arg(median(wallMs), 0, 'f', 2)
                .arg(median(fullDecodeMs), 0, 'f', 2));
    figure("screen_receive_gui_ms", median(receiveMs), "ms");
    return 0;
}

// Windows, text and gradients, like an ordinary working screen.
QImage desktopImage(QSize size) {
    QImage image(size, QImage::Format_RGB32);
    const int w = size.width(), h = size.height();
    QPainter painter(&image);
    QLinearGradient background(0, 0, w, h);
    background.setColorAt(0, QColor(30, 60, 110));
    background.setColorAt(1, QColor(120, 40, 90));
    painter.fillRect(image.rect(), background);
    QRandomGenerator rng(7);
    for (int i = 0; i < 6; ++i) {
        const QRect frame(int(rng.bounded(w / 2)), int(rng.bounded(h / 2)), w / 3, h / 3);
        painter.fillRect(frame, QColor(245, 245, 245));
        painter.fillRect(frame.x(), frame.y(), frame.width(), 28, QColor(60, 60, 70));
        painter.setPen(Qt::black);
        for (int line = 0; line * 18 + 40 < frame.height(); ++line)
            painter.drawText(frame.x() + 8, frame.y() + 44 + line * 18,
                             QStringLiteral("Строка %1: quick brown fox, 0123456789 — %2")
                                 .arg(line)
                                 .arg(rng.generate()));
    }
    return image;
}

int measure(TimingApplication &app) {
    QScreen *screen = QGuiApplication::primaryScreen();
    comment(QStringLiteral("platform %1, screen %2x%3")
                .arg(QGuiApplication::platformName())
                .arg(screen->geometry().width())
                .arg(screen->geometry().height()));
    xscreen::ScreenCover cover(xscreen::Pattern::Quadrants);
    cover.setPicture(desktopImage(cover.size()));
    if (!cover.showOnScreen()) {
        comment(QStringLiteral("the desktop picture never reached the screen"));
        return 1;
    }

    // The frame as the program takes it (strips, joined, scaled, encoded), here all in a row; and
    // a whole-screen grab in one call for comparison.
    const QSize logical = screen->geometry().size();
    const int rowsPerStrip = int(qMax<qint64>(1, ScreenCapture::stripPixels / logical.width()));
    QList<double> wholeGrabMs, grabMs, joinMs, scaleMs, encodeMs, frameMs, bytes;
    for (int i = 0; i < runs + 3; ++i) {
        QElapsedTimer timer;
        timer.start();
        const QImage whole = screen->grabWindow(0).toImage();
        const double whole_ = msSince(timer);
        timer.restart();
        QList<screenimage::Strip> strips;
        for (int row = 0; row < logical.height(); row += rowsPerStrip) {
            const int rows = qMin(rowsPerStrip, logical.height() - row);
            strips.append({row, screen->grabWindow(0, 0, row, logical.width(), rows).toImage()});
        }
        const double grabbedAt = msSince(timer);
        const QImage joined = screenimage::joinStrips(logical, strips);
        const double joinedAt = msSince(timer);
        const QImage scaled = screenimage::scaleToFit(joined, screenimage::sentBounds);
        const double scaledAt = msSince(timer);
        // Already at its size, the image goes through encodeFrame without being scaled again.
        const std::optional<QByteArray> jpeg = screenimage::encodeFrame(scaled);
        const double total = msSince(timer);
        if (i < 3 || whole.size() != joined.size())
            continue; // warm-up: plugin loading, first allocations
        wholeGrabMs << whole_;
        grabMs << grabbedAt;
        joinMs << joinedAt - grabbedAt;
        scaleMs << scaledAt - joinedAt;
        encodeMs << total - scaledAt;
        frameMs << total;
        bytes << double(jpeg ? jpeg->size() : -1);
        QCoreApplication::processEvents();
    }
    comment(QStringLiteral("%1 runs each; medians: grab in %2 strips %3 ms, join %4 ms, scale %5 "
                           "ms, encode %6 ms, JPEG %7 bytes; one whole-screen grab %8 ms")
                .arg(frameMs.size())
                .arg((logical.height() + rowsPerStrip - 1) / rowsPerStrip)
                .arg(median(grabMs), 0, 'f', 2)
                .arg(median(joinMs), 0, 'f', 2)
                .arg(median(scaleMs), 0, 'f', 2)
                .arg(median(encodeMs), 0, 'f', 2)
                .arg(median(bytes), 0, 'f', 0)
                .arg(median(wholeGrabMs), 0, 'f', 2));
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
    QList<double> blockMs, longestMs;
    for (int i = 0; i < runs + 3; ++i) {
        app.queuedMs = 0;
        app.longestMs = 0;
        QElapsedTimer timer;
        timer.start();
        calls.sendScreenFrame();
        const double grabbing = msSince(timer);
        app.measuring = true;
        const bool done = QTest::qWaitFor([&calls] { return !calls.screenCapture.busy(); }, 10000);
        app.measuring = false;
        if (!done) {
            comment(QStringLiteral("a frame never came back from the encoder"));
            return 1;
        }
        if (i >= 3) {
            blockMs << grabbing + app.queuedMs;
            longestMs << qMax(grabbing, app.longestMs);
        }
    }
    comment(QStringLiteral("%1 runs, %2 frames emitted; grabbed in strips of about %3 pixels on "
                           "the GUI thread, scaled and encoded on the capture's thread")
                .arg(runs)
                .arg(sent)
                .arg(ScreenCapture::stripPixels));
    figure("screen_gui_block_ms", median(blockMs), "ms");
    figure("screen_gui_longest_block_ms", median(longestMs), "ms");
    return measureReceive(app, calls);
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
