// HW group I/O Controller: 8 inputs and 8 outputs driven with 7-byte Telnet sub-negotiation
// frames (IAC SB 44 <sub-command> <byte> IAC SE). The read asks for the input state at most once
// per Timing interval and returns what the receive thread last decoded; the write sends one
// set-outputs frame, carrying the whole mask, for every output whose value changed.
#include "devices/io_controller.h"
#include "core/device_table.h"
#include "core/health.h"
#include "core/receive_thread.h"
#include "trace/trace_sink.h"
#include "vexlor.h"

namespace vexlor {
namespace {

// Sends one frame on the slot's socket: 0, or the error (see SendRequest). The send line shows
// the frame up to its first zero byte.
int SendFrame(uint16_t slot, const unsigned char* frame, RequestSort sort) {
    return SendRequest(slot, reinterpret_cast<const char*>(frame), kIoFrameSize,
                       IoFrameShownLength(frame), sort);
}

// One receive step for kind 6: no error box, and replyValid is never set. The last bytes of a
// block that may begin an input-state frame are held and put in front of the next block, so that
// a frame cut by the network is still found.
void IoControllerParser(ReceiveStep& step) {
    DeviceSlot& slot = g_devices[step.Slot()];
    slot.replyValid.store(0, std::memory_order_release);
    ReceiveCarry& carry = step.Carry();
    unsigned char joined[kIoFrameHead + kIoReceiveSize];
    int held = carry.length >= 0 && carry.length <= kIoFrameHead ? carry.length : 0;
    for (int i = 0; i < held; ++i) joined[i] = static_cast<unsigned char>(carry.bytes[i]);
    carry.length = 0;
    const int n = step.Receive(reinterpret_cast<char*>(joined + held), kIoReceiveSize);
    if (n <= 0) {
        carry.length = held;
        return;
    }
    if (!step.Serving()) return;
    const int total = held + n;
    if (DecodeIoControllerBlock(slot, joined, total)) NoteReplyDecoded(slot);
    held = IoFrameHeadAtEnd(joined, total);
    for (int i = 0; i < held; ++i) carry.bytes[i] = static_cast<char>(joined[total - held + i]);
    carry.length = held;
}

}  // namespace

void RegisterIoControllerParser() {
    RegisterResponseParser(kKindIoController, IoControllerParser);
}

}  // namespace vexlor

extern "C" VEXLOR_API int VEXLOR_CALL HWgroup_IOController_ReadDI(
    uint16_t /*language*/, uint16_t slotNumber, uint16_t* value, uint16_t* in1, uint16_t* in2,
    uint16_t* in3, uint16_t* in4, uint16_t* in5, uint16_t* in6, uint16_t* in7, uint16_t* in8) {
    using namespace vexlor;
    const int preamble = Preamble(slotNumber);
    if (preamble != kResultOk) return preamble;
    DeviceSlot& slot = g_devices[slotNumber];

    if (RequestDue(slot, slot.lastInputPoll, SlotTimingMs(slotNumber))) {
        StampKind(slotNumber, kKindIoController);
        unsigned char frame[kIoFrameSize];
        BuildIoReadInputsFrame(frame);
        // Answered by an input-state frame.
        const int error = SendFrame(slotNumber, frame, RequestSort::kRead);
        if (error != 0) return error;
    }

    // The values of the last input-state frame the receive thread decoded; null pointers are
    // skipped.
    if (value != nullptr) *value = Get(slot.controllerInputs);
    uint16_t* const bits[kIoOutputCount] = {in1, in2, in3, in4, in5, in6, in7, in8};
    for (int i = 0; i < kIoOutputCount; ++i) {
        if (bits[i] != nullptr) *bits[i] = Get(slot.inputBits[i]);
    }
    return ReadResult(slot);
}

extern "C" VEXLOR_API int VEXLOR_CALL HWgroup_IOController_WriteDO(
    uint16_t /*language*/, uint16_t slotNumber, uint16_t out1, uint16_t out2, uint16_t out3,
    uint16_t out4, uint16_t out5, uint16_t out6, uint16_t out7, uint16_t out8) {
    using namespace vexlor;
    const int preamble = Preamble(slotNumber);
    if (preamble != kResultOk) return preamble;
    DeviceSlot& slot = g_devices[slotNumber];
    StampKind(slotNumber, kKindIoController);
    // While the connection is lost, nothing is sent or remembered.
    if (const int lost = ConnectionError(slot); lost != 0) return lost;

    // Only the low 8 bits of each value count, for the mask and for the shadow alike.
    const uint16_t raw[kIoOutputCount] = {out1, out2, out3, out4, out5, out6, out7, out8};
    uint16_t values[kIoOutputCount];
    for (int i = 0; i < kIoOutputCount; ++i) values[i] = raw[i] & 0xFFu;
    unsigned char frame[kIoFrameSize];
    BuildIoSetOutputsFrame(frame, IoOutputMask(values));

    for (int i = 0; i < kIoOutputCount; ++i) {
        if (values[i] != Get(slot.outputShadow[i])) {
            // Every changed output sends the same frame with the whole mask. A failed send
            // leaves this and the later shadow entries unchanged, so the next call retries.
            // No frame answers a set-outputs request.
            const int error = SendFrame(slotNumber, frame, RequestSort::kWriteUnanswered);
            if (error != 0) return error;
        }
        Set(slot.outputShadow[i], values[i]);
    }
    return kResultOk;
}
