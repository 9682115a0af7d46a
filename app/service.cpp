#include "app/service.h"

#include "app/buildconfig.h"
#include "app/servicedetail.h"

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace service::detail {

QString &hostOverride() {
    static QString value;
    return value;
}

int &portOverride() {
    static int value = 0;
    return value;
}

} // namespace service::detail

namespace {

using service::detail::hostOverride;
using service::detail::portOverride;

QString hostAndPort() {
    const int p = service::port();
    return p == 443 ? service::host() : service::host() + QLatin1Char(':') + QString::number(p);
}

} // namespace

namespace service {

QString host() {
    const QString &moved = hostOverride();
    return moved.isEmpty() ? QString::fromUtf8(buildconfig::serviceHost) : moved;
}

int port() {
    const int moved = portOverride();
    return moved > 0 ? moved : buildconfig::servicePort;
}

QString baseUrl() {
    return QStringLiteral("https://") + hostAndPort();
}

QString socketUrl() {
    return QStringLiteral("wss://") + hostAndPort() + QStringLiteral("/socket.io/");
}

void installTrust() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    const QList<QSslCertificate> extra =
        QSslCertificate::fromData(QByteArray(buildconfig::extraCaPem), QSsl::Pem);
    if (extra.isEmpty())
        return;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificates(extra);
    QSslConfiguration::setDefaultConfiguration(config);
}

} // namespace service
