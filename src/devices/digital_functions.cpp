// The twelve exported Web-IO digital functions and the two ResponseParsers.
//
// The functions never wait for the device: reads send their request when the slot's Timing
// interval has passed and return the values decoded so far; writes send one request for each
// position whose argument calls for one, remembering what they were given in the slot's
// OutputShadow, counterClearShadow and lastErrorClear.
#include "devices/digital_functions.h"

#include <vexlor.h>

#include "config/settings.h"
#include "core/device_table.h"
#include "core/health.h"
#include "core/receive_thread.h"
#include "trace/trace_sink.h"

namespace vexlor {
namespace {

bool ReportInBox(void* step, const char* caption, const char* text, int length) {
    return static_cast<ReceiveStep*>(step)->ShowErrorBox(caption, text, length);
}

// One receive step of a digital model: clear replyValid, take at most one block and decode the
// complete replies it finishes; or, when the thread calls because held bytes went quiet, decode
// those as they stand.
void DigitalReceiveStep(ReceiveStep& step, const DigitalModel& model) {
    DeviceSlot& slot = g_devices[step.Slot()];
    slot.replyValid.store(0, std::memory_order_release);
    DigitalReplySink sink;
    sink.report = ReportInBox;
    sink.context = &step;
    ReceiveCarry& carry = step.Carry();
    // What the slot's device showed on earlier connections holds for this one from its start:
    // digitalTerminates is 1 once it has ended replies with a NUL, -1 once it has been shown to
    // send none, 0 while nothing is known (it is then taken to send them, as documented).
    const int32_t terminates = Get(slot.digitalTerminates);
    if (!carry.terminatorsSeen && terminates > 0) carry.terminatorsSeen = true;
    carry.withoutTerminators = terminates < 0;
    if (!step.Readable()) {
        if (!step.Serving()) return;
        // Text recognised as a reply after the long quiet time: this device sends no terminators
        // (another device at the slot's address, say), so its held bytes wait briefly from now
        // on, on this connection and later ones, until it sends one.
        const bool waitedLong = carry.quietMs == kCarryQuietTerminatedMs;
        if (FlushDigitalCarry(slot, model, carry, sink) && waitedLong) {
            Set(slot.digitalTerminates, -1);
            carry.terminatorsSeen = false;  // the next terminator sets it again
        }
        return;
    }
    char block[kDigitalMaxBlock];
    const int received = step.Receive(block, model.blockSize);
    if (!step.Serving()) return;
    // The device closed the connection: a held tail can never be completed now. Unless the
    // device has been shown to send no terminators it is a piece of a reply and is dropped;
    // from such a device it is what it sends, decoded as it stands.
    if (step.PeerClosed()) {
        if (carry.withoutTerminators && !carry.terminatorsSeen) {
            FlushDigitalCarry(slot, model, carry, sink);
        } else {
            carry.length = 0;
            carry.flushWhenQuiet = false;
        }
    }
    if (received <= 0) return;
    DecodeDigitalReceive(slot, model, carry, block, received, platform::TimeMs(), sink);
    if (carry.terminatorsSeen && Get(slot.digitalTerminates) <= 0) Set(slot.digitalTerminates, 1);
}

// What the device does with a request: input, output, switch output and counter requests are
// answered; no manual documents a reply to a counter clear or an error clear.
RequestSort SortOf(DigitalRequest request) {
    switch (request) {
        case DigitalRequest::kReadInputs:
        case DigitalRequest::kReadOutputs:
        case DigitalRequest::kReadCounter:
            return RequestSort::kRead;
        case DigitalRequest::kSwitchOn:
        case DigitalRequest::kSwitchOff:
            return RequestSort::kWrite;
        default:
            return RequestSort::kWriteUnanswered;
    }
}

// Builds the request with the slot's password and sends it.
int SendRequest(uint16_t slot, DigitalRequest request, int index) {
    char text[kDigitalRequestSize];
    const int length = BuildSlotRequest(slot, request, index, text, sizeof text);
    return vexlor::SendRequest(slot, text, length, length, SortOf(request));
}

template <typename T>
void CopyOut(T* destination, T value) {
    if (destination != nullptr) *destination = value;
}

// ReadDI and ReadDO: one request when due, then the word and the bit entries.
int ReadWordAndBits(const DigitalModel& model, uint16_t slotNumber, Shared<double>& stamp,
                    DigitalRequest request, const Shared<uint16_t>& word12,
                    const Shared<uint32_t>& word24, const Shared<uint16_t>* bits, uint16_t* word16,
                    uint32_t* word32, uint16_t* const* outBits) {
    const int preamble = Preamble(slotNumber);
    if (preamble != kResultOk) return preamble;
    DeviceSlot& slot = g_devices[slotNumber];
    if (RequestDue(slot, stamp, SlotTimingMs(slotNumber))) {
        StampKind(slotNumber, model.kind);
        const int error = SendRequest(slotNumber, request, 0);
        if (error != 0) return error;
    }
    if (model.kind == kKindDigital12) {
        CopyOut(word16, Get(word12));
    } else {
        CopyOut(word32, Get(word24));
    }
    for (int i = 0; i < model.channels; ++i) CopyOut(outBits[i], Get(bits[i]));
    return ReadResult(slot);
}

}  // namespace

int BuildSlotRequest(uint16_t slot, DigitalRequest request, int index, char* buffer, int size) {
    char password[kPublishedPasswordSize];
    SlotPassword(slot, password);
    return BuildDigitalRequest(buffer, size, request, index, password);
}

void Digital12Parser(ReceiveStep& step) {
    DigitalReceiveStep(step, kDigital12);
}

void Digital24Parser(ReceiveStep& step) {
    DigitalReceiveStep(step, kDigital24);
}

void RegisterDigitalParsers() {
    RegisterResponseParser(kKindDigital12, Digital12Parser);
    RegisterResponseParser(kKindDigital24, Digital24Parser);
}

int DigitalReadInputs(const DigitalModel& model, uint16_t slot, uint16_t* word16, uint32_t* word32,
                      uint16_t* const* bits) {
    if (slot >= kSlotCount) return kResultBadSlot;
    DeviceSlot& s = g_devices[slot];
    return ReadWordAndBits(model, slot, s.lastInputPoll, DigitalRequest::kReadInputs, s.inputWord12,
                           s.inputWord24, s.inputBits, word16, word32, bits);
}

int DigitalReadOutputs(const DigitalModel& model, uint16_t slot, uint16_t* word16, uint32_t* word32,
                       uint16_t* const* bits) {
    if (slot >= kSlotCount) return kResultBadSlot;
    DeviceSlot& s = g_devices[slot];
    return ReadWordAndBits(model, slot, s.lastOutputPoll, DigitalRequest::kReadOutputs,
                           s.outputWord12, s.outputWord24, s.outputBits, word16, word32, bits);
}

int DigitalReadCounters(const DigitalModel& model, uint16_t slotNumber, int32_t* const* counters) {
    const int preamble = Preamble(slotNumber);
    if (preamble != kResultOk) return preamble;
    DeviceSlot& slot = g_devices[slotNumber];
    if (RequestDue(slot, slot.lastCounterPoll, SlotTimingMs(slotNumber))) {
        StampKind(slotNumber, model.kind);
        for (int i = 0; i < model.channels; ++i) {
            const int error = SendRequest(slotNumber, DigitalRequest::kReadCounter, i);
            if (error != 0) return error;
        }
    }
    for (int i = 0; i < model.channels; ++i) CopyOut(counters[i], Get(slot.counters[i]));
    return ReadResult(slot);
}

int DigitalWriteOutputs(const DigitalModel& model, uint16_t slotNumber, const uint16_t* values) {
    const int preamble = Preamble(slotNumber);
    if (preamble != kResultOk) return preamble;
    DeviceSlot& slot = g_devices[slotNumber];
    StampKind(slotNumber, model.kind);
    // While the connection is lost, nothing is sent or remembered.
    if (const int lost = ConnectionError(slot); lost != 0) return lost;
    for (int i = 0; i < model.channels; ++i) {
        // Only the low 8 bits count: 256 is off, 257 on. Values other than 0 and 1 send nothing
        // but are remembered, so a later 0 or 1 differs from them.
        const uint16_t v = values[i] & 0xFFu;
        if (v != Get(slot.outputShadow[i]) && (v == 0 || v == 1)) {
            const int error = SendRequest(
                slotNumber, v == 1 ? DigitalRequest::kSwitchOn : DigitalRequest::kSwitchOff, i);
            if (error != 0) return error;  // this position is compared again next time
        }
        Set(slot.outputShadow[i], v);
    }
    return kResultOk;
}

int DigitalClearCounters(const DigitalModel& model, uint16_t slotNumber, const uint16_t* values) {
    const int preamble = Preamble(slotNumber);
    if (preamble != kResultOk) return preamble;
    DeviceSlot& slot = g_devices[slotNumber];
    StampKind(slotNumber, model.kind);
    // While the connection is lost, nothing is sent or remembered.
    if (const int lost = ConnectionError(slot); lost != 0) return lost;
    for (int i = 0; i < model.channels; ++i) {
        const uint16_t v = values[i];
        if (v != 0 && v != Get(slot.counterClearShadow[i])) {
            const int error = SendRequest(slotNumber, DigitalRequest::kClearCounter, i);
            if (error != 0) return error;
        }
        Set(slot.counterClearShadow[i], v);
    }
    return kResultOk;
}

int DigitalErrorClear(const DigitalModel& model, uint16_t slotNumber, uint16_t value) {
    const int preamble = Preamble(slotNumber);
    if (preamble != kResultOk) return preamble;
    DeviceSlot& slot = g_devices[slotNumber];
    StampKind(slotNumber, model.kind);
    // While the connection is lost, nothing is sent or remembered.
    if (const int lost = ConnectionError(slot); lost != 0) return lost;
    if (value != 0 && value != Get(slot.lastErrorClear)) {
        const int error = SendRequest(slotNumber, DigitalRequest::kClearError, 0);
        if (error != 0) return error;
    }
    Set(slot.lastErrorClear, value);
    return kResultOk;
}

}  // namespace vexlor

