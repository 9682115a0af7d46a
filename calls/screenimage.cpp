#include "calls/screenimage.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QPointF>

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

QImage decodeJpeg(const QByteArray &bytes, QSize fitTo) {
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
    if (fitTo.isValid())
        reader.setScaledSize(fitInside(size, fitTo));
    QImage image;
    if (!reader.read(&image))
        return {};
    return image;
}

QImage joinStrips(QSize logicalSize, const QList<Strip> &strips) {
    if (strips.isEmpty() || logicalSize.isEmpty())
        return {};
    const qreal ratio = strips.first().image.devicePixelRatio();
    QImage joined((QSizeF(logicalSize) * ratio).toSize(), QImage::Format_RGB32);
    joined.fill(Qt::black);
    joined.setDevicePixelRatio(ratio);
    QPainter painter(&joined);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    for (const Strip &strip : strips) {
        if (strip.image.isNull())
            return {};
        painter.drawImage(QPointF(0, strip.row), strip.image);
    }
    painter.end();
    joined.setDevicePixelRatio(1);
    return joined;
}

QImage decodeBase64Jpeg(const QString &text, QSize fitTo) {
    return decodeJpeg(QByteArray::fromBase64(text.toLatin1()), fitTo);
}

} // namespace screenimage
