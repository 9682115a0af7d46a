#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Protects the session file's content for the current user. On Windows this is the system's
// data-protection API; elsewhere a per-user key file in `dataDir` and AES-256-GCM. Every failure
// is silent: protect gives an empty array, unprotect gives nothing.
namespace sessionblob {

// Name of the key file inside the data folder (not used on Windows).
inline constexpr char keyFileName[] = "session.key";

// May create `dataDir` and the key file when none exists yet.
QByteArray protect(const QByteArray &plain, const QString &dataDir);

// Never creates or replaces anything; a missing, foreign or damaged key or blob gives nothing.
std::optional<QByteArray> unprotect(const QByteArray &blob, const QString &dataDir);

// The whole content of the file at `path` if it is a regular file of at most `maxSize` bytes;
// nothing otherwise. A FIFO or device planted at the path is neither waited on nor read.
std::optional<QByteArray> readFile(const QString &path, qint64 maxSize);

// Overwrites the bytes of `secret` in a way the compiler keeps, then empties it.
void wipe(QByteArray &secret);

} // namespace sessionblob
