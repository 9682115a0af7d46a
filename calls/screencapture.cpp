#include "calls/screencapture.h"

#include "calls/freememory.h"

#include <QMetaObject>
#include <QPixmap>

#include <utility>

ScreenCapture::ScreenCapture() {
    worker.moveToThread(&thread);
}

ScreenCapture::~ScreenCapture() {
    thread.quit();
    thread.wait();
}

bool ScreenCapture::capture(QScreen *target, Wanted isWanted, Done onDone) {
    if (inFlight || !target)
        return false;
    inFlight = true;
    screen = target;
    wanted = std::move(isWanted);
    done = std::move(onDone);
    strips.clear();
    nextRow = 0;
    logicalSize = target->geometry().size();
    rowsPerStrip = int(qMax<qint64>(1, stripPixels / qMax(1, logicalSize.width())));
    grabStrip();
    return true;
}

void ScreenCapture::grabStrip() {
    if (!screen || !wanted()) {
        finish();
        return;
    }
    bool failed = logicalSize.isEmpty();
    if (!failed) {
        const int rows = qMin(rowsPerStrip, logicalSize.height() - nextRow);
        QImage strip = screen->grabWindow(0, 0, nextRow, logicalSize.width(), rows).toImage();
        failed = strip.isNull();
        strips.append({nextRow, std::move(strip)});
        nextRow += rows;
    }
    if (!failed && nextRow < logicalSize.height()) {
        QMetaObject::invokeMethod(
            &guiSide, [this] { grabStrip(); }, Qt::QueuedConnection);
        return;
    }
    if (failed)
        strips.clear();
    if (!thread.isRunning())
        thread.start();
    QMetaObject::invokeMethod(
        &worker,
        [this, size = logicalSize, parts = std::exchange(strips, {})]() mutable {
            // Runs on the capture's own thread.
            // A strip that could not be grabbed spoils the frame: it goes out empty, like a
            // failed grab of the whole screen.
            std::optional<QByteArray> jpeg =
                screenimage::encodeFrame(screenimage::joinStrips(size, parts));
            parts.clear();
            QMetaObject::invokeMethod(
                &guiSide,
                [this, jpeg = std::move(jpeg)] {
                    const Done handBack = std::exchange(done, nullptr);
                    const bool stillWanted = screen && wanted();
                    finish();
                    if (stillWanted)
                        handBack(jpeg);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void ScreenCapture::finish() {
    inFlight = false;
    screen = nullptr;
    strips.clear();
    wanted = nullptr;
    done = nullptr;
    if (std::exchange(releasePending, false)) {
        // After the hand-back that called this has let go of its frame.
        QMetaObject::invokeMethod(
            &guiSide, [this] { releaseNow(); }, Qt::QueuedConnection);
    }
}

void ScreenCapture::release() {
    if (inFlight)
        releasePending = true;
    else
        releaseNow();
}

void ScreenCapture::releaseNow() {
    // A new frame may have started meanwhile; it releases when sharing stops again.
    if (inFlight)
        return;
    strips = {};
    // Screens are megabytes each, and the allocator keeps freed blocks of that size for reuse.
    // Handing them back walks every arena and takes milliseconds, so the capture's own thread does
    // it rather than the GUI thread, which runs the voice.
    if (thread.isRunning())
        QMetaObject::invokeMethod(&worker, &releaseFreedMemory, Qt::QueuedConnection);
    else
        releaseFreedMemory();
}
