// A damaged or foreign session file: reading it must fail quietly.
#include "web/sessionblob.h"

#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static QTemporaryDir dir;
    static const bool keyMade = !sessionblob::protect("seed", dir.path()).isEmpty();
    if (!keyMade)
        __builtin_trap();
    (void)sessionblob::unprotect(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)),
                                 dir.path());
    return 0;
}
