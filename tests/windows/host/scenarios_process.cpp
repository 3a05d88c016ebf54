// Unloading the driver, and ending the process, while slots are still open: neither may hang
// (the driver's shut-down runs under the system's loader lock).
#include <winsock2.h>
// after winsock2.h
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "calls.h"
#include "harness.h"

namespace wintest {
namespace {

constexpr DWORD kLivenessBoundMs = 30000;  // far beyond any normal shut-down

DWORD WINAPI FreeDriver(LPVOID module) {
    FreeLibrary(static_cast<HMODULE>(module));
    return 0;
}

// Starts this host again as `--child MODE PORT`; false when it cannot be started.
bool StartChildProcess(const char* mode, int port, PROCESS_INFORMATION& process) {
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string command =
        std::string("\"") + exe + "\" --child " + mode + " " + std::to_string(port);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    process = PROCESS_INFORMATION{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        RecordFailure(__FILE__, __LINE__, "CreateProcess failed");
        return false;
    }
    return true;
}

// Waits for a child started with StartChildProcess and returns its exit code (or -1 when it did
// not end within the bound, in which case it is terminated).
int FinishChildProcess(PROCESS_INFORMATION& process) {
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, kLivenessBoundMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, 99);
        code = static_cast<DWORD>(-1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

int RunChildProcess(const char* mode, int port) {
    PROCESS_INFORMATION process{};
    if (!StartChildProcess(mode, port, process)) return -2;
    return FinishChildProcess(process);
}

// Exit codes of the children (RunChild): what went wrong, or the mode's own code.
constexpr int kChildCrashed = 86;      // an exception nobody handled (code in unmapped memory)
constexpr int kChildNoBox = 20;        // the error box did not appear
constexpr int kChildUnloadHangs = 21;  // FreeLibrary did not return
constexpr int kChildBoxStuck = 22;     // the box did not close
constexpr int kChildNotUnloaded = 23;  // the driver stayed loaded after its thread had ended
constexpr int kChildBoxUnloadDone = 9;
constexpr int kChildBoxExitDone = 10;
constexpr int kChildCyclesDone = 11;
constexpr int kChildCycleFailed = 24;  // Init or DeInit did not return 0, or no connection came
constexpr int kChildStaysLoaded = 25;  // the driver was still loaded after the last FreeLibrary
constexpr int kLockedCycles = 5;
constexpr int kBusyCycles = 40;

// The event a child sets just before it ends its process.
std::string ExitEventName(DWORD childPid) {
    return "vexlor-wintest-exiting-" + std::to_string(childPid);
}

LONG WINAPI ExitOnCrash(EXCEPTION_POINTERS*) {
    TerminateProcess(GetCurrentProcess(), kChildCrashed);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The child side of the error-box scenario: slot 8 (configured by the parent) is opened and
// read; the parent's device answers with text that is not a reply, so its receive thread opens
// an error box.
int RunBoxChild(const std::string& mode) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(ExitOnCrash);
    Driver& d = Load();
    if (d.Init == nullptr || d.D12ReadDI == nullptr || d.Init(0, 8) != 0) return 4;
    Digital12 v;
    ReadDI12(d, 8, v);
    HWND box = nullptr;
    if (!WaitFor(
            [&] { return (box = FindProcessWindow("#32770", "Web-IO 12xDigital")) != nullptr; },
            kWindowWaitMs)) {
        return kChildNoBox;
    }
    if (mode == "exit-with-box") {
        // A second open slot beside the one with the box; then the parent times the exit.
        if (d.Init(0, 9) != 0) return 4;
        HANDLE exiting =
            CreateEventA(nullptr, TRUE, FALSE, ExitEventName(GetCurrentProcessId()).c_str());
        if (exiting != nullptr) SetEvent(exiting);
        ExitProcess(kChildBoxExitDone);
    }

    // Unload while the box is open: FreeLibrary returns, the thread keeps the driver in place.
    HANDLE helper = CreateThread(nullptr, 0, FreeDriver, d.module, 0, nullptr);
    const bool returned = WaitForSingleObject(helper, kLivenessBoundMs) == WAIT_OBJECT_0;
    CloseHandle(helper);
    if (!returned) return kChildUnloadHangs;
    // Closing the box lets the thread go back into the driver's code and on waiting for replies.
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    if (!WaitFor([&] { return !IsWindow(box); }, kWindowWaitMs)) return kChildBoxStuck;
    Sleep(500);
    // Loaded again, the same driver still has the slot; DeInit ends the thread, which drops its
    // reference, and the last FreeLibrary then unloads the driver.
    HMODULE again = LoadLibraryA("Vexlor.dll");
    auto deinit = reinterpret_cast<decltype(&VexlorWeb_IO_DeInit)>(
        reinterpret_cast<void*>(GetProcAddress(again, "VexlorWeb_IO_DeInit")));
    if (deinit != nullptr) deinit(0, 8);
    FreeLibrary(again);
    if (!WaitFor([] { return GetModuleHandleA("Vexlor.dll") == nullptr; }, kEventWaitMs)) {
        return kChildNotUnloaded;
    }
    Sleep(200);
    return kChildBoxUnloadDone;
}

std::atomic<bool> g_spin{false};
DWORD WINAPI Spin(LPVOID) {
    volatile uint32_t sink = 0;
    while (g_spin.load()) sink = sink + 1;
    return 0;
}

// One cycle of the busy-machine scenario: load the driver, open and close slot 10, unload.
// With holdLoaderLock the calling thread holds the loader lock throughout, as detach does: the
// slot's receive thread cannot start until the driver has been unloaded.
int Cycle(FakeDevice& device, bool holdLoaderLock) {
    using LockFn = LONG(NTAPI*)(ULONG flags, ULONG * disposition, ULONG_PTR * cookie);
    using UnlockFn = LONG(NTAPI*)(ULONG flags, ULONG_PTR cookie);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const auto lock = reinterpret_cast<LockFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
    const auto unlock = reinterpret_cast<UnlockFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
    if (holdLoaderLock && (lock == nullptr || unlock == nullptr)) return kChildCycleFailed;
    HMODULE module = LoadLibraryA("Vexlor.dll");
    if (module == nullptr) return 2;
    auto init = reinterpret_cast<decltype(&VexlorWeb_IO_Init)>(
        reinterpret_cast<void*>(GetProcAddress(module, "VexlorWeb_IO_Init")));
    auto deinit = reinterpret_cast<decltype(&VexlorWeb_IO_DeInit)>(
        reinterpret_cast<void*>(GetProcAddress(module, "VexlorWeb_IO_DeInit")));
    if (init == nullptr || deinit == nullptr) return 3;
    ULONG_PTR cookie = 0;
    if (holdLoaderLock) lock(0, nullptr, &cookie);
    int result = kChildCyclesDone;
    if (init(1, 10) != 0 || !device.Accept(kEventWaitMs) || deinit(1, 10) != 0) {
        result = kChildCycleFailed;
    }
    FreeLibrary(module);
    if (holdLoaderLock) unlock(0, cookie);
    return result;
}

// The child side of the busy-machine scenario, with a device of its own on slot 10: cycles with
// the loader lock held, then cycles while a spinning thread keeps a processor busy.
int RunCycleChild() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(ExitOnCrash);
    FakeDevice device;
    WriteSlot(10, "127.0.0.1", std::to_string(device.port()).c_str(), "500", "");
    const auto unloaded = [] { return GetModuleHandleA("Vexlor.dll") == nullptr; };
    for (int cycle = 0; cycle < kLockedCycles; ++cycle) {
        const int result = Cycle(device, true);
        if (result != kChildCyclesDone) return result;
        // The receive thread starts now, ends, and its reference was the last one.
        if (!WaitFor(unloaded, kEventWaitMs)) return kChildStaysLoaded;
    }
    g_spin = true;
    HANDLE spinner = CreateThread(nullptr, 0, Spin, nullptr, 0, nullptr);
    int result = kChildCyclesDone;
    for (int cycle = 0; cycle < kBusyCycles && result == kChildCyclesDone; ++cycle) {
        result = Cycle(device, false);
    }
    g_spin = false;
    if (spinner != nullptr) {
        WaitForSingleObject(spinner, kLivenessBoundMs);
        CloseHandle(spinner);
    }
    // A thread that started late holds the driver until it has ended.
    if (result == kChildCyclesDone && !WaitFor(unloaded, kEventWaitMs)) return kChildStaysLoaded;
    return result;
}

}  // namespace

WSCENARIO(unload_with_open_slots_returns, kNeedsNothing) {
    FakeDevice first, second;
    WriteSlot(1, "127.0.0.1", std::to_string(first.port()).c_str(), "500", "");
    WriteSlot(2, "127.0.0.1", std::to_string(second.port()).c_str(), "500", "");
    Driver& d = Load();
    if (d.Init == nullptr) return;
    WCHECK_EQ(d.Init(0, 1), 0);
    WCHECK_EQ(d.Init(0, 2), 0);
    WCHECK(first.Accept(kEventWaitMs));
    WCHECK(second.Accept(kEventWaitMs));
    // The process detach stops both receive threads; FreeLibrary runs on a helper thread so that
    // a hang is reported instead of stalling the run.
    HMODULE module = d.module;
    HANDLE helper = CreateThread(nullptr, 0, FreeDriver, module, 0, nullptr);
    const bool returned = WaitForSingleObject(helper, kLivenessBoundMs) == WAIT_OBJECT_0;
    WCHECK(returned);
    CloseHandle(helper);
    if (!returned) {
        std::printf("    FreeLibrary did not return: shut-down hangs under the loader lock\n");
        return;
    }
    WCHECK(GetModuleHandleA("Vexlor.dll") == nullptr);
    // Ending Windows Sockets closed the connections the host left open.
    WCHECK(first.ReceiveAtLeast(1, 5000).empty());
    // The driver can be loaded again and works.
    Unload();
    Driver& again = Load();
    if (again.Init != nullptr) {
        WCHECK_EQ(again.Init(0, 1), 0);
        WCHECK(first.Accept(kEventWaitMs));
        WCHECK_EQ(again.DeInit(0, 1), 0);
    }
}

// The driver is unloaded (FreeLibrary, or the process ends) while a receive thread shows an
// error box; the box is closed afterwards. The host must live on: the thread never returns into
// code that is no longer mapped. A process that ends with two slots open and the box open is
// gone within a second of its ExitProcess: detach does nothing when the process ends.
WSCENARIO(unload_with_error_box_open_host_lives, kNeedsNothing) {
    FakeDevice device;
    WriteSlot(8, "127.0.0.1", std::to_string(device.port()).c_str(), "0", "");
    WriteSlot(9, "127.0.0.1", std::to_string(device.port()).c_str(), "0", "");
    for (const char* mode : {"unload-with-box", "exit-with-box"}) {
        std::printf("    %s\n", mode);
        const bool exiting = std::string(mode) == "exit-with-box";
        PROCESS_INFORMATION child{};
        if (!StartChildProcess(mode, device.port(), child)) return;
        HANDLE exitEvent =
            CreateEventA(nullptr, TRUE, FALSE, ExitEventName(child.dwProcessId).c_str());
        WCHECK(device.Accept(kEventWaitMs));
        device.ReceiveAtLeast(1, kEventWaitMs);
        WCHECK(device.Send("bogus reply"));
        if (exiting && exitEvent != nullptr &&
            WaitForSingleObject(exitEvent, kLivenessBoundMs) == WAIT_OBJECT_0) {
            const DWORD start = GetTickCount();
            WCHECK(WaitForSingleObject(child.hProcess, 1000) == WAIT_OBJECT_0);
            std::printf("    the process ended %lu ms after ExitProcess\n",
                        static_cast<unsigned long>(GetTickCount() - start));
        }
        if (exitEvent != nullptr) CloseHandle(exitEvent);
        WCHECK_EQ(FinishChildProcess(child), exiting ? kChildBoxExitDone : kChildBoxUnloadDone);
    }
}

// Load, Init, DeInit and FreeLibrary, again and again: a receive thread that has not started
// when the driver is unloaded must not start in unmapped code (the child would crash), and the
// driver ends up unloaded. The first cycles make sure of the state: the host holds the loader
// lock, as detach does, so the thread cannot start before the unload; the rest run while another
// thread keeps a processor busy. (Each cycle costs 0.1 to 0.4 s under Wine.)
WSCENARIO(load_init_deinit_unload_repeated_on_busy_machine, kNeedsNothing) {
    const DWORD start = GetTickCount();
    WCHECK_EQ(RunChildProcess("cycle-busy", 0), kChildCyclesDone);
    std::printf("    %d cycles in %lu ms\n", kLockedCycles + kBusyCycles,
                static_cast<unsigned long>(GetTickCount() - start));
}

WSCENARIO(process_exit_with_open_slot_ends, kNeedsNothing) {
    FakeDevice device;
    WriteSlot(8, "127.0.0.1", std::to_string(device.port()).c_str(), "500", "");
    WCHECK_EQ(RunChildProcess("exit-open-slot", device.port()), 7);
    WCHECK_EQ(RunChildProcess("free-open-slot", device.port()), 8);
}

// The child side: load the driver, open slot 8 (configured by the parent), then end.
int RunChild(const char* mode) {
    if (std::string(mode).find("-with-box") != std::string::npos) return RunBoxChild(mode);
    if (std::string(mode) == "cycle-busy") return RunCycleChild();
    HMODULE module = LoadLibraryA("Vexlor.dll");
    if (module == nullptr) return 2;
    auto init = reinterpret_cast<decltype(&VexlorWeb_IO_Init)>(
        reinterpret_cast<void*>(GetProcAddress(module, "VexlorWeb_IO_Init")));
    if (init == nullptr) return 3;
    if (init(0, 8) != 0) return 4;
    if (std::string(mode) == "exit-open-slot") {
        ExitProcess(7);  // detach runs with the process ending: threads are already gone
    }
    if (std::string(mode) == "free-open-slot") {
        FreeLibrary(module);
        return 8;
    }
    return 5;
}

}  // namespace wintest
