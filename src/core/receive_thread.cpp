// ThreadDev and the receive-step front shared by every ResponseParser.
#include "core/receive_thread.h"

#include <atomic>

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

void CountStarted(uint16_t slot) {
    g_running[slot].fetch_add(1);
    g_runningTotal.fetch_add(1);
}

void CountEnded(uint16_t slot) {
    g_running[slot].fetch_sub(1);
    g_runningTotal.fetch_sub(1);
}

}  // namespace

void RegisterResponseParser(int32_t kind, ResponseParser parser) {
    if (kind > 0 && kind < kKindSlots) g_parsers[kind].store(parser, std::memory_order_release);
}

ResponseParser ParserForKind(int32_t kind) {
    if (kind <= 0 || kind >= kKindSlots) return nullptr;
    return g_parsers[kind].load(std::memory_order_acquire);
}

int ReceiveFront(uint16_t slotNumber, char* buffer, int size) {
    const SocketApi& api = g_module.sockets;
    // Acquire: Init publishes a new socket with a release store once it is created.
    const ws::SOCKET socket = g_devices[slotNumber].socket.load(std::memory_order_acquire);
    // A slot without a socket of its own (never connected, or closed by DeInit) must never reach
    // a socket number that the system may since have handed to another connection.
    if (socket == ws::kInvalidSocket) return 0;
    ws::FdSet readSet{};
    readSet.fd_count = 1;
    readSet.fd_array[0] = socket;
    const ws::TimeVal noWait{0, 0};
    if (api.select(0, &readSet, nullptr, nullptr, &noWait) == 0) return 0;
    const int received = api.recv(socket, buffer, size, 0);
    return received > 0 ? received : 0;
}

void ShowReplyErrorBox(const char* caption, const char* text, int length) {
    char message[1024 + 1];
    int n = 0;
    while (n < length && n < 1024 && text[n] != '\0') {
        message[n] = text[n];
        ++n;
    }
    message[n] = '\0';
    platform::ErrorBox(caption, message);
}

uint32_t ThreadDev(void* argument) {
    const auto packed = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argument));
    const uint16_t slotNumber = static_cast<uint16_t>(packed & 0xFFFFu);
    const uint32_t generation = packed >> 16;
    DeviceSlot& slot = g_devices[slotNumber % kSlotCount];
    // A thread that a newer Init has replaced (generation changed) must leave the slot's flags
    // to the new thread.
    auto current = [&] {
        return (slot.threadGeneration.load(std::memory_order_acquire) & 0xFFFFu) == generation;
    };

    if (current()) slot.threadAlive.store(1, std::memory_order_release);
    platform::SetCurrentThreadPriorityNormal();
    trace::ThreadPriority(0);

    while (current() && slot.runFlag.load(std::memory_order_acquire) != 0) {
        ResponseParser parser = ParserForKind(Get(slot.kind));
        if (parser != nullptr) parser(slotNumber);
        platform::Sleep(1);
    }

    if (current()) slot.threadAlive.store(0, std::memory_order_release);
    trace::ThreadExit();
    CountEnded(slotNumber % kSlotCount);
    return 0;
}

platform::ThreadHandle StartReceiveThread(uint16_t slot, uint32_t generation, uint32_t* threadId) {
    const uint32_t packed = (static_cast<uint32_t>(generation & 0xFFFFu) << 16) | slot;
    CountStarted(slot);
    platform::ThreadHandle handle = platform::CreateThread(
        ThreadDev, reinterpret_cast<void*>(static_cast<uintptr_t>(packed)), threadId);
    if (handle == nullptr) CountEnded(slot);
    return handle;
}

int RunningReceiveThreads(uint16_t slot) {
    return slot < kSlotCount ? g_running[slot].load() : 0;
}

int RunningReceiveThreads() {
    return g_runningTotal.load();
}

}  // namespace vexlor
