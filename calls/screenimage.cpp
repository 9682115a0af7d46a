#include "calls/screenimage.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>
#include <QMetaObject>

#include <utility>

namespace screenimage {

QSize fitInside(QSize source, QSize bounds) {
    if (source.isEmpty() || bounds.isEmpty())
        return {};
    const qint64 w = source.width();
    const qint64 h = source.height();
    const qint64 widthAtFullHeight = bounds.height() * w / h;
    QSize fitted = widthAtFullHeight <= bounds.width()
                       ? QSize(int(widthAtFullHeight), bounds.height())
                       : QSize(bounds.width(), int(bounds.width() * h / w));
    return fitted.expandedTo(QSize(1, 1));
}

QImage scaleToFit(const QImage &image, QSize bounds) {
    const QSize size = fitInside(image.size(), bounds);
    if (size.isEmpty())
        return {};
    return image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

std::optional<QByteArray> encodeFrame(const QImage &screen) {
    QByteArray bytes;
    const QImage scaled = scaleToFit(screen, sentBounds);
    if (!scaled.isNull()) {
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpeg");
        writer.setQuality(jpegQuality);
        if (!writer.write(scaled))
            bytes.clear();
    }
    if (bytes.size() > maxJpegBytes)
        return std::nullopt;
    return bytes;
}

QImage decodeJpeg(const QByteArray &bytes) {
    // Every complete JPEG ends with the end-of-image marker. Without it the decoder would pad the
    // missing rows with grey and call the result a success.
    if (!bytes.endsWith("\xFF\xD9"))
        return {};
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    reader.setAutoDetectImageFormat(false);
    const QSize size = reader.size();
    if (size.isEmpty() || size.width() > maxDecodedSide || size.height() > maxDecodedSide ||
        qint64(size.width()) * size.height() > maxDecodedPixels)
        return {};
    QImage image;
    if (!reader.read(&image))
        return {};
    return image;
}

QImage decodeBase64Jpeg(const QString &text) {
    return decodeJpeg(QByteArray::fromBase64(text.toLatin1()));
}

} // namespace screenimage

ScreenEncoder::ScreenEncoder() {
    worker.moveToThread(&thread);
}

ScreenEncoder::~ScreenEncoder() {
    thread.quit();
    thread.wait();
}

bool ScreenEncoder::encode(QImage screen, Done done) {
    if (inFlight)
        return false;
    if (!thread.isRunning())
        thread.start();
    inFlight = true;
    QMetaObject::invokeMethod(
        &worker,
        [this, screen = std::move(screen), done = std::move(done)]() mutable {
            // Runs on the encoder's thread.
            std::optional<QByteArray> jpeg = screenimage::encodeFrame(screen);
            screen = QImage();
            QMetaObject::invokeMethod(
                &guiSide,
                [this, jpeg = std::move(jpeg), done = std::move(done)] {
                    inFlight = false;
                    done(jpeg);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    return true;
}
