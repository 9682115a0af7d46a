// A received screen image: decoded to the shown size, as the call window does.
#include "calls/screenimage.h"

#include <QGuiApplication>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_screen";
    static char *argv[] = {name, nullptr};
    static QGuiApplication *app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return new QGuiApplication(argc, argv);
    }();
    Q_UNUSED(app);
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QImage image = screenimage::decodeJpeg(bytes, screenimage::shownBounds);
    if (image.width() > screenimage::shownBounds.width() ||
        image.height() > screenimage::shownBounds.height())
        __builtin_trap();
    return 0;
}
