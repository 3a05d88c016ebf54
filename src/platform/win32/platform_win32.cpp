// The platform interface over the Windows API: libraries, threads, time, profile files and the
// wait window and error box. Only the module entry point (dllmain.cpp) and the function-key
// filter (message_hook.cpp) live elsewhere.
#include "platform/platform.h"

#include <windows.h>
// after <windows.h>, which it needs
#include <mmsystem.h>

#include <atomic>
#include <cstdint>

#include "platform/win32/win32_module.h"

// <windows.h> maps LoadLibrary to LoadLibraryA/W; the platform interface has a function of that
// name.
#undef LoadLibrary

namespace vexlor::platform {
namespace {

std::atomic<HINSTANCE> g_instance{nullptr};
std::atomic<bool> g_inDetach{false};
std::atomic<bool> g_processEnding{false};

// --- Thread start records -----------------------------------------------------------------
// A Windows thread routine is `DWORD WINAPI (void*)` (stdcall on 32-bit Windows) while the
// driver's routines are plain functions, so every thread starts in ThreadStart, which calls the
// driver's routine. The routine and its argument travel in a record of a fixed pool; the new
// thread copies them and frees the record at once, so a record is only held while a thread is
// being started and the pool never needs to grow.
struct StartRecord {
    std::atomic<bool> busy{false};
    ThreadRoutine routine{nullptr};
    void* argument{nullptr};
};
constexpr int kStartRecords = 128;
StartRecord g_startRecords[kStartRecords];

StartRecord* ClaimStartRecord() {
    for (StartRecord& record : g_startRecords) {
        bool expected = false;
        if (record.busy.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
            return &record;
        }
    }
    return nullptr;
}

DWORD WINAPI ThreadStart(LPVOID parameter) {
    auto* record = static_cast<StartRecord*>(parameter);
    const ThreadRoutine routine = record->routine;
    void* const argument = record->argument;
    record->busy.store(false, std::memory_order_release);
    return routine(argument);
}

// --- Wait window ----------------------------------------------------------------------------

INT_PTR CALLBACK WaitNoticeProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                EndDialog(window, 1);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(window, 0);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

const char* TemplateName(WaitNoticeTemplate which) {
    switch (which) {
        case WaitNoticeTemplate::kConnectGerman:
            return "WAIT_CONNECT_DEUTSCH";
        case WaitNoticeTemplate::kConnectEnglish:
            return "WAIT_CONNECT_ENGLISCH";
        case WaitNoticeTemplate::kDisconnectGerman:
            return "WAIT_DISCONNECT_DEUTSCH";
        case WaitNoticeTemplate::kDisconnectEnglish:
            return "WAIT_DISCONNECT_ENGLISCH";
    }
    return "WAIT_CONNECT_ENGLISCH";
}

}  // namespace

namespace win32 {

void RecordInstance(HINSTANCE instance) {
    g_instance.store(instance, std::memory_order_release);
}

void EnterDetach(bool processEnding) {
    g_processEnding.store(processEnding, std::memory_order_release);
    g_inDetach.store(true, std::memory_order_release);
}

bool InDetach() {
    return g_inDetach.load(std::memory_order_acquire);
}

}  // namespace win32

// --- Module and libraries -------------------------------------------------------------------

ModuleHandle SelfModule() {
    return g_instance.load(std::memory_order_acquire);
}

uint32_t ModuleFileName(ModuleHandle module, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return 0;
    DWORD n = GetModuleFileNameA(static_cast<HMODULE>(module), buffer, size);
    // On a path that does not fit, older systems leave the buffer unterminated.
    if (n >= size) n = size - 1;
    buffer[n] = '\0';
    return n;
}

char PathSeparator() {
    return '\\';
}

ModuleHandle LoadLibrary(const char* windowsName) {
    return ::LoadLibraryA(windowsName);
}

void* GetProcAddress(ModuleHandle module, const char* name) {
    if (module == nullptr) return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

void FreeLibrary(ModuleHandle module) {
    if (module != nullptr) ::FreeLibrary(static_cast<HMODULE>(module));
}

// --- Threads and time -----------------------------------------------------------------------

ThreadHandle CreateThread(ThreadRoutine routine, void* argument, uint32_t* threadId) {
    DWORD id = 0;
    StartRecord* record = ClaimStartRecord();
    HANDLE thread = nullptr;
    if (record != nullptr) {
        record->routine = routine;
        record->argument = argument;
        thread = ::CreateThread(nullptr, 0, ThreadStart, record, 0, &id);
        if (thread == nullptr) record->busy.store(false, std::memory_order_release);
    }
    if (threadId != nullptr) *threadId = id;
    return thread;
}

int CloseThreadHandle(ThreadHandle thread) {
    if (thread == nullptr) return 0;
    return ::CloseHandle(static_cast<HANDLE>(thread)) ? 1 : 0;
}

// While the library's detach notification runs, the system holds the loader lock, and a thread
// cannot finish exiting without it (its own detach notifications need the lock): a wait on its
// handle would only run out. During detach this therefore only looks whether the thread has
// already ended and never blocks; the driver's shut-down relies on each thread's threadAlive
// flag (cleared by the thread itself before it returns) with a bounded wait instead.
bool WaitThread(ThreadHandle thread, uint32_t timeoutMs) {
    if (thread == nullptr) return true;
    const DWORD wait = win32::InDetach() ? 0 : static_cast<DWORD>(timeoutMs);
    return WaitForSingleObject(static_cast<HANDLE>(thread), wait) == WAIT_OBJECT_0;
}

int SetCurrentThreadPriorityNormal() {
    return ::SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}

int32_t ThreadHandleValue(ThreadHandle thread) {
    return static_cast<int32_t>(reinterpret_cast<intptr_t>(thread));
}

void Sleep(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

void YieldThread() {
    ::SwitchToThread();
}

uint32_t TimeMs() {
    return static_cast<uint32_t>(timeGetTime());
}

bool ProcessEnding() {
    return g_processEnding.load(std::memory_order_acquire);
}

// --- Profile files --------------------------------------------------------------------------

uint32_t ProfileGetString(const char* section, const char* key, const char* defaultValue,
                          char* buffer, uint32_t size, const char* path) {
    if (buffer == nullptr || size == 0) return 0;
    return GetPrivateProfileStringA(section, key, defaultValue, buffer, size, path);
}

int ProfileGetInt(const char* section, const char* key, int defaultValue, const char* path) {
    return static_cast<int>(GetPrivateProfileIntA(section, key, defaultValue, path));
}

bool ProfileWriteString(const char* section, const char* key, const char* value, const char* path) {
    return WritePrivateProfileStringA(section, key, value, path) != 0;
}

// --- User interface -------------------------------------------------------------------------

WaitNoticeHandle WaitNoticeCreate(WaitNoticeTemplate which) {
    const DWORD lastError = GetLastError();
    HWND window = CreateDialogParamA(g_instance.load(std::memory_order_acquire),
                                     TemplateName(which), nullptr, WaitNoticeProc, 0);
    // The calling thread blocks right after this (connect, or the wait for the receive thread)
    // without running a message loop: paint the window and its text now so that it is legible.
    if (window != nullptr) RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    SetLastError(lastError);
    return window;
}

// Init destroys the window between a failed connect and its WSAGetLastError call, which reads
// the thread's last-error value; destroying a window may overwrite that value (it does under
// Wine), so it is kept across the call.
void WaitNoticeDestroy(WaitNoticeHandle notice) {
    if (notice == nullptr) return;
    const DWORD lastError = GetLastError();
    DestroyWindow(static_cast<HWND>(notice));
    SetLastError(lastError);
}

void ErrorBox(const char* caption, const char* text) {
    MessageBoxA(GetActiveWindow(), text, caption, MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

}  // namespace vexlor::platform
