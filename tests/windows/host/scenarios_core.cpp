// Scenarios that need no simulator: exports, resources, result codes, the connection lifecycle
// against a fake device, the wait windows, the settings file, the error box and trace lines.
#include <winsock2.h>
// after winsock2.h
#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "calls.h"
#include "harness.h"

namespace wintest {
namespace {

// --- Dialog templates -----------------------------------------------------------------------

struct DialogItem {
    uint32_t style = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    uint16_t id = 0;
    uint16_t classAtom = 0;
    std::wstring text;
};
struct DialogTemplate {
    bool ok = false;
    uint32_t style = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    std::wstring caption;
    uint16_t pointSize = 0;
    std::wstring font;
    std::vector<DialogItem> items;
};

const uint16_t* AlignDword(const uint16_t* p, const void* base) {
    const auto offset = reinterpret_cast<const char*>(p) - static_cast<const char*>(base);
    return offset % 4 == 0 ? p : p + 1;
}

// Reads a sz_Or_Ord field: an ordinal (0xFFFF, value), none (0) or a text.
const uint16_t* ReadSzOrOrd(const uint16_t* p, std::wstring* text, uint16_t* ordinal) {
    if (*p == 0xFFFF) {
        if (ordinal != nullptr) *ordinal = p[1];
        return p + 2;
    }
    std::wstring value;
    while (*p != 0) value.push_back(static_cast<wchar_t>(*p++));
    if (text != nullptr) *text = value;
    return p + 1;
}

DialogTemplate ParseDialog(HMODULE module, const char* name) {
    DialogTemplate t;
    HRSRC resource =
        FindResourceExA(module, RT_DIALOG, name, MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN));
    if (resource == nullptr) return t;
    const void* base = LockResource(LoadResource(module, resource));
    if (base == nullptr) return t;
    const auto* header = static_cast<const DLGTEMPLATE*>(base);
    if (reinterpret_cast<const uint16_t*>(base)[1] == 0xFFFF) return t;  // DIALOGEX: not ours
    t.style = header->style;
    t.x = header->x;
    t.y = header->y;
    t.cx = header->cx;
    t.cy = header->cy;
    auto* p = reinterpret_cast<const uint16_t*>(header + 1);
    p = ReadSzOrOrd(p, nullptr, nullptr);  // menu
    p = ReadSzOrOrd(p, nullptr, nullptr);  // class
    p = ReadSzOrOrd(p, &t.caption, nullptr);
    if (t.style & DS_SETFONT) {
        t.pointSize = *p++;
        p = ReadSzOrOrd(p, &t.font, nullptr);
    }
    for (int i = 0; i < header->cdit; ++i) {
        p = AlignDword(p, base);
        const auto* item = reinterpret_cast<const DLGITEMTEMPLATE*>(p);
        DialogItem d;
        d.style = item->style;
        d.x = item->x;
        d.y = item->y;
        d.cx = item->cx;
        d.cy = item->cy;
        d.id = item->id;
        p = reinterpret_cast<const uint16_t*>(item + 1);
        p = ReadSzOrOrd(p, nullptr, &d.classAtom);
        p = ReadSzOrOrd(p, &d.text, nullptr);
        const uint16_t extra = *p++;
        p = reinterpret_cast<const uint16_t*>(reinterpret_cast<const char*>(p) + extra);
        t.items.push_back(d);
    }
    t.ok = true;
    return t;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

struct WaitTemplateExpectation {
    const char* name;
    const wchar_t* caption;
    const wchar_t* text;
    int16_t x, cx;
};
const WaitTemplateExpectation kWaitTemplates[] = {
    {"WAIT_CONNECT_DEUTSCH", L"Vexlor Treiber", L"Verbindungsaufbau zum Web-Ger\u00e4t ...", 11,
     122},
    {"WAIT_CONNECT_ENGLISCH", L"Vexlor Driver", L"Connection to Web Device ...", 25, 95},
    {"WAIT_DISCONNECT_DEUTSCH", L"Vexlor Treiber", L"Verbindungsabbau zum Web-Ger\u00e4t ...", 12,
     120},
    {"WAIT_DISCONNECT_ENGLISCH", L"Vexlor Driver", L"Shutdown to Web Device ...", 27, 91},
};

// --- Wait windows seen at run time ----------------------------------------------------------

std::vector<std::wstring> g_dialogsSeen;  // caption + "|" + text of control 2001
HHOOK g_callHook = nullptr;

LRESULT CALLBACK WatchDialogs(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const auto* message = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        if (message->message == WM_INITDIALOG) {
            wchar_t caption[128] = {}, text[128] = {};
            GetWindowTextW(message->hwnd, caption, 128);
            GetDlgItemTextW(message->hwnd, 2001, text, 128);
            g_dialogsSeen.push_back(std::wstring(caption) + L"|" + text);
        }
    }
    return CallNextHookEx(g_callHook, code, wParam, lParam);
}

}  // namespace

