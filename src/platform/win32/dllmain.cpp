// The library's entry point: module start-up on process attach, shut-down on process detach.
//
// Shut-down runs under the system's loader lock. A receive thread cannot finish exiting while
// the lock is held, so nothing here or in the driver's shut-down waits on a thread handle: the
// driver waits (bounded) for each thread's own threadAlive flag, and WaitThread never blocks
// during detach (platform_win32.cpp). After the shut-down, detach waits (bounded) until the
// stopped threads have also left the driver's code: they end with a call into the system that
// needs the loader lock, and their instruction pointer then lies outside the driver's image. A
// receive thread that has not started yet, or that has an error box open, holds its own
// reference on the module, so the host's FreeLibrary does not unload the driver before that
// thread has started, or ended.
//
// When the whole process ends (a non-null reserved argument), the system has already ended every
// other thread, perhaps in the middle of a socket or trace call, and the libraries the driver
// loaded may have had their own detach: detach then does nothing at all. Sockets, socket layer,
// trace library and hook go with the process.
#include <windows.h>

#include "core/module.h"
#include "platform/win32/win32_module.h"

namespace {
// How long detach waits for stopped receive threads to leave the driver's code.
constexpr uint32_t kThreadLeaveWaitMs = 2000;
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            vexlor::platform::win32::RecordInstance(instance);
            vexlor::ModuleStartup();
            break;
        case DLL_PROCESS_DETACH:
            vexlor::platform::win32::EnterDetach(reserved != nullptr);
            if (reserved != nullptr) break;  // the process is ending
            vexlor::ModuleShutdown();
            // Receive threads told to stop may still be on their last instructions.
            vexlor::platform::win32::DetachWaitForThreads(kThreadLeaveWaitMs);
            vexlor::platform::win32::ReleaseThreadRecords();
            break;
        default:  // thread attach and detach: nothing to do
            break;
    }
    return TRUE;  // the driver never refuses to load
}
