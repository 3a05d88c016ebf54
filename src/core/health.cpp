// Connection health: the one send of the device functions, stale values reported as 10060,
// lost connections, and the background reconnect of a slot that has "Reconnect" set. See health.h.
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

constexpr uint64_t kAwaiting = uint64_t{1} << 32;   // DeviceSlot::awaiting: a request is out
constexpr uint64_t kStaleSeen = uint64_t{1} << 33;  // ... and has been found to wait too long
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

// Milliseconds until the slot goes stale (0: it is), or kLongestBackoffMs when nothing is out.
uint32_t UntilStale(const DeviceSlot& slot, uint32_t now) {
    const int32_t timeout = Get(slot.replyTimeoutMs);
    const uint64_t awaiting = Get(slot.awaiting);
    if (timeout <= 0 || awaiting == 0) return kLongestBackoffMs;
    if ((awaiting & kStaleSeen) != 0) return 0;
    const uint32_t rest =
        UntilTimeout(now, static_cast<uint32_t>(awaiting), static_cast<uint32_t>(timeout));
    return rest < kLongestBackoffMs ? rest : kLongestBackoffMs;
}

// Starts the reply wait unless one is running; returns the stamp it set, else 0.
uint64_t StampRequest(DeviceSlot& slot) {
    uint64_t none = 0;
    const uint64_t stamp = kAwaiting | platform::TimeMs();
    return slot.awaiting.compare_exchange_strong(none, stamp, std::memory_order_relaxed) ? stamp
                                                                                         : 0;
}

// Takes back a stamp whose send failed, unless a reply or a stale mark came meanwhile.
void CancelStamp(DeviceSlot& slot, uint64_t stamp) {
    if (stamp != 0) slot.awaiting.compare_exchange_strong(stamp, 0, std::memory_order_relaxed);
}

// Notes a host send that failed on connection number `connection`, unless a failure of this or
// a later connection is noted already, and wakes the receive thread to take the loss.
void NoteFailedSend(uint16_t slotNumber, uint32_t connection, int error) {
    if ((connection & 1u) == 0) return;  // no connection was established: nothing to lose
    DeviceSlot& slot = g_devices[slotNumber];
    const uint64_t noted = (uint64_t{connection} << 32) | static_cast<uint32_t>(error);
    uint64_t seen = slot.failedSend.load();
    while (static_cast<int32_t>(connection - static_cast<uint32_t>(seen >> 32)) > 0 &&
           !slot.failedSend.compare_exchange_weak(seen, noted)) {
    }
    WakeReceiveThread(slotNumber);
}

// Waits for a non-blocking connect of `socket` to end: 0 once connected, else the socket error
// number; -1 when the thread no longer serves the slot (DeInit, a new Init).
int WaitConnected(uint16_t slot, uint32_t generation, ws::SOCKET socket) {
    const SocketApi& api = g_module.sockets;
    const uint32_t start = platform::TimeMs();
    for (;;) {
        if (!ThreadServes(slot, generation)) return -1;
        const uint32_t elapsed = ElapsedMs(platform::TimeMs(), start);
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
    const bool early = ElapsedMs(platform::TimeMs(), link.outageSince) < kQuickRetrySpanMs;
    return early && doubled > kQuickRetryMs ? kQuickRetryMs : doubled;
}

// What a new connection starts from: every output is written again by the next write (a
// device that restarted has its outputs off). The counter-clear shadows and the error clear are
// kept: clearing again on a new connection would only lose the device's counts. The kind stays.
void ResetOutputShadows(DeviceSlot& slot) {
    for (auto& shadow : slot.outputShadow) Set(shadow, kShadowNothingRequested);
}

}  // namespace

void StartHealth(uint16_t slot) {
    DeviceSlot& device = g_devices[slot];
    Set(device.replyTimeoutMs, SlotReplyTimeoutMs(slot));
    Set(device.reconnects, SlotReconnect(slot) ? 1 : 0);
    Set(device.awaiting, 0);
    device.linkError.store(0);  // after the generation's advance: see KeepLossOwn
    Set(device.staleUntilReply, 0);
    // Down, and on to a number no earlier thread can hold as the one it left its own connection
    // at, in one step, so that no such thread can bring this Init's connection up meanwhile.
    uint32_t number = device.connection.load();
    while (
        !device.connection.compare_exchange_weak(number, number + ((number & 1u) != 0 ? 3 : 2))) {
    }
    CopyField(g_targets[slot].ip, kShortFieldSize, g_settings.ip[slot]);
    CopyField(g_targets[slot].port, kShortFieldSize, g_settings.port[slot]);
    StartKeepAlive(slot);
}

