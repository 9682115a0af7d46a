#pragma once

#include <QList>
#include <QSslCertificate>

// The root certificates the operating system trusts. Safe to call on any thread once the TLS back
// end is loaded.
namespace systemroots {
QList<QSslCertificate> load();
}
