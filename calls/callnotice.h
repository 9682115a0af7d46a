#pragma once

#include <QString>

#include <functional>
#include <memory>

// The desktop notification of a ringing call, with buttons that answer or decline it there
// (callnotice_unix.cpp, through the desktop's notification service). Windows has no such service
// to ask (callnotice_win.cpp): the tray balloon announces calls there.
class CallNotice {
public:
    CallNotice();
    ~CallNotice();
    CallNotice(const CallNotice &) = delete;
    CallNotice &operator=(const CallNotice &) = delete;

    // Shows the notification of one ringing call in place of any earlier one. False when no
    // notification service can be asked; `unavailable` reports one that refuses later.
    bool show(const QString &callId, const QString &title, const QString &text);
    // Closes the notification, also one still on its way.
    void close();

    // What the notification's buttons and body do; each gets the call it was shown for.
    std::function<void(const QString &callId)> answered;
    std::function<void(const QString &callId)> declined;
    std::function<void(const QString &callId)> opened;
    std::function<void(const QString &callId)> unavailable;

    class Bus;

private:
    std::unique_ptr<Bus> bus;
};
