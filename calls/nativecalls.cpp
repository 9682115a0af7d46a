#include "calls/nativecalls.h"

NativeCalls::NativeCalls(QNetworkAccessManager *network, QWidget *window)
    : QObject(window)
    , net(network)
    , mainWindow(window)
    , tray(window)
    , callDialog(window)
    , dialogLayout(&callDialog) {}
NativeCalls::~NativeCalls() = default;
void NativeCalls::answer() {}
void NativeCalls::decline() {}
void NativeCalls::hangUp() {}
void NativeCalls::endFromTray() {}
void NativeCalls::quit() {}
void NativeCalls::trayActivated() {}
void NativeCalls::updateDuration() {}
void NativeCalls::sendPing() {}
bool NativeCalls::trayAvailable() const {
    return false;
}
void NativeCalls::showBox(QMessageBox::Icon, const QString &, const QString &) {}
