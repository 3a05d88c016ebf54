// Connection health: a slot whose device stops answering is reported, not frozen, and a slot
// that has "Reconnect" set connects again by itself after its connection is lost.
//
// Stale values. A digital slot has a request out from the moment it sends one until a reply is
// decoded (awaitingSince); an I/O Controller slot from its read-inputs request until an
// input-state frame. Once that has lasted longer than the slot's reply time-out, every read of
// the slot returns 10060 (WSAETIMEDOUT), after copying the stored values exactly as for 0. A
// thermometer read whose poll got no complete answer by its deadline returns 10060 too, and so
// does every read after it until a poll gets its answer. A reply time-out of 0 switches this off.
//
// Reconnecting. When the connection of a reconnecting slot ends (the device closed or reset it,
// a send failed) or the slot goes stale, its receive thread closes the connection and connects
// again in the background, with the same calls and trace lines as Init: first after 100 ms, then
// at most a second apart for the first 30 s (a device that restarts is back within that), then
// backing off to one attempt every 30 s. Meanwhile (linkError) reads return
// the last connection error with the stored values, and writes return it without sending. A new
// connection starts the output and counter-clear shadows afresh, as Init does; the kind stays.
// Its reads return 10060 until its first reply: the values are still those of the lost one.
#pragma once

#include <cstdint>

#include "core/device_table.h"

namespace vexlor {

// Init: takes the slot's health settings and starts with nothing out and no lost connection.
void StartHealth(uint16_t slot);
// DeInit: a closed slot reports nothing of its last connection's health.
void EndHealth(DeviceSlot& slot);

// A request that expects a reply is about to be sent: from now on a reply is awaited, unless one
// already was. Stamped before the send, so that a reply decoded right after it cannot come
// before the stamp. Returns the stamp when this call set it, else -1; CancelRequest takes back a
// stamp whose send failed.
double NoteRequestSent(DeviceSlot& slot);
void CancelRequest(DeviceSlot& slot, double stamp);
// A reply of the slot's family has been decoded.
inline void NoteReplyDecoded(DeviceSlot& slot) {
    if (Get(slot.awaitingSince) >= 0) Set(slot.awaitingSince, -1.0);
    if (Get(slot.staleUntilReply) != 0) Set(slot.staleUntilReply, 0);
}

// Whether a request has waited longer than the reply time-out at time base `now`.
bool IsStale(const DeviceSlot& slot, double now);

// What a read of a digital or I/O Controller slot returns once it has copied its values: the
// lost connection's error, 10060 while stale, else 0. Uses the time the read stamped in `now`.
inline int ReadResult(const DeviceSlot& slot) {
    // Acquire: the receive thread clears linkError with a release store once the new connection
    // and its fields are in place.
    const int32_t lost = slot.linkError.load(std::memory_order_acquire);
    if (lost != 0) return lost;
    // After a reconnect the values are those of the lost connection until a reply comes.
    if (Get(slot.staleUntilReply) != 0 && Get(slot.replyTimeoutMs) != 0) {
        return ws::kWsaETimedOut;
    }
    if (Get(slot.awaitingSince) < 0) return 0;
    return IsStale(slot, Get(slot.now)) ? ws::kWsaETimedOut : 0;
}

// A reconnecting slot's host send failed with `error`: the receive thread takes the connection
// down and connects again.
void NoteSendFailed(uint16_t slot, int error);

// --- The receive thread's side ----------------------------------------------------------------

// What one receive thread knows of its slot's connection between passes.
struct LinkState {
    bool down = false;         // the connection was closed; a new one is due at nextTryAt
    uint32_t nextTryAt = 0;    // TimeMs
    uint32_t backoffMs = 0;    // the wait before the attempt after the next failed one
    bool renewed = false;      // a new connection was made: the thread starts over on it
    uint32_t outageSince = 0;  // TimeMs when the slot last lost a connection that had answered
};

// For a reconnecting slot, once per pass of its receive thread (which is counted in the slot's
// socketUsers and serves the slot): takes a lost connection down and, when one is due, makes an
// attempt to connect. `lostError` is nonzero when this thread saw the connection end (recv gave
// 0 or failed). Returns true when the connection is down: the thread then only waits, at most
// *waitMs. Otherwise *waitMs is cut to when the slot would go stale.
bool KeepLink(uint16_t slot, uint32_t generation, LinkState& link, int lostError, uint32_t* waitMs);

}  // namespace vexlor
