#include "calls/desktop.h"

QString desktop::deviceFailureText() {
    return QStringLiteral("Не удалось открыть микрофон или устройство воспроизведения. "
                          "Проверьте разрешения Windows.");
}
