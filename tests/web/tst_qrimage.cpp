#include "web/qrimage.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <qrencode.h>

namespace {

// The symbol width the encoder picks for `text`, to know what the image must measure.
int symbolWidth(const QByteArray &text) {
    QRcode *symbol = QRcode_encodeString(text.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    const int width = symbol ? symbol->width : 0;
    QRcode_free(symbol);
    return width;
}

} // namespace

class QrImageTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void size_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("modules");
        QTest::addColumn<int>("side");
        QTest::newRow("version 1") << QByteArray("HELLO") << 21 << 145;
        QTest::newRow("version 2") << QByteArray("https://localhost/ab") << 25 << 165;
    }

    void size() {
        QFETCH(QByteArray, text);
        QFETCH(int, modules);
        QFETCH(int, side);
        QCOMPARE(symbolWidth(text), modules);
        const QImage image = qrimage::build(text);
        QCOMPARE(image.size(), QSize(side, side));
        QCOMPARE(image.format(), QImage::Format_RGB32);
    }

    // Every module is one solid 5 x 5 block at 20 + 5 * index, black exactly where the symbol says,
    // inside an all-white 20 px border.
    void modulesAndQuietZone() {
        const QByteArray text = "https://localhost:8443/confirm/Zk3_abc";
        QRcode *symbol = QRcode_encodeString(text.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
        QVERIFY(symbol);
        const int width = symbol->width;
        const QByteArray data(reinterpret_cast<const char *>(symbol->data), width * width);
        QRcode_free(symbol);

        const QImage image = qrimage::build(text);
        QCOMPARE(image.width(), 5 * width + 40);
        const QRgb white = qRgb(255, 255, 255);
        const QRgb black = qRgb(0, 0, 0);
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const bool inside = x >= 20 && y >= 20 && x < 20 + 5 * width && y < 20 + 5 * width;
                const bool dark = inside && (data[((y - 20) / 5) * width + (x - 20) / 5] & 1);
                const QRgb pixel = image.pixel(x, y);
                if (pixel != (dark ? black : white))
                    QFAIL(qPrintable(QStringLiteral("pixel (%1, %2) is #%3, expected %4")
                                         .arg(x)
                                         .arg(y)
                                         .arg(pixel & 0xffffff, 6, 16, QLatin1Char('0'))
                                         .arg(dark ? "black" : "white")));
            }
        }
    }

    void decodesBackToTheText_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("local service address")
            << QByteArray("https://localhost:8443/confirm/q1W2e3R4t5Y6u7I8o9P0aSdF");
        QTest::newRow("mixed case and query")
            << QByteArray("https://Tovik.example/confirm/AbC-dEf_123?x=1&y=%2F");
        QTest::newRow("long address")
            << QByteArray("https://localhost/confirm/" + QByteArray(300, 'k') + "/end");
    }

    void decodesBackToTheText() {
        QFETCH(QByteArray, text);
        const QString decoder = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
        if (decoder.isEmpty())
            QSKIP("zbarimg (zbar-tools) is not installed");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("qr.png"));
        QVERIFY(qrimage::build(text).save(file));
        QProcess zbar;
        zbar.start(decoder, {QStringLiteral("--raw"), QStringLiteral("-q"), file});
        QVERIFY(zbar.waitForFinished(20000));
        QCOMPARE(zbar.exitCode(), 0);
        QCOMPARE(zbar.readAllStandardOutput().trimmed(), text);
    }

    void noSymbolGivesANullImage_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("beyond the largest symbol") << QByteArray(3000, 'x');
        QTest::newRow("a megabyte") << QByteArray(1 << 20, 'x');
    }

    void noSymbolGivesANullImage() {
        QFETCH(QByteArray, text);
        QVERIFY(qrimage::build(text).isNull());
    }
};

QTEST_GUILESS_MAIN(QrImageTest)
#include "tst_qrimage.moc"