// --- Exports --------------------------------------------------------------------------------

WSCENARIO(exports_bound, kNeedsNothing) {
    Driver& d = Load();
    WCHECK(d.module != nullptr);
    if (d.module == nullptr) return;
    for (const ExportBinding& binding : ExportBindings(d)) {
        if (*binding.slot == nullptr) {
            RecordFailure(__FILE__, __LINE__, std::string("export missing: ") + binding.name);
        }
    }
    // The decorated name is the same function as the plain one.
    WCHECK(d.D24ReadDODecorated == d.D24ReadDO);
}

// --- Resources ------------------------------------------------------------------------------

WSCENARIO(wait_window_templates, kNeedsNothing) {
    Driver& d = Load();
    if (d.module == nullptr) return;
    for (const WaitTemplateExpectation& e : kWaitTemplates) {
        std::printf("    template %s\n", e.name);
        const DialogTemplate t = ParseDialog(d.module, e.name);
        WCHECK(t.ok);
        if (!t.ok) continue;
        WCHECK((t.style & DS_MODALFRAME) != 0);
        WCHECK((t.style & WS_CAPTION) == WS_CAPTION);
        WCHECK((t.style & WS_VISIBLE) != 0);
        WCHECK_EQ(t.x, 0);
        WCHECK_EQ(t.y, 0);
        WCHECK_EQ(t.cx, 145);
        WCHECK_EQ(t.cy, 39);
        WCHECK(t.caption == e.caption);
        WCHECK_EQ(t.pointSize, 8);
        WCHECK(t.font == L"MS Sans Serif");
        WCHECK_EQ(t.items.size(), 2u);
        if (t.items.size() != 2) continue;
        const DialogItem& group = t.items[0];
        WCHECK_EQ(group.id, 2000);
        WCHECK_EQ(group.classAtom, 0x0080);  // button
        WCHECK_EQ(group.style & 0x0F, static_cast<uint32_t>(BS_GROUPBOX));
        WCHECK(group.text == L" Information ");
        WCHECK_EQ(group.x, 5);
        WCHECK_EQ(group.y, 5);
        WCHECK_EQ(group.cx, 135);
        WCHECK_EQ(group.cy, 30);
        const DialogItem& text = t.items[1];
        WCHECK_EQ(text.id, 2001);
        WCHECK_EQ(text.classAtom, 0x0082);  // static
        WCHECK_EQ(text.style & SS_TYPEMASK, static_cast<uint32_t>(SS_CENTER));
        if (text.text != e.text) {
            RecordFailure(__FILE__, __LINE__, "text " + Narrow(text.text));
        }
        WCHECK_EQ(text.x, e.x);
        WCHECK_EQ(text.y, 18);
        WCHECK_EQ(text.cx, e.cx);
        WCHECK_EQ(text.cy, 8);
    }
}

