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
// driver's routine. Each thread has a record of a fixed table from its creation until it has
// ended, so that the library's detach can make sure that no thread is left in the driver's code
// before the system unmaps the library:
//
// - A record holds a duplicate of its thread's handle, never just the thread's identifier, which
//   the system hands to a new thread once the old one has ended. Whatever looks at the thread
//   (has it ended? where does it run?) does so through that handle, so it can only ever reach the
//   record's own thread. A record is reclaimed (handle closed, record free) once its thread has
//   ended: by the next thread start and by every thread-handle close of the driver.
// - A new thread holds a reference on the driver module from its creation until it has started.
//   Under the loader lock, which detach holds, a thread that has not started cannot start; were
//   the library unmapped meanwhile, it would begin in unmapped code. With the reference the
//   host's FreeLibrary cannot unload the driver before the thread runs. The creating call (a
//   host's call into the driver, so the host holds its own reference) waits briefly for the start
//   and then hands the reference back; should the start take longer, the next thread start or
//   handle close of the driver hands it back, or the thread itself when it ends.
// - A thread takes a reference of its own before it shows an error box (ErrorBox), since the box
//   stays open for as long as the user likes: a host that unloads the driver meanwhile then only
//   drops its own reference, the code the thread returns to stays mapped, and the thread's end
//   unloads the driver.
// - A thread ends with ExitThread, or FreeLibraryAndExitThread when it holds a reference, called
//   straight from ThreadStart: once it has marked its record as leaving, the only driver code
//   left to it is that call, and its instruction pointer outside the driver's image tells that
//   the call has been made.
enum ThreadState : int {
    kRecordFree = 0,
    kRecordClaimed = 1,     // being set up by CreateThread
    kRecordRunning = 2,     // the thread exists and has not yet left the driver's routine
    kRecordLeaving = 3,     // the thread is about to end, or has ended
    kRecordReclaiming = 4,  // its handle is being closed
};
struct ThreadRecord {
    std::atomic<int> state{kRecordFree};
    std::atomic<HANDLE> thread{nullptr};  // duplicate of the thread's handle, owned by the record
    // Only for a running thread to find its own record: identifiers of live threads are unique.
    std::atomic<DWORD> threadId{0};
    std::atomic<bool> started{false};
    std::atomic<HMODULE> startReference{nullptr};  // held from creation until the thread started
    std::atomic<HMODULE> boxReference{nullptr};    // taken before the thread's first error box
    ThreadRoutine routine{nullptr};
    void* argument{nullptr};
};
// Up to 100 slots, each with its current receive thread and at most one held in an error box,
// and threads of earlier connections that are still ending.
constexpr int kThreadRecords = 512;
ThreadRecord g_threadRecords[kThreadRecords];

// How long CreateThread waits for the new thread to start before it leaves the thread's module
// reference for later.
constexpr DWORD kThreadStartWaitMs = 500;

// LdrLockLoaderLock / LdrUnlockLoaderLock of ntdll, found at attach (null when absent).
using LoaderLockFn = LONG(NTAPI*)(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);
using LoaderUnlockFn = LONG(NTAPI*)(ULONG flags, ULONG_PTR cookie);
constexpr ULONG kLoaderLockTryOnly = 2;
constexpr ULONG kLoaderLockAcquired = 1;
std::atomic<LoaderLockFn> g_lockLoaderLock{nullptr};
std::atomic<LoaderUnlockFn> g_unlockLoaderLock{nullptr};

// A reference on the driver module (GetModuleHandleEx counts one up); null when none was taken.
HMODULE TakeModuleReference() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&TakeModuleReference), &self)) {
        return nullptr;
    }
    return self;
}

bool Ended(HANDLE thread) {
    return thread == nullptr || WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
}

