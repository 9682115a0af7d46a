#include "app/window.h"

void Window::loadChats() {}
void Window::rebuildChats(const QJsonObject &, const QString &) {}
void Window::selectChat(QListWidgetItem *) {}
void Window::filterChats(const QString &) {}