WSCENARIO(version_resource, kNeedsNothing) {
    const std::string dll = Env().hostDir + "Vexlor.dll";
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(dll.c_str(), &ignored);
    WCHECK(size > 0);
    if (size == 0) return;
    std::vector<char> data(size);
    WCHECK(GetFileVersionInfoA(dll.c_str(), 0, size, data.data()));
    char* value = nullptr;
    UINT length = 0;
    WCHECK(VerQueryValueA(data.data(), "\\StringFileInfo\\040704E4\\ProductName",
                          reinterpret_cast<void**>(&value), &length));
    if (value != nullptr) WCHECK_EQ(std::string(value), std::string("Vexlor"));
    value = nullptr;
    WCHECK(VerQueryValueA(data.data(), "\\StringFileInfo\\040704E4\\ProductVersion",
                          reinterpret_cast<void**>(&value), &length));
    if (value != nullptr) WCHECK_EQ(std::string(value), std::string(VEXLOR_TEST_VERSION));
}

// --- Result codes ---------------------------------------------------------------------------

WSCENARIO(slot_above_99_returns_2, kNeedsNothing) {
    Driver& d = Load();
    if (d.Init == nullptr) return;
    for (uint16_t slot : {uint16_t{100}, uint16_t{65535}}) {
        WCHECK_EQ(d.Init(0, slot), 2);
        WCHECK_EQ(d.DeInit(0, slot), 2);
        Digital12 v12;
        Digital24 v24;
        int32_t counters12[12] = {}, counters24[24] = {};
        const uint16_t zeros12[12] = {}, zeros24[24] = {};
        double t[8] = {};
        uint16_t iocValue = 0, iocIn[8] = {};
        const uint16_t iocOut[8] = {};
        if (d.D12ReadDI) WCHECK_EQ(ReadDI12(d, slot, v12), 2);
        if (d.D12ReadDO) WCHECK_EQ(ReadDO12(d, slot, v12), 2);
        if (d.D12WriteDO) WCHECK_EQ(WriteDO12(d, slot, zeros12), 2);
        if (d.D12ReadCI) WCHECK_EQ(ReadCI12(d, slot, counters12), 2);
        if (d.D12ResetCI) WCHECK_EQ(ResetCI12(d, slot, zeros12), 2);
        if (d.D12ErrorClear) WCHECK_EQ(d.D12ErrorClear(0, slot, 1), 2);
        if (d.D24ReadDI) WCHECK_EQ(Read24(d.D24ReadDI, slot, v24), 2);
        if (d.D24ReadDODecorated) WCHECK_EQ(Read24(d.D24ReadDODecorated, slot, v24), 2);
        if (d.D24WriteDO) WCHECK_EQ(WriteDO24(d, slot, zeros24), 2);
        if (d.D24ReadCI) WCHECK_EQ(ReadCI24(d, slot, counters24), 2);
        if (d.D24ResetCI) WCHECK_EQ(ResetCI24(d, slot, zeros24), 2);
        if (d.D24ErrorClear) WCHECK_EQ(d.D24ErrorClear(0, slot, 1), 2);
        if (d.T1Read) WCHECK_EQ(d.T1Read(0, slot, t), 2);
        if (d.T2Read) WCHECK_EQ(d.T2Read(0, slot, t, t + 1), 2);
        if (d.T8Read) WCHECK_EQ(Thermo8(d, 0, slot, t), 2);
        if (d.IocReadDI) WCHECK_EQ(IocReadDI(d, slot, iocValue, iocIn), 2);
        if (d.IocWriteDO) WCHECK_EQ(IocWriteDO(d, slot, iocOut), 2);
    }
}

WSCENARIO(refused_connection_returns_winsock_error, kNeedsNothing) {
    const std::string port = std::to_string(ClosedPort());
    WriteSlot(5, "127.0.0.1", port.c_str(), "500", "pw");
    Driver& d = Load();
    if (d.Init == nullptr) return;
    WCHECK_EQ(d.Init(1, 5), 10061);  // WSAECONNREFUSED
    // The slot is free again: a second attempt fails the same way instead of returning 6.
    WCHECK_EQ(d.Init(1, 5), 10061);
}

