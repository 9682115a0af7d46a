#include "app/window.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tovik"));
    QApplication::setApplicationName(QStringLiteral("Orvelle"));
    Window window;
    window.show();
    return QApplication::exec();
}
