// A received text frame through the real handler of a signed-in client in a call: the framing,
// the event dispatch and everything an event reaches (call records, voice, screens, errors).
#include "calls/nativecalls.h"
#include "tests/support/testkit.h"

#include <QApplication>

#include <cstdlib>
#include <memory>

namespace {

NativeCalls *calls = nullptr;

} // namespace

// The application and the controller are made once, outside the time limit of any one input.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    new QApplication(*argc, *argv);
    auto *window = new QWidget;
    calls = new NativeCalls(nullptr, window);
    calls->voice.setDevice(std::make_unique<FakeAudioDevice>(std::make_shared<FakeAudioState>()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
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
