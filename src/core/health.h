// Connection health: a slot whose device stops answering is reported, not frozen, and a slot
// that has "Reconnect" set connects again by itself after its connection is lost.
//
// Device functions reach their device through SendRequest; reads report through ReadResult,
// and writes look at ConnectionError before they send or remember anything. Everything below
// about waiting replies and lost connections is kept here and by the receive thread.
//
// Stale values. A digital slot has a request out from the moment it sends one that the device
// answers (input, output, switch output, counter) until a reply is decoded; an I/O Controller
// slot from its read-inputs request until an input-state frame. Once that has lasted longer than
// the slot's reply time-out, every read of the slot returns 10060 (WSAETIMEDOUT), after copying
// the stored values exactly as for 0, until a reply comes, however long the silence. A
// thermometer read whose poll got no complete answer by its deadline returns 10060 too, and so
// does every read after it until a poll gets its answer. A reply time-out of 0 switches this off.
// All of this is measured on the 32-bit millisecond counter with modular differences.
//
// Lost connections. Once the receive thread of a digital or I/O Controller slot has seen the
// connection end (the device closed or reset it) or a host send on it fail, every read returns
// that error with the stored values, and writes return it without sending, until DeInit and Init
// or a reconnect.
//
// Reconnecting. When the connection of a reconnecting slot is lost or the slot goes stale, its
// receive thread closes the connection and connects again in the background, with the same calls
// and trace lines as Init: first after 100 ms, then at most a second apart for the first 30 s (a
// device that restarts is back within that), then backing off to one attempt every 30 s. A new
// connection starts the output shadows afresh, so the next write sends every output again (a
// restarted device comes back with its outputs off); the counter-clear shadows and the error
// clear are kept (clearing again would only lose counts), and so is the kind. Its reads return
// 10060 until its first reply: the values are still those of the lost one.
#pragma once

#include <cstdint>

#include "core/device_table.h"

namespace vexlor {

// Init: takes the slot's health settings and starts with nothing out and no lost connection.
void StartHealth(uint16_t slot);
// DeInit, once its receive thread no longer uses the slot: a closed slot reports nothing of its
// last connection's health.
void EndHealth(DeviceSlot& slot);

// The connection number of the slot (DeviceSlot::connection): Init and a reconnect mark the
// connection established once it is connected, DeInit and a loss mark it gone.
void MarkConnectionUp(DeviceSlot& slot);
void MarkConnectionDown(DeviceSlot& slot);

// --- The device functions' side ----------------------------------------------------------------

// What a request is, for the reply wait and for a connection known to be lost.
enum class RequestSort {
    kRead,             // a read's request, answered by the device
    kWrite,            // a write answered by the device (switch output)
    kWriteUnanswered,  // a write that no reply follows (counter clear, error clear)
};

// The one way a device function sends a request on its slot's connection: `length` bytes in one
// send, traced with the send line (showing `shownLength` bytes) and, after a failure, the
// WSAGetLastError line. Returns 0 once the bytes were handed to the socket, else the error:
// - while the connection is known to be lost, nothing is sent: a write gets the lost
//   connection's error, a read 0 (its ReadResult then reports the loss with the stored values);
// - a send that fails gives its socket error number (never 0). The receive thread then takes
//   the connection as lost, provided the send was made on the slot's current, established
//   connection: a send on no socket or on an earlier one never touches the next connection.
// A request that the device answers starts the reply wait (unless one is already running), stamped
// before the send so that a reply decoded at once cannot come before it; a failed send takes its
// stamp back. Safe on any host thread and on the slot's receive thread; a request is one send
// call, so requests of several threads never interleave within one another's bytes on a socket
// whose send takes the whole request (a blocking TCP socket).
// With onlyWhenFree (the receive thread's keep-alive), nothing is sent and kSendSkipped returned
// while another send of the slot holds its turn: a host send blocked on a full socket must not
// hold up the receive thread, and the connection is in use anyway.
constexpr int kSendSkipped = -1;
int SendRequest(uint16_t slot, const char* bytes, int length, int shownLength, RequestSort sort,
                bool onlyWhenFree = false);

// Whether a write may go on: the lost connection's error while it is lost, else 0.
int ConnectionError(const DeviceSlot& slot);

// What a read of a digital or I/O Controller slot returns once it has copied its values: the
// lost connection's error, 10060 while stale, else 0. Uses the time the read stamped in `now`.
int ReadResult(DeviceSlot& slot);

// A reply of the slot's family has been decoded (the receive thread's parsers).
inline void NoteReplyDecoded(DeviceSlot& slot) {
    if (Get(slot.awaiting) != 0) Set(slot.awaiting, 0);
    if (Get(slot.staleUntilReply) != 0) Set(slot.staleUntilReply, 0);
}

// Milliseconds until a wait that began at `stamp` has lasted longer than timeoutMs at `now`
// (0: it has). A stamp up to kStampAheadMs after `now` has not begun yet (a read takes its time
// before it stamps its request); every other difference counts modulo the counter's range.
constexpr uint32_t kStampAheadMs = 1000;
uint32_t UntilTimeout(uint32_t now, uint32_t stamp, uint32_t timeoutMs);

// Whether the slot's request has waited longer than its reply time-out at TimeMs `now`. Once it
// has, that is remembered until a reply, so the answer stays true however long the silence.
bool CheckStale(DeviceSlot& slot, uint32_t now);

// --- The receive thread's side ----------------------------------------------------------------

// What one receive thread knows of its slot's connection between passes.
struct LinkState {
    bool down = false;         // the connection was closed; a new one is due backoffMs after
    uint32_t waitFrom = 0;     // this TimeMs
    uint32_t backoffMs = 0;    // the wait before the next attempt
    bool renewed = false;      // a new connection was made: the thread starts over on it
    uint32_t outageSince = 0;  // TimeMs when the slot last lost a connection that had answered
    uint32_t downNumber = 0;   // the connection number the thread took its connection down to
};

// The error of a host send that failed on connection number `connection`, or 0.
int FailedSendOn(const DeviceSlot& slot, uint32_t connection);

// The connection a pass of the receive thread found: its number and socket as loaded at the
// start of the pass, and the error it was seen to end with (recv gave 0 or failed, a host send on
// it failed), or 0.
struct SeenConnection {
    uint32_t number = 0;
    ws::SOCKET socket = ws::kInvalidSocket;
    int lostError = 0;
};

// Once per pass of the receive thread of a digital or I/O Controller slot (counted in the slot's
// socketUsers, serving the slot), while its connection is established or, for a reconnecting
// slot, down. Marks a loss of the connection `seen`, so that reads and writes report it; a
// reconnecting slot also takes that connection down, or one gone stale, and then makes an attempt
// to connect when one is due. Only the pass's own connection is ever taken down: one that DeInit
// has ended meanwhile, or that a new Init has put in its place, is left to its owner. Returns
// true when the connection is down: the thread then only waits, at most *waitMs. Otherwise
// *waitMs is cut to when a reconnecting slot would go stale.
bool KeepLink(uint16_t slot, uint32_t generation, LinkState& link, const SeenConnection& seen,
              uint32_t* waitMs);

}  // namespace vexlor
