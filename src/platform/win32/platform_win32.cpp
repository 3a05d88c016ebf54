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

// --- Thread records -------------------------------------------------------------------------
// A Windows thread routine is `DWORD WINAPI (void*)` (stdcall on 32-bit Windows) while the
// driver's routines are plain functions, so every thread starts in ThreadStart, which calls the
// driver's routine. Each thread has a record of a fixed pool from its creation until it has
// left the driver's code, so that the library's detach can make sure of that before the system
// unmaps the library (DetachWaitForThreads):
//
// - A thread ends with ExitThread, or FreeLibraryAndExitThread when it holds a reference on the
//   driver module, called straight from ThreadStart: once it has marked its record as leaving,
//   the only driver code left to it is that call, and its instruction pointer outside the
//   driver's image tells that the call has been made.
// - A thread takes its own reference on the driver module before it shows an error box
//   (ErrorBox), since the box stays open for as long as the user likes: a host that unloads the
//   driver meanwhile then only drops its own reference, the code the thread returns to stays
//   mapped, and the thread's FreeLibraryAndExitThread unloads the driver when the thread ends.
// - A record whose thread has ended is reused by a later CreateThread.
enum ThreadState : int {
    kRecordFree = 0,
    kRecordRunning = 1,  // claimed; the thread has not yet left the driver's routine
    kRecordLeaving = 2,  // the thread is about to end, or has ended
};
struct ThreadRecord {
    std::atomic<int> state{kRecordFree};
    std::atomic<DWORD> threadId{0};
    std::atomic<HMODULE> reference{nullptr};  // the thread's own reference on the driver module
    ThreadRoutine routine{nullptr};
    void* argument{nullptr};
};
// Up to 100 slots, and threads of earlier connections that are still ending.
constexpr int kThreadRecords = 256;
ThreadRecord g_threadRecords[kThreadRecords];

// True when the thread of a leaving record has ended (or its identifier no longer names one).
bool ThreadEnded(DWORD threadId) {
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, threadId);
    if (thread == nullptr) return true;
    const bool ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return ended;
}

ThreadRecord* ClaimThreadRecord() {
    for (ThreadRecord& record : g_threadRecords) {
        int expected = kRecordFree;
        if (record.state.compare_exchange_strong(expected, kRecordRunning)) return &record;
    }
    for (ThreadRecord& record : g_threadRecords) {
        if (record.state.load() != kRecordLeaving || !ThreadEnded(record.threadId.load())) continue;
        int expected = kRecordLeaving;
        if (record.state.compare_exchange_strong(expected, kRecordRunning)) return &record;
    }
    return nullptr;
}

ThreadRecord* CurrentThreadRecord() {
    const DWORD self = GetCurrentThreadId();
    for (ThreadRecord& record : g_threadRecords) {
        if (record.state.load() == kRecordRunning && record.threadId.load() == self) return &record;
    }
    return nullptr;
}

DWORD WINAPI ThreadStart(LPVOID parameter) {
    auto* record = static_cast<ThreadRecord*>(parameter);
    record->threadId.store(GetCurrentThreadId());
    const DWORD code = record->routine(record->argument);
    HMODULE reference = record->reference.exchange(nullptr);
    record->state.store(kRecordLeaving);
    if (reference != nullptr) FreeLibraryAndExitThread(reference, code);
    ExitThread(code);
}

// Whether an address lies in the driver's own image.
bool InDriverImage(uintptr_t address) {
    const auto base = reinterpret_cast<uintptr_t>(g_instance.load(std::memory_order_acquire));
    if (base == 0) return false;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return address >= base && address - base < nt->OptionalHeader.SizeOfImage;
}

// True once the thread of a leaving record runs outside the driver's image (in the system's
// thread exit) or has ended.
bool ThreadLeftDriver(DWORD threadId) {
    HANDLE thread =
        OpenThread(SYNCHRONIZE | THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, threadId);
    if (thread == nullptr) return true;
    bool left = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
    if (!left && SuspendThread(thread) != static_cast<DWORD>(-1)) {
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL;
        if (GetThreadContext(thread, &context)) {
#if defined(_WIN64)
            left = !InDriverImage(static_cast<uintptr_t>(context.Rip));
#else
            left = !InDriverImage(static_cast<uintptr_t>(context.Eip));
#endif
        }
        ResumeThread(thread);
    }
    CloseHandle(thread);
    return left;
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

void DetachWaitForThreads(uint32_t timeoutMs) {
    if (g_processEnding.load(std::memory_order_acquire)) return;  // the system ended them
    const DWORD self = GetCurrentThreadId();
    const DWORD start = GetTickCount();
    for (ThreadRecord& record : g_threadRecords) {
        for (;;) {
            const int state = record.state.load();
            if (state == kRecordFree || record.threadId.load() == self) break;
            if (state == kRecordLeaving && ThreadLeftDriver(record.threadId.load())) break;
            if (GetTickCount() - start >= timeoutMs) return;
            ::Sleep(1);
        }
    }
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
    ThreadRecord* record = ClaimThreadRecord();
    HANDLE thread = nullptr;
    if (record != nullptr) {
        record->routine = routine;
        record->argument = argument;
        record->reference.store(nullptr);
        record->threadId.store(0);
        thread = ::CreateThread(nullptr, 0, ThreadStart, record, 0, &id);
        if (thread == nullptr) {
            record->state.store(kRecordFree);
        } else {
            record->threadId.store(id);
        }
    }
    if (threadId != nullptr) *threadId = id;
    return thread;
}

uint32_t ThreadStartError() {
    return static_cast<uint32_t>(GetLastError());
}

bool CurrentThreadArgument(void** argument) {
    const ThreadRecord* record = CurrentThreadRecord();
    if (record == nullptr) return false;
    if (argument != nullptr) *argument = record->argument;
    return true;
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

// The calling receive thread takes its own reference on the driver module before the box opens
// and keeps it until it ends (see the thread records above). While the driver is being unloaded
// no box is shown: the reference could no longer keep the code in place.
void ErrorBox(const char* caption, const char* text) {
    if (win32::InDetach()) return;
    ThreadRecord* record = CurrentThreadRecord();
    if (record != nullptr && record->reference.load() == nullptr) {
        HMODULE self = nullptr;
        if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                               reinterpret_cast<LPCSTR>(&ErrorBox), &self)) {
            record->reference.store(self);
        }
    }
    MessageBoxA(GetActiveWindow(), text, caption, MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

}  // namespace vexlor::platform
