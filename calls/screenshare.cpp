#include "calls/callrecord.h"
#include "calls/desktop.h"
#include "calls/nativecalls.h"
#include "calls/screenimage.h"

#include <QGuiApplication>
#include <QPixmap>

namespace {

QJsonObject screenPayload(const QString &callId, const QByteArray &jpeg) {
    return {{QStringLiteral("id"), callId},
            {QStringLiteral("jpeg"), QString::fromLatin1(jpeg.toBase64())}};
}

} // namespace

void NativeCalls::toggleScreenShare() {
    if (screenTimer.isActive()) {
        screenTimer.stop();
        ++screenShareSerial;
        screenCapture.release();
        emitEvent(QStringLiteral("native_screen"), screenPayload(callId, {}));
        screenButton.setText(QStringLiteral("Показать экран"));
        return;
    }
    // Until sharing goes through the desktop's own portal, a Wayland session would only get
    // black frames: say so rather than send them.
    if (!desktop::screenGrabWorks()) {
        showBox(QMessageBox::Information, QStringLiteral("Демонстрация экрана"),
                QStringLiteral("Демонстрация экрана недоступна в сеансе Wayland."));
        return;
    }
    // The question keeps the event loop running: the call can end, or another begin, before the
    // answer. Consent covers the call it was asked in, never the next one.
    const QString askedFor = callId;
    const bool yes =
        askYesNo(QStringLiteral("Демонстрация экрана"),
                 QStringLiteral("Участники звонка увидят весь экран компьютера. Начать?"));
    if (!yes || callId != askedFor || screenTimer.isActive())
        return;
    ++screenShareSerial;
    screenTimer.start(500);
    screenButton.setText(QStringLiteral("Остановить демонстрацию"));
}

void NativeCalls::sendScreenFrame() {
    if (callId.isEmpty())
        return;
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // The previous frame is still under way, or the link has not taken the last ones: skip this
    // tick rather than queue screens.
    if (screenCapture.busy() || mediaBacklogged())
        return;
    const QString id = callId;
    const quint64 serial = screenShareSerial;
    screenCapture.capture(
        screen,
        [this, id, serial] {
            return serial == screenShareSerial && screenTimer.isActive() && callId == id;
        },
        [this, id](std::optional<QByteArray> jpeg) {
            if (jpeg)
                sendScreenImage(id, *jpeg);
        });
}

void NativeCalls::sendScreenImage(const QString &id, const QByteArray &jpeg) {
    // An empty image ends the sharing on the other side: that one is control, not media.
    if (jpeg.isEmpty())
        emitEvent(QStringLiteral("native_screen"), screenPayload(id, jpeg));
    else
        emitMedia(QStringLiteral("native_screen"), screenPayload(id, jpeg));
}

void NativeCalls::receiveScreen(const QJsonObject &payload) {
    // Without a call there is no view to fill; an image kept now would greet the next call.
    if (!callrecord::isForCall(payload, callId))
        return;
    const QString jpeg = payload.value(QStringLiteral("jpeg")).toString();
    // The server relays images at whatever rate the sender chooses, and even off the GUI thread
    // each decode costs the machine tens of milliseconds. At most one a screenShowIntervalMs is
    // decoded; an image arriving sooner waits, and a newer one replaces it unseen. The end of
    // sharing is cheap and shown at once.
    const qint64 sinceShown = screenShown.isValid() ? screenShown.elapsed() : screenShowIntervalMs;
    if (!jpeg.isEmpty() && sinceShown < screenShowIntervalMs) {
        waitingScreen = jpeg;
        if (!screenShowTimer.isActive())
            screenShowTimer.start(int(screenShowIntervalMs - sinceShown));
        return;
    }
    showScreen(jpeg);
}

void NativeCalls::showScreen(QString jpeg) {
    screenShowTimer.stop();
    waitingScreen.clear();
    screenShown.start();
    if (!jpeg.isEmpty()) {
        screenDecoder.decode(jpeg);
        return;
    }
    // An image still being decoded would otherwise bring back the view just closed.
    screenDecoder.cancel();
    showDecodedScreen({});
}

void NativeCalls::showDecodedScreen(const QImage &image) {
    screenLabel.setPixmap(QPixmap::fromImage(image));
    screenLabel.setVisible(!image.isNull());
}
