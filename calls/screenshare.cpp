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
    const auto answer = QMessageBox::question(
        &callDialog, QStringLiteral("Демонстрация экрана"),
        QStringLiteral("Участники звонка увидят весь экран компьютера. Начать?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    if (answer != QMessageBox::Yes || callId != askedFor || screenTimer.isActive())
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
    // The previous frame is still under way: skip this tick rather than queue screens.
    if (screenCapture.busy())
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
                emitEvent(QStringLiteral("native_screen"), screenPayload(id, *jpeg));
        });
}

void NativeCalls::receiveScreen(const QJsonObject &payload) {
    // Without a call there is no view to fill; an image kept now would greet the next call.
    if (callId.isEmpty() || payload.value(QStringLiteral("id")).toString() != callId)
        return;
    const QImage image =
        screenimage::decodeBase64Jpeg(payload.value(QStringLiteral("jpeg")).toString());
    screenLabel.setPixmap(
        QPixmap::fromImage(screenimage::scaleToFit(image, screenimage::shownBounds)));
    screenLabel.setVisible(!image.isNull());
}
