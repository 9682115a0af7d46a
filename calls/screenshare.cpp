#include "calls/nativecalls.h"

void NativeCalls::toggleScreenShare() {}
void NativeCalls::sendScreenFrame() {}
void NativeCalls::receiveScreen(const QJsonObject &) {}
