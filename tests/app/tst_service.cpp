#include "app/buildconfig.h"
#include "app/service.h"

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
        int systemTrusted = 0;
        for (const QSslCertificate &root : system)
            systemTrusted += trusted.contains(root) ? 1 : 0;
        QVERIFY2(
            system.isEmpty() || systemTrusted > 0,
            qPrintable(QStringLiteral("none of %1 system roots is trusted").arg(system.size())));
    }

    void addressesCarryThePortUnless443() {
        const QString host = service::host();
        const int port = service::port();
        const QString expected = port == 443 ? QStringLiteral("https://") + host
                                             : QStringLiteral("https://%1:%2").arg(host).arg(port);
        QCOMPARE(service::baseUrl(), expected);
        QCOMPARE(service::socketUrl(), QString(expected).replace(0, 5, QStringLiteral("wss")) +
                                           QStringLiteral("/socket.io/"));
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_service.moc"
