// ThreadDev, the receive step and the wake-up channels of the receive threads.
//
// A receive thread spends its life in `select`: on the slot's socket (while the slot's kind has a
// parser) and on the slot's wake-up channel, a datagram socket bound to the loopback address to
// which the host side sends one byte when it clears runFlag or stamps a new kind. So a reply is
// decoded as soon as it arrives, DeInit and shut-down find the thread gone at once, and an idle
// slot costs nothing but a time-out now and then.
//
// Hand-off with the host side without locks: the thread counts itself in the slot's socketUsers
// before it tests runFlag and its generation, and leaves the count once its calls on the slot's
// socket are done (before it decodes or shows an error box). DeInit clears runFlag before it
// looks at socketUsers, and Init advances the generation before it does; with sequentially
// consistent operations on both sides at least one of the two sees the other, so a socket is
// never closed (and its number never handed to a new connection) while a thread that passed its
// test is still calling on it, and a retired thread never touches the slot's flags again.
#include "core/receive_thread.h"

#include <atomic>
#include <cstring>

#include "core/device_table.h"
#include "platform/platform.h"
#include "trace/trace_sink.h"

namespace vexlor {
namespace {

constexpr int kKindSlots = 7;  // kinds 0..6
std::atomic<ResponseParser> g_parsers[kKindSlots];

// Receive threads per slot that were created and have not yet ended.
std::atomic<int32_t> g_running[kSlotCount];
std::atomic<int32_t> g_runningTotal{0};

// Longest wait of a thread with a wake-up channel: nothing needs a time-out then, so this only
// bounds what a lost wake-up could cost.
constexpr uint32_t kIdleWaitMs = 1000;
// The wait of a thread without a wake-up channel: it must notice runFlag and kind by itself.
constexpr uint32_t kPollMs = 1;
// After a failed select or recv the slot's socket is left alone this long, so that a socket in a
// lasting error state does not keep the thread spinning.
constexpr uint32_t kRetryMs = 100;

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

uint32_t Remaining(uint32_t now, uint32_t since, uint32_t span) {
    const uint32_t elapsed = now - since;  // wraps with the counter
    return elapsed >= span ? 0 : span - elapsed;
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

    // The socket to wait on in this pass, or INVALID_SOCKET; *waitMs is cut to the end of a
    // pause after a failure.
    ws::SOCKET Watched(ws::SOCKET socket, uint32_t now, uint32_t* waitMs) const {
        if (socket == ws::kInvalidSocket || socket == ended) return ws::kInvalidSocket;
        if (socket == failing) {
            const uint32_t rest = Remaining(now, failedAt, kRetryMs);
            if (rest > 0) {
                if (rest < *waitMs) *waitMs = rest;
                return ws::kInvalidSocket;
            }
        }
        return socket;
    }
    void Failed(ws::SOCKET socket, uint32_t now) {
        failing = socket;
        failedAt = now;
    }
};

}  // namespace

void RegisterResponseParser(int32_t kind, ResponseParser parser) {
    if (kind > 0 && kind < kKindSlots) g_parsers[kind].store(parser, std::memory_order_release);
}

ResponseParser ParserForKind(int32_t kind) {
    if (kind <= 0 || kind >= kKindSlots) return nullptr;
    return g_parsers[kind].load(std::memory_order_acquire);
}

int ReceiveStep::Receive(char* buffer, int size) {
    if (!readable_ || called_ || left_) return 0;
    called_ = true;
    result_ = g_module.sockets.recv(socket_, buffer, size, 0);
    Leave();
    return result_ > 0 ? result_ : 0;
}

bool ReceiveStep::Serving() const {
    const DeviceSlot& slot = g_devices[slot_];
    return slot.runFlag.load() != 0 && Current(slot, generation_);
}

void ReceiveStep::Leave() {
    if (left_) return;
    left_ = true;
    g_devices[slot_].socketUsers.fetch_sub(1);
}

uint32_t ThreadDev(void* argument) {
    const uint16_t slotNumber = static_cast<uint16_t>(ArgumentSlot(argument) % kSlotCount);
    const uint32_t generation = ArgumentGeneration(argument);
    DeviceSlot& slot = g_devices[slotNumber];
    const SocketApi& api = g_module.sockets;

    // A thread that a newer Init has replaced (generation changed) leaves the slot's flags to the
    // new thread; counting itself as a socket user makes the test and the store one step for
    // Init, which waits for the count before it starts the new thread.
    slot.socketUsers.fetch_add(1);
    if (Current(slot, generation)) slot.threadAlive.store(1, std::memory_order_release);
    slot.socketUsers.fetch_sub(1);
    platform::SetCurrentThreadPriorityNormal();
    trace::ThreadPriority(0);

    ReceiveCarry carry;
    int32_t carryKind = kKindNone;
    SocketWatch watch;
    for (;;) {
        slot.socketUsers.fetch_add(1);
        if (slot.runFlag.load() == 0 || !Current(slot, generation)) {
            slot.socketUsers.fetch_sub(1);
            break;
        }
        const int32_t kind = Get(slot.kind);
        const ResponseParser parser = ParserForKind(kind);
        if (kind != carryKind) {  // what one family held means nothing to another
            carry.length = 0;
            carry.flushWhenQuiet = false;
            carry.terminatorsSeen = false;
            carryKind = kind;
        }

        const ws::SOCKET wake = g_wake[slotNumber].socket.load(std::memory_order_acquire);
        uint32_t waitMs = wake != ws::kInvalidSocket ? kIdleWaitMs : kPollMs;
        const uint32_t now = platform::TimeMs();
        const bool holding = parser != nullptr && carry.length > 0 && carry.flushWhenQuiet;
        if (holding) {
            const uint32_t rest = Remaining(now, carry.heldSince, kCarryQuietMs);
            if (rest < waitMs) waitMs = rest;
        }
        // Acquire: Init publishes a new socket with a release store once it is created. At kind
        // 0 the socket is not watched: what the device sends waits there until a kind is stamped.
        const ws::SOCKET socket =
            parser != nullptr
                ? watch.Watched(slot.socket.load(std::memory_order_acquire), now, &waitMs)
                : ws::kInvalidSocket;

        ws::FdSet readSet{};
        AddToSet(readSet, wake);
        AddToSet(readSet, socket);
        bool readable = false;
        if (readSet.fd_count == 0) {
            slot.socketUsers.fetch_sub(1);
            platform::Sleep(kPollMs);
            continue;
        }
        const ws::TimeVal timeout{static_cast<int32_t>(waitMs / 1000),
                                  static_cast<int32_t>(waitMs % 1000 * 1000)};
        const int ready = api.select(0, &readSet, nullptr, nullptr, &timeout);
        if (ready == ws::kSocketError) {
            // Never go on to recv after a failed select: on a blocking socket it could wait for
            // as long as the device stays silent.
            if (socket != ws::kInvalidSocket) {
                watch.Failed(socket, now);
            } else {
                slot.socketUsers.fetch_sub(1);
                platform::Sleep(kPollMs);
                continue;
            }
        } else if (ready > 0) {
            if (wake != ws::kInvalidSocket && InSet(readSet, wake)) {
                char drained[16];
                api.recvfrom(wake, drained, sizeof drained, 0, nullptr, nullptr);
            }
            readable = socket != ws::kInvalidSocket && InSet(readSet, socket);
        }

        // The kind may have changed while the thread waited: start over with the new one.
        const bool quiet = holding && !readable &&
                           Remaining(platform::TimeMs(), carry.heldSince, kCarryQuietMs) == 0;
        if (Get(slot.kind) != kind || (!readable && !quiet)) {
            slot.socketUsers.fetch_sub(1);
            continue;
        }

        ReceiveStep step(slotNumber, generation, socket, readable, carry);
        if (!readable) step.Leave();
        parser(step);
        step.Leave();
        if (step.Called()) {
            if (step.Result() == 0) watch.ended = socket;  // nothing more can come
            if (step.Result() < 0) watch.Failed(socket, now);
        }
    }

    slot.socketUsers.fetch_add(1);
    if (Current(slot, generation)) slot.threadAlive.store(0, std::memory_order_release);
    slot.socketUsers.fetch_sub(1);
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
