#include "calls/ringer.h"

#include <QApplication>

Ringer::Ringer() = default;

Ringer::~Ringer() = default;

bool Ringer::ring() {
    QApplication::beep();
    return false;
}

void Ringer::stop() {}
