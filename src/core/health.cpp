// Connection health: stale values reported as 10060, and the background reconnect of a slot
// that has "Reconnect" set. See health.h.
#include "core/health.h"

#include "config/settings.h"
#include "core/connection.h"
#include "core/keep_alive.h"
#include "core/receive_thread.h"
#include "core/socket_api.h"
#include "platform/platform.h"
#include "trace/trace_sink.h"

namespace vexlor {
namespace {

constexpr double kTimeBaseRange = 4294967296.0;  // the millisecond counter wraps after 2^32
// The first attempt after a loss, and the longest wait between two attempts.
constexpr uint32_t kFirstAttemptMs = 100;
constexpr uint32_t kLongestBackoffMs = 30000;
// For this long after a connection is lost, attempts are at most this far apart: a device that
// restarts is back within seconds, and its values should be too.
constexpr uint32_t kQuickRetrySpanMs = 30000;
constexpr uint32_t kQuickRetryMs = 1000;
// How long one attempt waits for the connection to be made.
constexpr uint32_t kAttemptMs = 5000;
// The longest single wait of a thread whose connection is down or being made: nothing but the
// wake-up channel could end it earlier, and DeInit must not wait for a lost wake-up.
constexpr uint32_t kDownWaitMs = 20;

// The address and port each slot's Init read from the settings, for its receive thread's
// reconnects: the live settings may be changed by the configuration dialog meanwhile. Written
// by Init before it starts the thread, read only by that thread.
struct LinkTarget {
    char ip[kShortFieldSize];
    char port[kShortFieldSize];
};
LinkTarget g_targets[kSlotCount];

uint32_t Remaining(uint32_t now, uint32_t at) {
    const int32_t rest = static_cast<int32_t>(at - now);  // wraps with the counter
    return rest > 0 ? static_cast<uint32_t>(rest) : 0;
}

// Milliseconds until the slot goes stale (0: it is), or kLongestBackoffMs when nothing is out.
uint32_t UntilStale(const DeviceSlot& slot, double now) {
    const int32_t timeout = Get(slot.replyTimeoutMs);
    const double since = Get(slot.awaitingSince);
    if (timeout <= 0 || since < 0) return kLongestBackoffMs;
    double elapsed = now - since;
    // The read stamps its time before it sends, so `now` may lie just before the request; a
    // difference of more than half the counter's range means the counter wrapped.
    if (elapsed < 0) elapsed = elapsed < -kTimeBaseRange / 2 ? elapsed + kTimeBaseRange : 0;
    const double rest = timeout - elapsed;
    if (rest < 0) return 0;
    return rest >= kLongestBackoffMs ? kLongestBackoffMs : static_cast<uint32_t>(rest) + 1;
}

// Waits for a non-blocking connect of `socket` to end: 0 once connected, else the socket error
// number; -1 when the thread no longer serves the slot (DeInit, a new Init).
int WaitConnected(uint16_t slot, uint32_t generation, ws::SOCKET socket) {
    const SocketApi& api = g_module.sockets;
    const uint32_t start = platform::TimeMs();
    for (;;) {
        if (!ThreadServes(slot, generation)) return -1;
        const uint32_t elapsed = platform::TimeMs() - start;
        if (elapsed >= kAttemptMs) return ws::kWsaETimedOut;
        uint32_t waitMs = kAttemptMs - elapsed;
        if (waitMs > kDownWaitMs) waitMs = kDownWaitMs;
        const ws::SOCKET wake = WakeChannelSocket(slot);
        ws::FdSet readSet{}, writeSet{}, exceptSet{};
        if (wake != ws::kInvalidSocket) readSet.fd_array[readSet.fd_count++] = wake;
        writeSet.fd_array[writeSet.fd_count++] = socket;
        exceptSet.fd_array[exceptSet.fd_count++] = socket;
        const ws::TimeVal timeout{0, static_cast<int32_t>(waitMs * 1000)};
        const int ready = api.select(0, readSet.fd_count != 0 ? &readSet : nullptr, &writeSet,
                                     &exceptSet, &timeout);
        if (ready == ws::kSocketError) return api.WSAGetLastError();
        if (ready == 0) continue;
        if (readSet.fd_count != 0) DrainWakeChannel(slot);
        if (writeSet.fd_count != 0) return 0;
        if (exceptSet.fd_count != 0) {
            int error = 0;
            int length = sizeof error;
            if (api.getsockopt == nullptr ||
                api.getsockopt(socket, ws::kSolSocket, ws::kSoError,
                               reinterpret_cast<char*>(&error), &length) != 0 ||
                error == 0) {
                error = ws::kWsaEConnRefused;
            }
            return error;
        }
    }
}

// Whether a connected socket's own address is the one it connected to.
bool ConnectedToItself(ws::SOCKET socket, const ws::SockAddrIn& remote) {
    const SocketApi& api = g_module.sockets;
    if (api.getsockname == nullptr) return false;
    ws::SockAddrIn local{};
    int length = sizeof local;
    if (api.getsockname(socket, reinterpret_cast<ws::SockAddr*>(&local), &length) != 0) {
        return false;
    }
    return local.sin_port == remote.sin_port && local.sin_addr.s_addr == remote.sin_addr.s_addr;
}

// One attempt to connect the slot again, with Init's calls and trace lines; the connect itself
// is made without blocking, so that DeInit is never held up by it. Returns the connected socket,
// or INVALID_SOCKET with the error in *error (0 when the thread was stopped meanwhile).
ws::SOCKET Connect(uint16_t slot, uint32_t generation, int* error) {
    const SocketApi& api = g_module.sockets;
    *error = 0;
    const char* ip = g_targets[slot].ip;
    const uint32_t address = api.inet_addr(ip);
    trace::InetAddr(trace::Shown(address), ip);

    const ws::SOCKET socket = api.socket(ws::kAfInet, ws::kSockStream, 0);
    const int socketError = socket == ws::kInvalidSocket ? api.WSAGetLastError() : 0;
    trace::SocketLine(trace::Shown(socket));
    if (socket == ws::kInvalidSocket) {
        *error = socketError;
        return ws::kInvalidSocket;
    }
    ws::SockAddrIn local{};
    local.sin_family = ws::kAfInet;
    const int bound = api.bind(socket, reinterpret_cast<const ws::SockAddr*>(&local), sizeof local);
    const int bindError = bound != 0 ? api.WSAGetLastError() : 0;
    trace::BindLine(bound, trace::Shown(socket));
    if (bound != 0) {
        trace::WsaGetLastError(bindError);
        api.closesocket(socket);
        *error = bindError;
        return ws::kInvalidSocket;
    }
    ws::SockAddrIn remote{};
    remote.sin_family = ws::kAfInet;
    remote.sin_addr.s_addr = address;
    const int port = SettingsNumber(g_targets[slot].port);
    remote.sin_port = api.htons(static_cast<uint16_t>(port));
    trace::Htons(remote.sin_port, port);

    uint32_t mode = 1;
    api.ioctlsocket(socket, static_cast<int32_t>(ws::kFionbio), &mode);
    int result = api.connect(socket, reinterpret_cast<const ws::SockAddr*>(&remote), sizeof remote);
    int failure = result == 0 ? 0 : api.WSAGetLastError();
    if (failure == ws::kWsaEWouldBlock) failure = WaitConnected(slot, generation, socket);
    mode = 0;
    api.ioctlsocket(socket, static_cast<int32_t>(ws::kFionbio), &mode);
    if (failure < 0) {  // stopped: leave without a trace line, as a failed Init's socket goes
        api.closesocket(socket);
        return ws::kInvalidSocket;
    }
    if (failure != 0) {
        trace::Connect(ws::kSocketError, trace::Shown(socket));
        trace::WsaGetLastError(failure);
        api.closesocket(socket);
        *error = failure;
        return ws::kInvalidSocket;
    }
    trace::Connect(0, trace::Shown(socket));
    if (ConnectedToItself(socket, remote)) {
        // Nothing listens on the device's port, and the system gave this socket that very port
        // as its own: TCP connects a socket to itself then. No device is there.
        api.closesocket(socket);
        *error = ws::kWsaEConnRefused;
        return ws::kInvalidSocket;
    }
    return socket;
}

uint32_t Doubled(uint32_t backoffMs) {
    return backoffMs >= kLongestBackoffMs / 2 ? kLongestBackoffMs : backoffMs * 2;
}

// The wait before the attempt after a failed one.
uint32_t NextBackoff(const LinkState& link) {
    const uint32_t doubled = Doubled(link.backoffMs);
    const bool early = platform::TimeMs() - link.outageSince < kQuickRetrySpanMs;
    return early && doubled > kQuickRetryMs ? kQuickRetryMs : doubled;
}

// What a new connection starts from, as after Init: every output is written again by the next
// WriteDO, and the counter clears start afresh. The kind stays.
void ResetShadows(DeviceSlot& slot) {
    for (auto& shadow : slot.outputShadow) Set(shadow, kShadowNothingRequested);
    for (auto& shadow : slot.counterClearShadow) Set(shadow, 0);
}

}  // namespace

void StartHealth(uint16_t slot) {
    DeviceSlot& device = g_devices[slot];
    Set(device.replyTimeoutMs, SlotReplyTimeoutMs(slot));
    Set(device.reconnects, SlotReconnect(slot) ? 1 : 0);
    Set(device.awaitingSince, -1.0);
    Set(device.linkError, 0);
    Set(device.staleUntilReply, 0);
    CopyField(g_targets[slot].ip, kShortFieldSize, g_settings.ip[slot]);
    CopyField(g_targets[slot].port, kShortFieldSize, g_settings.port[slot]);
    StartKeepAlive(slot);
}

void EndHealth(DeviceSlot& slot) {
    Set(slot.awaitingSince, -1.0);
    Set(slot.linkError, 0);
    Set(slot.staleUntilReply, 0);
}

double NoteRequestSent(DeviceSlot& slot) {
    double none = -1.0;
    const double now = TimeBase();
    return slot.awaitingSince.compare_exchange_strong(none, now, std::memory_order_relaxed) ? now
                                                                                            : -1.0;
}

void CancelRequest(DeviceSlot& slot, double stamp) {
    if (stamp < 0) return;
    slot.awaitingSince.compare_exchange_strong(stamp, -1.0, std::memory_order_relaxed);
}

bool IsStale(const DeviceSlot& slot, double now) {
    return UntilStale(slot, now) == 0;
}

void NoteSendFailed(uint16_t slot, int error) {
    if (slot >= kSlotCount || Get(g_devices[slot].reconnects) == 0 || error == 0) return;
    int32_t none = 0;
    g_devices[slot].linkError.compare_exchange_strong(none, error, std::memory_order_relaxed);
    WakeReceiveThread(slot);
}

bool KeepLink(uint16_t slotNumber, uint32_t generation, LinkState& link, int lostError,
              uint32_t* waitMs) {
    DeviceSlot& slot = g_devices[slotNumber];
    if (!link.down) {
        int error = Get(slot.linkError);  // a host send failed
        if (error == 0) error = lostError;
        const uint32_t untilStale = UntilStale(slot, TimeBase());
        if (error == 0 && untilStale == 0) error = ws::kWsaETimedOut;
        if (error == 0) {
            if (untilStale < *waitMs) *waitMs = untilStale;
            return false;
        }
        // Reads and writes report the loss from now on; the connection goes as DeInit closes it.
        Set(slot.linkError, error);
        CloseSlotConnection(slotNumber, slot.socket.exchange(ws::kInvalidSocket));
        // A connection that brought a reply was a good one: start the backoff afresh. One that
        // was lost before its first reply (a device that accepts and drops, or never answers)
        // counts as a failed attempt.
        const bool answered = Get(slot.staleUntilReply) == 0;
        link.down = true;
        if (answered || link.backoffMs == 0) {
            link.outageSince = platform::TimeMs();
            link.backoffMs = kFirstAttemptMs;
        } else {
            link.backoffMs = NextBackoff(link);
        }
        link.nextTryAt = platform::TimeMs() + link.backoffMs;
    }

    const uint32_t rest = Remaining(platform::TimeMs(), link.nextTryAt);
    if (rest > 0) {
        const uint32_t bound = rest < kDownWaitMs ? rest : kDownWaitMs;
        if (bound < *waitMs) *waitMs = bound;
        return true;
    }
    int error = 0;
    ws::SOCKET socket = Connect(slotNumber, generation, &error);
    if (socket == ws::kInvalidSocket) {
        if (error == 0) {  // stopped: the thread looks at its run flag at once
            *waitMs = 0;
            return true;
        }
        Set(slot.linkError, error);
        link.backoffMs = NextBackoff(link);
        link.nextTryAt = platform::TimeMs() + link.backoffMs;
        if (kDownWaitMs < *waitMs) *waitMs = kDownWaitMs;
        return true;
    }
    // Published before the test of the run flag, which DeInit clears before it takes the socket
    // out: either DeInit finds the new socket and closes it, or this thread sees the flag and
    // takes the socket back itself.
    slot.socket.store(socket);
    if (!ThreadServes(slotNumber, generation)) {
        ws::SOCKET published = socket;
        if (slot.socket.compare_exchange_strong(published, ws::kInvalidSocket)) {
            g_module.sockets.closesocket(socket);
        }
        *waitMs = 0;
        return true;
    }
    ResetShadows(slot);
    Set(slot.awaitingSince, -1.0);
    Set(slot.staleUntilReply, 1);
    // Release: a host that sees the loss ended also sees the fresh shadows and staleUntilReply.
    slot.linkError.store(0, std::memory_order_release);
    link.down = false;
    link.renewed = true;
    return false;
}

}  // namespace vexlor
