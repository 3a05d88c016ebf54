// Connection lifecycle: Init opens a slot's connection (reset, settings, receive thread, TCP
// connect) and DeInit takes it down again.
//
// Besides the plain sequence this keeps three guarantees:
// - A slot's `socket` holds a socket only while the slot owns it: it is INVALID_SOCKET before
//   the first Init, after a failed Init and after DeInit, so no later send, DeInit or receive
//   step can reach a socket number that the system has since given to another connection.
// - At most one receive thread serves a slot: every Init starts its thread with a new
//   generation, and a thread of an older generation (one that DeInit gave up waiting for) leaves
//   the slot alone as soon as it looks again.
// - A failed Init leaves nothing behind: it stops its thread, closes its socket and releases the
//   thread handle once the thread has ended.
#include "core/connection.h"

#include <cstdlib>

#include "config/settings.h"
#include "core/device_table.h"
#include "core/health.h"
#include "core/receive_thread.h"
#include "core/socket_api.h"
#include "platform/platform.h"
#include "trace/trace_sink.h"

namespace vexlor {
namespace {

constexpr int kDeInitWaitPasses = 50;
// How often DeInit yields to the woken thread before it starts its 1 ms passes.
constexpr int kDeInitYields = 200;
// How long DeInit, a failed Init and a new Init wait for a receive thread to finish its calls on
// the slot's socket. A woken thread takes microseconds; the bound only keeps a lost wake-up from
// hanging the host.
constexpr uint32_t kSocketUsersWaitMs = 1000;
// How long Init waits for a receive thread of the slot's previous connection that is still
// running, before it retires it through the generation instead.
constexpr int kOldThreadWaitMs = 50;
// How long a failed Init waits for its own, already stopped thread before releasing the handle.
constexpr uint32_t kFailedThreadWaitMs = 100;
// inUse while an Init is under way, and how long a DeInit waits for it (longer than any connect).
constexpr int32_t kSlotOpening = 2;
constexpr uint32_t kOpeningWaitMs = 30000;
// The DeInit pass after which a thread that is still in its pass is woken through its socket.
constexpr int kDeInitKickPass = 10;
// How long DeInit waits for host threads that are sending on the socket it is closing. After its
// shutdown every send ends at once, so only a host thread that the system does not schedule for
// this long keeps the socket from being closed.
constexpr uint32_t kHostSendersWaitMs = 5000;

// A send takes microseconds: yield a few times before sleeping in 1 ms steps.
bool WaitForHostSenders(const DeviceSlot& slot, uint32_t timeoutMs) {
    for (int look = 0; look < kDeInitYields && slot.hostSenders.load() != 0; ++look) {
        platform::YieldThread();
    }
    for (uint32_t waited = 0; slot.hostSenders.load() != 0; ++waited) {
        if (waited >= timeoutMs) return false;
        platform::Sleep(1);
    }
    return true;
}

platform::WaitNoticeTemplate ConnectTemplate(uint16_t language) {
    return language == 0 ? platform::WaitNoticeTemplate::kConnectGerman
                         : platform::WaitNoticeTemplate::kConnectEnglish;
}

platform::WaitNoticeTemplate DisconnectTemplate(uint16_t language) {
    return language == 0 ? platform::WaitNoticeTemplate::kDisconnectGerman
                         : platform::WaitNoticeTemplate::kDisconnectEnglish;
}

// Init's step 4: the fields that every new connection starts from.
void ResetSlot(DeviceSlot& slot) {
    Set(slot.kind, kKindNone);
    Set(slot.inputWord12, 0);
    for (int i = 0; i < 12; ++i) Set(slot.inputBits[i], 0);
    Set(slot.outputWord12, 0);
    for (int i = 0; i < 12; ++i) Set(slot.outputBits[i], 0);
    for (auto& counter : slot.counters) Set(counter, 0);
    for (auto& shadow : slot.outputShadow) Set(shadow, kShadowNothingRequested);
    for (auto& shadow : slot.counterClearShadow) Set(shadow, 0);
}

// Before a new thread is started: make sure no thread of an earlier connection still serves the
// slot. A handle that a failed Init kept (its thread had not ended yet) is released here.
void RetireEarlierThreads(uint16_t slotNumber, DeviceSlot& slot) {
    // A thread held in the slot's error box is not waited for: it stays there until the user
    // closes the box, and the new generation retires it.
    int waited = 0;
    while (RunningReceiveThreads(slotNumber) > (Get(slot.errorBoxOwner) != 0 ? 1 : 0) &&
           waited < kOldThreadWaitMs) {
        platform::Sleep(1);
        ++waited;
    }
    platform::ThreadHandle leftover = slot.threadHandle.exchange(nullptr);
    if (leftover != nullptr) {
        platform::WaitThread(leftover, 0);
        platform::CloseThreadHandle(leftover);
    }
    // A thread still running now belongs to an older generation and ends when it next looks.
    // One that is just testing its generation finishes that first, so that it can neither store
    // into the new thread's threadAlive nor start on the new socket.
    AdvanceGeneration(slotNumber);
    WaitForSocketUsers(slotNumber, kSocketUsersWaitMs);
}

// The result of an Init whose receive thread could not be started: the platform's error number,
// unless there is none or it reads as one of the driver's own results.
int ThreadStartResult(uint32_t error) {
    const auto result = static_cast<int>(error);
    if (result == kResultOk || result == kResultBadSlot || result == kResultNoSocketLayer ||
        result == kResultSlotInUse) {
        return ws::kWsaSysCallFailure;
    }
    return result;
}

// The common end of a failed Init (socket creation, bind or connect).
int FailInit(uint16_t slotNumber, DeviceSlot& slot, int error) {
    slot.runFlag.store(0);
    WakeReceiveThread(slotNumber);
    // Stop the thread before closing the socket, so that it cannot be polling the socket number
    // when the system hands that number to another connection.
    platform::ThreadHandle thread = slot.threadHandle.load();
    if (thread != nullptr && platform::WaitThread(thread, kFailedThreadWaitMs) &&
        slot.threadHandle.compare_exchange_strong(thread, nullptr)) {
        Set(slot.threadId, 0);
        platform::CloseThreadHandle(thread);
    }
    const ws::SOCKET socket = slot.socket.exchange(ws::kInvalidSocket);
    WaitForSocketUsers(slotNumber, kSocketUsersWaitMs);
    CloseWakeChannel(slotNumber);
    if (socket != ws::kInvalidSocket && WaitForHostSenders(slot, kHostSendersWaitMs)) {
        g_module.sockets.closesocket(socket);
    }
    Set(slot.kind, kKindNone);
    slot.inUse.store(0, std::memory_order_release);
    return error;
}

}  // namespace

int InitSlot(uint16_t language, uint16_t slotNumber) {
    const int preamble = Preamble(slotNumber);
    if (preamble != kResultOk) return preamble;
    DeviceSlot& slot = g_devices[slotNumber];
    const SocketApi& api = g_module.sockets;

    // Claim the slot; a slot in use is refused and left as it is. While this Init runs the slot
    // reads as opening, which a DeInit from another host thread waits out.
    int32_t expected = 0;
    if (!slot.inUse.compare_exchange_strong(expected, kSlotOpening, std::memory_order_acq_rel)) {
        return kResultSlotInUse;
    }

    // Retire the threads of earlier connections first: a thread that decodes a reply of the
    // old connection finishes storing it before the fields are reset, and one that comes later
    // stores nothing, so no value of the old connection appears in the new one.
    RetireEarlierThreads(slotNumber, slot);
    ResetSlot(slot);
    if (LoadSlotSettings(slotNumber)) Set(slot.kind, kKindIoController);
    PublishSlotSettings(slotNumber);
    StartHealth(slotNumber);

    const uint32_t generation = GenerationOf(slot.threadGeneration.load());
    OpenWakeChannel(slotNumber);
    slot.runFlag.store(1);
    slot.threadAlive.store(0, std::memory_order_release);

    uint32_t threadId = 0;
    platform::ThreadHandle thread = StartReceiveThread(slotNumber, generation, &threadId);
    const int threadError = thread == nullptr ? ThreadStartResult(platform::ThreadStartError()) : 0;
    slot.threadHandle.store(thread);
    Set(slot.threadId, threadId);
    trace::CreateThreadLine(platform::ThreadHandleValue(thread), slotNumber);
    // Without its receive thread the slot would never see a reply: report it, do not connect.
    if (thread == nullptr) return FailInit(slotNumber, slot, threadError);

    const char* ip = g_settings.ip[slotNumber];
    const uint32_t address = api.inet_addr(ip);
    trace::InetAddr(trace::Shown(address), ip);

    const ws::SOCKET socket = api.socket(ws::kAfInet, ws::kSockStream, 0);
    // A socket found in the slot was put there by an earlier thread's reconnect after DeInit had
    // taken the slot's out (the thread was held up past every wait): it is nobody else's.
    const ws::SOCKET leftover = slot.socket.exchange(socket, std::memory_order_acq_rel);
    CloseSlotConnection(slotNumber, leftover);
    // The error number is read before the trace line: a trace library may change the thread's
    // last error, which WSAGetLastError reports on Windows.
    const int socketError = socket == ws::kInvalidSocket ? api.WSAGetLastError() : 0;
    trace::SocketLine(trace::Shown(socket));
    if (socket == ws::kInvalidSocket) return FailInit(slotNumber, slot, socketError);

    ws::SockAddrIn local{};
    local.sin_family = ws::kAfInet;
    local.sin_port = 0;
    local.sin_addr.s_addr = 0;
    const int bound = api.bind(socket, reinterpret_cast<const ws::SockAddr*>(&local), sizeof local);
    const int bindError = bound != 0 ? api.WSAGetLastError() : 0;
    trace::BindLine(bound, trace::Shown(socket));
    if (bound != 0) {
        trace::WsaGetLastError(bindError);
        return FailInit(slotNumber, slot, bindError);
    }

    ws::SockAddrIn remote{};
    remote.sin_family = ws::kAfInet;
    remote.sin_addr.s_addr = address;
    const int port = SettingsNumber(g_settings.port[slotNumber]);
    remote.sin_port = api.htons(static_cast<uint16_t>(port));
    trace::Htons(remote.sin_port, port);

    g_module.uiLanguage.store(language);
    platform::WaitNoticeHandle notice = platform::WaitNoticeCreate(ConnectTemplate(language));
    const int connected =
        api.connect(socket, reinterpret_cast<const ws::SockAddr*>(&remote), sizeof remote);
    if (notice != nullptr) platform::WaitNoticeDestroy(notice);

    if (connected != 0) {
        const int error = api.WSAGetLastError();
        trace::Connect(ws::kSocketError, trace::Shown(socket));
        trace::WsaGetLastError(error);
        return FailInit(slotNumber, slot, error);
    }
    trace::Connect(connected, trace::Shown(socket));
    // Only now is the connection established: until then the receive thread leaves the socket
    // alone (it never takes a socket that is still being connected for a lost one), and a host
    // send that fails on it marks nothing.
    MarkConnectionUp(slot);
    slot.inUse.store(1, std::memory_order_release);
    // A thread that began waiting before the socket was stored (an I/O Controller slot is served
    // from its first pass) looks again now.
    WakeReceiveThread(slotNumber);
    return kResultOk;
}

int DeInitSlot(uint16_t /*language*/, uint16_t slotNumber) {
    const int preamble = Preamble(slotNumber);
    if (preamble != kResultOk) return preamble;
    DeviceSlot& slot = g_devices[slotNumber];
    // An Init of the slot on another host thread (two threads reading one thermometer, say) is
    // still binding and connecting its socket: closing it under that Init would let its calls
    // reach a number the system has since given to another connection. Wait until it is done.
    for (uint32_t waited = 0;
         slot.inUse.load(std::memory_order_acquire) == kSlotOpening && waited < kOpeningWaitMs;
         ++waited) {
        platform::Sleep(1);
    }

    platform::WaitNoticeHandle notice =
        platform::WaitNoticeCreate(DisconnectTemplate(g_module.uiLanguage.load()));

    slot.runFlag.store(0);
    WakeReceiveThread(slotNumber);
    // A woken thread ends within microseconds: look a few times before the first 1 ms pass.
    for (int look = 0; look < kDeInitYields && slot.threadAlive.load() != 0; ++look) {
        platform::YieldThread();
    }
    int passes = 0;
    bool gaveUp = false;
    while (slot.threadAlive.load(std::memory_order_acquire) != 0) {
        slot.runFlag.store(0);
        // Still there after the yields and a pass: its wake-up may have been lost. Ending its
        // select through the socket does not depend on any datagram.
        if (passes == kDeInitKickPass) KickReceiveThread(slotNumber);
        if (++passes == kDeInitWaitPasses) {
            slot.threadAlive.store(0, std::memory_order_release);
            gaveUp = true;
        }
        platform::Sleep(1);
    }

    if (notice != nullptr) platform::WaitNoticeDestroy(notice);

    // Taken out of the slot, so that a second DeInit running at the same time closes nothing
    // twice.
    platform::ThreadHandle thread = slot.threadHandle.exchange(nullptr);
    // A thread that left its loop is about to end: let it finish so that its handle can be
    // released completely.
    if (thread != nullptr && !gaveUp) platform::WaitThread(thread, 10);
    const int closed = platform::CloseThreadHandle(thread);
    trace::CloseHandleLine(closed, platform::ThreadHandleValue(thread));

    // Take the socket out of the slot before the slot is freed, so that nothing else (a send on
    // this slot, a second DeInit, the next Init's new thread) can reach it once it is closed.
    MarkConnectionDown(slot);
    const ws::SOCKET socket = slot.socket.exchange(ws::kInvalidSocket);
    // A thread that passed its run-flag test before it was cleared may still be in select or
    // recv on the socket: closing it now would let the thread reach the number that the system
    // hands to the next connection.
    WaitForSocketUsers(slotNumber, kSocketUsersWaitMs);
    CloseWakeChannel(slotNumber);

    Set(slot.threadId, 0);
    Set(slot.kind, kKindNone);
    EndHealth(slot);
    slot.inUse.store(0, std::memory_order_release);

    CloseSlotConnection(slotNumber, socket);
    return kResultOk;
}

void CloseSlotConnection(uint16_t slotNumber, ws::SOCKET socket) {
    if (socket == ws::kInvalidSocket || slotNumber >= kSlotCount) return;
    const SocketApi& api = g_module.sockets;
    const int down = api.shutdown(socket, ws::kSdBoth);
    trace::Shutdown(down, trace::Shown(socket));
    // Until the senders are gone the socket stays open, even at the cost of keeping it: its
    // number must not reach another connection.
    if (!WaitForHostSenders(g_devices[slotNumber], kHostSendersWaitMs)) return;
    const ws::Linger linger{1, 0};
    const int lingered = api.setsockopt(socket, ws::kSolSocket, ws::kSoLinger,
                                        reinterpret_cast<const char*>(&linger), sizeof linger);
    trace::SetSockOptLinger(lingered, trace::Shown(socket));
    const int closedSocket = api.closesocket(socket);
    trace::CloseSocket(closedSocket, trace::Shown(socket));
}

}  // namespace vexlor
