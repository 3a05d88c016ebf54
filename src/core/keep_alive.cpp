// Keep-alive requests of idle connections and the per-slot send turn. See keep_alive.h.
#include "core/keep_alive.h"

#include <atomic>

#include "config/settings.h"
#include "core/device_table.h"
#include "core/health.h"
#include "platform/platform.h"

namespace vexlor {
namespace {

std::atomic<KeepAliveBuilder> g_builders[kKindCount];

// How soon the thread looks again when a host send held the turn: that send ends within
// moments and counts as the connection's last send.
constexpr uint32_t kTurnBusyRetryMs = 10;
// Spins on a busy turn before a host send sleeps between its looks.
constexpr int kTurnYields = 64;

struct KeepAliveState {
    std::atomic<int32_t> intervalMs{0};  // "Keep Alive" as read at Init; 0: off
    // TimeMs of the connection's last send; the differences are taken modulo 2^32, so the
    // counter's wrap changes nothing.
    std::atomic<uint32_t> lastSendMs{0};
    std::atomic<int32_t> turn{0};  // 1 while a send holds the slot's connection
    // The number of the connection the receive thread last looked at (0: none): a new one (a
    // reconnect) starts unused, also when the system gave it the old one's socket number. Init
    // clears it before it starts the slot's thread, which alone touches it afterwards.
    std::atomic<uint32_t> watched{0};
};
KeepAliveState g_state[kSlotCount];

// Idle times above this are a send stamped just after the pass took its time.
constexpr uint32_t kHalfRangeMs = 0x80000000u;

// Whether a send on the socket would not block: a select for writing that does not wait.
bool Writable(ws::SOCKET socket) {
    ws::FdSet writeSet{};
    writeSet.fd_array[writeSet.fd_count++] = socket;
    const ws::TimeVal now{0, 0};
    return g_module.sockets.select(0, nullptr, &writeSet, nullptr, &now) == 1;
}

void CutWait(uint32_t* waitMs, uint32_t ms) {
    if (ms < *waitMs) *waitMs = ms;
}

// The family whose input request a slot of this kind sends: a slot whose kind is not stamped
// yet sends the I/O Controller frame when its password is the marker, else the digital text.
int32_t RequestKind(uint16_t slot, int32_t kind) {
    if (kind != kKindNone) return kind;
    char password[kPublishedPasswordSize];
    SlotPassword(slot, password);
    return IsIoControllerMarker(password) ? kKindIoController : kKindDigital12;
}

}  // namespace

void RegisterKeepAliveRequest(int32_t kind, KeepAliveBuilder builder) {
    if (kind > 0 && kind < kKindCount) g_builders[kind].store(builder, std::memory_order_release);
}

void StartKeepAlive(uint16_t slot) {
    if (slot >= kSlotCount) return;
    KeepAliveState& state = g_state[slot];
    state.intervalMs.store(SlotKeepAliveMs(slot), std::memory_order_relaxed);
    state.lastSendMs.store(platform::TimeMs(), std::memory_order_relaxed);
    state.watched.store(0, std::memory_order_relaxed);
}

SendTurn::SendTurn(uint16_t slot, bool tryOnce) : slot_(slot < kSlotCount ? slot : 0) {
    std::atomic<int32_t>& turn = g_state[slot_].turn;
    for (int looks = 0; turn.exchange(1, std::memory_order_acquire) != 0; ++looks) {
        if (tryOnce) {
            held_ = false;
            return;
        }
        if (looks < kTurnYields) {
            platform::YieldThread();
        } else {
            platform::Sleep(1);
        }
    }
}

SendTurn::~SendTurn() {
    if (!held_) return;
    KeepAliveState& state = g_state[slot_];
    state.lastSendMs.store(platform::TimeMs(), std::memory_order_relaxed);
    state.turn.store(0, std::memory_order_release);
}

void KeepAlive(uint16_t slotNumber, int32_t kind, uint32_t* waitMs) {
    if (slotNumber >= kSlotCount || IsThermometerKind(kind)) return;
    KeepAliveState& state = g_state[slotNumber];
    const int32_t interval = state.intervalMs.load(std::memory_order_relaxed);
    DeviceSlot& slot = g_devices[slotNumber];
    // Off, or the connection is lost (a reconnect or the host's DeInit takes it from here).
    if (interval <= 0 || ConnectionError(slot) != 0) return;
    // The number before the socket: a newer connection publishes its socket before its number.
    const uint32_t connection = slot.connection.load();
    const ws::SOCKET socket = slot.socket.load(std::memory_order_acquire);
    if ((connection & 1u) == 0 || socket == ws::kInvalidSocket || slot.runFlag.load() == 0) {
        return;  // no established connection
    }
    // The last send is loaded before the time is taken, so that a host send ending in between
    // cannot make the idle time wrap to a huge value.
    uint32_t last = state.lastSendMs.load(std::memory_order_relaxed);
    const uint32_t now = platform::TimeMs();
    // A connection made by a reconnect starts unused; Init's connection started at Init.
    const uint32_t seen = state.watched.exchange(connection, std::memory_order_relaxed);
    if (seen != connection && seen != 0) {
        state.lastSendMs.store(now, std::memory_order_relaxed);
        last = now;
    }
    uint32_t idle = now - last;
    if (idle > kHalfRangeMs) idle = 0;  // a send stamped after `now`
    const auto span = static_cast<uint32_t>(interval);
    if (idle < span) {
        CutWait(waitMs, span - idle);
        return;
    }
    const KeepAliveBuilder build =
        g_builders[RequestKind(slotNumber, kind)].load(std::memory_order_acquire);
    if (build == nullptr) return;
    // The receive thread must never block in a send: a connection whose device has stopped
    // taking data (its socket buffer is full) gets no keep-alive; the reply time-out reports it.
    if (!Writable(socket)) {
        CutWait(waitMs, kTurnBusyRetryMs);
        return;
    }
    KeepAliveRequest request;
    build(slotNumber, request);
    // Through the one core send, which writes the send trace line; it sends only when no host
    // send holds the turn. A reply can be decoded only once a kind is stamped: until then none
    // is awaited.
    if (SendRequest(slotNumber, request.bytes, request.length, request.shown,
                    kind != kKindNone ? RequestSort::kRead : RequestSort::kWriteUnanswered,
                    true) == kSendSkipped) {
        CutWait(waitMs, kTurnBusyRetryMs);  // a host send is under way
        return;
    }
    // Counted as sent also when it failed, so that a failing connection is not tried at once.
    state.lastSendMs.store(platform::TimeMs(), std::memory_order_relaxed);
    CutWait(waitMs, span);
}

}  // namespace vexlor
