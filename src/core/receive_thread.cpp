// ThreadDev, the receive step and the wake-up channels of the receive threads.
//
// A receive thread spends its life in `select`: on the slot's socket (while the slot's kind has a
// parser) and on the slot's wake-up channel, a datagram socket bound to the loopback address to
// which the host side sends one byte when it clears runFlag or stamps a new kind. So a reply is
// decoded as soon as it arrives, DeInit and shut-down find the thread gone at once, and an idle
// slot costs nothing but a time-out now and then.
//
// Nothing depends on a wake-up arriving: the channel is checked when it is opened, and while the
// slot's socket is not in the select set the thread waits only briefly, so a datagram that a
// filter drops costs at most that wait. DeInit and shut-down have a fallback of their own
// (KickReceiveThread).
//
// Hand-off with the host side without locks: the thread counts itself in the slot's socketUsers
// before it tests runFlag and its generation, and leaves the count at the end of its pass, after
// it has decoded and stored what it received (but not while an error box is open). DeInit clears
// runFlag before it looks at socketUsers, and Init advances the generation before it does; with
// sequentially consistent operations on both sides at least one of the two sees the other, so a
// socket is never closed (and its number never handed to a new connection) while a thread that
// passed its test is still calling on it, and a retired thread never stores into the slot's next
// connection or touches the slot's flags again.
#include "core/receive_thread.h"

#include <atomic>
#include <cstring>

#include "core/device_table.h"
#include "core/health.h"
#include "core/keep_alive.h"
#include "platform/platform.h"
#include "trace/trace_sink.h"

namespace vexlor {
namespace {

std::atomic<ResponseParser> g_parsers[kKindCount];

// Receive threads per slot that were created and have not yet ended.
std::atomic<int32_t> g_running[kSlotCount];
std::atomic<int32_t> g_runningTotal{0};

// Longest wait of a thread with a wake-up channel while the slot's socket is in its select set:
// a reply, the end of the connection and DeInit's fallback all end the wait, so this only bounds
// what a lost wake-up could cost.
constexpr uint32_t kIdleWaitMs = 1000;
// Longest wait while the slot's socket is not in the select set (none is established yet, it
// ended or failed, or, without a wake-up channel, bytes in it wait for a kind): it bounds how
// late the thread notices a change that no wake-up reports.
constexpr uint32_t kUnwatchedWaitMs = 20;
// Longest wait while bytes wait in the socket for a kind to be stamped.
constexpr uint32_t kPendingWaitMs = 250;
// The wait of a thread without a wake-up channel while the slot has no established connection:
// it must notice runFlag, kind and socket by itself.
constexpr uint32_t kPollMs = 1;
// After a failed select or recv the slot's socket is left alone this long, so that a socket in a
// lasting error state does not keep the thread spinning.
constexpr uint32_t kRetryMs = 100;
// How long a new wake-up channel may take to deliver a byte to itself before it is given up.
constexpr uint32_t kChannelCheckMs = 200;

struct WakeChannel {
    std::atomic<ws::SOCKET> socket{ws::kInvalidSocket};
    ws::SockAddrIn address{};  // written before socket is published
    // Host threads between loading `socket` and the end of their sendto: the channel is closed
    // only when there are none, so that no wake-up byte can go to a socket number that the
    // system has since given to a device connection.
    std::atomic<int32_t> senders{0};
};
WakeChannel g_wake[kSlotCount];

void CountStarted(uint16_t slot) {
    g_running[slot].fetch_add(1);
    g_runningTotal.fetch_add(1);
}

void CountEnded(uint16_t slot) {
    g_running[slot].fetch_sub(1);
    g_runningTotal.fetch_sub(1);
}

bool Current(const DeviceSlot& slot, uint32_t generation) {
    return GenerationOf(slot.threadGeneration.load()) == generation;
}

void AddToSet(ws::FdSet& set, ws::SOCKET socket) {
    if (socket != ws::kInvalidSocket) set.fd_array[set.fd_count++] = socket;
}

bool InSet(const ws::FdSet& set, ws::SOCKET socket) {
    for (uint32_t i = 0; i < set.fd_count && i < ws::kFdSetSize; ++i) {
        if (set.fd_array[i] == socket) return true;
    }
    return false;
}

// What one thread remembers about the slot's socket between passes.
struct SocketWatch {
    ws::SOCKET ended = ws::kInvalidSocket;    // reported the end of the connection
    ws::SOCKET failing = ws::kInvalidSocket;  // select or recv failed on it at failedAt
    uint32_t failedAt = 0;
    ws::SOCKET pending = ws::kInvalidSocket;  // readable while no parser takes its bytes