WSCENARIO(init_twice_then_deinit, kNeedsNothing) {
    FakeDevice device;
    const std::string port = std::to_string(device.port());
    WriteSlot(3, "127.0.0.1", port.c_str(), "500", "");
    Driver& d = Load();
    if (d.Init == nullptr) return;
    WCHECK_EQ(d.Init(1, 3), 0);
    WCHECK(device.Accept(kEventWaitMs));
    WCHECK_EQ(d.Init(1, 3), 6);
    WCHECK_EQ(d.DeInit(1, 3), 0);
    // After DeInit the device sees the connection end.
    device.ReceiveAtLeast(1, kEventWaitMs);
    WCHECK_EQ(d.Init(1, 3), 0);
    WCHECK(device.Accept(kEventWaitMs));
    WCHECK_EQ(d.DeInit(1, 3), 0);
    // DeInit of a free slot is not refused.
    WCHECK_EQ(d.DeInit(1, 3), 0);
}

WSCENARIO(slot_without_settings_fails_with_socket_error, kNeedsNothing) {
    Driver& d = Load();
    if (d.Init == nullptr) return;
    const int result = d.Init(0, 42);
    // No IP and no port: the connect fails with a Windows Sockets error number.
    WCHECK(result >= 10000);
    std::printf("    Init of an unconfigured slot returned %d\n", result);
}

// --- Wait windows ---------------------------------------------------------------------------

WSCENARIO(wait_windows_follow_language, kNeedsNothing) {
    FakeDevice device;
    const std::string port = std::to_string(device.port());
    WriteSlot(7, "127.0.0.1", port.c_str(), "500", "");
    Driver& d = Load();
    if (d.Init == nullptr) return;
    g_dialogsSeen.clear();
    g_callHook = SetWindowsHookExW(WH_CALLWNDPROCRET, WatchDialogs, nullptr, GetCurrentThreadId());
    WCHECK(g_callHook != nullptr);

    WCHECK_EQ(d.Init(0, 7), 0);    // German
    WCHECK_EQ(d.DeInit(1, 7), 0);  // DeInit's own language is not used: still German
    WCHECK_EQ(d.Init(7, 7), 0);    // any value but 0: English
    WCHECK_EQ(d.DeInit(0, 7), 0);
    UnhookWindowsHookEx(g_callHook);
    g_callHook = nullptr;

    const std::vector<std::wstring> expected = {
        L"Vexlor Treiber|Verbindungsaufbau zum Web-Ger\u00e4t ...",
        L"Vexlor Treiber|Verbindungsabbau zum Web-Ger\u00e4t ...",
        L"Vexlor Driver|Connection to Web Device ...",
        L"Vexlor Driver|Shutdown to Web Device ...",
    };
    WCHECK_EQ(g_dialogsSeen.size(), expected.size());
    for (size_t i = 0; i < g_dialogsSeen.size() && i < expected.size(); ++i) {
        if (g_dialogsSeen[i] != expected[i]) {
            RecordFailure(__FILE__, __LINE__,
                          "wait window " + std::to_string(i) + ": " + Narrow(g_dialogsSeen[i]));
        }
    }
    // Every wait window is gone again.
    WCHECK(FindProcessWindow("#32770", "Vexlor Treiber") == nullptr);
    WCHECK(FindProcessWindow("#32770", "Vexlor Driver") == nullptr);
}

// --- Settings file and the digital protocol over a real connection --------------------------

WSCENARIO(settings_file_password_reaches_request, kNeedsNothing) {
    FakeDevice device;
    const std::string port = std::to_string(device.port());
    // Written with the system's profile functions, scrambled; the driver unscrambles it.
    WriteSlot(12, "127.0.0.1", port.c_str(), "0", "Secret!42");
    Driver& d = Load();
    if (d.Init == nullptr || d.D12ReadDI == nullptr) return;
    WCHECK_EQ(d.Init(1, 12), 0);
    WCHECK(device.Accept(kEventWaitMs));
    Digital12 v;
    WCHECK_EQ(ReadDI12(d, 12, v), 0);
    const std::string request = "GET /input?PW=Secret!42&";
    WCHECK_EQ(device.ReceiveAtLeast(request.size(), kEventWaitMs), request);

    // The device's reply is decoded by the receive thread; a later read returns it.
    WCHECK(device.Send(std::string("input;5A5") + '\0'));
    const bool decoded = WaitFor(
        [&] {
            ReadDI12(d, 12, v);
            return v.word == 0x5A5;
        },
        kEventWaitMs);
    WCHECK(decoded);
    const uint16_t expectedBits[12] = {1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0};
    for (int i = 0; i < 12; ++i) WCHECK_EQ(v.bits[i], expectedBits[i]);
    WCHECK_EQ(d.DeInit(1, 12), 0);
}