void EndHealth(DeviceSlot& slot) {
    MarkConnectionDown(slot);
    Set(slot.awaiting, 0);
    slot.linkError.store(0);  // after the run flag's clear: see KeepLossOwn
    Set(slot.staleUntilReply, 0);
}

void MarkConnectionUp(DeviceSlot& slot) {
    uint32_t number = slot.connection.load();
    while ((number & 1u) == 0 && !slot.connection.compare_exchange_weak(number, number + 1)) {
    }
}

void MarkConnectionDown(DeviceSlot& slot) {
    uint32_t number = slot.connection.load();
    while ((number & 1u) != 0 && !slot.connection.compare_exchange_weak(number, number + 1)) {
    }
}

int ConnectionError(const DeviceSlot& slot) {
    // Acquire: the receive thread clears linkError with a release store once a new connection
    // and its fields are in place.
    return slot.linkError.load(std::memory_order_acquire);
}

int SendRequest(uint16_t slotNumber, const char* bytes, int length, int shownLength,
                RequestSort sort, bool onlyWhenFree) {
    DeviceSlot& slot = g_devices[slotNumber];
    if (const int lost = ConnectionError(slot); lost != 0) {
        return sort == RequestSort::kRead ? 0 : lost;
    }
    const uint64_t stamp = sort != RequestSort::kWriteUnanswered ? StampRequest(slot) : 0;
    const SocketApi& api = g_module.sockets;
    // The connection's number is loaded before the socket, so a failure noted for it belongs to
    // that connection or to none: a newer connection publishes its socket before its number.
    const uint32_t connection = slot.connection.load();
    SlotSend use(slot);
    const ws::SOCKET socket = use.Socket();
    SendTurn turn(slotNumber, onlyWhenFree);  // a keep-alive and a host send never mix bytes
    if (!turn.Held()) {
        CancelStamp(slot, stamp);
        return kSendSkipped;
    }
    const int result = api.send(socket, bytes, length, 0);
    const auto shownSocket = static_cast<int32_t>(socket);
    if (result != ws::kSocketError) {
        trace::Send(result, shownSocket, bytes, shownLength, length);
        return 0;
    }
    // Read before the trace lines: a trace library may change the thread's last error.
    const int error = api.WSAGetLastError();
    trace::Send(ws::kSocketError, shownSocket, bytes, shownLength, length);
    trace::WsaGetLastError(error);
    CancelStamp(slot, stamp);
    // A failed send is a failure even when the socket layer has no error number for it.
    const int failure = error != 0 ? error : ws::kWsaSysCallFailure;
    NoteFailedSend(slotNumber, connection, failure);
    return failure;
}

uint32_t UntilTimeout(uint32_t now, uint32_t stamp, uint32_t timeoutMs) {
    uint32_t elapsed = ElapsedMs(now, stamp);
    if (elapsed > UINT32_MAX - kStampAheadMs) elapsed = 0;  // stamped just after `now`
    return elapsed > timeoutMs ? 0 : timeoutMs - elapsed + 1;
}

bool CheckStale(DeviceSlot& slot, uint32_t now) {
    uint64_t awaiting = Get(slot.awaiting);
    if (awaiting == 0 || Get(slot.replyTimeoutMs) <= 0) return false;
    if ((awaiting & kStaleSeen) != 0) return true;
    if (UntilStale(slot, now) != 0) return false;
    // Marked in the same word, so that a reply that clears it meanwhile wins.
    if (slot.awaiting.compare_exchange_strong(awaiting, awaiting | kStaleSeen,
                                              std::memory_order_relaxed)) {
        return true;
    }
    return (awaiting & kStaleSeen) != 0;
}

int ReadResult(DeviceSlot& slot) {
    if (const int lost = ConnectionError(slot); lost != 0) return lost;
    // After a reconnect the values are those of the lost connection until a reply comes.
    if (Get(slot.staleUntilReply) != 0 && Get(slot.replyTimeoutMs) != 0) {
        return ws::kWsaETimedOut;
    }
    // `now` holds the counter's value, 0 .. 2^32 - 1, as a double: the conversion is exact.
    return CheckStale(slot, static_cast<uint32_t>(Get(slot.now))) ? ws::kWsaETimedOut : 0;
}

int FailedSendOn(const DeviceSlot& slot, uint32_t connection) {
    const uint64_t noted = slot.failedSend.load();
    return static_cast<uint32_t>(noted >> 32) == connection ? static_cast<int32_t>(noted) : 0;
}

