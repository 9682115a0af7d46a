#pragma once

// The sound of an incoming call: the desktop's own event sound where one can be played, so the
// user's sound settings apply, and the system bell where none can (ringer_unix.cpp,
// ringer_win.cpp).
class Ringer {
public:
    Ringer();
    ~Ringer();
    Ringer(const Ringer &) = delete;
    Ringer &operator=(const Ringer &) = delete;

    // Rings once, cutting off the ring before. True when the desktop's sound plays, false when it
    // fell back to the bell.
    bool ring();
    // Silences a ring still sounding; the next ring tries the sound server again.
    void stop();

private:
    void *context = nullptr;
    // Set when the sound could not be played: reaching a sound server that hangs takes long, so
    // the rest of this ringing goes to the bell.
    bool soundUnavailable = false;
};
