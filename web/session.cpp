#include "app/window.h"

void Window::saveSession() {}
void Window::restoreSession() {}
void Window::removeSession() {}
QString Window::sessionFilePath() {
    return {};
}
