#include "calls/audiodevice.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

constexpr std::uint32_t blockBytes = AudioDevice::blockBytes;
constexpr std::uint32_t serverDefault = static_cast<std::uint32_t>(-1);
// Connecting runs on the GUI thread; a server that does not answer must not freeze the window.
constexpr pa_usec_t connectLimit = 3 * PA_USEC_PER_SEC;
// What the loudspeaker may hold ahead of the mixer. The eight playback buffers of the wave API
// would be 160 ms of delay; three blocks keep it near 60 ms and still ride out timer jitter.
constexpr std::uint32_t playbackDepth = 3 * blockBytes;

using Proplist = std::unique_ptr<pa_proplist, decltype(&pa_proplist_free)>;

// How the desktop sees us: the mixer names and shows the program, treats the streams as a call
// (other players pause or duck) and puts echo cancellation between microphone and loudspeaker
// where it offers one.
Proplist programProperties() {
    Proplist props(pa_proplist_new(), pa_proplist_free);
    pa_proplist_sets(props.get(), PA_PROP_APPLICATION_NAME, "Tovik Messenger");
    pa_proplist_sets(props.get(), PA_PROP_APPLICATION_ICON_NAME, "dev.tovik.Messenger");
    return props;
}

Proplist callStreamProperties() {
    Proplist props(pa_proplist_new(), pa_proplist_free);
    pa_proplist_sets(props.get(), PA_PROP_MEDIA_ROLE, "phone");
    pa_proplist_sets(props.get(), PA_PROP_FILTER_WANT, "echo-cancel");
    return props;
}

// PulseAudio through its threaded main loop: the record stream's callbacks run on PulseAudio's own
// thread, which is where capture blocks are delivered; the GUI thread takes the loop's lock for
// everything it does to the streams.
class PulseAudioDevice final : public AudioDevice {
public:
    PulseAudioDevice(QByteArray source, QByteArray sink)
        : sourceName(std::move(source))
        , sinkName(std::move(sink)) {}
    ~PulseAudioDevice() override { close(); }
    PulseAudioDevice(const PulseAudioDevice &) = delete;
    PulseAudioDevice &operator=(const PulseAudioDevice &) = delete;

    bool open(CaptureCallback onCaptured) override;
    void close() override;
    bool isOpen() const override { return loop != nullptr; }
    bool canWrite() override;
    void write(const char *block) override;
    void reset() override;
    bool setPlaybackSource(PlaybackSource source) override {
        pull = std::move(source);
        return bool(pull);
    }
    void setLostCallback(LostCallback onLost) override { lost = std::move(onLost); }
    void playbackArrived() override;

private:
    bool connectStreams();
    bool waitUntilReady();
    bool hasRoom();
    bool playbackRunsLow();
    void playReceived();
    void deliver(const char *data, std::size_t size);
    void checkLost(bool stillGood);

    static void stateChanged(pa_context *, void *self);
    static void streamChanged(pa_stream *, void *self);
    static void deadlinePassed(pa_mainloop_api *, pa_time_event *, const struct timeval *,
                               void *self);
    static void readable(pa_stream *stream, std::size_t, void *self);
    static void writable(pa_stream *stream, std::size_t, void *self);

    const QByteArray sourceName;
    const QByteArray sinkName;
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    pa_stream *recordStream = nullptr;
    pa_stream *playbackStream = nullptr;
    pa_time_event *deadline = nullptr;
    bool timedOut = false;
    CaptureCallback captured;
    PlaybackSource pull;
    LostCallback lost;
    // Set once both streams run; from then on a failing context or stream means the server (or
    // the device) went away. Only PulseAudio's thread reads it while the loop runs.
    bool established = false;
    bool lostReported = false;
    // The server hands over whatever it has; these bytes wait for the rest of their block.
    char partial[blockBytes] = {};
    std::size_t partialBytes = 0;
};

const char *deviceName(const QByteArray &name) {
    return name.isEmpty() ? nullptr : name.constData();
}

bool PulseAudioDevice::open(CaptureCallback onCaptured) {
    close();
    captured = std::move(onCaptured);
    partialBytes = 0;
    established = false;
    lostReported = false;
    loop = pa_threaded_mainloop_new();
    if (!loop)
        return false;
    if (pa_threaded_mainloop_start(loop) < 0) {
        pa_threaded_mainloop_free(loop);
        loop = nullptr;
        return false;
    }
    pa_threaded_mainloop_lock(loop);
    const bool ready = connectStreams();
    pa_threaded_mainloop_unlock(loop);
    if (!ready)
        close();
    return ready;
}