// --- Error box ------------------------------------------------------------------------------

WSCENARIO(unrecognised_reply_shows_error_box, kNeedsNothing) {
    FakeDevice device;
    const std::string port = std::to_string(device.port());
    WriteSlot(9, "127.0.0.1", port.c_str(), "0", "");
    Driver& d = Load();
    if (d.Init == nullptr || d.D12ReadDI == nullptr) return;
    WCHECK_EQ(d.Init(1, 9), 0);
    WCHECK(device.Accept(kEventWaitMs));
    Digital12 v;
    WCHECK_EQ(ReadDI12(d, 9, v), 0);  // stamps kind 1: the receive thread runs its parser
    device.ReceiveAtLeast(1, kEventWaitMs);
    WCHECK(device.Send("bogus reply"));

    HWND box = nullptr;
    WCHECK(
        WaitFor([&] { return (box = FindProcessWindow("#32770", "Web-IO 12xDigital")) != nullptr; },
                kWindowWaitMs));
    if (box != nullptr) {
        const std::string texts = StaticTexts(box);
        WCHECK(texts.find("bogus reply") != std::string::npos);
        if (texts.find("bogus reply") == std::string::npos)
            std::printf("    box: %s\n", texts.c_str());
        // The box belongs to the receive thread, not to this one.
        WCHECK(GetWindowThreadProcessId(box, nullptr) != GetCurrentThreadId());
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        WCHECK(WaitFor([&] { return !IsWindow(box); }, kWindowWaitMs));
    }
    // After the box the thread goes on decoding.
    WCHECK(device.Send("input;3"));
    WCHECK(WaitFor(
        [&] {
            ReadDI12(d, 9, v);
            return v.word == 3;
        },
        kEventWaitMs));
    WCHECK_EQ(d.DeInit(1, 9), 0);
}

// --- Thermometer readings -------------------------------------------------------------------

// Plays one poll of a thermometer: accepts, waits for "GET /Single", answers and closes.
DWORD WINAPI AnswerOnePoll(LPVOID device) {
    auto* fake = static_cast<FakeDevice*>(device);
    if (fake->Accept(kEventWaitMs) && fake->ReceiveAtLeast(11, kEventWaitMs) == "GET /Single")
        fake->Send("Lab;23,4\260C;-0,5\302\260C");
    fake->CloseConnection();
    return 0;
}

// Readings as the devices write them (decimal commas, the UTF-8 degree sign), read by the DLL's
// own C runtime while the host process has a German locale (decimal comma) set.
WSCENARIO(thermometer_readings_with_decimal_commas, kNeedsNothing) {
    for (const char* name : {"German_Germany.1252", "German", "de-DE"}) {
        if (std::setlocale(LC_ALL, name) != nullptr) break;
    }
    FakeDevice device;
    WriteSlot(30, "127.0.0.1", std::to_string(device.port()).c_str(), "3000", "");
    Driver& d = Load();
    if (d.T2Read == nullptr) return;
    HANDLE thread = CreateThread(nullptr, 0, AnswerOnePoll, &device, 0, nullptr);
    double t[2] = {0, 0};
    WCHECK_EQ(d.T2Read(1, 30, t, t + 1), 0);
    const bool right = std::fabs(t[0] - 23.4) < 1e-9 && std::fabs(t[1] + 0.5) < 1e-9;
    WCHECK(right);
    if (!right) std::printf("    read %g, %g\n", t[0], t[1]);
    WaitForSingleObject(thread, kEventWaitMs);
    CloseHandle(thread);
    std::setlocale(LC_ALL, "C");
}

// --- Trace lines through ORVANE.DLL ---------------------------------------------------------

