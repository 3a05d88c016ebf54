// Settings files exchanged with the Linux build. A Vexlor.ini written on Linux by vexlor-config
// (the driver's settings code over the POSIX profile functions) must read the same with the
// Windows profile functions and drive the DLL; a Vexlor.ini written here with the Windows profile
// functions is read back on Linux by the runner (vexlor-config show).
//
// The runner writes, before the run, into the --ini-from-linux directory:
//   Vexlor.ini     as vexlor-config wrote it (CRLF line ends)
//   lf\Vexlor.ini  the same text with LF line ends
// holding
//   [DEV] Devices=33
//   DEV30  127.0.0.1, the port of the simulator device "dini", Timing 250, password Pa$$:w0rd!
//   DEV31  127.0.0.1, I/O Controller (port 23)
//   DEV32  10.1.2.3, port 8080, Timing 750, password Pa$$:w0rd!
// The simulator device "dini" is a 12xDigital with that password and the input word 0x3C3.
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "calls.h"
#include "harness.h"

namespace wintest {
namespace {

constexpr char kLinuxPassword[] = "Pa$$:w0rd!";

std::string ReadRaw(const std::string& path, const char* section, const char* key) {
    char buffer[256] = {};
    GetPrivateProfileStringA(section, key, "<missing>", buffer, sizeof buffer, path.c_str());
    return buffer;
}

int ReadRawInt(const std::string& path, const char* section, const char* key) {
    return static_cast<int>(GetPrivateProfileIntA(section, key, -1, path.c_str()));
}

// Puts `text` in place as the driver's Vexlor.ini. The file is written anew (not copied) so
// that it carries a fresh modification time: Wine's profile cache goes by that time.
bool InstallIni(const std::string& text) {
    RemoveIni();
    HANDLE file = CreateFileA(IniPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

// The raw values of the Linux-written file, through the Windows profile functions.
void CheckRawLinuxFile(const std::string& path, int simPort) {
    WCHECK_EQ(ReadRawInt(path, "DEV", "Devices"), 33);
    WCHECK_EQ(ReadRaw(path, "DEV30", "IP"), std::string("127.0.0.1"));
    WCHECK_EQ(ReadRawInt(path, "DEV30", "Port"), simPort);
    WCHECK_EQ(ReadRaw(path, "DEV30", "Timing"), std::string("250"));
    // Stored scrambled, exactly as the driver scrambles on Windows.
    WCHECK_EQ(ReadRaw(path, "DEV30", "Password"), Scramble(kLinuxPassword));
    WCHECK(ReadRaw(path, "DEV30", "Password") != kLinuxPassword);

    WCHECK_EQ(ReadRaw(path, "DEV31", "IP"), std::string("127.0.0.1"));
    WCHECK_EQ(ReadRawInt(path, "DEV31", "Port"), 23);
    WCHECK_EQ(ReadRaw(path, "DEV31", "Password"), std::string("I/O Controller"));

    WCHECK_EQ(ReadRaw(path, "DEV32", "IP"), std::string("10.1.2.3"));
    WCHECK_EQ(ReadRawInt(path, "DEV32", "Port"), 8080);
    WCHECK_EQ(ReadRawInt(path, "DEV32", "Timing"), 750);
    WCHECK_EQ(ReadRaw(path, "DEV32", "Password"), Scramble(kLinuxPassword));

    // vexlor-config writes only the slots it is given: the others have no keys (the defaults).
    WCHECK_EQ(ReadRaw(path, "DEV0", "IP"), std::string("<missing>"));
    WCHECK_EQ(ReadRawInt(path, "DEV99", "Port"), -1);
}

// The DLL reads the Linux-written file beside it and sends the unscrambled password.
void CheckDriverWithLinuxFile(const std::string& text) {
    // Slot 30 points at the simulator, which answers only the right password.
    if (!InstallIni(text)) {
        RecordFailure(__FILE__, __LINE__, "cannot write " + IniPath());
        return;
    }
    {
        Driver& d = Load();
        if (d.Init == nullptr || d.D12ReadDI == nullptr) return;
        WCHECK_EQ(d.Init(1, 30), 0);
        Digital12 in;
        WCHECK(WaitFor(
            [&] {
                WCHECK_EQ(ReadDI12(d, 30, in), 0);
                return in.word == 0x3C3;
            },
            kEventWaitMs));
        WCHECK_EQ(d.DeInit(1, 30), 0);
        Unload();
    }

    // Slot 32 (same password) is pointed at a local listener to see the request byte for byte;
    // only IP and Port are changed, the Linux-written password stays.
    FakeDevice device;
    if (!InstallIni(text)) {
        RecordFailure(__FILE__, __LINE__, "cannot write " + IniPath());
        return;
    }
    const std::string port = std::to_string(device.port());
    WritePrivateProfileStringA("DEV32", "IP", "127.0.0.1", IniPath().c_str());
    WritePrivateProfileStringA("DEV32", "Port", port.c_str(), IniPath().c_str());
    Driver& d = Load();
    if (d.Init == nullptr || d.D12ReadDI == nullptr) return;
    WCHECK_EQ(d.Init(1, 32), 0);
    WCHECK(device.Accept(kEventWaitMs));
    Digital12 v;
    WCHECK_EQ(ReadDI12(d, 32, v), 0);
    const std::string request = std::string("GET /input?PW=") + kLinuxPassword + "&";
    WCHECK_EQ(device.ReceiveAtLeast(request.size(), kEventWaitMs), request);
    WCHECK_EQ(d.DeInit(1, 32), 0);
    Unload();
}

}  // namespace

WSCENARIO(ini_written_on_linux_read_under_wine, kNeedsSimulator | kNeedsIniFromLinux) {
    const int simPort = SimPort("dini");
    if (simPort == 0) {
        RecordFailure(__FILE__, __LINE__, "simulator device missing: dini");
        return;
    }
    const std::string crlfPath = Env().iniFromLinuxDir + "Vexlor.ini";
    const std::string lfPath = Env().iniFromLinuxDir + "lf\\Vexlor.ini";
    const std::string crlfText = ReadWholeFile(crlfPath);
    const std::string lfText = ReadWholeFile(lfPath);
    if (crlfText.empty() || lfText.empty()) {
        RecordFailure(__FILE__, __LINE__, "settings files from Linux missing: " + crlfPath);
        return;
    }
    // Both line-end forms are really present.
    WCHECK(crlfText.find("\r\n") != std::string::npos);
    WCHECK(lfText.find('\r') == std::string::npos);

    for (const std::string* path : {&crlfPath, &lfPath}) {
        std::printf("    %s\n", path->c_str());
        CheckRawLinuxFile(*path, simPort);
        CheckDriverWithLinuxFile(path == &crlfPath ? crlfText : lfText);
    }
}

WSCENARIO(ini_written_under_wine_read_on_linux, kNeedsIniToLinux) {
    // The runner reads this file with vexlor-config after the run and expects these values.
    const std::string path = Env().iniToLinuxDir + "Vexlor.ini";
    DeleteFileA(path.c_str());
    const std::string scrambled = Scramble(kLinuxPassword);
    const char* file = path.c_str();
    WCHECK(WritePrivateProfileStringA("DEV", "Devices", "3", file));
    WCHECK(WritePrivateProfileStringA("DEV0", "IP", "192.168.7.20", file));
    WCHECK(WritePrivateProfileStringA("DEV0", "Port", "8081", file));
    WCHECK(WritePrivateProfileStringA("DEV0", "Timing", "1500", file));
    WCHECK(WritePrivateProfileStringA("DEV0", "Password", scrambled.c_str(), file));
    WCHECK(WritePrivateProfileStringA("DEV1", "IP", "192.168.7.21", file));
    WCHECK(WritePrivateProfileStringA("DEV1", "Port", "23", file));
    WCHECK(WritePrivateProfileStringA("DEV1", "Timing", "500", file));
    WCHECK(WritePrivateProfileStringA("DEV1", "Password", "I/O Controller", file));
    WCHECK(WritePrivateProfileStringA("DEV2", "IP", "192.168.7.22", file));
    WCHECK(WritePrivateProfileStringA("DEV2", "Port", "80", file));
    WCHECK(WritePrivateProfileStringA("DEV2", "Timing", "250", file));
    WCHECK(WritePrivateProfileStringA("DEV2", "Password", "", file));
    // Flush the profile cache to disk before the runner reads the file.
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, file);

    WCHECK_EQ(ReadRaw(path, "DEV0", "Password"), scrambled);
    WCHECK_EQ(ReadRawInt(path, "DEV", "Devices"), 3);
    WCHECK(ReadWholeFile(path).find("[DEV0]") != std::string::npos);
}

}  // namespace wintest

namespace wintest {
namespace {

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());  // the paths here are plain ASCII
}

// A path of any length for the wide file functions.
std::wstring LongForm(const std::string& path) {
    return L"\\\\?\\" + Wide(path);
}

}  // namespace

