#include "web/sessionblob.h"

#include "web/dataprotection_win.h"

#include <QFile>
#include <QFileInfo>

// The data-protection API binds the blob to the current Windows user; the data folder is not
// needed here.

namespace {

const unsigned char *bytesOf(const QByteArray &array) {
    return reinterpret_cast<const unsigned char *>(array.constData());
}

QByteArray toByteArray(const dataprotection::Bytes &bytes) {
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

} // namespace

QByteArray sessionblob::protect(const QByteArray &plain, const QString &) {
    return toByteArray(dataprotection::protect(bytesOf(plain), std::size_t(plain.size())));
}

std::optional<QByteArray> sessionblob::unprotect(const QByteArray &blob, const QString &) {
    std::optional<dataprotection::Bytes> plain =
        dataprotection::unprotect(bytesOf(blob), std::size_t(blob.size()));
    if (!plain)
        return std::nullopt;
    QByteArray copy = toByteArray(*plain);
    dataprotection::wipe(plain->data(), plain->size());
    return copy;
}

std::optional<QByteArray> sessionblob::readFile(const QString &path, qint64 maxSize) {
    // Only a file on disk: a device name or pipe at the path is not opened at all.
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxSize)
        return std::nullopt;
    return file.read(maxSize);
}

void sessionblob::wipe(QByteArray &secret) {
    // A shared buffer is still in use elsewhere; only a private one is ours to overwrite.
    if (secret.isDetached() && !secret.isEmpty())
        dataprotection::wipe(secret.data(), std::size_t(secret.size()));
    secret.clear();
}
