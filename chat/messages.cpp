#include "app/window.h"

void Window::loadMessages() {}
void Window::send() {}
