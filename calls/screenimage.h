#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QScreen>
#include <QSize>
#include <QThread>

#include <functional>
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

// Takes one frame at a time. The screen is grabbed in strips, one per turn of the event loop, so
// no single grab holds the GUI thread for long (a whole 1920 x 1080 grab from X takes 10 to 30 ms,
// enough to hold back the 20 ms voice blocks and break up the call); the strips are joined, scaled
// and encoded on a thread of its own.
class ScreenCapture {
public:
    using Wanted = std::function<bool()>;
    using Done = std::function<void(std::optional<QByteArray>)>;

    // Rows per strip are chosen so that one strip is about this many pixels.
    static constexpr qint64 stripPixels = 64 * 1024;

    ScreenCapture();
    ~ScreenCapture();
    ScreenCapture(const ScreenCapture &) = delete;
    ScreenCapture &operator=(const ScreenCapture &) = delete;

    // True from capture() until the frame has been handed back or abandoned.
    bool busy() const { return inFlight; }

    // GUI thread. Refused (false) while busy, so screens never pile up. The first strip is grabbed
    // at once. `wanted` is asked before every later strip and before the hand-back; once it says
    // no, the frame is dropped without a word. `done` gets encodeFrame's result on the GUI thread.
    bool capture(QScreen *screen, Wanted wanted, Done done);

private:
    void grabStrip();
    void finish();

    QObject guiSide;
    QThread thread;
    QObject worker;
    bool inFlight = false;
    QPointer<QScreen> screen;
    QList<screenimage::Strip> strips;
    int nextRow = 0;
    int rowsPerStrip = 0;
    QSize logicalSize;
    Wanted wanted;
    Done done;
};
