#include "tests/support/windowkit.h"
#include "web/qrimage.h"

#include <qrencode.h>

class QrImageTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Every module is one solid 5 x 5 block at 20 + 5 * index, black exactly where the symbol
    // says, inside an all-white 20 px border; a phone reads the text back.
    void modulesAndQuietZone_data() {
        QTest::addColumn<QByteArray>("text");
        row("21 modules", QByteArray("HELLO"));
        row("long address", "https://localhost/confirm/" + QByteArray(300, 'k') + "/end");
    }
    void modulesAndQuietZone() {
        QFETCH(QByteArray, text);
        QRcode *symbol = QRcode_encodeString(text.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
        QVERIFY(symbol);
        const int width = symbol->width;
        const QByteArray data(reinterpret_cast<const char *>(symbol->data), width * width);
        QRcode_free(symbol);
        const QImage image = qrimage::build(text);
        QCOMPARE(image.format(), QImage::Format_RGB32);
        QCOMPARE(image.size(), QSize(5 * width + 40, 5 * width + 40));
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const bool inside = x >= 20 && y >= 20 && x < 20 + 5 * width && y < 20 + 5 * width;
                const bool dark = inside && (data[((y - 20) / 5) * width + (x - 20) / 5] & 1);
                if (image.pixel(x, y) != (dark ? qRgb(0, 0, 0) : qRgb(255, 255, 255)))
                    QFAIL(qPrintable(QStringLiteral("pixel (%1, %2)").arg(x).arg(y)));
            }
        }
        if (!QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty())
            QCOMPARE(win::scanQr(image), QString::fromUtf8(text));
        QVERIFY(qrimage::build(QByteArray(3000, 'x')).isNull());
    }
};

QTEST_MAIN(QrImageTest)
#include "tst_qrimage.moc"
