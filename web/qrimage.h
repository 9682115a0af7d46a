#pragma once

#include <QByteArray>
#include <QImage>

namespace qrimage {

// Module and quiet-zone sizes of the sign-in QR image, in pixels.
constexpr int modulePixels = 5;
constexpr int quietPixels = 20;

// The QR image of `text` (version chosen by the encoder, level M, 8-bit hint, case-sensitive):
// white, with each dark module a black square. A null image when the encoder gives no symbol.
QImage build(const QByteArray &text);

} // namespace qrimage
