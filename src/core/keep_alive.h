// Keep-alive: an open digital or I/O Controller connection on which nothing has been sent for the
// slot's "Keep Alive" milliseconds sends its family's input request from the receive thread, so
// that the device's idle timer (30 s on the Web-IO, about 50 s on the I/O Controller) does not
// close it while the host pauses. The reply is decoded like any other and counts for the stale
// rule; the host's request throttle is left alone. Thermometers keep no connection and send none.
//
// Every send on a slot's connection, host or keep-alive, takes the slot's send turn, so that the
// bytes of two requests never mix on the wire and the keep-alive knows when the last send was.
#pragma once

#include <cstdint>

namespace vexlor {

// The longest request a family builds for the keep-alive, and what its trace line shows.
constexpr int kKeepAliveRequestSize = 96;
struct KeepAliveRequest {
    char bytes[kKeepAliveRequestSize];
    int length = 0;
    int shown = 0;  // bytes the send trace line shows
};

// Builds a family's input request for the slot (digital: with its password).
using KeepAliveBuilder = void (*)(uint16_t slot, KeepAliveRequest& request);

// Registers the input request of a DeviceKind (1, 2, 6); called with the parsers at start-up.
void RegisterKeepAliveRequest(int32_t kind, KeepAliveBuilder builder);

// Init: takes the slot's "Keep Alive" setting and counts the new connection as just used.
void StartKeepAlive(uint16_t slot);

// Holds the slot's send turn for one send on its connection (the core send takes it): waits
// while another send of the slot is under way, and counts the connection as used when it ends.
class SendTurn {
  public:
    // With tryOnce, takes the turn only if it is free at once (see Held).
    explicit SendTurn(uint16_t slot, bool tryOnce = false);
    ~SendTurn();
    SendTurn(const SendTurn&) = delete;
    SendTurn& operator=(const SendTurn&) = delete;
    bool Held() const { return held_; }

  private:
    uint16_t slot_;
    bool held_ = true;
};

// The receive thread's side, once per pass while it serves the slot and is counted in its
// socketUsers: sends the keep-alive when it is due on the slot's current connection (`kind` is
// the slot's kind as the pass read it), and cuts *waitMs to when the next one would be due.
void KeepAlive(uint16_t slot, int32_t kind, uint32_t* waitMs);

}  // namespace vexlor
