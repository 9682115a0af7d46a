#include "app/window.h"

#include "calls/nativecalls.h"
#include "web/qrimage.h"
#include "web/request.h"

#include <QJsonValue>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QListWidget>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkInformation>
#include <QPixmap>
#include <QStackedWidget>
#include <QUrl>

#include <algorithm>

namespace {

constexpr int pollIntervalMs = 2000;
constexpr int refreshIntervalMs = 5000;
constexpr int firstMeRetryMs = 2000;
constexpr int lastMeRetryMs = 60000;

} // namespace

void Window::startLogin() {
    // A new sign-in replaces the retries of an unreachable service.
    ++loginStarts;
    meRetryTimer.stop();
    meRetryMs = 0;
    pages->setCurrentIndex(0);
    qrLabel->clear();
    codeLabel->clear();
    loginStatus->setText(QStringLiteral("Подготавливаем вход…"));
    pollTimer.stop();
    call(QStringLiteral("/auth/flow/web/start"), QJsonObject(), true,
         [this](QJsonObject reply, QString error) {
             // Signed in meanwhile (a confirmed flow's who-am-I answered first): no QR, no polls.
             if (pages->currentIndex() != 0)
                 return;
             if (!error.isEmpty()) {
                 loginStatus->setText(error);
                 return;
             }
             const QImage image =
                 qrimage::build(reply.value(QStringLiteral("qrUrl")).toString().toUtf8());
             if (image.isNull()) {
                 loginStatus->setText(QStringLiteral("Не удалось создать QR-код"));
                 return;
             }
             // The QR on screen now belongs to this reply; polls sent for an earlier one are
             // stale.
             ++loginFlow;
             qrLabel->setPixmap(QPixmap::fromImage(image));
             codeLabel->setText(QStringLiteral("Код: ") +
                                reply.value(QStringLiteral("code")).toString());
             loginStatus->setText(
                 QStringLiteral("Отсканируйте QR и подтвердите вход в приложении"));
             pollTimer.start(pollIntervalMs);
         });
}

void Window::pollLogin() {
    const quint64 flow = loginFlow;
    call(QStringLiteral("/auth/flow/web/status"), QJsonObject(), false,
         [this, flow](QJsonObject reply, QString error) {
             // Ticks do not wait for each other, so a reply may arrive after its flow has ended or
             // been replaced; it must not sign in, deny or fail the flow now on screen.
             if (flow != loginFlow || !pollTimer.isActive())
                 return;
             if (!error.isEmpty()) {
                 pollTimer.stop();
                 loginStatus->setText(error);
                 return;
             }
             const QString status = reply.value(QStringLiteral("status")).toString();
             if (status == QLatin1String("authenticated") || status == QLatin1String("claimed")) {
                 pollTimer.stop();
                 saveSession();
                 loadMe();
             } else if (status == QLatin1String("denied")) {
                 pollTimer.stop();
                 loginStatus->setText(QStringLiteral("Вход отклонён"));
             }
         });
}

void Window::loadMe() {
    meRetryTimer.stop();
    const quint64 request = ++meRequest;
    const quint64 starts = loginStarts;
    call(QStringLiteral("/auth/flow/web/me"), QJsonObject(), false,
         [this, request, starts](QJsonObject reply, QString error) {
             // An earlier attempt that took longer than a later one must not undo its answer.
             if (request != meRequest)
                 return;
             if (!error.isEmpty()) {
                 // Only the service saying the session is gone needs a new QR; a laptop that
                 // starts before its network is up keeps its session. A QR flow the user has
                 // started since is left alone.
                 if (!webapi::serviceUnreachable(replyStatus))
                     startLogin();
                 else if (starts == loginStarts)
                     retryMeLater();
                 return;
             }
             meRetryMs = 0;
             userId = reply.value(QStringLiteral("user"))
                          .toObject()
                          .value(QStringLiteral("id"))
                          .toString();
             const QList<QNetworkCookie> cookies = net.cookieJar()->cookiesForUrl(QUrl(baseUrl));
             for (const QNetworkCookie &cookie : cookies) {
                 if (cookie.name() == QByteArrayLiteral("tovik_web_session"))
                     calls->setCredentials(userId, QString::fromUtf8(cookie.value()));
             }
             // A new QR requested while this answer was on its way must not keep polling.
             pollTimer.stop();
             pages->setCurrentIndex(1);
             loadChats();
             refreshTimer.start(refreshIntervalMs);
         });
}

void Window::setupMeRetry() {
    meRetryTimer.setSingleShot(true);
    connect(&meRetryTimer, &QTimer::timeout, this, [this] { loadMe(); });
    // Where the platform can tell, a network that comes back is tried at once rather than at the
    // end of a long back-off.
    if (!QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability))
        return;
    connect(QNetworkInformation::instance(), &QNetworkInformation::reachabilityChanged, this,
            [this](QNetworkInformation::Reachability reachability) {
                if (meRetryTimer.isActive() &&
                    reachability != QNetworkInformation::Reachability::Disconnected)
                    loadMe();
            });
}

void Window::retryMeLater() {
    pages->setCurrentIndex(0);
    qrLabel->clear();
    codeLabel->clear();
    loginStatus->setText(QStringLiteral("Нет соединения с сервером"));
    meRetryMs = meRetryMs == 0 ? firstMeRetryMs : std::min(meRetryMs * 2, lastMeRetryMs);
    meRetryTimer.start(meRetryMs);
}

void Window::signOut() {
    call(QStringLiteral("/auth/flow/web/logout"), QJsonObject(), true,
         [this](QJsonObject, QString) {
             // Whatever is still on its way was asked for by the user who is leaving.
             ++signOutSerial;
             messagesLoading = false;
             calls->endSession();
             removeSession();
             refreshTimer.stop();
             currentChatId.clear();
             clearChatPage();
             startLogin();
         });
}

void Window::clearChatPage() {
    // The next person to sign in must not see the previous user's chats, messages or drafts.
    // Emptying the list is not a selection by the user.
    const bool rebuilding = chatsRebuilding;
    chatsRebuilding = true;
    chatList->clear();
    chatsRebuilding = rebuilding;
    messageList->clear();
    chatTitle->setText(QStringLiteral("Выберите чат"));
    searchEdit->clear();
    messageEdit->clear();
    statusLabel->clear();
}
