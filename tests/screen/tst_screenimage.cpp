#include "calls/screenimage.h"
#include "tests/screen/xscreen.h"

#include <QBuffer>
#include <QImageWriter>
#include <QTest>

namespace {

QByteArray jpegOf(const QImage &image, int quality = screenimage::jpegQuality) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    writer.write(image);
    return bytes;
}

QByteArray pngOf(const QImage &image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A small, valid JPEG whose frame header claims other dimensions: the decoder would allocate for
// the claim, not for the file.
QByteArray withClaimedSize(QByteArray jpeg, int width, int height) {
    const qsizetype sof = jpeg.indexOf("\xFF\xC0");
    if (sof < 0)
        return {};
    jpeg[sof + 5] = char(height >> 8);
    jpeg[sof + 6] = char(height & 0xff);
    jpeg[sof + 7] = char(width >> 8);
    jpeg[sof + 8] = char(width & 0xff);
    return jpeg;
}

QImage flat(QSize size, QColor colour) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

} // namespace

class ScreenImageTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void fitsLikeQt_data() {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("bounds");
        QTest::addColumn<QSize>("expected");
        const QSize sent = screenimage::sentBounds;
        const QSize shown = screenimage::shownBounds;
        QTest::newRow("1920x1080 sent") << QSize(1920, 1080) << sent << QSize(640, 360);
        QTest::newRow("640x360 shown") << QSize(640, 360) << shown << QSize(460, 258);
        QTest::newRow("1280x1024 sent") << QSize(1280, 1024) << sent << QSize(600, 480);
        QTest::newRow("600x480 shown") << QSize(600, 480) << shown << QSize(350, 280);
        QTest::newRow("exact fit") << QSize(640, 480) << sent << QSize(640, 480);
        QTest::newRow("4:3 shown") << QSize(640, 480) << shown << QSize(373, 280);
        QTest::newRow("3840x2160") << QSize(3840, 2160) << sent << QSize(640, 360);
        QTest::newRow("ultrawide") << QSize(3440, 1440) << sent << QSize(640, 267);
        QTest::newRow("portrait") << QSize(1080, 1920) << sent << QSize(270, 480);
        QTest::newRow("small screen grows") << QSize(320, 240) << sent << QSize(640, 480);
        QTest::newRow("width exactly at bound") << QSize(460, 280) << shown << QSize(460, 280);
        QTest::newRow("one pixel high") << QSize(100000, 1) << sent << QSize(640, 1);
        QTest::newRow("one pixel wide") << QSize(1, 100000) << sent << QSize(1, 480);
        QTest::newRow("no width") << QSize(0, 1080) << sent << QSize();
        QTest::newRow("no height") << QSize(1920, 0) << sent << QSize();
        QTest::newRow("no bounds") << QSize(1920, 1080) << QSize(0, 0) << QSize();
    }

    void fitsLikeQt() {
        QFETCH(QSize, source);
        QFETCH(QSize, bounds);
        QFETCH(QSize, expected);
        QCOMPARE(screenimage::fitInside(source, bounds), expected);
        if (source.isEmpty() || bounds.isEmpty())
            return;
        // The arithmetic must agree with what Qt itself does to an image of that size.
        const QImage image = flat(source, Qt::gray);
        QCOMPARE(image.scaled(bounds, Qt::KeepAspectRatio).size(), expected);
        QCOMPARE(screenimage::scaleToFit(image, bounds).size(), expected);
    }

    void encodesScreenAtQualitySixty() {
        const QImage screen = xscreen::patternImage(xscreen::Pattern::Quadrants, {1920, 1080});
        const std::optional<QByteArray> jpeg = screenimage::encodeFrame(screen);
        QVERIFY(jpeg.has_value());
        QVERIFY(jpeg->startsWith("\xFF\xD8"));
        const QImage scaled =
            screen.scaled(640, 360, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        QCOMPARE(*jpeg, jpegOf(scaled, 60));
        const QImage decoded = screenimage::decodeJpeg(*jpeg);
        QCOMPARE(decoded.size(), QSize(640, 360));
        QVERIFY2(xscreen::quadrantMismatch(decoded).isEmpty(),
                 qPrintable(xscreen::quadrantMismatch(decoded)));
        QCOMPARE(screenimage::scaleToFit(decoded, screenimage::shownBounds).size(),
                 QSize(460, 258));
    }

    void dropsFramesOverTheLimit() {
        // Random cells at 640 x 480 are the worst case JPEG meets; a plain desktop is far below.
        const QImage noise = xscreen::patternImage(xscreen::Pattern::Noise, {1920, 1440});
        const qsizetype noiseBytes =
            jpegOf(noise.scaled(640, 480, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)).size();
        QVERIFY2(noiseBytes > screenimage::maxJpegBytes,
                 qPrintable(QStringLiteral("noise only needs %1 bytes").arg(noiseBytes)));
        QVERIFY(!screenimage::encodeFrame(noise).has_value());

        const QImage desktop = xscreen::patternImage(xscreen::Pattern::Desktop, {1920, 1080});
        const std::optional<QByteArray> jpeg = screenimage::encodeFrame(desktop);
        QVERIFY(jpeg.has_value());
        QVERIFY(!jpeg->isEmpty());
        QVERIFY(jpeg->size() <= screenimage::maxJpegBytes);
    }

    void encodesNothingForAnEmptyGrab() {
        const std::optional<QByteArray> jpeg = screenimage::encodeFrame(QImage());
        QVERIFY(jpeg.has_value());
        QVERIFY(jpeg->isEmpty());
    }

    void joinsStrips_data() {
        QTest::addColumn<qreal>("ratio");
        QTest::addColumn<int>("rowsPerStrip");
        QTest::newRow("one strip") << 1.0 << 60;
        QTest::newRow("uneven strips") << 1.0 << 7;
        QTest::newRow("one row each") << 1.0 << 1;
        QTest::newRow("double density") << 2.0 << 7;
    }

    void joinsStrips() {
        QFETCH(qreal, ratio);
        QFETCH(int, rowsPerStrip);
        const QSize logical(100, 60);
        const QImage screen = xscreen::patternImage(xscreen::Pattern::Noise, logical * ratio);
        QList<screenimage::Strip> strips;
        for (int row = 0; row < logical.height(); row += rowsPerStrip) {
            const int rows = qMin(rowsPerStrip, logical.height() - row);
            QImage strip = screen.copy(0, int(row * ratio), screen.width(), int(rows * ratio));
            strip.setDevicePixelRatio(ratio);
            strips.append({row, strip});
        }
        QCOMPARE(screenimage::joinStrips(logical, strips), screen);

        strips[strips.size() / 2].image = QImage();
        QVERIFY(screenimage::joinStrips(logical, strips).isNull());
        QVERIFY(screenimage::joinStrips(logical, {}).isNull());
    }

    void decodesOnlySaneJpeg_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("expected");
        const QByteArray good = jpegOf(flat({64, 48}, Qt::darkCyan));
        QTest::newRow("valid") << good << QSize(64, 48);
        QTest::newRow("empty") << QByteArray() << QSize();
        QTest::newRow("garbage") << QByteArray("\x01\x02not an image at all\xFF\xD9") << QSize();
        QTest::newRow("png") << pngOf(flat({64, 48}, Qt::darkCyan)) << QSize();
        QTest::newRow("only the start marker") << QByteArray("\xFF\xD8\xFF\xD9") << QSize();
        QTest::newRow("cut in half") << good.left(good.size() / 2) << QSize();
        QTest::newRow("last byte missing") << good.chopped(1) << QSize();
        QTest::newRow("bomb 65500x65500") << withClaimedSize(good, 65500, 65500) << QSize();
        QTest::newRow("bomb wide") << withClaimedSize(good, 8193, 8) << QSize();
        QTest::newRow("bomb tall") << withClaimedSize(good, 8, 8193) << QSize();
        QTest::newRow("bomb by area") << withClaimedSize(good, 4097, 4097) << QSize();
        QTest::newRow("zero height") << withClaimedSize(good, 64, 0) << QSize();
    }

    void decodesOnlySaneJpeg() {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, expected);
        const QImage image = screenimage::decodeJpeg(bytes);
        QCOMPARE(image.isNull(), expected.isEmpty());
        if (!image.isNull())
            QCOMPARE(image.size(), expected);
    }

    void decodesBase64Leniently_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("decodes");
        const QString plain = QString::fromLatin1(jpegOf(flat({64, 48}, Qt::darkCyan)).toBase64());
        QString broken = plain;
        for (qsizetype i = broken.size() - 8; i > 0; i -= 76)
            broken.insert(i, QStringLiteral("\r\n* é"));
        QTest::newRow("standard") << plain << true;
        QTest::newRow("line breaks and stray characters") << broken << true;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("base64 garbage") << QStringLiteral("%%%%!!!!::::====") << false;
        QTest::newRow("base64 of text") << QStringLiteral("aGVsbG8gd29ybGQ=") << false;
        QTest::newRow("truncated text") << plain.left(plain.size() - 12) << false;
    }

    void decodesBase64Leniently() {
        QFETCH(QString, text);
        QFETCH(bool, decodes);
        QCOMPARE(!screenimage::decodeBase64Jpeg(text).isNull(), decodes);
    }
};

QTEST_MAIN(ScreenImageTest)
#include "tst_screenimage.moc"
