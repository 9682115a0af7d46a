#include "calls/audiodevice.h"

std::unique_ptr<AudioDevice> createSystemAudioDevice() {
    return nullptr;
}
