#include "app/buildconfig.h"
#include "web/service.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTest>

class ServiceTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void trustsSystemRootsBesidesTheExtraCa() {
        const QList<QSslCertificate> extra =
            QSslCertificate::fromData(QByteArray(buildconfig::extraCaPem), QSsl::Pem);
        if (extra.isEmpty())
            QSKIP("built without an extra CA");
        const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
        service::installTrust();
        const QList<QSslCertificate> trusted =
            QSslConfiguration::defaultConfiguration().caCertificates();
        QVERIFY2(trusted.contains(extra.first()), "the extra CA is not trusted");
        QVERIFY2(system.isEmpty() ||
                     std::any_of(system.begin(), system.end(),
                                 [&](const auto &root) { return trusted.contains(root); }),
                 "none of the system roots is trusted");
    }

    void addressesCarryThePortUnless443() {
        const QString origin =
            service::port() == 443
                ? QStringLiteral("https://") + service::host()
                : QStringLiteral("https://%1:%2").arg(service::host()).arg(service::port());
        QCOMPARE(service::baseUrl(), origin);
        QCOMPARE(service::socketUrl(), "wss" + origin.mid(5) + QStringLiteral("/socket.io/"));
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_service.moc"
