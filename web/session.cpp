#include "app/window.h"

#include "web/sessionblob.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>
#include <optional>

namespace {

const QByteArray sessionCookieName = QByteArrayLiteral("tovik_web_session");

// session.bin holds one protected cookie; a file much larger than that is not ours and is not read.
constexpr qint64 maxSessionFileSize = 256 * 1024;

QString dataFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

} // namespace

QString Window::sessionFilePath() {
    return dataFolder() + QStringLiteral("/session.bin");
}

void Window::saveSession() {
    const QList<QNetworkCookie> cookies = net.cookieJar()->cookiesForUrl(QUrl(baseUrl));
    const auto session = std::find_if(cookies.begin(), cookies.end(), [](const QNetworkCookie &c) {
        return c.name() == sessionCookieName;
    });
    if (session == cookies.end())
        return;

    QByteArray plain = session->toRawForm(QNetworkCookie::NameAndValueOnly);
    const QByteArray blob = sessionblob::protect(plain, dataFolder());
    sessionblob::wipe(plain);
    if (blob.isEmpty() || !QDir().mkpath(dataFolder()))
        return;

    QSaveFile file(sessionFilePath());
    if (!file.open(QIODevice::WriteOnly))
        return;
    // Owner-only before any byte is written; the temporary file replaces the old one on commit.
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(blob) != blob.size()) {
        file.cancelWriting();
        return;
    }
    file.commit();
}

void Window::restoreSession() {
    const std::optional<QByteArray> blob =
        sessionblob::readFile(sessionFilePath(), maxSessionFileSize);
    if (!blob)
        return;
    std::optional<QByteArray> plain = sessionblob::unprotect(*blob, dataFolder());
    if (!plain)
        return;

    QList<QNetworkCookie> cookies = QNetworkCookie::parseCookies(*plain);
    sessionblob::wipe(*plain);
    for (QNetworkCookie &cookie : cookies) {
        cookie.setSecure(true);
        cookie.setPath(QStringLiteral("/"));
    }
    net.cookieJar()->setCookiesFromUrl(cookies, QUrl(baseUrl));
}

void Window::removeSession() {
    QFile::remove(sessionFilePath());
    QNetworkCookieJar *jar = net.cookieJar();
    const QList<QNetworkCookie> cookies = jar->cookiesForUrl(QUrl(baseUrl));
    for (const QNetworkCookie &cookie : cookies)
        jar->deleteCookie(cookie);
}