WSCENARIO(trace_lines_reach_trace_library, kNeedsTraceLibrary) {
    const std::string traceFile = Env().traceFile;
    DeleteFileA(traceFile.c_str());
    _putenv_s("ORVANE_TRACE_FILE", traceFile.c_str());
    FakeDevice device;
    const std::string port = std::to_string(device.port());
    const std::string refused = std::to_string(ClosedPort());
    WriteSlot(4, "127.0.0.1", port.c_str(), "500", "");
    WriteSlot(6, "127.0.0.1", refused.c_str(), "500", "");

    Driver& d = Load();
    if (d.Init != nullptr) {
        WCHECK_EQ(d.Init(1, 4), 0);
        WCHECK(device.Accept(kEventWaitMs));
        WCHECK_EQ(d.DeInit(1, 4), 0);
        WCHECK_EQ(d.Init(1, 6), 10061);
    }
    Unload();
    _putenv_s("ORVANE_TRACE_FILE", "");

    const std::string trace = ReadWholeFile(traceFile);
    const std::vector<std::string> expected = {
        "C1 Ret=",
        "; LoadLibrary (WSOCK32.DLL)",
        "; CreateThread (NULL, 0, ThreadDev, 4, &...)",
        "; inet_addr (127.0.0.1)",
        "C2 Ret=16777343; inet_addr (127.0.0.1)",
        "; socket (AF_INET, SOCK_STREAM, 0)",
        "C2 Ret=0; bind (",
        "C2 Ret=" + std::to_string(htons(static_cast<u_short>(device.port()))) + "; htons (" +
            port + ")",
        "C2 Ret=0; connect (",
        "C1 SetThreadPriority (GetCurrentThread (), 0)",
        "C1 ExitThread (0)",
        "; shutdown (",
        "; setsockopt (",
        ", SOL_SOCKET, SO_LINGER, &..., sizeof(...))",
        "; closesocket (",
        "C2 Ret=-1; connect (",
        "C2 Ret=10061; WSAGetLastError ()",
    };
    for (const std::string& piece : expected) {
        if (trace.find(piece) == std::string::npos) {
            RecordFailure(__FILE__, __LINE__, std::string("trace lacks \"") + piece + "\"");
        }
    }
    if (trace.empty()) std::printf("    trace file %s is empty or missing\n", traceFile.c_str());
}

}  // namespace wintest

