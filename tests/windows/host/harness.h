// A small self-contained test harness for the Windows test host: scenarios register themselves,
// checks record failures without stopping the run, and the host prints "N passed, N failed".
//
// The host loads Vexlor.dll by name with LoadLibraryA and binds every export by name with
// GetProcAddress, exactly as a host application does.
#pragma once

#include <winsock2.h>
// after winsock2.h
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "vexlor.h"

namespace wintest {

// --- Checks ---------------------------------------------------------------------------------

void RecordFailure(const char* file, int line, const std::string& message);

template <typename A, typename B>
std::string Describe(const A& a, const B& b) {
    return std::to_string(a) + " vs " + std::to_string(b);
}
inline std::string Describe(const std::string& a, const std::string& b) {
    return "\"" + a + "\" vs \"" + b + "\"";
}

#define WCHECK(condition)                                                           \
    do {                                                                            \
        if (!(condition)) ::wintest::RecordFailure(__FILE__, __LINE__, #condition); \
    } while (0)

#define WCHECK_EQ(actual, expected)                                                \
    do {                                                                           \
        const auto& wcheck_a = (actual);                                           \
        const auto& wcheck_e = (expected);                                         \
        if (!(wcheck_a == wcheck_e))                                               \
            ::wintest::RecordFailure(__FILE__, __LINE__,                           \
                                     std::string(#actual " == " #expected ": ") +  \
                                         ::wintest::Describe(wcheck_a, wcheck_e)); \
    } while (0)

// --- Scenarios ------------------------------------------------------------------------------

enum Needs : unsigned {
    kNeedsNothing = 0,
    kNeedsSimulator = 1,  // vexlor-sim devices named on the command line
    kNeedsTraceLibrary = 2,
    kNeedsIniFromLinux = 4,    // a directory with a Vexlor.ini written on Linux (--ini-from-linux)
    kNeedsIniToLinux = 8,      // a directory for a Vexlor.ini read back on Linux (--ini-to-linux)
    kNeedsLoadSimulator = 16,  // the control port of a vexlor-sim with 100 devices (--load-sim)
};

struct Scenario {
    const char* name;
    void (*run)();
    unsigned needs;
};

struct Register {
    Register(const char* name, void (*run)(), unsigned needs = kNeedsNothing);
};

#define WSCENARIO_NAME2(a, b) a##b
#define WSCENARIO_NAME(a, b) WSCENARIO_NAME2(a, b)
// Declares and registers a scenario: WSCENARIO(name, needs) { body }
#define WSCENARIO(name, needs)                                                      \
    static void name();                                                             \
    static ::wintest::Register WSCENARIO_NAME(register_, name)(#name, name, needs); \
    static void name()

// --- The driver -----------------------------------------------------------------------------

struct Driver {
    HMODULE module = nullptr;
    decltype(&VexlorWeb_IO_Init) Init = nullptr;
    decltype(&VexlorWeb_IO_DeInit) DeInit = nullptr;
    decltype(&VexlorWeb_IO_12xDigital_ReadDI) D12ReadDI = nullptr;
    decltype(&VexlorWeb_IO_12xDigital_ReadDO) D12ReadDO = nullptr;
    decltype(&VexlorWeb_IO_12xDigital_WriteDO) D12WriteDO = nullptr;
    decltype(&VexlorWeb_IO_12xDigital_ReadCI) D12ReadCI = nullptr;
    decltype(&VexlorWeb_IO_12xDigital_ResetCI) D12ResetCI = nullptr;
    decltype(&VexlorWeb_IO_12xDigital_ErrorClear) D12ErrorClear = nullptr;
    decltype(&VexlorWeb_IO_24xDigital_ReadDI) D24ReadDI = nullptr;
    decltype(&VexlorWeb_IO_24xDigital_ReadDO) D24ReadDO = nullptr;  // by its plain name
    decltype(&VexlorWeb_IO_24xDigital_ReadDO) D24ReadDODecorated = nullptr;
    decltype(&VexlorWeb_IO_24xDigital_WriteDO) D24WriteDO = nullptr;
    decltype(&VexlorWeb_IO_24xDigital_ReadCI) D24ReadCI = nullptr;
    decltype(&VexlorWeb_IO_24xDigital_ResetCI) D24ResetCI = nullptr;
    decltype(&VexlorWeb_IO_24xDigital_ErrorClear) D24ErrorClear = nullptr;
    decltype(&VexlorWeb_IO_1xThermometer_Read) T1Read = nullptr;
    decltype(&VexlorWeb_IO_2xThermometer_Read) T2Read = nullptr;
    decltype(&VexlorWeb_IO_8xThermometer_Read) T8Read = nullptr;
    decltype(&HWgroup_IOController_ReadDI) IocReadDI = nullptr;
    decltype(&HWgroup_IOController_WriteDO) IocWriteDO = nullptr;
    decltype(&VexlorDlgWeb_IO_ConfigHardware) ConfigHardware = nullptr;
};

// One export: its name and where it is bound.
struct ExportBinding {
    const char* name;
    void** slot;
};
std::vector<ExportBinding> ExportBindings(Driver& driver);

// Loads Vexlor.dll (from the host's directory) and binds every export; a missing export stays
// null. Loading twice without Unload is an error.
Driver& Load();
void Unload();
Driver& Loaded();

// --- Environment ----------------------------------------------------------------------------

struct SimDevice {
    std::string name;  // e.g. "d12"
    int port = 0;
};

struct Config {
    std::string hostDir;  // directory of the host and of Vexlor.dll, with a final backslash
    std::vector<SimDevice> simDevices;
    std::string traceFile;  // where ORVANE.DLL writes when tracing is on (Windows path)
    // Directories (Windows paths with a final backslash) where the runner exchanges settings
    // files with the Linux build: one it wrote before the run, one it reads after the run.
    std::string iniFromLinuxDir;
    std::string iniToLinuxDir;
    // Control port of a second vexlor-sim that plays one device per slot (--load-sim).
    int loadSimControlPort = 0;
};
Config& Env();
int SimPort(const char* name);  // 0 when not given

// --- Settings file --------------------------------------------------------------------------

std::string IniPath();
void RemoveIni();
// Writes the four keys of slot `slot`; the password is stored scrambled (unless it is the
// I/O Controller marker).
void WriteSlot(int slot, const char* ip, const char* port, const char* timing,
               const char* password);
std::string Scramble(const std::string& plain);
std::string ReadIniValue(const char* section, const char* key);

// --- Helpers --------------------------------------------------------------------------------

// Bounds of the waits for things that normally take milliseconds. They are generous because the
// host runs under Wine on shared machines that may be heavily loaded; a bound only costs time
// when something is wrong. Waits that check that something does NOT happen keep short bounds.
constexpr DWORD kEventWaitMs = 20000;   // a connection, bytes, a decoded reply, a control update
constexpr DWORD kWindowWaitMs = 60000;  // a dialog or message box appearing or closing

// Polls `condition` every 5 ms until it holds or timeoutMs has passed.
template <typename F>
bool WaitFor(F condition, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(5);
    }
}

// A TCP listener on 127.0.0.1 standing in for a device: it accepts one connection at a time,
// collects what the driver sends and sends scripted replies.
class FakeDevice {
  public:
    FakeDevice();
    ~FakeDevice();
    int port() const { return port_; }
    bool Accept(DWORD timeoutMs);  // waits for the driver's connection
    // Reads until `expected` bytes arrived in total or timeoutMs passed; returns all received.
    std::string ReceiveAtLeast(size_t expected, DWORD timeoutMs);
    std::string Received() const { return received_; }
    void ClearReceived() { received_.clear(); }
    bool Send(const std::string& bytes);
    void CloseConnection();

  private:
    uintptr_t listener_;
    uintptr_t connection_;
    int port_ = 0;
    std::string received_;
};

// A port on 127.0.0.1 where nothing listens (bound once, then closed).
int ClosedPort();

// Finds a top-level window of this process with the given class and caption.
HWND FindProcessWindow(const char* className, const char* caption);
// The texts of the static controls of a window, joined with '|'.
std::string StaticTexts(HWND window);

std::string ReadWholeFile(const std::string& path);

}  // namespace wintest
