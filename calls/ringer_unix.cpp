#include "calls/ringer.h"

#include <QApplication>

#include <canberra.h>

namespace {

// One id for every ring, so stopping one stops whichever is still sounding.
constexpr uint32_t ringId = 1;

ca_context *ca(void *context) {
    return static_cast<ca_context *>(context);
}

} // namespace

Ringer::Ringer() = default;

Ringer::~Ringer() {
    if (context)
        ca_context_destroy(ca(context));
}

bool Ringer::ring() {
    if (!context && !soundUnavailable) {
        ca_context *made = nullptr;
        // Only the sound server's own back end: it reaches PulseAudio and PipeWire desktops alike,
        // and it never tries a bare sound card that the desktop has muted or someone else holds.
        if (ca_context_create(&made) == CA_SUCCESS &&
            ca_context_set_driver(made, "pulse") == CA_SUCCESS &&
            ca_context_change_props(made, CA_PROP_APPLICATION_NAME, "Tovik Messenger",
                                    CA_PROP_APPLICATION_ID, "dev.tovik.Messenger",
                                    CA_PROP_APPLICATION_ICON_NAME, "dev.tovik.Messenger",
                                    nullptr) == CA_SUCCESS &&
            ca_context_open(made) == CA_SUCCESS) {
            context = made;
        } else {
            soundUnavailable = true;
            if (made)
                ca_context_destroy(made);
        }
    }
    if (context) {
        ca_context_cancel(ca(context), ringId);
        if (ca_context_play(ca(context), ringId, CA_PROP_EVENT_ID, "phone-incoming-call",
                            CA_PROP_EVENT_DESCRIPTION, "Входящий звонок", nullptr) == CA_SUCCESS)
            return true;
        // A sound server that went away leaves the context useless; the next ringing reconnects.
        soundUnavailable = true;
        ca_context_destroy(ca(context));
        context = nullptr;
    }
    QApplication::beep();
    return false;
}

void Ringer::stop() {
    soundUnavailable = false;
    if (context)
        ca_context_cancel(ca(context), ringId);
}
