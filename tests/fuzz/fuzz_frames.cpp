// A received text frame through the real handler of a signed-in client in a call: the framing,
// the event dispatch and everything an event reaches (call records, voice, screens, errors).
#include "calls/nativecalls.h"
#include "tests/support/fakeaudiodevice.h"

#include <QApplication>
#include <QNetworkAccessManager>

#include <cstdlib>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_frames";
    static char *argv[] = {name, nullptr};
    static QApplication *app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return new QApplication(argc, argv);
    }();
    static QWidget window;
    static NativeCalls *calls = [] {
        auto *c = new NativeCalls(nullptr, &window);
        c->voice.setDevice(std::make_unique<FakeAudioDevice>(std::make_shared<FakeAudioState>()));
        return c;
    }();
    Q_UNUSED(app);
    // Ready, signed in as u1 and in call c1; a box would wait for a click, so one counts as open.
    calls->sessionUserId = QStringLiteral("u1");
    calls->sid = QStringLiteral("sidA");
    calls->connected = true;
    calls->callId = QStringLiteral("c1");
    calls->boxOpen = true;
    calls->screenShowIntervalMs = 0;
    // A dropped channel's offline check would otherwise wait, one more timer per input.
    calls->offlineCallMs = 0;
    calls->handle(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));
    QCoreApplication::processEvents();
    calls->finish();
    return 0;
}
