#include "calls/nativecalls.h"

void NativeCalls::setupSocket() {}
void NativeCalls::connectSocket() {}
void NativeCalls::handle(QString) {}
void NativeCalls::emitEvent(QString, QJsonObject) {}
void NativeCalls::setCredentials(const QString &, const QString &) {}
void NativeCalls::onDisconnected() {}
