#include "calls/desktop.h"

#include <QGuiApplication>

bool desktop::screenGrabWorks(const QString &platformName, const QByteArray &sessionType) {
    if (platformName.startsWith(QLatin1String("wayland")))
        return false;
    // An X client in a Wayland session runs on XWayland, which sees none of the other windows.
    return !(platformName == QLatin1String("xcb") && sessionType == "wayland");
}

bool desktop::screenGrabWorks() {
    // Which session the desktop runs is platform detection, not a setting of ours.
    return screenGrabWorks(QGuiApplication::platformName(), qgetenv("XDG_SESSION_TYPE"));
}