using namespace vexlor;

// --- Web-IO 12xDigital ------------------------------------------------------------------------

extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_12xDigital_ReadDI(
    uint16_t, uint16_t slot, uint16_t* word, uint16_t* b0, uint16_t* b1, uint16_t* b2, uint16_t* b3,
    uint16_t* b4, uint16_t* b5, uint16_t* b6, uint16_t* b7, uint16_t* b8, uint16_t* b9,
    uint16_t* b10, uint16_t* b11) {
    uint16_t* const bits[12] = {b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11};
    return DigitalReadInputs(kDigital12, slot, word, nullptr, bits);
}

extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_12xDigital_ReadDO(
    uint16_t, uint16_t slot, uint16_t* word, uint16_t* b0, uint16_t* b1, uint16_t* b2, uint16_t* b3,
    uint16_t* b4, uint16_t* b5, uint16_t* b6, uint16_t* b7, uint16_t* b8, uint16_t* b9,
    uint16_t* b10, uint16_t* b11) {
    uint16_t* const bits[12] = {b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11};
    return DigitalReadOutputs(kDigital12, slot, word, nullptr, bits);
}

extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_12xDigital_WriteDO(
    uint16_t, uint16_t slot, uint16_t o0, uint16_t o1, uint16_t o2, uint16_t o3, uint16_t o4,
    uint16_t o5, uint16_t o6, uint16_t o7, uint16_t o8, uint16_t o9, uint16_t o10, uint16_t o11) {
    const uint16_t values[12] = {o0, o1, o2, o3, o4, o5, o6, o7, o8, o9, o10, o11};
    return DigitalWriteOutputs(kDigital12, slot, values);
}

extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_12xDigital_ReadCI(
    uint16_t, uint16_t slot, int32_t* c0, int32_t* c1, int32_t* c2, int32_t* c3, int32_t* c4,
    int32_t* c5, int32_t* c6, int32_t* c7, int32_t* c8, int32_t* c9, int32_t* c10, int32_t* c11) {
    int32_t* const counters[12] = {c0, c1, c2, c3, c4, c5, c6, c7, c8, c9, c10, c11};
    return DigitalReadCounters(kDigital12, slot, counters);
}

extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_12xDigital_ResetCI(
    uint16_t, uint16_t slot, uint16_t c0, uint16_t c1, uint16_t c2, uint16_t c3, uint16_t c4,
    uint16_t c5, uint16_t c6, uint16_t c7, uint16_t c8, uint16_t c9, uint16_t c10, uint16_t c11) {
    const uint16_t values[12] = {c0, c1, c2, c3, c4, c5, c6, c7, c8, c9, c10, c11};
    return DigitalClearCounters(kDigital12, slot, values);
}

extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_12xDigital_ErrorClear(uint16_t, uint16_t slot,
                                                                         uint16_t value) {
    return DigitalErrorClear(kDigital12, slot, value);
}

// --- Web-IO 24xDigital ------------------------------------------------------------------------

extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_24xDigital_ReadDI(
    uint16_t, uint16_t slot, uint32_t* word, uint16_t* b0, uint16_t* b1, uint16_t* b2, uint16_t* b3,
    uint16_t* b4, uint16_t* b5, uint16_t* b6, uint16_t* b7, uint16_t* b8, uint16_t* b9,
    uint16_t* b10, uint16_t* b11, uint16_t* b12, uint16_t* b13, uint16_t* b14, uint16_t* b15,
    uint16_t* b16, uint16_t* b17, uint16_t* b18, uint16_t* b19, uint16_t* b20, uint16_t* b21,
    uint16_t* b22, uint16_t* b23) {
    uint16_t* const bits[24] = {b0,  b1,  b2,  b3,  b4,  b5,  b6,  b7,  b8,  b9,  b10, b11,
                                b12, b13, b14, b15, b16, b17, b18, b19, b20, b21, b22, b23};
    return DigitalReadInputs(kDigital24, slot, nullptr, word, bits);
}