// Hands back the start references of threads that have started. Only on a host's call into the
// driver, where the host's own reference keeps the module loaded: never during detach, never on
// one of the driver's threads.
void ReleaseStartReferences() {
    if (win32::InDetach()) return;
    for (ThreadRecord& record : g_threadRecords) {
        if (record.startReference.load() == nullptr || !record.started.load()) continue;
        if (HMODULE reference = record.startReference.exchange(nullptr)) ::FreeLibrary(reference);
    }
}

// Frees the records of threads that have ended.
void ReclaimEndedRecords() {
    for (ThreadRecord& record : g_threadRecords) {
        if (record.state.load() != kRecordLeaving || !Ended(record.thread.load())) continue;
        int expected = kRecordLeaving;
        if (!record.state.compare_exchange_strong(expected, kRecordReclaiming)) continue;
        if (HANDLE thread = record.thread.exchange(nullptr)) CloseHandle(thread);
        record.state.store(kRecordFree);
    }
}

ThreadRecord* ClaimThreadRecord() {
    for (ThreadRecord& record : g_threadRecords) {
        int expected = kRecordFree;
        if (record.state.compare_exchange_strong(expected, kRecordClaimed)) return &record;
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
    record->started.store(true);
    const DWORD code = record->routine(record->argument);
    HMODULE reference = record->startReference.exchange(nullptr);
    HMODULE box = record->boxReference.exchange(nullptr);
    if (reference == nullptr) {
        reference = box;
    } else if (box != nullptr) {
        ::FreeLibrary(box);  // the other reference still holds the module
    }
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
// thread exit) or has ended. The record's own handle makes sure that only that thread is ever
// suspended.
bool ThreadLeftDriver(HANDLE thread) {
    if (Ended(thread)) return true;
    bool left = false;
    if (SuspendThread(thread) != static_cast<DWORD>(-1)) {
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
    return left;
}

// Before the calling thread's first error box: a module reference that keeps the driver mapped
// while the box is open. False when the driver is being unloaded (then no box is shown).
//
// The reference must not be taken while detach runs: detach holds the loader lock, a thread
// that asks for a reference waits for that lock, and by the time it gets it the library is gone
// and the call returns into unmapped code. So the thread only tries the loader lock; holding it,
// it knows that no detach is under way, and the reference it takes then keeps the host's
// FreeLibrary from starting one. When the lock is busy it looks again a millisecond later.
bool TakeBoxReference(ThreadRecord& record) {
    if (record.boxReference.load() != nullptr) return true;
    // A start reference that the creating call has not handed back yet serves the box.
    if (HMODULE start = record.startReference.exchange(nullptr)) {
        record.boxReference.store(start);
        return true;
    }
    const LoaderLockFn lock = g_lockLoaderLock.load();
    const LoaderUnlockFn unlock = g_unlockLoaderLock.load();
    for (;;) {
        if (win32::InDetach()) return false;
        if (lock == nullptr || unlock == nullptr) break;
        ULONG disposition = 0;
        ULONG_PTR cookie = 0;
        if (lock(kLoaderLockTryOnly, &disposition, &cookie) >= 0 &&
            disposition == kLoaderLockAcquired) {
            HMODULE reference = win32::InDetach() ? nullptr : TakeModuleReference();
            unlock(0, cookie);
            record.boxReference.store(reference);
            return reference != nullptr;
        }
        ::Sleep(1);
    }
    // Without the loader-lock calls (not seen on any system the driver runs on): take it as is.
    HMODULE reference = TakeModuleReference();
    record.boxReference.store(reference);
    return reference != nullptr;
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
    // Part of every Windows since NT 4 (and of Wine), though not of the documented API; without
    // them ErrorBox takes its reference without trying the loader lock first.
    if (HMODULE ntdll = GetModuleHandleA("ntdll.dll")) {
        g_lockLoaderLock.store(reinterpret_cast<LoaderLockFn>(
            reinterpret_cast<void*>(::GetProcAddress(ntdll, "LdrLockLoaderLock"))));
        g_unlockLoaderLock.store(reinterpret_cast<LoaderUnlockFn>(
            reinterpret_cast<void*>(::GetProcAddress(ntdll, "LdrUnlockLoaderLock"))));
    }
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
            // A claimed record's thread, if any, has not been let run yet.
            if (state != kRecordRunning && state != kRecordLeaving) break;
            HANDLE thread = record.thread.load();
            if (Ended(thread)) break;
            // A live thread with the calling thread's identifier is the calling thread: a
            // receive thread whose FreeLibraryAndExitThread dropped the last reference.
            if (record.threadId.load() == self) break;
            if (state == kRecordLeaving && ThreadLeftDriver(thread)) break;
            if (GetTickCount() - start >= timeoutMs) return;
            ::Sleep(1);
        }
    }
}

void ReleaseThreadRecords() {
    if (g_processEnding.load(std::memory_order_acquire)) return;
    for (ThreadRecord& record : g_threadRecords) {
        if (HANDLE thread = record.thread.exchange(nullptr)) CloseHandle(thread);
        record.state.store(kRecordFree);
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
    if (threadId != nullptr) *threadId = 0;
    ReleaseStartReferences();
    ReclaimEndedRecords();
    ThreadRecord* record = ClaimThreadRecord();
    if (record == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HMODULE reference = TakeModuleReference();
    if (reference == nullptr) {
        const DWORD error = GetLastError();
        record->state.store(kRecordFree);
        SetLastError(error);
        return nullptr;
    }
    record->routine = routine;
    record->argument = argument;
    record->started.store(false);
    record->boxReference.store(nullptr);
    record->startReference.store(reference);

    // Created suspended, so that the record is complete before the thread can look for it.
    DWORD id = 0;
    HANDLE thread = ::CreateThread(nullptr, 0, ThreadStart, record, CREATE_SUSPENDED, &id);
    HANDLE duplicate = nullptr;
    if (thread != nullptr && !DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(),
                                              &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        // It has never run: no code of its own, no lock, nothing to clean up but the thread.
        const DWORD error = GetLastError();
        TerminateThread(thread, 0);
        WaitForSingleObject(thread, kThreadStartWaitMs);
        CloseHandle(thread);
        SetLastError(error);
        thread = nullptr;
    }
    if (thread == nullptr) {
        const DWORD error = GetLastError();
        record->startReference.store(nullptr);
        ::FreeLibrary(reference);  // the host's own reference still holds the module
        record->state.store(kRecordFree);
        SetLastError(error);
        return nullptr;
    }
    record->thread.store(duplicate);
    record->threadId.store(id);
    record->state.store(kRecordRunning);
    ResumeThread(thread);

    // Normally the thread is up within microseconds; then its start reference goes back at once.
    const DWORD waitStart = GetTickCount();
    for (int look = 0; !record->started.load(); ++look) {
        if (GetTickCount() - waitStart >= kThreadStartWaitMs) break;
        if (look < 100) {
            SwitchToThread();
        } else {
            ::Sleep(1);
        }
    }
    if (record->started.load()) {
        if (HMODULE held = record->startReference.exchange(nullptr)) ::FreeLibrary(held);
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
    const int closed = ::CloseHandle(static_cast<HANDLE>(thread)) ? 1 : 0;
    if (!win32::InDetach()) {
        ReleaseStartReferences();
        ReclaimEndedRecords();
    }
    return closed;
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
// and keeps it until it ends (TakeBoxReference). While the driver is being unloaded no box is
// shown: the reference could no longer keep the code in place.
void ErrorBox(const char* caption, const char* text) {
    ThreadRecord* record = CurrentThreadRecord();
    if (record != nullptr ? !TakeBoxReference(*record) : win32::InDetach()) return;
    MessageBoxA(GetActiveWindow(), text, caption, MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

}  // namespace vexlor::platform
