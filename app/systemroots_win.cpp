#include "app/systemroots.h"

#include <QSslConfiguration>

QList<QSslCertificate> systemroots::load() {
    return QSslConfiguration::systemCaCertificates();
}
