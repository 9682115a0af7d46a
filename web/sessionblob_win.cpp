#include "web/sessionblob.h"

#include "web/dataprotection_win.h"

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

void sessionblob::wipe(QByteArray &secret) {
    // A shared buffer is still in use elsewhere; only a private one is ours to overwrite.
    if (secret.isDetached() && !secret.isEmpty())
        dataprotection::wipe(secret.data(), std::size_t(secret.size()));
    secret.clear();
}
