// The library's entry point: module start-up on process attach, shut-down on process detach.
//
// Shut-down runs under the system's loader lock. A receive thread cannot finish exiting while
// the lock is held, so nothing here or in the driver's shut-down waits on a thread handle: the
// driver waits (bounded) for each thread's own threadAlive flag, skips that wait when the whole
// process is ending (the system has then already ended the threads), and WaitThread never
// blocks during detach (platform_win32.cpp). After the shut-down, detach waits (bounded) until
// the stopped threads have also left the driver's code: they end with a call into the system
// that needs the loader lock, and their instruction pointer then lies outside the driver's
// image. A receive thread with an error box open holds its own reference on the module, so the
// host's FreeLibrary does not unload the driver until that thread has ended.
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
            // A non-null reserved argument: the process is ending, not just unloading the driver.
            vexlor::platform::win32::EnterDetach(reserved != nullptr);
            vexlor::ModuleShutdown();
            // Receive threads told to stop may still be on their last instructions.
            vexlor::platform::win32::DetachWaitForThreads(kThreadLeaveWaitMs);
            break;
        default:  // thread attach and detach: nothing to do
            break;
    }
    return TRUE;  // the driver never refuses to load
}
