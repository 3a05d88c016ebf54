// I/O Controller frames and the input-state decoder: pure functions over caller-provided
// buffers and a slot, without any platform call.
#include "devices/io_controller.h"

namespace vexlor {
namespace {

int BuildFrame(unsigned char* frame, unsigned char subCommand, unsigned char value) {
    frame[0] = kIoIac;
    frame[1] = kIoSb;
    frame[2] = kIoComPortOption;
    frame[3] = subCommand;
    frame[4] = value;
    frame[5] = kIoIac;
    frame[6] = kIoSe;
    return kIoFrameSize;
}

}  // namespace

int BuildIoReadInputsFrame(unsigned char* frame) {
    return BuildFrame(frame, kIoReadInputs, 0x00);
}

int BuildIoSetOutputsFrame(unsigned char* frame, unsigned char mask) {
    return BuildFrame(frame, kIoSetOutputs, mask);
}

unsigned char IoOutputMask(const uint16_t* values) {
    unsigned mask = 0;
    for (int i = 0; i < kIoOutputCount; ++i) mask |= static_cast<unsigned>(values[i] & 0xFFu) << i;
    return static_cast<unsigned char>(mask & 0xFFu);
}

int IoFrameShownLength(const unsigned char* frame) {
    int shown = 0;
    while (shown < kIoFrameSize && frame[shown] != 0) ++shown;
    return shown;
}

bool IsIoStateSubCommand(unsigned char subCommand) {
    return subCommand == kIoInputState || subCommand == kIoSetOutputs;
}

bool DecodeIoControllerBlock(DeviceSlot& slot, const unsigned char* block, int n) {
    if (block == nullptr || n <= 0) return false;
    bool found = false;
    unsigned state = 0;
    // Every received byte is scanned: the frames are binary and a state of 00 is as valid as any
    // other. A marker needs its state byte among the received bytes; the last frame wins.
    for (int i = 0; i + 4 < n; ++i) {
        if (block[i] == kIoIac && block[i + 1] == kIoSb && block[i + 2] == kIoComPortOption &&
            IsIoStateSubCommand(block[i + 3])) {
            state = block[i + 4];
            found = true;
        }
    }
    if (!found) return false;
    Set(slot.controllerInputs, state);
    for (int k = 0; k < 12; ++k) Set(slot.inputBits[k], (state >> k) & 1u);
    return true;
}

int IoFrameHeadAtEnd(const unsigned char* block, int n) {
    static const unsigned char kHead[kIoFrameHead - 2] = {kIoIac, kIoSb, kIoComPortOption};
    for (int keep = kIoFrameHead - 1; keep > 0; --keep) {
        if (keep > n) continue;
        bool match = true;
        for (int i = 0; i < keep && match; ++i) {
            const unsigned char b = block[n - keep + i];
            match = i < kIoFrameHead - 2 ? b == kHead[i] : IsIoStateSubCommand(b);
        }
        if (match) return keep;
    }
    return 0;
}

}  // namespace vexlor
