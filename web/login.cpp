#include "app/window.h"

void Window::startLogin() {}
void Window::pollLogin() {}
void Window::loadMe() {}
void Window::signOut() {}
