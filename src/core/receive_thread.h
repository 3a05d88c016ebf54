// ThreadDev, the per-slot receive thread, and the receive-step front that every ResponseParser
// shares.
#pragma once

#include <cstdint>

namespace vexlor {

// One receive step of a device family: called once per pass of the slot's receive thread while
// the slot's kind selects it.
using ResponseParser = void (*)(uint16_t slot);

// Registers the parser for a DeviceKind (1..6). Kinds without a parser do nothing.
void RegisterResponseParser(int32_t kind, ResponseParser parser);
ResponseParser ParserForKind(int32_t kind);

// Registers the parsers of every device family; called by module start-up. Defined by the
// device families.
void RegisterDeviceParsers();

// The receive-step front: a readiness test on the slot's socket that never waits, then at most
// one recv of up to `size` bytes into buffer. Returns the number of bytes received, or 0 when
// nothing was waiting, the device closed the connection or the call failed.
int ReceiveFront(uint16_t slot, char* buffer, int size);

// Shows the error box for an unrecognised reply: the first `length` bytes of `text` (up to a NUL)
// as message under `caption`.
void ShowReplyErrorBox(const char* caption, const char* text, int length);

// The receive thread routine. The argument carries the slot number in its low 16 bits and the
// thread's generation in the high 16 bits.
uint32_t ThreadDev(void* argument);

}  // namespace vexlor
