#include "tests/web/websupport.h"
#include "web/qrimage.h"

#include <QTest>

#include <qrencode.h>

class QrImageTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Every module is one solid 5 x 5 block at 20 + 5 * index, black exactly where the symbol says,
    // inside an all-white 20 px border.
    void modulesAndQuietZone_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("side");
        QTest::newRow("21 modules") << QByteArray("HELLO") << 145;
        QTest::newRow("25 modules") << QByteArray("https://localhost/ab") << 165;
        QTest::newRow("long address")
            << QByteArray("https://localhost/confirm/" + QByteArray(300, 'k') + "/end") << 0;
    }

    void modulesAndQuietZone() {
        QFETCH(QByteArray, text);
        QFETCH(int, side);
        QRcode *symbol = QRcode_encodeString(text.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
        QVERIFY(symbol);
        const int width = symbol->width;
        const QByteArray data(reinterpret_cast<const char *>(symbol->data), width * width);
        QRcode_free(symbol);

        const QImage image = qrimage::build(text);
        QCOMPARE(image.format(), QImage::Format_RGB32);
        QCOMPARE(image.size(), QSize(5 * width + 40, 5 * width + 40));
        if (side)
            QCOMPARE(image.width(), side);
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const bool inside = x >= 20 && y >= 20 && x < 20 + 5 * width && y < 20 + 5 * width;
                const bool dark = inside && (data[((y - 20) / 5) * width + (x - 20) / 5] & 1);
                if (image.pixel(x, y) != (dark ? qRgb(0, 0, 0) : qRgb(255, 255, 255)))
                    QFAIL(qPrintable(QStringLiteral("pixel (%1, %2) should be %3")
                                         .arg(x)
                                         .arg(y)
                                         .arg(dark ? "black" : "white")));
            }
        }
        if (websupport::haveDecoder())
            QCOMPARE(websupport::scanQr(image), QString::fromUtf8(text));
    }

    void tooLongForASymbolGivesANullImage() {
        QVERIFY(qrimage::build(QByteArray(3000, 'x')).isNull());
        QVERIFY(qrimage::build(QByteArray(1 << 20, 'x')).isNull());
    }
};

QTEST_GUILESS_MAIN(QrImageTest)
#include "tst_qrimage.moc"
