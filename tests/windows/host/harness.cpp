// The harness, the driver loader and the helpers shared by the scenarios.
#include "harness.h"

#include <winsock2.h>
// after winsock2.h
#include <windows.h>

#include <cstring>

namespace wintest {
namespace {

Driver g_driver;
bool g_loaded = false;
Config g_config;

}  // namespace

// --- Driver ---------------------------------------------------------------------------------

std::vector<ExportBinding> ExportBindings(Driver& d) {
    return {
        {"VexlorWeb_IO_Init", reinterpret_cast<void**>(&d.Init)},
        {"VexlorWeb_IO_DeInit", reinterpret_cast<void**>(&d.DeInit)},
        {"VexlorWeb_IO_12xDigital_ReadDI", reinterpret_cast<void**>(&d.D12ReadDI)},
        {"VexlorWeb_IO_12xDigital_ReadDO", reinterpret_cast<void**>(&d.D12ReadDO)},
        {"VexlorWeb_IO_12xDigital_WriteDO", reinterpret_cast<void**>(&d.D12WriteDO)},
        {"VexlorWeb_IO_12xDigital_ReadCI", reinterpret_cast<void**>(&d.D12ReadCI)},
        {"VexlorWeb_IO_12xDigital_ResetCI", reinterpret_cast<void**>(&d.D12ResetCI)},
        {"VexlorWeb_IO_12xDigital_ErrorClear", reinterpret_cast<void**>(&d.D12ErrorClear)},
        {"VexlorWeb_IO_24xDigital_ReadDI", reinterpret_cast<void**>(&d.D24ReadDI)},
        {"VexlorWeb_IO_24xDigital_ReadDO", reinterpret_cast<void**>(&d.D24ReadDO)},
        {VEXLOR_24XDIGITAL_READDO_DECORATED_NAME, reinterpret_cast<void**>(&d.D24ReadDODecorated)},
        {"VexlorWeb_IO_24xDigital_WriteDO", reinterpret_cast<void**>(&d.D24WriteDO)},
        {"VexlorWeb_IO_24xDigital_ReadCI", reinterpret_cast<void**>(&d.D24ReadCI)},
        {"VexlorWeb_IO_24xDigital_ResetCI", reinterpret_cast<void**>(&d.D24ResetCI)},
        {"VexlorWeb_IO_24xDigital_ErrorClear", reinterpret_cast<void**>(&d.D24ErrorClear)},
        {"VexlorWeb_IO_1xThermometer_Read", reinterpret_cast<void**>(&d.T1Read)},
        {"VexlorWeb_IO_2xThermometer_Read", reinterpret_cast<void**>(&d.T2Read)},
        {"VexlorWeb_IO_8xThermometer_Read", reinterpret_cast<void**>(&d.T8Read)},
        {"HWgroup_IOController_ReadDI", reinterpret_cast<void**>(&d.IocReadDI)},
        {"HWgroup_IOController_WriteDO", reinterpret_cast<void**>(&d.IocWriteDO)},
        {"VexlorDlgWeb_IO_ConfigHardware", reinterpret_cast<void**>(&d.ConfigHardware)},
    };
}

Driver& Load() {
    if (g_loaded) {
        RecordFailure(__FILE__, __LINE__, "driver loaded twice");
        return g_driver;
    }
    g_driver = Driver{};
    g_driver.module = LoadLibraryA("Vexlor.dll");
    if (g_driver.module == nullptr) {
        RecordFailure(__FILE__, __LINE__,
                      "LoadLibraryA(Vexlor.dll) failed, error " + std::to_string(GetLastError()));
        return g_driver;
    }
    for (const ExportBinding& binding : ExportBindings(g_driver)) {
        *binding.slot = reinterpret_cast<void*>(GetProcAddress(g_driver.module, binding.name));
    }
    g_loaded = true;
    return g_driver;
}

void Unload() {
    if (g_loaded && g_driver.module != nullptr) FreeLibrary(g_driver.module);
    g_driver = Driver{};
    g_loaded = false;
}

Driver& Loaded() {
    if (!g_loaded) return Load();
    return g_driver;
}

// --- Environment ----------------------------------------------------------------------------

Config& Env() {
    return g_config;
}

int SimPort(const char* name) {
    for (const SimDevice& device : g_config.simDevices) {
        if (device.name == name) return device.port;
    }
    return 0;
}

// --- Settings file --------------------------------------------------------------------------

std::string IniPath() {
    return g_config.hostDir + "Vexlor.ini";
}

void RemoveIni() {
    DeleteFileA(IniPath().c_str());
}

std::string Scramble(const std::string& plain) {
    static const char kKey[] = "27183271832718327183271832718327183271832718327183";
    std::string out = plain;
    for (size_t i = 0; i < out.size() && i < 50; ++i) {
        uint8_t e = static_cast<uint8_t>(static_cast<uint8_t>(out[i]) + kKey[i]);
        if (e < 33 || e > 126) e = static_cast<uint8_t>(e - 94);
        out[i] = static_cast<char>(e);
    }
    return out;
}

void WriteSlot(int slot, const char* ip, const char* port, const char* timing,
               const char* password) {
    const std::string section = "DEV" + std::to_string(slot);
    const std::string path = IniPath();
    const std::string stored =
        std::strcmp(password, "I/O Controller") == 0 ? password : Scramble(password);
    WritePrivateProfileStringA(section.c_str(), "IP", ip, path.c_str());
    WritePrivateProfileStringA(section.c_str(), "Port", port, path.c_str());
    WritePrivateProfileStringA(section.c_str(), "Timing", timing, path.c_str());
    WritePrivateProfileStringA(section.c_str(), "Password", stored.c_str(), path.c_str());
}

std::string ReadIniValue(const char* section, const char* key) {
    char buffer[256] = {};
    GetPrivateProfileStringA(section, key, "", buffer, sizeof buffer, IniPath().c_str());
    return buffer;
}

// --- Fake device ----------------------------------------------------------------------------

FakeDevice::FakeDevice() : listener_(INVALID_SOCKET), connection_(INVALID_SOCKET) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (s == INVALID_SOCKET ||
        bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 4) != 0) {
        RecordFailure(__FILE__, __LINE__, "fake device cannot listen");
        if (s != INVALID_SOCKET) closesocket(s);
        return;
    }
    int length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listener_ = s;
}

