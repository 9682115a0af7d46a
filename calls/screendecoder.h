#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <QThread>

#include <functional>
#include <mutex>
#include <optional>

// Decodes received screen images on a thread of its own: a large JPEG costs tens of milliseconds,
// which on the GUI thread would hold back the 20 ms voice tick. One image is decoded at a time;
// of those handed in meanwhile only the newest waits, the others are dropped unseen.
class ScreenDecoder {
public:
    using Decoded = std::function<void(const QImage &)>;

    // `decoded` gets each image, scaled to fit the shown bounds (null if it did not decode), on
    // the GUI thread.
    explicit ScreenDecoder(Decoded decoded);
    ~ScreenDecoder();
    ScreenDecoder(const ScreenDecoder &) = delete;
    ScreenDecoder &operator=(const ScreenDecoder &) = delete;

    // GUI thread. `base64` is the "jpeg" text of a received event.
    void decode(const QString &base64);
    // GUI thread. Nothing handed in so far is delivered any more.
    void cancel();
    // From decode() until its image has been delivered or dropped.
    bool busy() const { return inFlight > 0; }

private:
    struct Job {
        quint64 serial = 0;
        QString base64;
    };
    void drain();
    void deliver(quint64 serial, const QImage &image);

    Decoded decoded;
    quint64 lastSerial = 0;
    quint64 cancelledUpTo = 0;
    int inFlight = 0;
    // Shared with the decoding thread.
    std::mutex lock;
    std::optional<Job> waiting;
    bool draining = false;

    QObject guiSide;
    QThread thread;
    QObject worker;
};
