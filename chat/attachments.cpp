#include "chat/attachments.h"

#include <QFileInfo>

#include <algorithm>

namespace chat {

QByteArray uploadPartDisposition(const QString &localPath) {
    QByteArray name = QFileInfo(localPath).fileName().toUtf8();
    for (char &byte : name) {
        const auto value = static_cast<unsigned char>(byte);
        if (value < 0x20 || value == 0x7F || byte == '\\' || byte == '"')
            byte = '_';
    }
    return QByteArrayLiteral("form-data; name=\"file\"; filename=\"") + name + '"';
}

QString proposedSaveName(const QString &fileName) {
    const qsizetype cut =
        std::max(fileName.lastIndexOf(QLatin1Char('/')), fileName.lastIndexOf(QLatin1Char('\\')));
    const QString last = fileName.mid(cut + 1);
    if (last.isEmpty() || last == QLatin1String(".") || last == QLatin1String(".."))
        return QStringLiteral("file");
    return last;
}

std::optional<QUrl> downloadUrl(const QString &address, const QString &serviceHost) {
    QUrl url(address, QUrl::TolerantMode);
    if (url.scheme() != QLatin1String("https"))
        return std::nullopt;
    // URL parsing lower-cases host names; the configured host may not be.
    const QString service = serviceHost.toLower();
    const QString host = url.host(QUrl::FullyDecoded);
    if (host != service && host != QStringLiteral("www.") + service)
        return std::nullopt;
    if (url.path(QUrl::FullyDecoded).startsWith(QLatin1String("/auth/flow/web/files/")))
        url.setHost(service);
    return url;
}

std::optional<qint64> percentOf(qint64 done, qint64 total) {
    if (total <= 0)
        return std::nullopt;
    // Clamped so that no count a peer reports can overflow the product or pass 100.
    return std::clamp<qint64>(done, 0, total) * 100 / total;
}

} // namespace chat