namespace wintest {

// --- Socket errors and numbers from the settings file ---------------------------------------

// With a trace library whose line handler changes the thread's last error (the stand-in
// ORVANE.DLL of bin\trace-probe), Init still returns the Windows Sockets error of the call that
// failed, and the trace lines keep their order. A Port beyond the 32-bit range reads as its
// limit, as strtol reads it here.
WSCENARIO(init_socket_error_survives_trace_library, kNeedsNothing) {
    const std::string probePath = Env().hostDir + "trace-probe\\ORVANE.dll";
    HMODULE probe = LoadLibraryA(probePath.c_str());
    WCHECK(probe != nullptr);
    if (probe == nullptr) return;
    using TakeFn = int(__cdecl*)(char*, int);
    auto take =
        reinterpret_cast<TakeFn>(reinterpret_cast<void*>(GetProcAddress(probe, "TraceProbeTake")));
    WCHECK(take != nullptr);
    static char lines[1 << 16];
    auto takeLines = [&] {
        if (take == nullptr) return std::string();
        take(lines, sizeof lines);
        return std::string(lines);
    };
    // Lines in this order, each the first one at or after the one before.
    auto expectInOrder = [](const std::string& text, const std::vector<std::string>& pieces) {
        size_t at = 0;
        for (const std::string& piece : pieces) {
            const size_t found = text.find(piece, at);
            if (found == std::string::npos) {
                RecordFailure(__FILE__, __LINE__, "trace lacks, in order, \"" + piece + "\"");
                std::printf("    trace:\n%s\n", text.c_str());
                return;
            }
            at = found + piece.size();
        }
    };

    const std::string refused = std::to_string(ClosedPort());
    WriteSlot(5, "127.0.0.1", refused.c_str(), "500", "");
    WriteSlot(6, "127.0.0.1", "4294967376", "500", "");
    Driver& d = Load();
    if (d.Init != nullptr) {
        // The driver bound the stand-in, not the ORVANE.DLL beside it.
        WCHECK(takeLines().find("C1 Ret=") != std::string::npos);

        WCHECK_EQ(d.Init(1, 5), 10061);  // WSAECONNREFUSED
        expectInOrder(takeLines(), {"C2 Ret=0; bind (", "C2 Ret=-1; connect (",
                                    "C2 Ret=10061; WSAGetLastError ()\n"});

        // Port 2^32 + 80 reads as 2147483647 (not as 80): htons of its low 16 bits, 65535.
        const int result = d.Init(1, 6);
        WCHECK(result >= 10000);
        expectInOrder(takeLines(), {"C2 Ret=65535; htons (2147483647)\n", "C2 Ret=-1; connect ("});

        // Ending every Windows Sockets session of the process makes socket() fail with
        // WSANOTINITIALISED; the sessions are started again afterwards.
        int sessions = 0;
        while (sessions < 16 && WSACleanup() == 0) ++sessions;
        WCHECK(sessions >= 2);  // the host's and the driver's
        WCHECK_EQ(d.Init(1, 5), 10093);
        for (int i = 0; i < sessions; ++i) {
            WSADATA data;
            WSAStartup(MAKEWORD(2, 2), &data);
        }
        expectInOrder(takeLines(), {"C2 Ret=-1; socket (AF_INET, SOCK_STREAM, 0)\n"});
        WCHECK_EQ(d.Init(1, 5), 10061);
    }
    Unload();
    FreeLibrary(probe);
}

// Timing 2^32 + 10 reads as 2147483647 ms (about 24.8 days), not as 10 ms: a slot opened now
// is due at most once (on a system up for longer than that), then never again.
WSCENARIO(timing_beyond_32_bits_reads_as_its_limit, kNeedsNothing) {
    FakeDevice device;
    WriteSlot(13, "127.0.0.1", std::to_string(device.port()).c_str(), "4294967306", "");
    Driver& d = Load();
    if (d.Init == nullptr || d.D12ReadDI == nullptr) return;
    WCHECK_EQ(d.Init(1, 13), 0);
    WCHECK(device.Accept(kEventWaitMs));
    Digital12 v;
    for (int i = 0; i < 6; ++i) {
        WCHECK_EQ(ReadDI12(d, 13, v), 0);
        Sleep(40);
    }
    const std::string request = "GET /input?PW=&";
    const std::string received = device.ReceiveAtLeast(2 * request.size(), 500);
    WCHECK(received.empty() || received == request);
    WCHECK_EQ(d.DeInit(1, 13), 0);
}

}  // namespace wintest

namespace wintest {

// --- One error box per slot -----------------------------------------------------------------

namespace {

struct WindowCount {
    const char* className;
    const char* caption;
    int count;
};

BOOL CALLBACK CountWindow(HWND window, LPARAM parameter) {
    auto* request = reinterpret_cast<WindowCount*>(parameter);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char name[64] = {}, text[256] = {};
    GetClassNameA(window, name, sizeof name);
    GetWindowTextA(window, text, sizeof text);
    if (pid == GetCurrentProcessId() && std::strcmp(name, request->className) == 0 &&
        std::strcmp(text, request->caption) == 0) {
        ++request->count;
    }
    return TRUE;
}

// The top-level windows of this process with the given class and caption.
int CountProcessWindows(const char* className, const char* caption) {
    WindowCount request{className, caption, 0};
    EnumWindows(CountWindow, reinterpret_cast<LPARAM>(&request));
    return request.count;
}

int ThreadsOfThisProcess() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    }
    CloseHandle(snapshot);
    return count;
}

}  // namespace

