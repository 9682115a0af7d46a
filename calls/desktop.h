#pragma once

#include <QByteArray>
#include <QString>

// What differs between desktops for the call side.
namespace desktop {

// Shown when the microphone or loudspeaker cannot be opened: what helps on this system
// (desktop_unix.cpp, desktop_win.cpp).
QString deviceFailureText();

// Whether grabbing the screen gives its picture in a session of this platform and session type;
// a Wayland compositor hands a plain grab black frames.
bool screenGrabWorks(const QString &platformName, const QByteArray &sessionType);
// The same for the running session.
bool screenGrabWorks();

} // namespace desktop
