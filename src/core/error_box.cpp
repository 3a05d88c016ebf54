// The error box of the receive threads, and the thread generations that it must never let come
// back.
//
// On Windows the box blocks its receive thread until the user closes it, and DeInit gives up on
// such a thread after its 50 passes. A slot whose device keeps answering with text that is not a
// reply (a thermometer of the wrong model, a device that sends an error page) would otherwise
// open one more box, and leave one more thread behind, on every poll. So a slot shows one box at
// a time: a thread of the slot that meets such text while an older thread's box is still open
// writes a trace line instead, and goes on. The thread in the box carries its generation; the
// next Init skips that one, so the thread can never become current again, however long the box
// stays open.
#include <cstdint>

#include "core/device_table.h"
#include "core/receive_thread.h"
#include "platform/platform.h"
#include "trace/trace_sink.h"

namespace vexlor {

uint32_t AdvanceGeneration(uint16_t slot) {
    DeviceSlot& device = g_devices[slot % kSlotCount];
    uint32_t generation = GenerationOf(device.threadGeneration.fetch_add(1) + 1);
    if (generation + 1 == device.errorBoxOwner.load()) {
        generation = GenerationOf(device.threadGeneration.fetch_add(1) + 1);
    }
    return generation;
}

void ShowReplyErrorBox(const char* caption, const char* text, int length) {
    char message[1024 + 1];
    int n = 0;
    while (n < length && n < 1024 && text[n] != '\0') {
        message[n] = text[n];
        ++n;
    }
    message[n] = '\0';

    void* argument = nullptr;
    if (!platform::CurrentThreadArgument(&argument)) {  // not a receive thread
        platform::ErrorBox(caption, message);
        return;
    }
    const uint16_t slot = static_cast<uint16_t>(ArgumentSlot(argument) % kSlotCount);
    Shared<uint32_t>& owner = g_devices[slot].errorBoxOwner;
    uint32_t none = 0;
    if (!owner.compare_exchange_strong(none, ArgumentGeneration(argument) + 1)) {
        trace::ErrorBoxNotShown(slot, caption, message);
        return;
    }
    platform::ErrorBox(caption, message);
    owner.store(0);
}

}  // namespace vexlor
