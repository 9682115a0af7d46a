#include "web/service.h"

#include "app/buildconfig.h"
#include "app/systemroots.h"
#include "web/servicedetail.h"

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>

#include <future>

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

QList<QSslCertificate> extraCertificates() {
    return QSslCertificate::fromData(QByteArray(buildconfig::extraCaPem), QSsl::Pem);
}

std::future<QList<QSslCertificate>> &pendingRoots() {
    static std::future<QList<QSslCertificate>> roots;
    return roots;
}

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

void prepareTrust() {
    static bool prepared = false;
    if (prepared || QByteArray(buildconfig::extraCaPem).trimmed().isEmpty())
        return;
    prepared = true;
    // The TLS back end must be loaded on this thread before another one parses certificates.
    QSslSocket::supportsSsl();
    pendingRoots() = std::async(std::launch::async, &systemroots::load);
}

void installTrust() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    const QList<QSslCertificate> extra = extraCertificates();
    if (extra.isEmpty())
        return;
    prepareTrust();
    // Adding a CA switches off Qt's on-demand loading of the system roots, so they are listed
    // explicitly next to the extra one.
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(pendingRoots().get() + extra);
    QSslConfiguration::setDefaultConfiguration(config);
}

} // namespace service
