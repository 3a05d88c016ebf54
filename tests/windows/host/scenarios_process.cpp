// Unloading the driver, and ending the process, while slots are still open: neither may hang
// (the driver's shut-down runs under the system's loader lock).
#include <winsock2.h>
// after winsock2.h
#include <windows.h>

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

// Exit codes of the error-box children (RunChild): what went wrong, or the mode's own code.
constexpr int kChildCrashed = 86;      // an exception nobody handled (code in unmapped memory)
constexpr int kChildNoBox = 20;        // the error box did not appear
constexpr int kChildUnloadHangs = 21;  // FreeLibrary did not return
constexpr int kChildBoxStuck = 22;     // the box did not close
constexpr int kChildNotUnloaded = 23;  // the driver stayed loaded after its thread had ended
constexpr int kChildBoxUnloadDone = 9;
constexpr int kChildBoxExitDone = 10;

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
    if (mode == "exit-with-box") ExitProcess(kChildBoxExitDone);

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
// code that is no longer mapped.
WSCENARIO(unload_with_error_box_open_host_lives, kNeedsNothing) {
    FakeDevice device;
    WriteSlot(8, "127.0.0.1", std::to_string(device.port()).c_str(), "0", "");
    for (const char* mode : {"unload-with-box", "exit-with-box"}) {
        std::printf("    %s\n", mode);
        PROCESS_INFORMATION child{};
        if (!StartChildProcess(mode, device.port(), child)) return;
        WCHECK(device.Accept(kEventWaitMs));
        device.ReceiveAtLeast(1, kEventWaitMs);
        WCHECK(device.Send("bogus reply"));
        const int expected =
            std::string(mode) == "exit-with-box" ? kChildBoxExitDone : kChildBoxUnloadDone;
        WCHECK_EQ(FinishChildProcess(child), expected);
    }
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
