#include "calls/screendecoder.h"

#include "calls/screenimage.h"

#include <QMetaObject>

#include <utility>

ScreenDecoder::ScreenDecoder(Decoded onDecoded)
    : decoded(std::move(onDecoded)) {
    worker.moveToThread(&thread);
}

ScreenDecoder::~ScreenDecoder() {
    {
        std::lock_guard guard(lock);
        waiting.reset();
    }
    thread.quit();
    thread.wait();
}

void ScreenDecoder::decode(const QString &base64) {
    bool start = false;
    {
        std::lock_guard guard(lock);
        // One still waiting is replaced, and so never comes back.
        if (!waiting)
            ++inFlight;
        waiting = Job{++lastSerial, base64};
        start = !std::exchange(draining, true);
    }
    if (!start)
        return;
    if (!thread.isRunning())
        thread.start();
    QMetaObject::invokeMethod(
        &worker, [this] { drain(); }, Qt::QueuedConnection);
}

void ScreenDecoder::cancel() {
    cancelledUpTo = lastSerial;
    std::lock_guard guard(lock);
    if (waiting) {
        waiting.reset();
        --inFlight;
    }
}

void ScreenDecoder::drain() {
    // Runs on the decoder's own thread.
    for (;;) {
        Job job;
        {
            std::lock_guard guard(lock);
            if (!waiting) {
                draining = false;
                return;
            }
            job = std::exchange(waiting, std::nullopt).value();
        }
        // Straight to the shown size: the decoder scales while it decodes, many times faster
        // than a full decode of a large image.
        QImage image = screenimage::decodeBase64Jpeg(job.base64, screenimage::shownBounds);
        job.base64.clear();
        QMetaObject::invokeMethod(
            &guiSide,
            [this, serial = job.serial, image = std::move(image)] { deliver(serial, image); },
            Qt::QueuedConnection);
    }
}

void ScreenDecoder::deliver(quint64 serial, const QImage &image) {
    --inFlight;
    if (serial > cancelledUpTo)
        decoded(image);
}