// Runs with the loop's lock held.
bool PulseAudioDevice::connectStreams() {
    context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), "Tovik Messenger",
                                           programProperties().get());
    if (!context)
        return false;
    pa_context_set_state_callback(context, stateChanged, this);
    timedOut = false;
    deadline =
        pa_context_rttime_new(context, pa_rtclock_now() + connectLimit, deadlinePassed, this);
    if (!deadline || pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        !waitUntilReady())
        return false;

    const pa_sample_spec format{PA_SAMPLE_S16LE, 8000, 1};
    const Proplist streamProps = callStreamProperties();
    recordStream =
        pa_stream_new_with_proplist(context, "Microphone", &format, nullptr, streamProps.get());
    playbackStream =
        pa_stream_new_with_proplist(context, "Loudspeaker", &format, nullptr, streamProps.get());
    if (!recordStream || !playbackStream)
        return false;
    pa_stream_set_state_callback(recordStream, streamChanged, this);
    pa_stream_set_read_callback(recordStream, readable, this);
    pa_stream_set_state_callback(playbackStream, streamChanged, this);
    if (pull)
        pa_stream_set_write_callback(playbackStream, writable, this);

    // One 20 ms block per fragment, so each block leaves as soon as it is recorded.
    pa_buffer_attr recordAttr{};
    recordAttr.maxlength = serverDefault;
    recordAttr.fragsize = blockBytes;
    recordAttr.tlength = recordAttr.prebuf = recordAttr.minreq = serverDefault;
    // Two blocks before playing starts, and again after the stream ran dry: a block that came late
    // costs a gap but never adds delay for good, since playing resumes from the same depth.
    pa_buffer_attr playbackAttr{};
    playbackAttr.maxlength = serverDefault;
    playbackAttr.tlength = playbackDepth;
    playbackAttr.prebuf = 2 * blockBytes;
    playbackAttr.minreq = blockBytes;
    playbackAttr.fragsize = serverDefault;
    const auto flags = PA_STREAM_ADJUST_LATENCY;
    if (pa_stream_connect_record(recordStream, deviceName(sourceName), &recordAttr, flags) < 0 ||
        pa_stream_connect_playback(playbackStream, deviceName(sinkName), &playbackAttr, flags,
                                   nullptr, nullptr) < 0)
        return false;
    if (!waitUntilReady())
        return false;
    pa_threaded_mainloop_get_api(loop)->time_free(deadline);
    deadline = nullptr;
    established = true;
    return true;
}

// Runs with the loop's lock held; every state change and the deadline wake it.
bool PulseAudioDevice::waitUntilReady() {
    for (;;) {
        const pa_context_state_t contextState = pa_context_get_state(context);
        if (!PA_CONTEXT_IS_GOOD(contextState))
            return false;
        bool ready = contextState == PA_CONTEXT_READY;
        for (pa_stream *stream : {recordStream, playbackStream}) {
            if (!stream)
                continue;
            const pa_stream_state_t streamState = pa_stream_get_state(stream);
            if (!PA_STREAM_IS_GOOD(streamState))
                return false;
            ready = ready && streamState == PA_STREAM_READY;
        }
        if (ready)
            return true;
        if (timedOut)
            return false;
        pa_threaded_mainloop_wait(loop);
    }
}

void PulseAudioDevice::close() {
    if (!loop)
        return;
    pa_threaded_mainloop_lock(loop);
    if (deadline)
        pa_threaded_mainloop_get_api(loop)->time_free(deadline);
    deadline = nullptr;
    for (pa_stream **stream : {&recordStream, &playbackStream}) {
        if (!*stream)
            continue;
        pa_stream_set_read_callback(*stream, nullptr, nullptr);
        pa_stream_set_write_callback(*stream, nullptr, nullptr);
        pa_stream_set_state_callback(*stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(*stream)))
            pa_stream_disconnect(*stream);
        pa_stream_unref(*stream);
        *stream = nullptr;
    }
    if (context) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    pa_threaded_mainloop_unlock(loop);
    // After this PulseAudio's thread is gone, so no capture callback can still be running.
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
    loop = nullptr;
}

bool PulseAudioDevice::canWrite() {
    if (!playbackStream)
        return false;
    pa_threaded_mainloop_lock(loop);
    const bool room = hasRoom();
    pa_threaded_mainloop_unlock(loop);
    return room;
}

// Runs with the loop's lock held (or on PulseAudio's thread).
bool PulseAudioDevice::hasRoom() {
    if (pa_stream_get_state(playbackStream) != PA_STREAM_READY)
        return false;
    // The server asks for what it lacks of its target length; whatever it granted, allow only as
    // much queued audio as the working depth.
    const std::size_t wanted = pa_stream_writable_size(playbackStream);
    const pa_buffer_attr *granted = pa_stream_get_buffer_attr(playbackStream);
    bool room = wanted != static_cast<std::size_t>(-1) && wanted >= blockBytes;
    if (room && granted && granted->tlength > wanted)
        room = granted->tlength - wanted < playbackDepth;
    return room;
}

void PulseAudioDevice::write(const char *block) {
    if (!playbackStream)
        return;
    pa_threaded_mainloop_lock(loop);
    if (pa_stream_get_state(playbackStream) == PA_STREAM_READY)
        pa_stream_write(playbackStream, block, blockBytes, nullptr, 0, PA_SEEK_RELATIVE);
    pa_threaded_mainloop_unlock(loop);
}

