// State that the library entry point records for the rest of the Win32 platform layer.
#pragma once

#include <windows.h>

#include <cstdint>

namespace vexlor::platform::win32 {

// Process attach: the driver's own instance handle.
void RecordInstance(HINSTANCE instance);

// Process detach, before the driver's shut-down runs. `processEnding` is true when the whole
// process is ending (the system may already have ended the other threads). For the rest of the
// notification the loader lock is held, so no other thread can finish exiting.
void EnterDetach(bool processEnding);
bool InDetach();

// Process detach, after the driver's shut-down: waits (at most timeoutMs) until every thread
// started through the platform layer has left the driver's code, so that none runs in it once
// the system unmaps the library. Nothing to wait for when the process is ending.
void DetachWaitForThreads(uint32_t timeoutMs);

// Process detach, last: closes the thread handles that the platform layer keeps for its threads.
void ReleaseThreadRecords();

}  // namespace vexlor::platform::win32
