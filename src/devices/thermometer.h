// Web-IO 1x, 2x and 8x Thermometer: the read shared by the three exported functions, the reply
// decoder (pure, callable without a platform) and its registration with the receive thread.
#pragma once

#include <cstdint>

#include "core/device_table.h"

namespace vexlor {

// Poll interval of a thermometer: a read opens the connection at most this often.
constexpr double kThermoPollIntervalMs = 50000.0;

// The request: the 11 bytes of this text, no line end, no password, no terminating zero.
constexpr char kThermoRequest[] = "GET /Single";
constexpr int kThermoRequestLength = 11;

// Receive size of one step of the decoder.
constexpr int kThermoReceiveSize = 256;

// The field table: 8 fields, each at most 259 characters and its terminating zero.
constexpr int kThermoFieldCount = 8;
constexpr int kThermoFieldSize = 260;

// Caption of the error box for an answer with too few readings.
constexpr char kThermoErrorCaption[] = "Web-IO 1x, 2x, 8x Thermometer";

// Whether the last `needed` segments of an answer's text (`length` bytes, up to a NUL) are all
// readings as the devices write them: a number followed by the degree sign (B0, or C2 B0) and
// "C", or "----" with or without them. Such an answer counts as whole once the device has been
// quiet for a moment, also from a device that neither ends its answers with a NUL nor closes
// the connection after them; an answer cut inside a reading never looks whole.
bool ThermoAnswerLooksWhole(const char* text, int length, int needed);

// Number of readings of a thermometer kind (3, 4, 5 -> 1, 2, 8); 0 for any other kind.
int ThermoReadingCount(int32_t kind);

// Called with the answer's text (not terminated; `length` bytes) when it holds too few readings
// and no complete answer has been decoded since the poll cleared replyValid.
using UnrecognisedReply = void (*)(const char* text, int length);

// Decodes one received block of n bytes as one answer for the slot's current kind. A complete
// answer stores its last N readings into temperatures 0..N-1 and then sets replyValid (release).
// An incomplete one calls onUnrecognised (if not null) while replyValid is still 0. Returns true
// when the answer was complete.
bool DecodeThermometerReply(DeviceSlot& slot, const char* block, int n,
                            UnrecognisedReply onUnrecognised);

// Converts text like atof in the POSIX locale, whatever the process's locale is: leading white
// space, an optional sign, decimal digits with an optional '.', an optional exponent; the
// conversion stops at the first character that cannot continue the number; no number gives 0.0.
double ParseDecimal(const char* text);

// The read of kind 3, 4 or 5 with `count` (1, 2 or 8) out-pointers; null pointers are skipped.
int ThermometerRead(uint16_t language, uint16_t slot, int32_t kind, int count, double* const* out);

// Registers the decoder for kinds 3, 4 and 5 with the receive thread.
void RegisterThermometerParsers();

}  // namespace vexlor