// A device that answers every poll of slot 14 with text that is not a reply, 300 times, each
// time on a new connection: the first receive thread opens its error box and stays there, every
// later one meets the same text while that box is open, writes a trace line instead of a second
// box and ends with its DeInit. Slot 15 meanwhile opens and decodes as usual; closing the one
// box lets slot 14 go on.
WSCENARIO(error_boxes_of_one_slot_never_pile_up, kNeedsNothing) {
    constexpr int kPolls = 300;
    const std::string probePath = Env().hostDir + "trace-probe\\ORVANE.dll";
    HMODULE probe = LoadLibraryA(probePath.c_str());
    WCHECK(probe != nullptr);
    if (probe == nullptr) return;
    using TakeFn = int(__cdecl*)(char*, int);
    auto take =
        reinterpret_cast<TakeFn>(reinterpret_cast<void*>(GetProcAddress(probe, "TraceProbeTake")));
    static char lines[1 << 16];
    const std::string notShown =
        "C1 MessageBoxA not shown (slot 14 has a box open): Web-IO 12xDigital: bogus reply";

    FakeDevice bad, good;
    WriteSlot(14, "127.0.0.1", std::to_string(bad.port()).c_str(), "0", "");
    WriteSlot(15, "127.0.0.1", std::to_string(good.port()).c_str(), "0", "");
    Driver& d = Load();
    if (d.Init == nullptr || d.D12ReadDI == nullptr || take == nullptr) {
        Unload();
        FreeLibrary(probe);
        return;
    }
    const int threadsBefore = ThreadsOfThisProcess();
    const std::string request = "GET /input?PW=&";
    Digital12 v;
    int suppressed = 0;
    for (int poll = 0; poll < kPolls; ++poll) {
        if (d.Init(1, 14) != 0 || !bad.Accept(kEventWaitMs)) {
            RecordFailure(__FILE__, __LINE__, "poll " + std::to_string(poll) + " did not connect");
            break;
        }
        ReadDI12(d, 14, v);
        bad.ReceiveAtLeast(request.size(), kEventWaitMs);
        bad.Send(std::string("bogus reply") + '\0');
        const bool handled = WaitFor(
            [&] {
                if (poll == 0) return FindProcessWindow("#32770", "Web-IO 12xDigital") != nullptr;
                take(lines, sizeof lines);
                if (std::strstr(lines, notShown.c_str()) == nullptr) return false;
                ++suppressed;
                return true;
            },
            kWindowWaitMs);
        if (!handled) {
            RecordFailure(__FILE__, __LINE__, "poll " + std::to_string(poll) + ": reply not seen");
            break;
        }
        d.DeInit(1, 14);
    }
    WCHECK_EQ(suppressed, kPolls - 1);
    WCHECK_EQ(CountProcessWindows("#32770", "Web-IO 12xDigital"), 1);
    // One thread held in the box, not one per poll.
    const int threadsAfter = ThreadsOfThisProcess();
    WCHECK(threadsAfter - threadsBefore <= 3);
    std::printf("    %d polls: threads %d -> %d\n", kPolls, threadsBefore, threadsAfter);

    WCHECK_EQ(d.Init(1, 15), 0);
    WCHECK(good.Accept(kEventWaitMs));
    WCHECK_EQ(ReadDI12(d, 15, v), 0);
    good.ReceiveAtLeast(request.size(), kEventWaitMs);
    WCHECK(good.Send(std::string("input;5A5") + '\0'));
    WCHECK(WaitFor(
        [&] {
            ReadDI12(d, 15, v);
            return v.word == 0x5A5;
        },
        kEventWaitMs));

    // Closing the box: the next poll of slot 14 decodes its reply.
    HWND box = FindProcessWindow("#32770", "Web-IO 12xDigital");
    if (box != nullptr) PostMessageA(box, WM_COMMAND, IDOK, 0);
    WCHECK(WaitFor([] { return FindProcessWindow("#32770", "Web-IO 12xDigital") == nullptr; },
                   kWindowWaitMs));
    WCHECK_EQ(d.Init(1, 14), 0);
    WCHECK(bad.Accept(kEventWaitMs));
    WCHECK_EQ(ReadDI12(d, 14, v), 0);
    bad.ReceiveAtLeast(request.size(), kEventWaitMs);
    WCHECK(bad.Send(std::string("input;3") + '\0'));
    WCHECK(WaitFor(
        [&] {
            ReadDI12(d, 14, v);
            return v.word == 3;
        },
        kEventWaitMs));
    WCHECK_EQ(d.DeInit(1, 14), 0);
    WCHECK_EQ(d.DeInit(1, 15), 0);
    Unload();
    FreeLibrary(probe);
}

}  // namespace wintest
