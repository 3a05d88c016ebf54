// ThreadDev, the per-slot receive thread, and the receive step that every ResponseParser runs.
//
// The thread waits in `select` for its slot's socket together with the slot's wake-up channel, a
// datagram socket bound to the loopback address: it wakes as soon as a reply arrives, or when
// the host side stops it (DeInit, shut-down) or stamps a new kind, and sleeps otherwise.
#pragma once

#include <cstdint>

#include "core/device_table.h"
#include "core/winsock_types.h"
#include "platform/platform.h"

namespace vexlor {

// Largest number of bytes any family receives in one step.
constexpr int kMaxReceiveSize = 1024;

// How long bytes that a parser holds back may wait for the rest of their reply before they are
// decoded as they stand. The documented devices end every reply with a terminator, so held
// bytes wait long enough for TCP to retransmit a lost segment on a lossy link, from the first
// reply after load on. Only a slot whose device has been shown to send none (its held text,
// decoded after the long wait, was a reply) has its held bytes wait briefly.
constexpr uint32_t kCarryQuietMs = 80;
constexpr uint32_t kCarryQuietTerminatedMs = 2000;

// What a parser keeps from one receive step to the next. It lives on the receive thread's stack,
// so every thread, and with it every connection, starts with nothing held.
struct ReceiveCarry {
    char bytes[kMaxReceiveSize];
    int length = 0;
    // Whether the thread calls the parser once the held bytes have been quiet for quietMs.
    bool flushWhenQuiet = false;
    uint32_t quietMs = kCarryQuietTerminatedMs;
    uint32_t heldSince = 0;  // TimeMs when bytes were last added to the held ones
    // The connection has sent NUL-terminated replies (the digital families look at this).
    bool terminatorsSeen = false;
    // The slot's device has been shown to send no terminators: while this connection has not
    // sent one, its held bytes wait only kCarryQuietMs.
    bool withoutTerminators = false;
    // The last held bytes were decoded as they stood: a NUL that arrives next ends that text.
    bool flushedOpen = false;
    // A thermometer poll has reached its deadline: nothing more of this connection is decoded.
    bool pollOver = false;
};

// One receive step of a slot, as the thread hands it to the parser of the slot's kind.
class ReceiveStep {
  public:
    ReceiveStep(uint16_t slot, uint32_t generation, ws::SOCKET socket, bool readable,
                ReceiveCarry& carry, SocketUse& use)
        : slot_(slot),
          generation_(generation),
          socket_(socket),
          readable_(readable),
          carry_(carry),
          use_(use) {}

    uint16_t Slot() const { return slot_; }
    ReceiveCarry& Carry() { return carry_; }

    // True when the slot's socket has something waiting (data, or the end of the connection);
    // false when the step was run because the held bytes have waited their quiet time.
    bool Readable() const { return readable_; }

    // The step's one recv of at most `size` bytes into buffer; returns the number received, or 0
    // when nothing was readable, the device closed the connection or the call failed.
    int Receive(char* buffer, int size);

    // Whether this thread still serves the slot: its run flag is set and no newer Init has
    // replaced it. A parser checks it before it stores what it decoded.
    bool Serving() const;

    // Shows the error box for an unrecognised reply. The box may stay open for as long as
    // nobody closes it, so the thread leaves the slot's hand-off count while it is open and
    // takes it up again afterwards. Returns whether the thread still serves the slot: when not,
    // the parser stops at once and stores nothing more.
    bool ShowErrorBox(const char* caption, const char* text, int length);

    // Whether Receive called recv, and what recv returned (0: the device closed the connection).
    bool Called() const { return called_; }
    int Result() const { return result_; }
    bool PeerClosed() const { return called_ && result_ == 0; }

    // For the thread: ends the part of the step that is counted in the slot's socketUsers.
    // The whole step is counted, the decoding included, so that neither DeInit nor the next
    // Init can pass while a thread that found itself serving still stores into the slot.
    void Leave();

