// Fuzzes the I/O Controller input-state decoder (DecodeIoControllerBlock). The input is one
// received block of up to 1024 bytes (more is cut, as the receive step does).
//
// Invariants checked on every input:
// - the state stored is the byte after the last FF FA 2C 96 or FF FA 2C 33 marker (an answer to
//   a read-inputs request or an input change the device sends by itself) whose state byte was
//   received (zero bytes count as data), zero-extended into controllerInputs, with inputBits
//   0..11 its bits (8..11 therefore 0); without such a marker nothing changes;
// - nothing else changes: no byte of the slot outside controllerInputs and inputBits 0..11, no
//   guard byte around it (replyValid in particular is left to the receive step);
// - the request frames are 7 bytes IAC SB 44 cmd value IAC SE, and the output mask is bit i set
//   by value i.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "devices/io_controller.h"
#include "fuzz_support.h"

namespace {

using vexlor::DeviceSlot;
using vexlor::Get;

fuzzsupport::GuardedSlot g_guarded;

void CheckFrames(const uint8_t* data, size_t size) {
    if (size < 16) return;
    uint16_t values[vexlor::kIoOutputCount];
    for (int i = 0; i < vexlor::kIoOutputCount; ++i) {
        values[i] = static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    unsigned expectedMask = 0;
    for (int i = 0; i < vexlor::kIoOutputCount; ++i) expectedMask |= (values[i] & 0xFFu) << i;
    const unsigned char mask = vexlor::IoOutputMask(values);
    FUZZ_CHECK(mask == (expectedMask & 0xFFu));

    unsigned char frame[vexlor::kIoFrameSize + 8];
    std::memset(frame, 0xEE, sizeof frame);
    FUZZ_CHECK(vexlor::BuildIoSetOutputsFrame(frame, mask) == vexlor::kIoFrameSize);
    const unsigned char want[] = {0xFF, 0xFA, 0x2C, 0x33, mask, 0xFF, 0xF0};
    FUZZ_CHECK(std::memcmp(frame, want, sizeof want) == 0);
    for (size_t i = vexlor::kIoFrameSize; i < sizeof frame; ++i) FUZZ_CHECK(frame[i] == 0xEE);
    const int shown = vexlor::IoFrameShownLength(frame);
    FUZZ_CHECK(shown == (mask == 0 ? 4 : 7));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return -1;
    const int n = static_cast<int>(size < static_cast<size_t>(vexlor::kIoReceiveSize)
                                       ? size
                                       : static_cast<size_t>(vexlor::kIoReceiveSize));

    g_guarded.Reset();
    DeviceSlot& slot = g_guarded.slot;
    fuzzsupport::SlotBytes before(g_guarded);
    before.Allow(slot.controllerInputs);
    for (int k = 0; k < 12; ++k) before.Allow(slot.inputBits[k]);
    const uint16_t oldInputs = Get(slot.controllerInputs);
    uint16_t oldBits[vexlor::kMaxChannels];
    for (int k = 0; k < vexlor::kMaxChannels; ++k) oldBits[k] = Get(slot.inputBits[k]);

    bool found = false;
    unsigned state = 0;
    for (int i = 0; i + 4 < n; ++i) {
        if (data[i] == 0xFF && data[i + 1] == 0xFA && data[i + 2] == 0x2C &&
            (data[i + 3] == 0x96 || data[i + 3] == 0x33)) {
            found = true;
            state = data[i + 4];
        }
    }

    const bool result = vexlor::DecodeIoControllerBlock(slot, data, n);

    before.CheckUnchanged(g_guarded);
    FUZZ_CHECK(result == found);
    if (found) {
        FUZZ_CHECK(Get(slot.controllerInputs) == state);
        for (int k = 0; k < 12; ++k) FUZZ_CHECK(Get(slot.inputBits[k]) == ((state >> k) & 1u));
    } else {
        FUZZ_CHECK(Get(slot.controllerInputs) == oldInputs);
        for (int k = 0; k < 12; ++k) FUZZ_CHECK(Get(slot.inputBits[k]) == oldBits[k]);
    }
    CheckFrames(data, size);
    return 0;
}
