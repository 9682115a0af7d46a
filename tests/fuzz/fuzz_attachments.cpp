// An attachment's address and file name from a message row: what is fetched and what is offered
// as the name to save under.
#include "chat/attachments.h"

#include <QUrl>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    // Only the service's own host, over TLS, is ever fetched.
    if (const std::optional<QUrl> url = chat::downloadUrl(text, QStringLiteral("localhost"))) {
        const QString host = url->host();
        if (url->scheme() != QLatin1String("https") ||
            (host != QLatin1String("localhost") && host != QLatin1String("www.localhost")))
            __builtin_trap();
    }
    // A name to save under never leaves the folder the user picks.
    const QString name = chat::proposedSaveName(text);
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
        name == QLatin1String(".") || name == QLatin1String(".."))
        __builtin_trap();
    (void)chat::uploadPartDisposition(text);
    return 0;
}