// Exported under this plain name; the Windows DLL also exports it under its decorated name
// (VEXLOR_24XDIGITAL_READDO_DECORATED_NAME), aliased to this function in the module definition.
extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_24xDigital_ReadDO(
    uint16_t, uint16_t slot, uint32_t* word, uint16_t* b0, uint16_t* b1, uint16_t* b2, uint16_t* b3,
    uint16_t* b4, uint16_t* b5, uint16_t* b6, uint16_t* b7, uint16_t* b8, uint16_t* b9,
    uint16_t* b10, uint16_t* b11, uint16_t* b12, uint16_t* b13, uint16_t* b14, uint16_t* b15,
    uint16_t* b16, uint16_t* b17, uint16_t* b18, uint16_t* b19, uint16_t* b20, uint16_t* b21,
    uint16_t* b22, uint16_t* b23) {
    uint16_t* const bits[24] = {b0,  b1,  b2,  b3,  b4,  b5,  b6,  b7,  b8,  b9,  b10, b11,
                                b12, b13, b14, b15, b16, b17, b18, b19, b20, b21, b22, b23};
    return DigitalReadOutputs(kDigital24, slot, nullptr, word, bits);
}

extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_24xDigital_WriteDO(
    uint16_t, uint16_t slot, uint16_t o0, uint16_t o1, uint16_t o2, uint16_t o3, uint16_t o4,
    uint16_t o5, uint16_t o6, uint16_t o7, uint16_t o8, uint16_t o9, uint16_t o10, uint16_t o11,
    uint16_t o12, uint16_t o13, uint16_t o14, uint16_t o15, uint16_t o16, uint16_t o17,
    uint16_t o18, uint16_t o19, uint16_t o20, uint16_t o21, uint16_t o22, uint16_t o23) {
    const uint16_t values[24] = {o0,  o1,  o2,  o3,  o4,  o5,  o6,  o7,  o8,  o9,  o10, o11,
                                 o12, o13, o14, o15, o16, o17, o18, o19, o20, o21, o22, o23};
    return DigitalWriteOutputs(kDigital24, slot, values);
}

extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_24xDigital_ReadCI(
    uint16_t, uint16_t slot, int32_t* c0, int32_t* c1, int32_t* c2, int32_t* c3, int32_t* c4,
    int32_t* c5, int32_t* c6, int32_t* c7, int32_t* c8, int32_t* c9, int32_t* c10, int32_t* c11,
    int32_t* c12, int32_t* c13, int32_t* c14, int32_t* c15, int32_t* c16, int32_t* c17,
    int32_t* c18, int32_t* c19, int32_t* c20, int32_t* c21, int32_t* c22, int32_t* c23) {
    int32_t* const counters[24] = {c0,  c1,  c2,  c3,  c4,  c5,  c6,  c7,  c8,  c9,  c10, c11,
                                   c12, c13, c14, c15, c16, c17, c18, c19, c20, c21, c22, c23};
    return DigitalReadCounters(kDigital24, slot, counters);
}

extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_24xDigital_ResetCI(
    uint16_t, uint16_t slot, uint16_t c0, uint16_t c1, uint16_t c2, uint16_t c3, uint16_t c4,
    uint16_t c5, uint16_t c6, uint16_t c7, uint16_t c8, uint16_t c9, uint16_t c10, uint16_t c11,
    uint16_t c12, uint16_t c13, uint16_t c14, uint16_t c15, uint16_t c16, uint16_t c17,
    uint16_t c18, uint16_t c19, uint16_t c20, uint16_t c21, uint16_t c22, uint16_t c23) {
    const uint16_t values[24] = {c0,  c1,  c2,  c3,  c4,  c5,  c6,  c7,  c8,  c9,  c10, c11,
                                 c12, c13, c14, c15, c16, c17, c18, c19, c20, c21, c22, c23};
    return DigitalClearCounters(kDigital24, slot, values);
}

extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_24xDigital_ErrorClear(uint16_t, uint16_t slot,
                                                                         uint16_t value) {
    return DigitalErrorClear(kDigital24, slot, value);
}