    // The socket to wait on in this pass, or INVALID_SOCKET; *waitMs is cut to the end of a
    // pause after a failure.
    ws::SOCKET Watched(ws::SOCKET socket, uint32_t now, uint32_t* waitMs) const {
        if (socket == ws::kInvalidSocket || socket == ended || socket == pending) {
            return ws::kInvalidSocket;
        }
        if (socket == failing) {
            const uint32_t rest = RemainingMs(now, failedAt, kRetryMs);
            if (rest > 0) {
                if (rest < *waitMs) *waitMs = rest;
                return ws::kInvalidSocket;
            }
        }
        return socket;
    }
    void Failed(ws::SOCKET socket, uint32_t now, int error = 0) {
        failing = socket;
        failedAt = now;
        failError = error != 0 ? error : ws::kWsaEConnReset;
    }
    int failError = 0;
};

// Reads the wake-up bytes waiting in a channel (each wake-up is one byte; one read takes them).
void Drain(ws::SOCKET wake) {
    char drained[16];
    g_module.sockets.recvfrom(wake, drained, sizeof drained, 0, nullptr, nullptr);
}

// Waits for the wake-up channel alone, at most waitMs; sleeps that long without a channel.
void WaitForWakeUp(ws::SOCKET wake, uint32_t waitMs) {
    if (wake == ws::kInvalidSocket) {
        platform::Sleep(waitMs < kPollMs ? kPollMs : waitMs);
        return;
    }
    ws::FdSet readSet{};
    AddToSet(readSet, wake);
    const ws::TimeVal timeout{static_cast<int32_t>(waitMs / 1000),
                              static_cast<int32_t>(waitMs % 1000 * 1000)};
    if (g_module.sockets.select(0, &readSet, nullptr, nullptr, &timeout) > 0) Drain(wake);
}

}  // namespace

void RegisterResponseParser(int32_t kind, ResponseParser parser) {
    if (kind > 0 && kind < kKindCount) g_parsers[kind].store(parser, std::memory_order_release);
}

ResponseParser ParserForKind(int32_t kind) {
    if (kind <= 0 || kind >= kKindCount) return nullptr;
    return g_parsers[kind].load(std::memory_order_acquire);
}

int ReceiveStep::Receive(char* buffer, int size) {
    if (!readable_ || called_ || left_) return 0;
    called_ = true;
    result_ = g_module.sockets.recv(socket_, buffer, size, 0);
    return result_ > 0 ? result_ : 0;
}

bool ReceiveStep::ShowErrorBox(const char* caption, const char* text, int length) {
    Leave();
    ShowReplyErrorBox(caption, text, length);
    // Counted again before the test, as at the start of a pass: a DeInit or Init that has not
    // seen the count has already changed what the test reads.
    use_.Enter();
    left_ = false;
    return Serving();
}

bool ReceiveStep::Serving() const {
    return ThreadServes(slot_, generation_);
}

bool ThreadServes(uint16_t slot, uint32_t generation) {
    const DeviceSlot& device = g_devices[slot];
    return device.runFlag.load() != 0 && Current(device, generation);
}

ws::SOCKET WakeChannelSocket(uint16_t slot) {
    return slot < kSlotCount ? g_wake[slot].socket.load(std::memory_order_acquire)
                             : ws::kInvalidSocket;
}

void DrainWakeChannel(uint16_t slot) {
    const ws::SOCKET wake = WakeChannelSocket(slot);
    if (wake != ws::kInvalidSocket) Drain(wake);
}

void ReceiveStep::Leave() {
    left_ = true;
    use_.Leave();
}

uint32_t ThreadDev(void* argument) {
    const uint16_t slotNumber = static_cast<uint16_t>(ArgumentSlot(argument) % kSlotCount);
    const uint32_t generation = ArgumentGeneration(argument);
    DeviceSlot& slot = g_devices[slotNumber];
    const SocketApi& api = g_module.sockets;

    // A thread that a newer Init has replaced (generation changed) leaves the slot's flags to the
    // new thread; counting itself as a socket user makes the test and the store one step for
    // Init, which waits for the count before it starts the new thread.
    {
        SocketUse use(slot);
        if (Current(slot, generation)) slot.threadAlive.store(1, std::memory_order_release);
    }
    platform::SetCurrentThreadPriorityNormal();
    trace::ThreadPriority(0);

    ReceiveCarry carry;
    int32_t carryKind = kKindNone;
    SocketWatch watch;
    LinkState link;
    for (;;) {
        // Counted from before the test of the run flag to the end of the pass's socket calls and
        // stores (see the top of this file).
        SocketUse use(slot);
        if (slot.runFlag.load() == 0 || !Current(slot, generation)) break;
        const int32_t kind = Get(slot.kind);
        const ResponseParser parser = ParserForKind(kind);
        if (kind != carryKind) {  // what one family held means nothing to another
            carry = ReceiveCarry{};
            carryKind = kind;
        }

        const ws::SOCKET wake = g_wake[slotNumber].socket.load(std::memory_order_acquire);
        uint32_t waitMs = wake != ws::kInvalidSocket ? kIdleWaitMs : kPollMs;
        // The slot's socket counts only once its connection is established: one that Init (or a
        // reconnect) is still connecting is neither watched nor ever taken for a lost one.
        // Acquire: the socket is published before the connection's number.
        const uint32_t connection = slot.connection.load();
        const bool established = (connection & 1u) != 0;
        const ws::SOCKET held =
            established ? slot.socket.load(std::memory_order_acquire) : ws::kInvalidSocket;
        if (!IsThermometerKind(kind) && (established || link.down)) {
            SeenConnection seen{connection, held, 0};
            if (held != ws::kInvalidSocket && held == watch.ended) {
                seen.lostError = ws::kWsaEConnReset;
            }
            if (held != ws::kInvalidSocket && held == watch.failing) {
                seen.lostError = watch.failError;
            }
            if (const int failed = FailedSendOn(slot, connection); established && failed != 0) {
                seen.lostError = failed;
            }
            if (KeepLink(slotNumber, generation, link, seen, &waitMs)) {
                use.Leave();
                WaitForWakeUp(wake, waitMs);
                continue;
            }
            if (link.renewed) {  // a new connection: nothing of the old one applies
                link.renewed = false;
                watch = SocketWatch{};
                carry = ReceiveCarry{};
                continue;  // starts over with the new connection's number and socket
            }
        }
        const uint32_t now = platform::TimeMs();
        const bool holding = parser != nullptr && carry.length > 0 && carry.flushWhenQuiet;
        if (holding) {
            const uint32_t rest = RemainingMs(now, carry.heldSince, carry.quietMs);
            if (rest < waitMs) waitMs = rest;
        }
        // The socket is watched at kind 0 too, so that a reply wakes the thread even when the
        // wake-up of the kind stamp before its request was lost; bytes that arrive while the
        // kind is still 0 wait in the socket until one is stamped.
        const ws::SOCKET current = held;
        if (watch.pending != current || parser != nullptr) watch.pending = ws::kInvalidSocket;
        // An open connection that has sent nothing for its keep-alive time sends a request.
        if (current != watch.ended) KeepAlive(slotNumber, kind, &waitMs);
        const ws::SOCKET socket = watch.Watched(current, now, &waitMs);
        if (socket == ws::kInvalidSocket) {
            // Before the slot has an established connection a thread without a wake-up channel
            // polls; one with a channel is woken when Init or a reconnect has connected.
            uint32_t bound = current == ws::kInvalidSocket && wake == ws::kInvalidSocket
                                 ? kPollMs
                                 : kUnwatchedWaitMs;
            // Bytes at kind 0 (a keep-alive's reply, say) wait for a kind stamp, whose wake-up
            // ends the wait: the bound only covers a lost one, and keeps idle slots cheap.
            if (current == watch.pending && wake != ws::kInvalidSocket) bound = kPendingWaitMs;
            if (waitMs > bound) waitMs = bound;
        }

        ws::FdSet readSet{};
        AddToSet(readSet, wake);
        AddToSet(readSet, socket);
        bool readable = false;
        if (readSet.fd_count == 0) {
            use.Leave();
            platform::Sleep(kPollMs);
            continue;
        }
        const ws::TimeVal timeout{static_cast<int32_t>(waitMs / 1000),
                                  static_cast<int32_t>(waitMs % 1000 * 1000)};
        const int ready = api.select(0, &readSet, nullptr, nullptr, &timeout);
        if (ready == ws::kSocketError) {
            // Never go on to recv after a failed select: on a blocking socket it could wait for
            // as long as the device stays silent.
            if (socket == ws::kInvalidSocket) {
                use.Leave();
                platform::Sleep(kPollMs);
                continue;
            }
            watch.Failed(socket, now);
        } else if (ready > 0) {
            if (wake != ws::kInvalidSocket && InSet(readSet, wake)) Drain(wake);
            readable = socket != ws::kInvalidSocket && InSet(readSet, socket);
        }

        if (readable && parser == nullptr) {
            // Bytes at kind 0: look again for a kind shortly, without spinning on them.
            if (Get(slot.kind) == kind) watch.pending = socket;
            continue;
        }
        // The kind may have changed while the thread waited: start over with the new one.
        const bool quiet = holding && !readable &&
                           RemainingMs(platform::TimeMs(), carry.heldSince, carry.quietMs) == 0;
        if (Get(slot.kind) != kind || (!readable && !quiet)) continue;

        ReceiveStep step(slotNumber, generation, socket, readable, carry, use);
        parser(step);
        step.Leave();
        if (step.Called()) {
            if (step.Result() == 0) watch.ended = socket;  // nothing more can come
            if (step.Result() < 0) watch.Failed(socket, now, api.WSAGetLastError());
        }
    }

    {
        SocketUse use(slot);
        if (Current(slot, generation)) slot.threadAlive.store(0, std::memory_order_release);
    }
    trace::ThreadExit();
    CountEnded(slotNumber);
    return 0;
}

platform::ThreadHandle StartReceiveThread(uint16_t slot, uint32_t generation, uint32_t* threadId) {
    CountStarted(slot);
    platform::ThreadHandle handle =
        platform::CreateThread(ThreadDev, PackThreadArgument(slot, generation), threadId);
    if (handle == nullptr) CountEnded(slot);
    return handle;
}

int RunningReceiveThreads(uint16_t slot) {
    return slot < kSlotCount ? g_running[slot].load() : 0;
}

int RunningReceiveThreads() {
    return g_runningTotal.load();
}

namespace {

// Sends one byte to the channel itself and waits (at most kChannelCheckMs) for it to arrive.
bool ChannelDelivers(ws::SOCKET socket, const ws::SockAddrIn& address) {
    const SocketApi& api = g_module.sockets;
    const char probe = 0;
    if (api.sendto(socket, &probe, 1, 0, reinterpret_cast<const ws::SockAddr*>(&address),
                   sizeof address) != 1) {
        return false;
    }
    ws::FdSet readSet{};
    AddToSet(readSet, socket);
    const ws::TimeVal timeout{0, static_cast<int32_t>(kChannelCheckMs * 1000)};
    if (api.select(0, &readSet, nullptr, nullptr, &timeout) != 1) return false;
    char drained[16];
    return api.recvfrom(socket, drained, sizeof drained, 0, nullptr, nullptr) == 1;
}

}  // namespace

void OpenWakeChannel(uint16_t slot) {
    if (slot >= kSlotCount) return;
    WakeChannel& channel = g_wake[slot];
    if (channel.socket.load() != ws::kInvalidSocket) return;
    const SocketApi& api = g_module.sockets;
    if (api.getsockname == nullptr || api.sendto == nullptr || api.recvfrom == nullptr) return;

    const ws::SOCKET socket = api.socket(ws::kAfInet, ws::kSockDgram, 0);
    if (socket == ws::kInvalidSocket) return;
    ws::SockAddrIn local{};
    local.sin_family = ws::kAfInet;
    const unsigned char loopback[4] = {127, 0, 0, 1};  // network order
    std::memcpy(&local.sin_addr.s_addr, loopback, sizeof loopback);
    ws::SockAddrIn bound{};
    int length = sizeof bound;
    if (api.bind(socket, reinterpret_cast<const ws::SockAddr*>(&local), sizeof local) != 0 ||
        api.getsockname(socket, reinterpret_cast<ws::SockAddr*>(&bound), &length) != 0 ||
        bound.sin_port == 0) {
        api.closesocket(socket);
        return;
    }
    bound.sin_family = ws::kAfInet;
    std::memcpy(&bound.sin_addr.s_addr, loopback, sizeof loopback);
    if (!ChannelDelivers(socket, bound)) {
        // Something drops loopback datagrams (a filter, endpoint security): run without the
        // channel, as without getsockname, rather than rely on wake-ups that never come.
        api.closesocket(socket);
        return;
    }
    channel.address = bound;
    channel.socket.store(socket);
}

void WakeReceiveThread(uint16_t slot) {
    if (slot >= kSlotCount) return;
    WakeChannel& channel = g_wake[slot];
    channel.senders.fetch_add(1);
    const ws::SOCKET socket = channel.socket.load();
    if (socket != ws::kInvalidSocket) {
        const char signal = 1;
        g_module.sockets.sendto(socket, &signal, 1, 0,
                                reinterpret_cast<const ws::SockAddr*>(&channel.address),
                                sizeof channel.address);
    }
    channel.senders.fetch_sub(1);
}

void KickReceiveThread(uint16_t slot) {
    if (slot >= kSlotCount) return;
    DeviceSlot& device = g_devices[slot];
    // Counted as a host sender, so that DeInit cannot close the socket under this call.
    SlotSend use(device);
    if (device.socketUsers.load() == 0 || use.Socket() == ws::kInvalidSocket) return;
    if (g_module.sockets.shutdown != nullptr)
        g_module.sockets.shutdown(use.Socket(), ws::kSdReceive);
}

void StampKind(uint16_t slot, int32_t kind) {
    if (slot >= kSlotCount) return;
    if (g_devices[slot].kind.exchange(kind, std::memory_order_relaxed) != kind) {
        WakeReceiveThread(slot);
    }
}

bool WaitForSocketUsers(uint16_t slot, uint32_t timeoutMs) {
    if (slot >= kSlotCount) return true;
    const std::atomic<int32_t>& users = g_devices[slot].socketUsers;
    for (uint32_t waited = 0; users.load() != 0; ++waited) {
        if (waited >= timeoutMs) return false;
        platform::Sleep(1);
    }
    return true;
}

void CloseWakeChannel(uint16_t slot) {
    if (slot >= kSlotCount) return;
    WakeChannel& channel = g_wake[slot];
    const ws::SOCKET socket = channel.socket.exchange(ws::kInvalidSocket);
    if (socket == ws::kInvalidSocket) return;
    // A sender holds the channel for the length of one sendto.
    for (int waited = 0; channel.senders.load() != 0 && waited < 100; ++waited) platform::Sleep(1);
    if (g_module.sockets.closesocket != nullptr) g_module.sockets.closesocket(socket);
}

void CloseWakeChannels(bool waitForThreads) {
    uint32_t budgetMs = waitForThreads ? kIdleWaitMs : 0;  // for all slots together
    for (uint16_t slot = 0; slot < kSlotCount; ++slot) {
        if (g_wake[slot].socket.load() == ws::kInvalidSocket) continue;
        while (budgetMs > 0 && g_devices[slot].socketUsers.load() != 0) {
            platform::Sleep(1);
            --budgetMs;
        }
        if (waitForThreads) {
            CloseWakeChannel(slot);
        } else {
            const ws::SOCKET socket = g_wake[slot].socket.exchange(ws::kInvalidSocket);
            if (g_module.sockets.closesocket != nullptr) g_module.sockets.closesocket(socket);
        }
    }
}

}  // namespace vexlor
