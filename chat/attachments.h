#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QtGlobal>

#include <optional>

// Widget-free pieces of file transfer: what goes on the wire and what the user is offered.
namespace chat {

// 25 MiB; a file of exactly this size is still accepted.
constexpr qint64 uploadLimitBytes = 25 * 1024 * 1024;

// The upload part's Content-Disposition value for a local file path: the name without its
// directories, as UTF-8, with backslash, double quote and every control byte replaced by "_"
// so that no name can end the quoted string or start a header line of its own.
QByteArray uploadPartDisposition(const QString &localPath);

// The name offered in the save dialog: the last component for either separator, since the name
// comes from the network; nothing usable gives "file".
QString proposedSaveName(const QString &fileName);

// The address to fetch for a row's attachment address, or nothing when it must be refused: only
// "https" on the service host or its "www." form. Service file paths on the "www." host are
// fetched from the service host itself.
std::optional<QUrl> downloadUrl(const QString &address, const QString &serviceHost);

// Whole percent of done out of total, or nothing while the total is unknown (zero or less).
std::optional<qint64> percentOf(qint64 done, qint64 total);

} // namespace chat