namespace {

// A thread that set linkError after DeInit and a new Init took the slot over (it was held up
// between its look at the connection and the store) takes its error back, so that the new
// connection is not reported lost. The store and this look are both sequentially consistent, so
// that one of them sees the other: either Init clears the error after the store, or the look
// sees that the thread no longer serves.
void KeepLossOwn(uint16_t slotNumber, uint32_t generation, int error) {
    if (ThreadServes(slotNumber, generation)) return;
    int32_t stored = error;
    g_devices[slotNumber].linkError.compare_exchange_strong(stored, 0);
}

}  // namespace

bool KeepLink(uint16_t slotNumber, uint32_t generation, LinkState& link, const SeenConnection& seen,
              uint32_t* waitMs) {
    DeviceSlot& slot = g_devices[slotNumber];
    const bool reconnects = Get(slot.reconnects) != 0;
    if (!link.down) {
        // Checked here too, so that a silence is remembered as stale even when nobody reads.
        const uint32_t now = platform::TimeMs();
        const bool stale = CheckStale(slot, now);
        int error = seen.lostError;
        if (error == 0 && reconnects && stale) error = ws::kWsaETimedOut;
        if (error == 0) {
            if (reconnects) {
                const uint32_t untilStale = UntilStale(slot, now);
                if (untilStale < *waitMs) *waitMs = untilStale;
            }
            return false;
        }
        // A connection that is no longer the pass's own (DeInit has ended it, a new Init has
        // put another in its place) belongs to whoever changed it: the next pass finds out.
        if (slot.connection.load() != seen.number) {
            *waitMs = 0;
            return true;
        }
        if (!reconnects) {
            // Reads and writes report the loss until DeInit and Init.
            int32_t none = 0;
            if (slot.linkError.compare_exchange_strong(none, error)) {
                KeepLossOwn(slotNumber, generation, error);
            }
            return false;
        }
        // The connection's number is taken from the pass's own only: whichever of this thread
        // and DeInit moves it on owns the end of the connection, its socket included.
        uint32_t number = seen.number;
        if (!slot.connection.compare_exchange_strong(number, seen.number + 1)) {
            *waitMs = 0;
            return true;
        }
        // Reads and writes report the loss from now on.
        slot.linkError.store(error);
        KeepLossOwn(slotNumber, generation, error);
        ws::SOCKET socket = seen.socket;
        if (slot.socket.compare_exchange_strong(socket, ws::kInvalidSocket)) {
            CloseSlotConnection(slotNumber, seen.socket);
        }
        link.downNumber = seen.number + 1;
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
        link.waitFrom = platform::TimeMs();
    }

    const uint32_t rest = RemainingMs(platform::TimeMs(), link.waitFrom, link.backoffMs);
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
        slot.linkError.store(error);
        KeepLossOwn(slotNumber, generation, error);
        link.backoffMs = NextBackoff(link);
        link.waitFrom = platform::TimeMs();
        if (kDownWaitMs < *waitMs) *waitMs = kDownWaitMs;
        return true;
    }
    // Published before the test of the run flag, which DeInit clears before it takes the socket
    // out: either DeInit finds the new socket and closes it, or this thread sees the flag and
    // takes the socket back itself. The socket comes before the connection's number, so that a
    // host send that loads the new number sends on the new socket. Both go in only where the
    // slot still holds what this thread left: no socket, and the number it took down.
    ws::SOCKET none = ws::kInvalidSocket;
    if (!slot.socket.compare_exchange_strong(none, socket)) {
        // A socket of a thread held up past DeInit and Init: counted as a failed attempt, so
        // that this thread does not connect again at once while it is there.
        g_module.sockets.closesocket(socket);
        link.backoffMs = NextBackoff(link);
        link.waitFrom = platform::TimeMs();
        if (kDownWaitMs < *waitMs) *waitMs = kDownWaitMs;
        return true;
    }
    uint32_t number = link.downNumber;
    const bool up = slot.connection.compare_exchange_strong(number, link.downNumber + 1);
    if (!up || !ThreadServes(slotNumber, generation)) {
        uint32_t own = link.downNumber + 1;
        if (up && slot.connection.compare_exchange_strong(own, own + 1)) link.downNumber = own + 1;
        ws::SOCKET published = socket;
        if (slot.socket.compare_exchange_strong(published, ws::kInvalidSocket)) {
            g_module.sockets.closesocket(socket);
        }
        *waitMs = 0;
        return true;
    }
    ResetOutputShadows(slot);
    Set(slot.awaiting, 0);
    Set(slot.staleUntilReply, 1);
    // Release: a host that sees the loss ended also sees the fresh shadows and staleUntilReply.
    slot.linkError.store(0, std::memory_order_release);
    link.down = false;
    link.renewed = true;
    return false;
}

}  // namespace vexlor
