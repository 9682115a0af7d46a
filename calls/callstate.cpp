#include "calls/nativecalls.h"

void NativeCalls::dial(QString, QString) {}
void NativeCalls::update(QJsonObject) {}
void NativeCalls::reconcile(const QJsonObject &) {}
void NativeCalls::callError(const QJsonObject &) {}
void NativeCalls::finish() {}
