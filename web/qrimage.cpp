#include "web/qrimage.h"

#include <QPainter>

#include <qrencode.h>

#include <memory>

namespace {

// Far above what any symbol holds (2,331 bytes at level M); longer text is refused before the
// encoder spends memory on it.
constexpr qsizetype maxTextBytes = 8192;

struct SymbolFree {
    void operator()(QRcode *symbol) const { QRcode_free(symbol); }
};

} // namespace

QImage qrimage::build(const QByteArray &text) {
    if (text.size() > maxTextBytes)
        return {};
    const std::unique_ptr<QRcode, SymbolFree> symbol(
        QRcode_encodeString(text.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1));
    if (!symbol || symbol->width <= 0)
        return {};

    const int width = symbol->width;
    const int side = modulePixels * width + 2 * quietPixels;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    for (int row = 0; row < width; ++row) {
        for (int column = 0; column < width; ++column) {
            if (symbol->data[row * width + column] & 1)
                painter.drawRect(quietPixels + modulePixels * column,
                                 quietPixels + modulePixels * row, modulePixels, modulePixels);
        }
    }
    painter.end();
    return image;
}