  private:
    uint16_t slot_;
    uint32_t generation_;
    ws::SOCKET socket_;
    bool readable_;
    ReceiveCarry& carry_;
    SocketUse& use_;
    bool called_ = false;
    int result_ = 0;
    bool left_ = false;
};

// One receive step of a device family.
using ResponseParser = void (*)(ReceiveStep& step);

// Registers the parser for a DeviceKind (1..6). Kinds without a parser do nothing.
void RegisterResponseParser(int32_t kind, ResponseParser parser);
ResponseParser ParserForKind(int32_t kind);

// Registers the parsers of every device family; called by module start-up. Defined by the
// device families.
void RegisterDeviceParsers();

// Shows the error box for an unrecognised reply: the first `length` bytes of `text` (up to a NUL)
// as message under `caption`. Called on a receive thread; while a box of the thread's slot is
// open (shown by an older thread of the slot), no second one opens: a trace line says so.
void ShowReplyErrorBox(const char* caption, const char* text, int length);

// The receive thread routine; its argument is made by PackThreadArgument.
uint32_t ThreadDev(void* argument);

// A receive thread's argument: the slot number in the low 7 bits and the thread's generation in
// the 25 bits above, so that it fits a pointer on 32-bit Windows too. Generations count modulo
// 2^25 (GenerationOf); AdvanceGeneration never hands out the one of a thread that is held in an
// error box, so a generation does not come back while a thread that carries it lives.
constexpr uint32_t kArgumentSlotBits = 7;
constexpr uint32_t kGenerationMask = (1u << 25) - 1;
inline uint32_t GenerationOf(uint32_t counter) {
    return counter & kGenerationMask;
}
inline void* PackThreadArgument(uint16_t slot, uint32_t generation) {
    const uint32_t packed =
        (GenerationOf(generation) << kArgumentSlotBits) | (slot & ((1u << kArgumentSlotBits) - 1));
    return reinterpret_cast<void*>(static_cast<uintptr_t>(packed));
}
inline uint16_t ArgumentSlot(const void* argument) {
    const auto packed = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argument));
    return static_cast<uint16_t>(packed & ((1u << kArgumentSlotBits) - 1));
}
inline uint32_t ArgumentGeneration(const void* argument) {
    const auto packed = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argument));
    return packed >> kArgumentSlotBits;
}

// Gives the slot's receive threads a new generation (Init, before it starts the next thread):
// every older thread leaves the slot alone when it next looks. Skips the generation of the
// slot's thread that shows an error box. Returns the new generation.
uint32_t AdvanceGeneration(uint16_t slot);

// Creates the slot's receive thread ThreadDev for the given generation (its argument packs the
// slot number and the generation) and counts it as running until it has ended. Returns the
// platform's thread handle, null when the thread could not be created.
platform::ThreadHandle StartReceiveThread(uint16_t slot, uint32_t generation, uint32_t* threadId);

// Receive threads of the slot (or of all slots) that were created and have not yet ended,
// including threads that a newer Init has retired and threads that have not begun to run.
int RunningReceiveThreads(uint16_t slot);
int RunningReceiveThreads();

// --- Hand-offs with the host side -------------------------------------------------------------

// Opens the slot's wake-up channel if it has none (a datagram socket bound to 127.0.0.1 on a port
// of the system's choosing); Init opens it for every connection and DeInit closes it. Without one
// (the socket layer lacks getsockname, or a call failed) the slot's thread polls every
// millisecond instead. The channel's calls write no trace lines.
void OpenWakeChannel(uint16_t slot);

// Closes the slot's wake-up channel once no host thread is sending on it. The caller makes sure
// that the slot's thread no longer uses it (WaitForSocketUsers).
void CloseWakeChannel(uint16_t slot);

// Wakes the slot's receive thread if it is waiting, so that it looks at runFlag, kind and socket
// again at once. Cheap and harmless when the thread is not waiting.
void WakeReceiveThread(uint16_t slot);

// Whether the receive thread of this generation still serves the slot (run flag set, no newer
// Init since).
bool ThreadServes(uint16_t slot, uint32_t generation);

// The slot's wake-up channel (INVALID_SOCKET when it has none), and reading what was sent to it.
ws::SOCKET WakeChannelSocket(uint16_t slot);
void DrainWakeChannel(uint16_t slot);

// The fallback when a wake-up may have been lost (a filter that drops loopback datagrams after
// the channel was checked): while a thread of the slot is inside its pass, shut down the
// receive direction of the slot's socket, which ends any select on it at once. Only for a slot
// that is being closed; writes no trace line.
void KickReceiveThread(uint16_t slot);

// Stores a DeviceKind into the slot and wakes its thread when the kind changed, so that a slot
// that sat at kind 0 (socket not watched) is served at once.
void StampKind(uint16_t slot, int32_t kind);

// Waits (at most timeoutMs) until no receive thread of the slot is between the test of its run
// flag and the end of its socket calls, so that the slot's socket can be closed without a thread
// still using its number. False when the time ran out.
bool WaitForSocketUsers(uint16_t slot, uint32_t timeoutMs);

// Closes every slot's wake-up channel still open (module shut-down, after the threads have been
// stopped).
// With waitForThreads, a channel is closed only once no thread of its slot is still calling on
// it (bounded); without, at once (the process is ending and its other threads are gone).
void CloseWakeChannels(bool waitForThreads);

}  // namespace vexlor
