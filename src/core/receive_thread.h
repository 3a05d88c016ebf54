// ThreadDev, the per-slot receive thread, and the receive-step front that every ResponseParser
// shares.
#pragma once

#include <cstdint>

#include "platform/platform.h"

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

// Creates the slot's receive thread ThreadDev for the given generation (its argument packs the
// slot number and the generation) and counts it as running until it has ended. Returns the
// platform's thread handle, null when the thread could not be created.
platform::ThreadHandle StartReceiveThread(uint16_t slot, uint32_t generation, uint32_t* threadId);

// Receive threads of the slot (or of all slots) that were created and have not yet ended,
// including threads that a newer Init has retired and threads that have not begun to run.
int RunningReceiveThreads(uint16_t slot);
int RunningReceiveThreads();

}  // namespace vexlor
