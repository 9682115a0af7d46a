#include "calls/desktop.h"
#include "calls/screenimage.h"
#include "tests/screen/xscreen.h"
#include "tests/support/testkit.h"

#include <QBuffer>
#include <QImageWriter>

namespace {

QByteArray encoded(const QImage &image, const char *format = "jpeg",
                   int quality = screenimage::jpegQuality) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    writer.write(image);
    return bytes;
}

// A small, valid JPEG whose frame header claims other dimensions: the decoder would allocate for
// the claim, not for the file.
QByteArray withClaimedSize(QByteArray jpeg, int width, int height) {
    const qsizetype sof = jpeg.indexOf("\xFF\xC0");
    const char size[] = {char(height >> 8), char(height & 0xff), char(width >> 8),
                         char(width & 0xff)};
    return jpeg.replace(sof + 5, 4, size, 4);
}

QImage flat(QSize size) {
    return xscreen::patternImage(xscreen::Pattern::Quadrants, size);
}

} // namespace

class ScreenImageTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Sent bounds: landscape, portrait, a small screen grows, one pixel high, no width, no
    // bounds; shown bounds: width exactly at the bound.
    void fitsLikeQt() {
        struct Fit {
            QSize source, bounds, expected;
        };
        const QSize sent = screenimage::sentBounds, shown = screenimage::shownBounds;
        const Fit rows[] = {{{1920, 1080}, sent, {640, 360}}, {{1080, 1920}, sent, {270, 480}},
                            {{320, 240}, sent, {640, 480}},   {{460, 280}, shown, {460, 280}},
                            {{100000, 1}, sent, {640, 1}},    {{0, 1080}, sent, {}},
                            {{1920, 1080}, {0, 0}, {}}};
        for (const auto &[source, bounds, expected] : rows) {
            QCOMPARE(screenimage::fitInside(source, bounds), expected);
            if (source.isEmpty() || bounds.isEmpty())
                continue;
            // The arithmetic must agree with what Qt itself does to an image of that size.
            QCOMPARE(flat(source).scaled(bounds, Qt::KeepAspectRatio).size(), expected);
            QCOMPARE(screenimage::scaleToFit(flat(source), bounds).size(), expected);
        }
    }

    // A screen goes out smoothly scaled at quality 60; noise at 640 x 480 (the worst case JPEG
    // meets) is over the limit and dropped; an empty grab encodes to nothing.
    void encodesFrames() {
        const QImage screen = xscreen::patternImage(xscreen::Pattern::Quadrants, {1920, 1080});
        const std::optional<QByteArray> jpeg = screenimage::encodeFrame(screen);
        QVERIFY(jpeg);
        QCOMPARE(*jpeg,
                 encoded(screen.scaled(640, 360, Qt::IgnoreAspectRatio, Qt::SmoothTransformation),
                         "jpeg", 60));
        QVERIFY(xscreen::showsQuadrants(screenimage::decodeJpeg(*jpeg)));
        const QImage noise = xscreen::patternImage(xscreen::Pattern::Noise, {1920, 1440});
        QVERIFY(encoded(noise.scaled(640, 480, Qt::IgnoreAspectRatio, Qt::SmoothTransformation))
                    .size() > screenimage::maxJpegBytes);
        QVERIFY(!screenimage::encodeFrame(noise));
        QCOMPARE(screenimage::encodeFrame(QImage()), std::optional<QByteArray>(QByteArray()));
    }

    // Strips of uneven height, also at double density, join into the screen; a lost strip or
    // none at all leaves nothing to send. A Wayland session hands a plain grab black frames, also
    // to an X client on XWayland.
    void joinsStrips() {
        for (const auto &[ratio, rowsPerStrip] : {std::pair{1.0, 60}, {1.0, 7}, {2.0, 7}}) {
            const QSize logical(100, 60);
            const QImage screen = xscreen::patternImage(xscreen::Pattern::Noise, logical * ratio);
            QList<screenimage::Strip> strips;
            for (int row = 0; row < logical.height(); row += rowsPerStrip) {
                QImage strip = screen.copy(0, int(row * ratio), screen.width(),
                                           int(qMin(rowsPerStrip, logical.height() - row) * ratio));
                strip.setDevicePixelRatio(ratio);
                strips.append({row, strip});
            }
            QCOMPARE(screenimage::joinStrips(logical, strips), screen);
            strips[strips.size() / 2].image = QImage();
            QVERIFY(screenimage::joinStrips(logical, strips).isNull());
        }
        QVERIFY(screenimage::joinStrips({100, 60}, {}).isNull());
        QVERIFY(desktop::screenGrabWorks("xcb", "x11") && desktop::screenGrabWorks("windows", {}) &&
                !desktop::screenGrabWorks("xcb", "wayland") &&
                !desktop::screenGrabWorks("wayland-egl", "wayland"));
    }

    // Bytes or Base64 text in; only the valid one decodes: not empty, garbage, PNG, one byte
    // short, a bomb wide, tall or by area, nor zero height.
    void decodesOnlySaneJpeg() {
        const QByteArray good = encoded(flat({64, 48}));
        for (const QByteArray &bytes :
             {good, QByteArray(), QByteArray("\x01\x02not an image at all\xFF\xD9"),
              encoded(flat({64, 48}), "png"), good.chopped(1), withClaimedSize(good, 8193, 8),
              withClaimedSize(good, 8, 8193), withClaimedSize(good, 4097, 4097),
              withClaimedSize(good, 64, 0)}) {
            const QSize expected = bytes == good ? QSize(64, 48) : QSize(0, 0);
            QCOMPARE(screenimage::decodeJpeg(bytes).size(), expected);
            // Base64 is read leniently: line breaks and stray characters are skipped.
            QString text = QString::fromLatin1(bytes.toBase64());
            for (qsizetype i = text.size() - 8; i > 0; i -= 76)
                text.insert(i, QStringLiteral("\r\n* é"));
            QCOMPARE(screenimage::decodeBase64Jpeg(text).size(), expected);
        }
    }
};

QTEST_MAIN(ScreenImageTest)
#include "tst_screenimage.moc"
