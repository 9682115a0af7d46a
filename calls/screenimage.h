#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QSize>

#include <optional>

// The images of screen sharing: sizes, the sender's encoding and the receiver's decoding.
namespace screenimage {

inline constexpr QSize sentBounds{640, 480};
inline constexpr QSize shownBounds{460, 280};
inline constexpr int jpegQuality = 60;
inline constexpr qsizetype maxJpegBytes = 129999;

// What a receiver is willing to decode. Senders never go past 640 x 480; the bound only keeps a
// hostile header from making us allocate gigabytes.
inline constexpr int maxDecodedSide = 8192;
inline constexpr qint64 maxDecodedPixels = qint64(4096) * 4096;

// The size QImage::scaled() gives with Qt::KeepAspectRatio: integer division, and never less than
// one pixel a side. An empty source or empty bounds give an empty size.
QSize fitInside(QSize source, QSize bounds);

// Scales to fitInside(image.size(), bounds) with smooth filtering; a null image stays null.
QImage scaleToFit(const QImage &image, QSize bounds);

// Scales a grabbed screen to fit sentBounds and encodes it as JPEG. std::nullopt when the result
// is over maxJpegBytes; empty bytes when there was nothing to encode (a null grab).
std::optional<QByteArray> encodeFrame(const QImage &screen);

// Decodes one JPEG. Anything else, a stream cut short, or a header declaring dimensions beyond
// the bounds above gives a null image. With `fitTo` valid the decoder scales while it decodes, to
// fitInside(size, fitTo): a large image then costs a fraction of its full decode.
QImage decodeJpeg(const QByteArray &bytes, QSize fitTo = {});

// One band of the screen, grabbed on its own; `row` is its top in the screen's logical pixels.
struct Strip {
    int row = 0;
    QImage image;
};

// The screen put back together from its strips, in device pixels. Null if any strip is null.
QImage joinStrips(QSize logicalSize, const QList<Strip> &strips);

// The "jpeg" text of a received event: lenient Base64 of a JPEG.
QImage decodeBase64Jpeg(const QString &text, QSize fitTo = {});

} // namespace screenimage
