#include "app/systemroots.h"

#include "app/rootstore_win.h"

QList<QSslCertificate> systemroots::load() {
    QList<QSslCertificate> roots;
    for (const std::vector<unsigned char> &der : rootstore::load()) {
        const QSslCertificate certificate(
            QByteArray(reinterpret_cast<const char *>(der.data()), qsizetype(der.size())),
            QSsl::Der);
        if (!certificate.isNull())
            roots.append(certificate);
    }
    return roots;
}