void PulseAudioDevice::reset() {
    if (!playbackStream)
        return;
    pa_threaded_mainloop_lock(loop);
    if (pa_stream_get_state(playbackStream) == PA_STREAM_READY) {
        if (pa_operation *flush = pa_stream_flush(playbackStream, nullptr, nullptr))
            pa_operation_unref(flush);
    }
    pa_threaded_mainloop_unlock(loop);
}

// Runs on PulseAudio's thread.
void PulseAudioDevice::deliver(const char *data, std::size_t size) {
    while (size > 0) {
        const std::size_t take = std::min<std::size_t>(size, blockBytes - partialBytes);
        std::memcpy(partial + partialBytes, data, take);
        partialBytes += take;
        data += take;
        size -= take;
        if (partialBytes == blockBytes) {
            partialBytes = 0;
            if (captured)
                captured(partial, int(blockBytes));
        }
    }
}

// Runs on PulseAudio's thread.
void PulseAudioDevice::checkLost(bool stillGood) {
    if (stillGood || !established || lostReported)
        return;
    lostReported = true;
    if (lost)
        lost();
}

// Runs on PulseAudio's thread.
void PulseAudioDevice::stateChanged(pa_context *context, void *self) {
    auto *device = static_cast<PulseAudioDevice *>(self);
    device->checkLost(PA_CONTEXT_IS_GOOD(pa_context_get_state(context)));
    pa_threaded_mainloop_signal(device->loop, 0);
}

// Runs on PulseAudio's thread.
void PulseAudioDevice::streamChanged(pa_stream *stream, void *self) {
    auto *device = static_cast<PulseAudioDevice *>(self);
    device->checkLost(PA_STREAM_IS_GOOD(pa_stream_get_state(stream)));
    pa_threaded_mainloop_signal(device->loop, 0);
}

// Runs on PulseAudio's thread.
void PulseAudioDevice::deadlinePassed(pa_mainloop_api *, pa_time_event *, const struct timeval *,
                                      void *self) {
    auto *device = static_cast<PulseAudioDevice *>(self);
    device->timedOut = true;
    pa_threaded_mainloop_signal(device->loop, 0);
}

// Runs on PulseAudio's thread, whenever recorded audio is waiting.
void PulseAudioDevice::readable(pa_stream *stream, std::size_t, void *self) {
    auto *device = static_cast<PulseAudioDevice *>(self);
    for (;;) {
        const void *data = nullptr;
        std::size_t size = 0;
        if (pa_stream_peek(stream, &data, &size) < 0 || size == 0)
            return;
        // A hole (no data for a stretch) is skipped rather than invented.
        if (data)
            device->deliver(static_cast<const char *>(data), size);
        pa_stream_drop(stream);
    }
}

// Runs with the loop's lock held. True when the stream holds at most one block, as far as the
// server's requests tell: the next block is due. Writing only then keeps one block (plus the
// server's own latency) between a block's arrival and its playing.
bool PulseAudioDevice::playbackRunsLow() {
    if (!playbackStream || pa_stream_get_state(playbackStream) != PA_STREAM_READY)
        return false;
    const std::size_t wanted = pa_stream_writable_size(playbackStream);
    const pa_buffer_attr *granted = pa_stream_get_buffer_attr(playbackStream);
    if (wanted == static_cast<std::size_t>(-1) || !granted)
        return false;
    return granted->tlength <= wanted || granted->tlength - wanted <= blockBytes;
}

// Runs with the loop's lock held. Plays received audio while the stream runs low; each block
// raises what it holds by a block, so this writes at most two. Audio that finds the stream full
// stays with the mixer, whose play-out adaptation sees it.
void PulseAudioDevice::playReceived() {
    char block[blockBytes];
    while (playbackRunsLow() && pull(block))
        pa_stream_write(playbackStream, block, blockBytes, nullptr, 0, PA_SEEK_RELATIVE);
}

// Runs on PulseAudio's thread, whenever the server wants more to play.
void PulseAudioDevice::writable(pa_stream *, std::size_t, void *self) {
    static_cast<PulseAudioDevice *>(self)->playReceived();
}

// Runs on the thread that received the audio. A block arriving between two requests would wait
// for the next one: up to a block of delay, and nearly a whole block every time where the sender's
// microphone and our loudspeaker tick together (a block then lands just after each request).
void PulseAudioDevice::playbackArrived() {
    if (!loop || !pull)
        return;
    pa_threaded_mainloop_lock(loop);
    playReceived();
    pa_threaded_mainloop_unlock(loop);
}

} // namespace

std::unique_ptr<AudioDevice> createSystemAudioDevice(const QByteArray &captureName,
                                                     const QByteArray &playbackName) {
    return std::make_unique<PulseAudioDevice>(captureName, playbackName);
}
