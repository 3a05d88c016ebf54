// The Web-IO 12xDigital / 24xDigital text protocol: the request texts the exported functions send
// and the reply decoder that the two ResponseParsers run over each received block.
//
// Both halves are pure: the builders write into a caller-provided buffer, and the decoder works
// on a DeviceSlot and a block of bytes and reports unrecognised text through a callback, so that
// unit tests and fuzz harnesses can call them without a platform.
#pragma once

#include <cstdint>

#include "core/device_table.h"
#include "core/receive_thread.h"

namespace vexlor {

// The two digital models: what differs between the 12xDigital and the 24xDigital.
struct DigitalModel {
    int32_t kind;         // DeviceKind stamped by the model's functions and selecting its parser
    int channels;         // inputs, outputs and counters: 12 or 24
    int blockSize;        // bytes received per receive step: 256 or 1000
    const char* caption;  // caption of the error box for an unrecognised reply
};

extern const DigitalModel kDigital12;
extern const DigitalModel kDigital24;

// Largest block any digital model receives in one step.
constexpr int kDigitalMaxBlock = 1000;

// --- Requests -------------------------------------------------------------------------------

enum class DigitalRequest {
    kReadInputs,    // "GET /input?PW=" P "&"
    kReadOutputs,   // "GET /output?PW=" P "&"
    kSwitchOn,      // "GET /outputaccess" N "?PW=" P "&State=ON&"
    kSwitchOff,     // "GET /outputaccess" N "?PW=" P "&State=OFF&"
    kReadCounter,   // "GET /counter" N "?PW=" P "&"
    kClearCounter,  // "GET /counterclear" N "?PW=" P "&"
    kClearError,    // "GET /errorclear?PW=" P "&"
};

// Longest request: "GET /outputaccess" + 2 digits + "?PW=" + 49 password characters + "&" +
// "State=OFF&" is 83 bytes; the buffer leaves room for a terminating NUL.
constexpr int kMaxPasswordLength = 49;
constexpr int kDigitalRequestSize = 96;

// Builds the request text into buffer (kDigitalRequestSize bytes or more) and returns its length.
// The text is followed by a NUL that is not part of it (the request goes out without one).
// `index` is the output or counter number (ignored by the requests that carry none); the
// password is inserted unchanged, at most its first 49 characters.
int BuildDigitalRequest(char* buffer, int size, DigitalRequest request, int index,
                        const char* password);

// --- Replies --------------------------------------------------------------------------------

// Called for each received text that matches no reply form: the caption of the model and the
// text (length bytes, not necessarily NUL-terminated). ShowReplyErrorBox fits this type.
using DigitalReplyErrorFn = void (*)(const char* caption, const char* text, int length);

// Where the decoder reports unrecognised texts, and how it learns whether to go on after one: the
// receive thread stops decoding as soon as it returns from an error box and no longer serves the
// slot (DeInit gave up waiting for it, or a new connection took the slot).
struct DigitalReplySink {
    DigitalReplyErrorFn onUnrecognised = nullptr;
    bool (*goOn)(void* context) = nullptr;  // null: always go on
    void* context = nullptr;
    // Takes the place of onUnrecognised and goOn when set: reports the text and returns whether
    // decoding goes on.
    bool (*report)(void* context, const char* caption, const char* text, int length) = nullptr;
};

// Decodes one received block of `length` bytes (at most kDigitalMaxBlock are looked at) into the
// slot. The block may hold several replies, each ended by a NUL byte; each non-empty one is
// decoded on its own, in order, and each that matches no reply form is passed to onUnrecognised.
// A block without any text (only NUL bytes) is reported once as an empty text. Sets replyValid
// to 1 when any reply was recognised and returns whether one was; the caller clears replyValid
// before it receives.
bool DecodeDigitalBlock(DeviceSlot& slot, const DigitalModel& model, const char* block, int length,
                        DigitalReplyErrorFn onUnrecognised);
bool DecodeDigitalBlock(DeviceSlot& slot, const DigitalModel& model, const char* block, int length,
                        const DigitalReplySink& sink);

// The receive framing of the digital models: joins `n` received bytes to the bytes held in carry
// from the previous receive and decodes every complete (NUL-terminated) reply among them, in
// order, so that a reply cut by the network or by the end of a block is decoded once and whole,
// from the first reply of a connection on. The unterminated end is held in carry (at most the
// model's block size) for the next receive; the thread decodes it as it stands once it has been
// quiet for carry.quietMs: briefly on a connection that has not shown a terminator yet (a device
// that sends none keeps working), long enough for a TCP retransmission on one that has. A NUL
// that ends a text decoded that way is no empty reply. `now` (TimeMs) stamps held bytes.
void DecodeDigitalReceive(DeviceSlot& slot, const DigitalModel& model, ReceiveCarry& carry,
                          const char* received, int n, uint32_t now, const DigitalReplySink& sink);

// Decodes the bytes held in carry as they stand (they waited long enough for the rest of their
// reply) and empties it. Returns whether a reply form was recognised among them.
bool FlushDigitalCarry(DeviceSlot& slot, const DigitalModel& model, ReceiveCarry& carry,
                       const DigitalReplySink& sink);

// Decodes one NUL-terminated reply text; returns whether it matched a reply form. Stores nothing
// for an unrecognised text and does not touch replyValid.
bool DecodeDigitalText(DeviceSlot& slot, const DigitalModel& model, const char* text);

}  // namespace vexlor
