#include "calls/callnotice.h"

class CallNotice::Bus {};

CallNotice::CallNotice() = default;

CallNotice::~CallNotice() = default;

bool CallNotice::show(const QString &, const QString &, const QString &) {
    return false;
}

void CallNotice::close() {}
