// POSIX thread bookkeeping beyond the platform interface: used by the library's unload code.
#pragma once

#include <cstdint>

namespace vexlor::platform::posix {

// Waits up to timeoutMs for every thread created through CreateThread whose handle has been
// closed while it was still running, and joins each one that has ended. Returns the number of
// such threads still running afterwards. Called last when the library is unloaded, so that no
// thread is left running the library's code when it is unmapped.
int JoinReleasedThreads(uint32_t timeoutMs);

}  // namespace vexlor::platform::posix
