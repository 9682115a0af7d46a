#include "app/window.h"

void Window::call(QString, QJsonObject, bool, ReplyHandler) {}
