#include "app/rootstore_win.h"

#include "web/win32.h"

#include <wincrypt.h>

std::vector<std::vector<unsigned char>> rootstore::load() {
    std::vector<std::vector<unsigned char>> roots;
    const HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    if (!store)
        return roots;
    // Each call releases the context it is given, so the walk holds at most one at a time.
    PCCERT_CONTEXT certificate = nullptr;
    while ((certificate = CertEnumCertificatesInStore(store, certificate))) {
        if (certificate->dwCertEncodingType == X509_ASN_ENCODING && certificate->cbCertEncoded > 0)
            roots.emplace_back(certificate->pbCertEncoded,
                               certificate->pbCertEncoded + certificate->cbCertEncoded);
    }
    CertCloseStore(store, 0);
    return roots;
}
