#include "calls/nativecalls.h"

void NativeCalls::command(QString) {}
void NativeCalls::pong(const QJsonObject &) {}