FakeDevice::~FakeDevice() {
    CloseConnection();
    if (listener_ != INVALID_SOCKET) closesocket(static_cast<SOCKET>(listener_));
}

bool FakeDevice::Accept(DWORD timeoutMs) {
    if (listener_ == INVALID_SOCKET) return false;
    CloseConnection();
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(listener_), &readable);
    timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) return false;
    SOCKET s = accept(static_cast<SOCKET>(listener_), nullptr, nullptr);
    if (s == INVALID_SOCKET) return false;
    connection_ = s;
    received_.clear();
    return true;
}

std::string FakeDevice::ReceiveAtLeast(size_t expected, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (connection_ != INVALID_SOCKET && received_.size() < expected) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) break;
        const DWORD left = timeoutMs - elapsed;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(static_cast<SOCKET>(connection_), &readable);
        timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0) break;
        char buffer[2048];
        const int n = recv(static_cast<SOCKET>(connection_), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        received_.append(buffer, static_cast<size_t>(n));
    }
    return received_;
}

bool FakeDevice::Send(const std::string& bytes) {
    if (connection_ == INVALID_SOCKET) return false;
    return send(static_cast<SOCKET>(connection_), bytes.data(), static_cast<int>(bytes.size()),
                0) == static_cast<int>(bytes.size());
}

void FakeDevice::CloseConnection() {
    if (connection_ != INVALID_SOCKET) closesocket(static_cast<SOCKET>(connection_));
    connection_ = INVALID_SOCKET;
}

int ClosedPort() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        int length = sizeof address;
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    closesocket(s);
    return port;
}

// --- Windows --------------------------------------------------------------------------------

namespace {

struct FindRequest {
    const char* className;
    const char* caption;
    HWND found;
};

BOOL CALLBACK FindProc(HWND window, LPARAM parameter) {
    auto* request = reinterpret_cast<FindRequest*>(parameter);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != GetCurrentProcessId()) return TRUE;
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    char caption[256] = {};
    GetWindowTextA(window, caption, sizeof caption);
    if (std::strcmp(name, request->className) == 0 && std::strcmp(caption, request->caption) == 0) {
        request->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CollectStatics(HWND child, LPARAM parameter) {
    auto* texts = reinterpret_cast<std::string*>(parameter);
    char name[64] = {};
    GetClassNameA(child, name, sizeof name);
    if (_stricmp(name, "Static") == 0) {
        char text[1100] = {};
        GetWindowTextA(child, text, sizeof text);
        if (text[0] != '\0') {
            if (!texts->empty()) *texts += "|";
            *texts += text;
        }
    }
    return TRUE;
}

}  // namespace

HWND FindProcessWindow(const char* className, const char* caption) {
    FindRequest request{className, caption, nullptr};
    EnumWindows(FindProc, reinterpret_cast<LPARAM>(&request));
    return request.found;
}

std::string StaticTexts(HWND window) {
    std::string texts;
    EnumChildWindows(window, CollectStatics, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

std::string ReadWholeFile(const std::string& path) {
    std::string content;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return content;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) content.append(buffer, n);
    CloseHandle(file);
    return content;
}

}  // namespace wintest
