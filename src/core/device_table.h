// DeviceTable, DeviceSlot, ModuleState and the helpers every exported device function shares:
// the preamble, the time base and the RequestThrottle.
//
// All state is static and fixed in size. Fields that a host thread and a slot's receive thread
// both touch are std::atomic: the hand-off flags (runFlag, threadAlive, replyValid) use
// release/acquire, everything else relaxed loads and stores (each value on its own is
// consistent; a read may still combine fields of two replies, as a lock-free copy does).
#pragma once

#include <atomic>
#include <cstdint>

#include "core/socket_api.h"
#include "platform/platform.h"

namespace vexlor {

constexpr int kSlotCount = 100;
constexpr int kMaxChannels = 24;  // inputs/outputs/counters of the largest device
constexpr int kMaxTemperatures = 8;
constexpr int kPublishedPasswordSize = 50;  // the Password field: 49 characters and a NUL

enum ResultCode : int {
    kResultOk = 0,
    kResultBadSlot = 2,
    kResultNoSocketLayer = 3,
    kResultSlotInUse = 6,
};

enum DeviceKind : int32_t {
    kKindNone = 0,
    kKindDigital12 = 1,
    kKindDigital24 = 2,
    kKindThermo1 = 3,
    kKindThermo2 = 4,
    kKindThermo8 = 5,
    kKindIoController = 6,
};
constexpr int kKindCount = 7;  // kinds 0 .. kKindIoController

// Thermometers open a connection per poll, which the device closes after its answer: they have
// no lasting connection to keep or to lose.
inline bool IsThermometerKind(int32_t kind) {
    return kind == kKindThermo1 || kind == kKindThermo2 || kind == kKindThermo8;
}

// Start value of outputShadow entries: no valid output state, so the first write after Init
// always differs.
constexpr uint16_t kShadowNothingRequested = 5;

template <typename T>
using Shared = std::atomic<T>;

struct DeviceSlot {
    Shared<int32_t> inUse{0};  // 0 free, 1 open, 2 while an Init is under way
    Shared<ws::SOCKET> socket{ws::kInvalidSocket};
    Shared<platform::ThreadHandle> threadHandle{nullptr};
    Shared<uint32_t> threadId{0};
    Shared<int32_t> runFlag{0};      // host -> thread: keep running (release/acquire)
    Shared<int32_t> threadAlive{0};  // thread -> host: running (release/acquire)
    Shared<int32_t> replyValid{0};   // parser -> thermometer read (release/acquire)
    Shared<double> now{0};
    Shared<double> lastThermoPoll{0};
    Shared<double> lastInputPoll{0};
    Shared<double> lastOutputPoll{0};
    Shared<double> lastCounterPoll{0};
    Shared<int32_t> kind{kKindNone};
    Shared<uint16_t> inputWord12{0};
    Shared<uint32_t> inputWord24{0};
    Shared<uint16_t> inputBits[kMaxChannels]{};
    Shared<uint16_t> outputWord12{0};
    Shared<uint32_t> outputWord24{0};
    Shared<uint16_t> outputBits[kMaxChannels]{};
    Shared<uint16_t> outputShadow[kMaxChannels]{};
    Shared<int32_t> counters[kMaxChannels]{};
    Shared<uint16_t> counterClearShadow[kMaxChannels]{};
    Shared<uint16_t> lastErrorClear{0};
    Shared<double> temperatures[kMaxTemperatures]{};
    Shared<uint16_t> controllerInputs{0};

    // Not part of the device's data: the generation of the receive thread that currently serves
    // this slot. A thread whose generation is no longer current (DeInit gave up waiting for it
    // and a new Init started another) leaves the slot alone and ends.
    Shared<uint32_t> threadGeneration{0};
    // Not part of the device's data either: receive threads of the slot that are between the test
    // of their run flag and the end of their calls on the slot's socket. DeInit waits for it to be
    // 0 before it closes the socket, and Init before it hands the slot to a new thread.
    Shared<int32_t> socketUsers{0};
    // Host threads between loading the slot's socket for a send and the end of that send. DeInit
    // takes the socket out of the slot and then waits for this to be 0 before it closes it, so
    // that no request (and no password in it) reaches a socket number that the system has since
    // given to another connection.
    Shared<int32_t> hostSenders{0};
    // Not part of the device's data: how many bytes of an answer that has not ended the receive
    // thread holds now, and the read's request (at its deadline) to give that answer up.
    Shared<int32_t> thermoHeldBytes{0};
    Shared<int32_t> thermoDeadlinePassed{0};
    // Not part of the device's data: what the slot's digital device has shown of its reply
    // ends, for every later connection: 1 it ends them with a NUL, -1 it has been shown to send
    // none (its held bytes then wait only briefly), 0 nothing yet (taken as ending them).
    Shared<int32_t> digitalTerminates{0};

