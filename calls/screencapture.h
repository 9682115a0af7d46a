#pragma once

#include "calls/screenimage.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QScreen>
#include <QSize>
#include <QThread>

#include <functional>
#include <optional>

// Takes one frame at a time. The screen is grabbed in strips, one per turn of the event loop, so
// no single grab holds the GUI thread for long (a whole 1920 x 1080 grab from X takes 10 to 30 ms,
// enough to hold back the 20 ms voice blocks and break up the call); the strips are joined, scaled
// and encoded on a thread of its own.
class ScreenCapture {
public:
    using Wanted = std::function<bool()>;
    using Done = std::function<void(std::optional<QByteArray>)>;

    // Rows per strip are chosen so that one strip is about this many pixels.
    static constexpr qint64 stripPixels = 64 * 1024;

    ScreenCapture();
    ~ScreenCapture();
    ScreenCapture(const ScreenCapture &) = delete;
    ScreenCapture &operator=(const ScreenCapture &) = delete;

    // True from capture() until the frame has been handed back or abandoned.
    bool busy() const { return inFlight; }

    // GUI thread. Refused (false) while busy, so screens never pile up. The first strip is grabbed
    // at once. `wanted` is asked before every later strip and before the hand-back; once it says
    // no, the frame is dropped without a word. `done` gets encodeFrame's result on the GUI thread.
    bool capture(QScreen *screen, Wanted wanted, Done done);

    // GUI thread, when sharing stops: gives back what capturing took (grabbed strips, and the
    // memory the allocator kept after them) as soon as no frame is in flight.
    void release();

private:
    void grabStrip();
    void finish();
    void releaseNow();

    QObject guiSide;
    QThread thread;
    QObject worker;
    bool inFlight = false;
    bool releasePending = false;
    QPointer<QScreen> screen;
    QList<screenimage::Strip> strips;
    int nextRow = 0;
    int rowsPerStrip = 0;
    QSize logicalSize;
    Wanted wanted;
    Done done;
};
