// Unloading the driver, and ending the process, while slots are still open: neither may hang
// (the driver's shut-down runs under the system's loader lock).
#include <winsock2.h>
// after winsock2.h
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.h"

namespace wintest {
namespace {

constexpr DWORD kLivenessBoundMs = 30000;  // far beyond any normal shut-down

DWORD WINAPI FreeDriver(LPVOID module) {
    FreeLibrary(static_cast<HMODULE>(module));
    return 0;
}

// Runs this host again as `--child MODE PORT` and returns its exit code (or -1 when it did not
// end within the bound, in which case it is terminated).
int RunChildProcess(const char* mode, int port) {
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string command =
        std::string("\"") + exe + "\" --child " + mode + " " + std::to_string(port);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        RecordFailure(__FILE__, __LINE__, "CreateProcess failed");
        return -2;
    }
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

WSCENARIO(process_exit_with_open_slot_ends, kNeedsNothing) {
    FakeDevice device;
    WriteSlot(8, "127.0.0.1", std::to_string(device.port()).c_str(), "500", "");
    WCHECK_EQ(RunChildProcess("exit-open-slot", device.port()), 7);
    WCHECK_EQ(RunChildProcess("free-open-slot", device.port()), 8);
}

// The child side: load the driver, open slot 8 (configured by the parent), then end.
int RunChild(const char* mode) {
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
