// The one interface through which the driver reaches the operating system. The POSIX and Win32
// implementations live in platform/posix and platform/win32; unit tests link a fake one with a
// virtual clock and scripted sockets. The socket layer itself is not here: it is a library the
// driver loads by name and reaches through SocketApi.
#pragma once

#include <cstdint>

namespace vexlor::platform {

using ModuleHandle = void*;  // a loaded library, or null
using ThreadHandle = void*;  // a thread handle, or null
using ThreadRoutine = uint32_t (*)(void* argument);

// --- Module and libraries -------------------------------------------------------------------

// Handle of the driver library itself (recorded at start-up).
ModuleHandle SelfModule();

// Full file path of the given module (the driver library for SelfModule()), as
// GetModuleFileNameA: copies at most size - 1 characters plus a terminating NUL into buffer and
// returns the number of characters copied, 0 on failure. Directory separators are '\' on Windows
// and '/' on POSIX; PathSeparator() tells which.
uint32_t ModuleFileName(ModuleHandle module, char* buffer, uint32_t size);
char PathSeparator();

// Loads a library by its Windows file name ("WSOCK32.DLL", "ORVANE.DLL"). On POSIX the name
// maps to lib<name in lower case>.so, looked up first beside the driver library, then by the
// normal search. Null when it cannot be loaded. The library's symbols stay local to it.
ModuleHandle LoadLibrary(const char* windowsName);
void* GetProcAddress(ModuleHandle module, const char* name);
void FreeLibrary(ModuleHandle module);

// --- Threads and time -----------------------------------------------------------------------

// Starts routine(argument) on a new thread at once; stores its identifier in *threadId.
// Returns null when the thread could not be created; ThreadStartError() then tells why.
ThreadHandle CreateThread(ThreadRoutine routine, void* argument, uint32_t* threadId);

// Right after a CreateThread of the calling thread returned null, before any other platform
// call: why, as a Windows system error number (Windows: the thread's last error; POSIX: 8,
// ERROR_NOT_ENOUGH_MEMORY, when memory or thread resources ran out). 0 when there is none.
uint32_t ThreadStartError();

// On a thread started through CreateThread: true, with the argument it was started with in
// *argument. False on every other thread.
bool CurrentThreadArgument(void** argument);

// Releases a thread handle (CloseHandle). The thread itself keeps running if it has not ended.
// Returns nonzero on success.
int CloseThreadHandle(ThreadHandle thread);

// Waits up to timeoutMs for the thread to end. True when it has ended. The handle stays valid.
bool WaitThread(ThreadHandle thread, uint32_t timeoutMs);

// Sets the calling thread's priority to normal; returns the platform call's result.
int SetCurrentThreadPriorityNormal();

// The value shown for a thread handle in trace lines.
int32_t ThreadHandleValue(ThreadHandle thread);

void Sleep(uint32_t milliseconds);

// Gives the rest of the calling thread's time slice to another ready thread (returns at once
// when there is none). For waits of a few microseconds, where Sleep(1) would cost a whole
// millisecond, or a whole timer tick on Windows.
void YieldThread();

// The system millisecond counter (timeGetTime): milliseconds since boot, cut to 32 bits.
uint32_t TimeMs();

// True while the process is ending (Windows process detach with a non-null reserved argument),
// when other threads may already have been ended by the system.
bool ProcessEnding();

// --- Profile files (Windows private-profile semantics) --------------------------------------

// GetPrivateProfileStringA for one key: copies the key's value (or defaultValue when the key,
// section or file is missing) into buffer, cut to size - 1 characters; returns its length.
uint32_t ProfileGetString(const char* section, const char* key, const char* defaultValue,
                          char* buffer, uint32_t size, const char* path);
// GetPrivateProfileIntA: the leading decimal number of the key's value, defaultValue when the
// key is missing.
int ProfileGetInt(const char* section, const char* key, int defaultValue, const char* path);
// WritePrivateProfileStringA for one key: creates file, section and key as needed, replaces an
// existing value in place. Returns true on success.
bool ProfileWriteString(const char* section, const char* key, const char* value, const char* path);

// --- User interface -------------------------------------------------------------------------

enum class WaitNoticeTemplate {
    kConnectGerman,      // "WAIT_CONNECT_DEUTSCH"
    kConnectEnglish,     // "WAIT_CONNECT_ENGLISCH"
    kDisconnectGerman,   // "WAIT_DISCONNECT_DEUTSCH"
    kDisconnectEnglish,  // "WAIT_DISCONNECT_ENGLISCH"
};
using WaitNoticeHandle = void*;

// Creates the modeless information window; null when it is not shown (POSIX never shows one).
WaitNoticeHandle WaitNoticeCreate(WaitNoticeTemplate which);
void WaitNoticeDestroy(WaitNoticeHandle notice);

// Task-modal error box (MB_OK | MB_ICONERROR | MB_TASKMODAL) owned by the calling thread's active
// window; returns when the user has closed it. POSIX writes one line instead, with a single
// write, and does not block: caption, ": ", "slot N: " on a receive thread, then the text with
// control bytes escaped. It goes to the pipe named by VEXLOR_ERROR_PIPE when one is open (cut
// to PIPE_BUF so that it is never torn), else to standard error.
void ErrorBox(const char* caption, const char* text);

// Runs the hardware configuration dialog (ConfigDialog, config/config_dialog.h) modally from
// template 100 (German) or 101 (English), with no owner window, and returns when it has ended:
// its result (1 OK, 0 Cancel), or -1 when it could not be created. POSIX has no window system
// and returns -1 at once.
enum class ConfigDialogTemplate {
    kGerman,   // template 100
    kEnglish,  // template 101
};
int RunConfigDialog(ConfigDialogTemplate which);

// The function-key message filter of the configuration dialog, installed at start-up for the
// loading thread and removed at shut-down. Nothing on POSIX.
void InstallMessageHook();
void RemoveMessageHook();

}  // namespace vexlor::platform