// A driver whose own path has 260 characters or more cannot compose the path of its settings
// file: it reads nothing (not even the Vexlor.ini in the folder that the path cut to 259
// characters would name, nor one in the current folder), so the slot has no address.
WSCENARIO(module_path_of_260_characters_reads_no_settings, kNeedsNothing) {
    FakeDevice device;
    const std::string port = std::to_string(device.port());
    // The current folder (the host's) holds a settings file for the slot.
    WriteSlot(3, "127.0.0.1", port.c_str(), "500", "");

    // Folders of 40 characters up to about 200, then one of 100: the path cut to 259 characters
    // ends inside the last folder, whose parent could still hold a Vexlor.ini.
    std::vector<std::string> folders;
    std::string dir = Env().hostDir + "long-module-path\\";
    folders.push_back(dir);
    while (dir.size() < 180) {
        dir += std::string(40, static_cast<char>('a' + folders.size() - 1)) + "\\";
        folders.push_back(dir);
    }
    dir += std::string(100, 'z') + "\\";
    folders.push_back(dir);
    for (const std::string& folder : folders) CreateDirectoryW(LongForm(folder).c_str(), nullptr);
    const std::string dll = dir + "Vexlor.dll";
    WCHECK(CopyFileW(LongForm(Env().hostDir + "Vexlor.dll").c_str(), LongForm(dll).c_str(), FALSE));

    HMODULE module = LoadLibraryW(LongForm(dll).c_str());
    WCHECK(module != nullptr);
    std::string ancestorIni;
    if (module != nullptr) {
        wchar_t reported[1024] = {};
        GetModuleFileNameW(module, reported, 1024);
        const std::string path(reported, reported + wcslen(reported));
        WCHECK(path.size() >= 260);
        std::printf("    module path of %u characters\n", static_cast<unsigned>(path.size()));
        // The folder that a path cut to 259 characters ends in gets a settings file too.
        const std::string cut = path.substr(0, 259);
        ancestorIni = cut.substr(0, cut.rfind('\\') + 1) + "Vexlor.ini";
        const std::string section = "DEV3";
        WritePrivateProfileStringA(section.c_str(), "IP", "127.0.0.1", ancestorIni.c_str());
        WritePrivateProfileStringA(section.c_str(), "Port", port.c_str(), ancestorIni.c_str());
        WritePrivateProfileStringA(nullptr, nullptr, nullptr, ancestorIni.c_str());

        auto init = reinterpret_cast<decltype(&VexlorWeb_IO_Init)>(
            reinterpret_cast<void*>(GetProcAddress(module, "VexlorWeb_IO_Init")));
        auto deinit = reinterpret_cast<decltype(&VexlorWeb_IO_DeInit)>(
            reinterpret_cast<void*>(GetProcAddress(module, "VexlorWeb_IO_DeInit")));
        WCHECK(init != nullptr && deinit != nullptr);
        if (init != nullptr && deinit != nullptr) {
            const int result = init(1, 3);
            std::printf("    Init returned %d\n", result);
            WCHECK(result >= 10000);  // no address: the connect fails
            WCHECK(!device.Accept(500));
            deinit(1, 3);
        }
        FreeLibrary(module);
    }
    if (!ancestorIni.empty()) DeleteFileA(ancestorIni.c_str());
    DeleteFileW(LongForm(dll).c_str());
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
        RemoveDirectoryW(LongForm(*folder).c_str());
}

}  // namespace wintest
