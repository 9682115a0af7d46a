#include "app/window.h"

#include <QUrl>

void Window::upload() {}
void Window::uploadPath(const QString &) {}
void Window::download(QListWidgetItem *) {}
void Window::downloadTo(const QUrl &, const QString &) {}