    // Connection health (see core/health.h). Not part of the device's data either.
    Shared<int32_t> replyTimeoutMs{0};  // the slot's "Reply Timeout", read at Init; 0: off
    Shared<int32_t> reconnects{0};      // the slot's "Reconnect", read at Init
    // The first unanswered request: 0 when none, else kAwaiting | TimeMs of its stamp, with
    // kStaleSeen once it has been found to wait too long (it then stays stale, however long the
    // silence, until a reply). One word, so that a reply's clear never loses to a stale mark.
    Shared<uint64_t> awaiting{0};
    Shared<int32_t> linkError{0};        // the lost connection's error, 0 while it is up
    Shared<int32_t> staleUntilReply{0};  // reconnected: no reply on the new connection yet
    // Numbers the slot's connections: odd while one is established (Init has connected it, or a
    // reconnect has), even while there is none or one is being made. A host send that fails
    // notes the number it loaded before the socket, with its error, in failedSend (number in
    // the high half), so that the receive thread takes it as a loss only for the connection it
    // was made on.
    Shared<uint32_t> connection{0};
    Shared<uint64_t> failedSend{0};
    Shared<int32_t> thermoUnanswered{0};  // the last thermometer poll got no complete answer
    // Not part of the device's data either: 0 while no receive thread of this slot shows an error
    // box, else 1 + the generation of the one that does. A slot has one box open at most.
    Shared<uint32_t> errorBoxOwner{0};

    // The settings that the I/O functions use on every call, published from the live settings by
    // Init and by the configuration dialog's OK (PublishSlotSettings): the Timing as a number and
    // the plain password. Host threads read them while another may run Init or the dialog, which
    // rewrite the live text fields.
    Shared<double> timingMs{0};
    Shared<char> password[kPublishedPasswordSize]{};
};

// One send of a host function on a slot's socket: counts the caller as a host sender, then loads
// the socket (INVALID_SOCKET once DeInit has taken it), and leaves the count when it goes out of
// scope. Both sides use sequentially consistent operations: either the sender sees the socket
// taken, or DeInit sees the sender and waits for it.
class SlotSend {
  public:
    explicit SlotSend(DeviceSlot& slot) : slot_(slot) {
        slot_.hostSenders.fetch_add(1);
        socket_ = slot_.socket.load();
    }
    ~SlotSend() { slot_.hostSenders.fetch_sub(1); }
    SlotSend(const SlotSend&) = delete;
    SlotSend& operator=(const SlotSend&) = delete;

    ws::SOCKET Socket() const { return socket_; }

  private:
    DeviceSlot& slot_;
    ws::SOCKET socket_;
};

// A receive thread's count in the slot's socketUsers, for as long as it calls on the slot's
// socket or stores into the slot; left when it goes out of scope. Enter and Leave may be paired
// by hand in between (an error box is shown outside the count).
class SocketUse {
  public:
    explicit SocketUse(DeviceSlot& slot) : slot_(slot) { Enter(); }
    ~SocketUse() { Leave(); }
    SocketUse(const SocketUse&) = delete;
    SocketUse& operator=(const SocketUse&) = delete;

    void Enter() {
        if (counted_) return;
        slot_.socketUsers.fetch_add(1);
        counted_ = true;
    }
    void Leave() {
        if (!counted_) return;
        counted_ = false;
        slot_.socketUsers.fetch_sub(1);
    }

  private:
    DeviceSlot& slot_;
    bool counted_ = false;
};

// Milliseconds from `since` to `now` on the 32-bit millisecond counter, across its wrap.
inline uint32_t ElapsedMs(uint32_t now, uint32_t since) {
    return now - since;
}
// What is left of `span` ms that began at `since` (0 once it is over).
inline uint32_t RemainingMs(uint32_t now, uint32_t since, uint32_t span) {
    const uint32_t elapsed = ElapsedMs(now, since);
    return elapsed >= span ? 0 : span - elapsed;
}

// Relaxed access helpers for the plain data fields.
template <typename T>
inline T Get(const Shared<T>& field) {
    return field.load(std::memory_order_relaxed);
}
template <typename T, typename V>
inline void Set(Shared<T>& field, V value) {
    field.store(static_cast<T>(value), std::memory_order_relaxed);
}

extern DeviceSlot g_devices[kSlotCount];  // the DeviceTable

struct ModuleState {
    platform::ModuleHandle moduleHandle = nullptr;
    Shared<uint16_t> uiLanguage{0};
    platform::ModuleHandle socketLibrary = nullptr;
    int32_t socketLayerFailed = 0;
    SocketApi sockets{};
    char settingsFileName[16] = "";
};

extern ModuleState g_module;

// The preamble of every exported device function: 2 for a slot of 100 or above, 3 when the
// socket layer is not usable, otherwise 0.
int Preamble(uint16_t slot);

// The time base: the system millisecond counter as a double (0 .. 2^32 - 1).
double TimeBase();

// Converts a Timing text the way atol does (no digits gives 0).
long TimingValue(const char* text);

// RequestThrottle: stores the current time in the slot's `now` and returns true (after storing
// `now` into *stamp) when at least intervalMs have passed since *stamp. A negative elapsed time
// (the millisecond counter wrapped since *stamp) counts as due, so requests never stall.
bool RequestDue(DeviceSlot& slot, Shared<double>& stamp, double intervalMs);

// The slot's Timing setting converted to a number of milliseconds, as last published.
double SlotTimingMs(uint16_t slot);

// Publishes a slot's Timing and Password from the live settings to the slot (Init, after loading
// them), or every slot's (the configuration dialog's OK, which makes its copy live).
void PublishSlotSettings(uint16_t slot);
void PublishAllSlotSettings();

// Copies the slot's published password into buffer (kPublishedPasswordSize bytes).
void SlotPassword(uint16_t slot, char* buffer);

}  // namespace vexlor
