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
    void fitsLikeQt_data() {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("bounds");
        QTest::addColumn<QSize>("expected");
        const QSize sent = screenimage::sentBounds, shown = screenimage::shownBounds;
        row("1920x1080 sent", QSize(1920, 1080), sent, QSize(640, 360));
        row("portrait", QSize(1080, 1920), sent, QSize(270, 480));
        row("small screen grows", QSize(320, 240), sent, QSize(640, 480));
        row("width exactly at bound", QSize(460, 280), shown, QSize(460, 280));
        row("one pixel high", QSize(100000, 1), sent, QSize(640, 1));
        row("no width", QSize(0, 1080), sent, QSize());
        row("no bounds", QSize(1920, 1080), QSize(0, 0), QSize());
    }
    void fitsLikeQt() {
        QFETCH(QSize, source);
        QFETCH(QSize, bounds);
        QFETCH(QSize, expected);
        QCOMPARE(screenimage::fitInside(source, bounds), expected);
        if (source.isEmpty() || bounds.isEmpty())
            return;
        // The arithmetic must agree with what Qt itself does to an image of that size.
        QCOMPARE(flat(source).scaled(bounds, Qt::KeepAspectRatio).size(), expected);
        QCOMPARE(screenimage::scaleToFit(flat(source), bounds).size(), expected);
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

    void joinsStrips_data() {
        QTest::addColumn<qreal>("ratio");
        QTest::addColumn<int>("rowsPerStrip");
        row("one strip", 1.0, 60);
        row("uneven strips", 1.0, 7);
        row("double density", 2.0, 7);
    }
    void joinsStrips() {
        QFETCH(qreal, ratio);
        QFETCH(int, rowsPerStrip);
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
        QVERIFY(screenimage::joinStrips(logical, {}).isNull());
    }

    // A Wayland session hands a plain grab black frames, also to an X client on XWayland.
    void grabWorksOnlyOutsideWayland() {
        QVERIFY(desktop::screenGrabWorks("xcb", "x11") && desktop::screenGrabWorks("windows", {}));
        QVERIFY(!desktop::screenGrabWorks("xcb", "wayland"));
        QVERIFY(!desktop::screenGrabWorks("wayland-egl", "wayland"));
    }

    // Bytes or Base64 text in, the decoded size out (empty: refused).
    void decodesOnlySaneJpeg_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("expected");
        const QByteArray good = encoded(flat({64, 48}));
        row("valid", good, QSize(64, 48));
        row("empty", QByteArray(), QSize());
        row("garbage", QByteArray("\x01\x02not an image at all\xFF\xD9"), QSize());
        row("png", encoded(flat({64, 48}), "png"), QSize());
        row("last byte missing", good.chopped(1), QSize());
        row("bomb wide", withClaimedSize(good, 8193, 8), QSize());
        row("bomb tall", withClaimedSize(good, 8, 8193), QSize());
        row("bomb by area", withClaimedSize(good, 4097, 4097), QSize());
        row("zero height", withClaimedSize(good, 64, 0), QSize());
    }
    void decodesOnlySaneJpeg() {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, expected);
        QCOMPARE(screenimage::decodeJpeg(bytes).size(),
                 expected.isValid() ? expected : QSize(0, 0));
        // Base64 is read leniently: line breaks and stray characters are skipped.
        QString text = QString::fromLatin1(bytes.toBase64());
        for (qsizetype i = text.size() - 8; i > 0; i -= 76)
            text.insert(i, QStringLiteral("\r\n* é"));
        QCOMPARE(screenimage::decodeBase64Jpeg(text).size(),
                 expected.isValid() ? expected : QSize(0, 0));
    }
};

QTEST_MAIN(ScreenImageTest)
#include "tst_screenimage.moc"
