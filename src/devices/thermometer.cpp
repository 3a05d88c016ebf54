// The three exported thermometer reads and the thermometer ResponseParser.
//
// A read polls the device at most every 50 s: it opens the slot's connection itself, sends
// "GET /Single", waits up to the slot's Timing for the decoded answer and returns the readings.
// Every call ends by closing the connection, except a call whose send failed.
#include "devices/thermometer.h"

#include <cstring>

#include "core/connection.h"
#include "core/device_table.h"
#include "core/receive_thread.h"
#include "platform/platform.h"
#include "trace/trace_sink.h"
#include "vexlor.h"

namespace vexlor {
namespace {

constexpr double kTimeBaseRange = 4294967296.0;  // the millisecond counter wraps after 2^32

// Milliseconds since start on the time base, across one wrap of the counter.
double ElapsedSince(double start) {
    double elapsed = TimeBase() - start;
    if (elapsed < 0) elapsed += kTimeBaseRange;
    return elapsed;
}

// How long a held answer whose last segments are all readings may be quiet before it counts as
// whole: the device may neither terminate its answers nor close the connection after them.
constexpr uint32_t kThermoQuietMs = 100;
// How often the receive thread looks whether the poll of a held answer that does not look whole
// has reached its deadline.
constexpr uint32_t kThermoHeldCheckMs = 10;
// How long the read waits at its deadline for the receive thread to take up the held answer.
constexpr uint32_t kThermoDeadlineHandOffMs = 200;

// Whether the held answer ends in as many readings as the slot's thermometer gives.
bool LooksWhole(const DeviceSlot& slot, const ReceiveCarry& carry) {
    return ThermoAnswerLooksWhole(carry.bytes, carry.length, ThermoReadingCount(Get(slot.kind)));
}

// Decodes the joined answer once and empties the carry. An answer with too few readings raises
// the box only while no complete answer of this poll has been decoded.
void DecodeAnswer(ReceiveStep& step, DeviceSlot& slot, ReceiveCarry& carry) {
    const int length = carry.length;
    carry.length = 0;
    carry.flushWhenQuiet = false;
    Set(slot.thermoHeldBytes, 0);
    if (length <= 0) return;
    if (DecodeThermometerReply(slot, carry.bytes, length, nullptr)) return;
    if (ThermoReadingCount(Get(slot.kind)) > 0 &&
        slot.replyValid.load(std::memory_order_acquire) == 0) {
        step.ShowErrorBox(kThermoErrorCaption, carry.bytes, length);
    }
}

// Adds received bytes to the held answer. The readings are the answer's last segments, so when
// an answer is longer than the carry its start is dropped, up to the first ";" that remains, so
// that no cut segment is taken for a reading.
void Append(ReceiveCarry& carry, const char* bytes, int n) {
    if (carry.length + n > kMaxReceiveSize) {
        int drop = carry.length + n - kMaxReceiveSize;
        if (drop > carry.length) drop = carry.length;
        std::memmove(carry.bytes, carry.bytes + drop, static_cast<size_t>(carry.length - drop));
        carry.length -= drop;
        int cut = 0;
        while (cut < carry.length && carry.bytes[cut] != ';') ++cut;
        if (cut < carry.length) {
            std::memmove(carry.bytes, carry.bytes + cut, static_cast<size_t>(carry.length - cut));
            carry.length -= cut;
        }
        if (n > kMaxReceiveSize) {
            bytes += n - kMaxReceiveSize;
            n = kMaxReceiveSize;
        }
        if (carry.length + n > kMaxReceiveSize) carry.length = kMaxReceiveSize - n;
    }
    std::memcpy(carry.bytes + carry.length, bytes, static_cast<size_t>(n));
    carry.length += n;
}

// One receive step for kinds 3, 4 and 5. It does not clear replyValid: the read clears it
// before sending, so that a stray piece after a complete answer does not raise the error box.
// The receives of one answer are joined until the answer ends (its NUL, or the device closing
// the connection) and then decoded once.
//
// A held answer whose last N segments are all readings counts as whole after kThermoQuietMs of
// quiet. Any other held answer waits for the rest; when the poll reaches its deadline first,
// the read asks the thread (thermoDeadlinePassed) to give it up: it stores nothing and raises
// the error box with the text held.
void ThermometerParser(ReceiveStep& step) {
    DeviceSlot& slot = g_devices[step.Slot()];
    ReceiveCarry& carry = step.Carry();
    if (slot.thermoDeadlinePassed.load(std::memory_order_acquire) != 0) {
        if (!step.Serving()) return;
        // The poll is over: whatever this connection sends from now on is the rest of an
        // answer given up, which must never be decoded as an answer of its own.
        carry.pollOver = true;
        if (LooksWhole(slot, carry)) {
            // Whole, but still in its quiet time: decoded before the read looks at the result.
            DecodeAnswer(step, slot, carry);
            slot.thermoDeadlinePassed.store(0, std::memory_order_release);
            return;
        }
        const int length = carry.length;
        carry.length = 0;
        carry.flushWhenQuiet = false;
        Set(slot.thermoHeldBytes, 0);
        slot.thermoDeadlinePassed.store(0, std::memory_order_release);
        if (length > 0 && slot.replyValid.load(std::memory_order_acquire) == 0)
            step.ShowErrorBox(kThermoErrorCaption, carry.bytes, length);
        return;
    }
    if (carry.pollOver) {  // read and dropped
        if (step.Readable()) {
            char rest[kThermoReceiveSize];
            step.Receive(rest, kThermoReceiveSize);
        }
        return;
    }
    if (!step.Readable()) {  // the held answer has been quiet for carry.quietMs
        if (!step.Serving()) return;
        if (LooksWhole(slot, carry)) {
            DecodeAnswer(step, slot, carry);
        } else {
            carry.heldSince = platform::TimeMs();  // look again shortly
        }
        return;
    }
    char buffer[kThermoReceiveSize];
    const int n = step.Receive(buffer, kThermoReceiveSize);
    if (!step.Serving()) return;
    if (n <= 0) {
        if (step.PeerClosed() && carry.length > 0) DecodeAnswer(step, slot, carry);
        return;
    }
    int end = 0;
    while (end < n && buffer[end] != '\0') ++end;
    if (end < n) {
        // The answer's text ends at its NUL; what follows it is ignored.
        Append(carry, buffer, end);
        DecodeAnswer(step, slot, carry);
        return;
    }
    Append(carry, buffer, n);
    Set(slot.thermoHeldBytes, carry.length);
    carry.flushWhenQuiet = true;
    carry.quietMs = LooksWhole(slot, carry) ? kThermoQuietMs : kThermoHeldCheckMs;
    carry.heldSince = platform::TimeMs();
}

}  // namespace

int ThermometerRead(uint16_t language, uint16_t slotNumber, int32_t kind, int count,
                    double* const* out) {
    const int preamble = Preamble(slotNumber);
    if (preamble != kResultOk) return preamble;
    DeviceSlot& slot = g_devices[slotNumber];

    const double now = TimeBase();
    Set(slot.now, now);
    bool sendFailed = false;
    int sendError = 0;

    const double elapsed = now - Get(slot.lastThermoPoll);
    // A negative elapsed time means the millisecond counter wrapped since the last poll: poll
    // now rather than wait until the counter passes the old time again.
    if (elapsed >= kThermoPollIntervalMs || elapsed < 0) {
        // Stamped before anything can fail, so a failed poll is not retried for 50 s.
        Set(slot.lastThermoPoll, now);
        const int opened = InitSlot(language, slotNumber);
        if (opened != kResultOk) {
            Set(slot.thermoUnanswered, 1);
            return opened;
        }

        slot.replyValid.store(0, std::memory_order_release);
        slot.thermoDeadlinePassed.store(0, std::memory_order_release);
        StampKind(slotNumber, kind);

        {
            SlotSend use(slot);
            const ws::SOCKET socket = use.Socket();
            const int result =
                g_module.sockets.send(socket, kThermoRequest, kThermoRequestLength, 0);
            if (result == ws::kSocketError) {
                sendFailed = true;
                sendError = g_module.sockets.WSAGetLastError();
                // A failed send is a failure even when the socket layer has no error number.
                if (sendError == 0) sendError = ws::kWsaSysCallFailure;
            }
            trace::Send(result, static_cast<int32_t>(socket), kThermoRequest, kThermoRequestLength,
                        kThermoRequestLength);
        }

        // Both waits share one deadline, Timing ms after the send; a wait ends once the time
        // base is strictly past it. They run also after a failed send.
        const double start = TimeBase();
        const double timing = SlotTimingMs(slotNumber);
        while (slot.threadAlive.load(std::memory_order_acquire) != 1 &&
               ElapsedSince(start) <= timing)
            platform::Sleep(1);
        while (slot.replyValid.load(std::memory_order_acquire) != 1 &&
               ElapsedSince(start) <= timing)
            platform::Sleep(1);
        // An answer came but is not whole by the deadline: the receive thread gives it up and
        // shows it in the error box. The read waits (briefly) until the thread has taken the
        // request, so that DeInit does not stop the thread before.
        if (slot.replyValid.load(std::memory_order_acquire) != 1 && Get(slot.thermoHeldBytes) > 0) {
            slot.thermoDeadlinePassed.store(1, std::memory_order_release);
            WakeReceiveThread(slotNumber);
            const double handOff = TimeBase();
            while (slot.thermoDeadlinePassed.load(std::memory_order_acquire) != 0 &&
                   slot.threadAlive.load(std::memory_order_acquire) == 1 &&
                   ElapsedSince(handOff) <= kThermoDeadlineHandOffMs)
                platform::Sleep(1);
        }
        slot.thermoDeadlinePassed.store(0, std::memory_order_release);
        Set(slot.thermoHeldBytes, 0);
        Set(slot.thermoUnanswered, slot.replyValid.load(std::memory_order_acquire) == 1 ? 0 : 1);
    }

    for (int i = 0; i < count; ++i) {
        if (out[i] != nullptr) *out[i] = Get(slot.temperatures[i]);
    }

    // After a failed send the connection stays open; the next call closes it.
    if (sendFailed) return sendError;
    const int closed = DeInitSlot(language, slotNumber);
    if (closed != kResultOk) return closed;
    // The values are the cached ones while the last poll got no complete answer.
    if (Get(slot.thermoUnanswered) != 0 && Get(slot.replyTimeoutMs) != 0) {
        return ws::kWsaETimedOut;
    }
    return kResultOk;
}

void RegisterThermometerParsers() {
    RegisterResponseParser(kKindThermo1, ThermometerParser);
    RegisterResponseParser(kKindThermo2, ThermometerParser);
    RegisterResponseParser(kKindThermo8, ThermometerParser);
}

}  // namespace vexlor

extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_1xThermometer_Read(uint16_t language,
                                                                      uint16_t slot, double* t1) {
    double* const out[1] = {t1};
    return vexlor::ThermometerRead(language, slot, vexlor::kKindThermo1, 1, out);
}

extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_2xThermometer_Read(uint16_t language,
                                                                      uint16_t slot, double* t1,
                                                                      double* t2) {
    double* const out[2] = {t1, t2};
    return vexlor::ThermometerRead(language, slot, vexlor::kKindThermo2, 2, out);
}

extern "C" VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_8xThermometer_Read(
    uint16_t language, uint16_t slot, double* t1, double* t2, double* t3, double* t4, double* t5,
    double* t6, double* t7, double* t8) {
    double* const out[8] = {t1, t2, t3, t4, t5, t6, t7, t8};
    return vexlor::ThermometerRead(language, slot, vexlor::kKindThermo8, 8, out);
}
