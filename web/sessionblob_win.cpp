#include "web/sessionblob.h"

#include <QFile>
#include <QFileInfo>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <wincrypt.h>

#include <limits>

// The data-protection API binds the blob to the current Windows user; the data folder is not
// needed here.

namespace {

bool toBlob(const QByteArray &bytes, DATA_BLOB &blob) {
    if (bytes.size() > qsizetype(std::numeric_limits<DWORD>::max()))
        return false;
    blob.cbData = DWORD(bytes.size());
    // The API takes a non-const pointer but only reads the input.
    blob.pbData = reinterpret_cast<BYTE *>(const_cast<char *>(bytes.constData()));
    return true;
}

} // namespace

QByteArray sessionblob::protect(const QByteArray &plain, const QString &) {
    DATA_BLOB input{};
    DATA_BLOB output{};
    if (!toBlob(plain, input))
        return {};
    if (!CryptProtectData(&input, L"Tovik", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &output))
        return {};
    QByteArray blob(reinterpret_cast<const char *>(output.pbData), qsizetype(output.cbData));
    LocalFree(output.pbData);
    return blob;
}

std::optional<QByteArray> sessionblob::unprotect(const QByteArray &blob, const QString &) {
    DATA_BLOB input{};
    DATA_BLOB output{};
    if (!toBlob(blob, input))
        return std::nullopt;
    if (!CryptUnprotectData(&input, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &output))
        return std::nullopt;
    QByteArray plain(reinterpret_cast<const char *>(output.pbData), qsizetype(output.cbData));
    SecureZeroMemory(output.pbData, output.cbData);
    LocalFree(output.pbData);
    return plain;
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
        SecureZeroMemory(secret.data(), SIZE_T(secret.size()));
    secret.clear();
}
