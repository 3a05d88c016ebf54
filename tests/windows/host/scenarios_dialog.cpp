// The hardware configuration dialog, opened through the exported function and driven from a
// second thread of the host the way a user would: clicking into controls (the platform moves the
// focus, and the controls report their focus loss), typing texts, changing the device count,
// switching pages and pressing OK or Cancel. The resulting Vexlor.ini is checked, and a picture
// of each dialog is saved as a PNG file in <build>/dialog-screenshots/.
//
// Also here: the function-key filter that the driver installs for the thread that loads it.
// F5 .. F8 in a dialog box or message box of that thread are consumed and turned into
// WM_USER + 5 .. + 8 posted to the configuration dialog's window.
#include <winsock2.h>
// after winsock2.h
#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"

namespace wintest {
namespace {

// --- Common controls ------------------------------------------------------------------------

// A host registers the tab control's window class by initialising the common controls; the
// driver relies on that. Bound by name so that the host needs no import library for it.
bool InitCommonControlsForTabs() {
    HMODULE comctl = LoadLibraryA("comctl32.dll");
    if (comctl == nullptr) return false;
    using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto init = reinterpret_cast<InitFn>(
        reinterpret_cast<void*>(GetProcAddress(comctl, "InitCommonControlsEx")));
    if (init == nullptr) return false;
    INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_TAB_CLASSES};
    return init(&icc) != FALSE;
}

// --- Message filter observer ----------------------------------------------------------------
// A second WH_MSGFILTER hook on the loading thread, installed after the driver's and therefore
// called first: it passes every message on and records what the driver's filter answered for
// function keys, and which WM_USER + 5 .. + 8 messages came through the modal loops.

HHOOK g_observer = nullptr;
std::atomic<int> g_f5Consumed{0};  // F5 key-downs the next hook answered 1 for
std::atomic<int> g_f5Passed{0};    // F5 key-downs the next hook answered 0 for
std::atomic<int> g_f9Consumed{0};
std::atomic<int> g_f9Passed{0};
std::atomic<int> g_userFiveSeen{0};  // WM_USER + 5 messages seen in a modal loop
std::atomic<HWND> g_userFiveWindow{nullptr};

LRESULT CALLBACK ObserverHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code < 0) return CallNextHookEx(g_observer, code, wParam, lParam);
    const MSG* msg = reinterpret_cast<const MSG*>(lParam);
    const LRESULT next = CallNextHookEx(g_observer, code, wParam, lParam);
    if (code == MSGF_DIALOGBOX && msg != nullptr) {
        if (msg->message == WM_KEYDOWN && msg->wParam == VK_F5) {
            (next != 0 ? g_f5Consumed : g_f5Passed).fetch_add(1);
        } else if (msg->message == WM_KEYDOWN && msg->wParam == VK_F9) {
            (next != 0 ? g_f9Consumed : g_f9Passed).fetch_add(1);
        } else if (msg->message == WM_USER + 5) {
            g_userFiveWindow.store(msg->hwnd);
            g_userFiveSeen.fetch_add(1);
        }
    }
    return next;
}

void InstallObserver() {
    g_f5Consumed = 0;
    g_f5Passed = 0;
    g_f9Consumed = 0;
    g_f9Passed = 0;
    g_userFiveSeen = 0;
    g_userFiveWindow = nullptr;
    g_observer = SetWindowsHookExA(WH_MSGFILTER, ObserverHook, nullptr, GetCurrentThreadId());
    WCHECK(g_observer != nullptr);
}

void RemoveObserver() {
    if (g_observer != nullptr) UnhookWindowsHookEx(g_observer);
    g_observer = nullptr;
}

// --- Finding and driving windows ------------------------------------------------------------

struct FindRequest {
    std::string titlePrefix;
    HWND found = nullptr;
};

BOOL CALLBACK FindByTitlePrefix(HWND window, LPARAM parameter) {
    auto* request = reinterpret_cast<FindRequest*>(parameter);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    if (std::strcmp(className, "#32770") != 0) return TRUE;
    char title[512] = {};
    GetWindowTextA(window, title, sizeof title);
    if (std::strncmp(title, request->titlePrefix.c_str(), request->titlePrefix.size()) != 0) {
        return TRUE;
    }
    request->found = window;
    return FALSE;
}

HWND WaitForDialog(const std::string& titlePrefix) {
    FindRequest request{titlePrefix};
    WaitFor(
        [&] {
            request.found = nullptr;
            EnumWindows(FindByTitlePrefix, reinterpret_cast<LPARAM>(&request));
            return request.found != nullptr;
        },
        kWindowWaitMs);
    return request.found;
}

std::string Text(HWND dialog, int id) {
    char buffer[512] = {};
    GetDlgItemTextA(dialog, id, buffer, sizeof buffer);
    return buffer;
}

std::wstring TextW(HWND dialog, int id) {
    wchar_t buffer[512] = {};
    GetDlgItemTextW(dialog, id, buffer, 512);
    return buffer;
}

bool Enabled(HWND dialog, int id) {
    return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE;
}

// A mouse click into a control: the control's own thread handles it and moves the focus.
void Click(HWND control) {
    SendMessageA(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageA(control, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
}

// Clicks into a control of the dialog and replaces its text, as typing would.
void Type(HWND dialog, int id, const char* text) {
    HWND control = GetDlgItem(dialog, id);
    if (id == 1100) {
        // The count box's editable field is a child edit of the combo box.
        HWND field = FindWindowExA(control, nullptr, "Edit", nullptr);
        Click(field != nullptr ? field : control);
    } else {
        Click(control);
    }
    SetDlgItemTextA(dialog, id, text);
}

int TabCount(HWND dialog) {
    return static_cast<int>(SendDlgItemMessageA(dialog, 1101, TCM_GETITEMCOUNT, 0, 0));
}

std::string TabText(HWND dialog, int index) {
    char buffer[128] = {};
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = buffer;
    item.cchTextMax = sizeof buffer;
    SendDlgItemMessageA(dialog, 1101, TCM_GETITEMA, static_cast<WPARAM>(index),
                        reinterpret_cast<LPARAM>(&item));
    return buffer;
}

// Selects a tab and sends the selection-change notification, as the tab control does when the
// user clicks a tab.
void SelectTab(HWND dialog, int index) {
    HWND tab = GetDlgItem(dialog, 1101);
    SendMessageA(tab, TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
    NMHDR header{};
    header.hwndFrom = tab;
    header.idFrom = 1101;
    header.code = TCN_SELCHANGE;
    SendMessageA(dialog, WM_NOTIFY, 1101, reinterpret_cast<LPARAM>(&header));
}

bool TitleMatches(const std::string& title, const std::string& base) {
    // "<base>, Version: 0.05  (Mmm dd yyyy)"
    const std::string head = base + ", Version: 0.05  (";
    if (title.compare(0, head.size(), head) != 0) return false;
    const std::string date = title.substr(head.size());
    return date.size() == 12 && date.back() == ')' && date[3] == ' ' && date[6] == ' ';
}

// --- Screenshots ----------------------------------------------------------------------------

uint32_t Crc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

void PutBig32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

void PutChunk(std::string& out, const char* type, const std::string& data) {
    PutBig32(out, static_cast<uint32_t>(data.size()));
    const std::string body = std::string(type, 4) + data;
    out += body;
    PutBig32(out, Crc32(body));
}

// An RGB image as a PNG file (deflate with stored blocks: no compression library needed).
std::string EncodePng(int width, int height, const std::vector<uint8_t>& rgb) {
    std::string raw;
    for (int y = 0; y < height; ++y) {
        raw += '\0';  // filter: none
        raw.append(reinterpret_cast<const char*>(&rgb[static_cast<size_t>(y) * width * 3]),
                   static_cast<size_t>(width) * 3);
    }
    std::string z = "\x78\x01";
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t at = 0; at < raw.size() || at == 0; at += 65535) {
        const size_t n = raw.size() - at < 65535 ? raw.size() - at : 65535;
        z += static_cast<char>(at + n >= raw.size() ? 1 : 0);
        z += static_cast<char>(n & 0xFF);
        z += static_cast<char>(n >> 8);
        z += static_cast<char>(~n & 0xFF);
        z += static_cast<char>((~n >> 8) & 0xFF);
        z.append(raw, at, n);
        if (raw.empty()) break;
    }
    PutBig32(z, (b << 16) | a);
    std::string ihdr;
    PutBig32(ihdr, static_cast<uint32_t>(width));
    PutBig32(ihdr, static_cast<uint32_t>(height));
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB
    std::string png = "\x89PNG\r\n\x1a\n";
    PutChunk(png, "IHDR", ihdr);
    PutChunk(png, "IDAT", z);
    PutChunk(png, "IEND", "");
    return png;
}

// Copies the window's area of the screen into <build>/dialog-screenshots/<name>.png. Returns
// the number of distinct colours in the picture (a blank capture has one or two).
int SaveScreenshot(HWND window, const char* name) {
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Sleep(300);
    RECT rect{};
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return 0;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    std::vector<uint32_t> colours;
    const auto* pixels = static_cast<const uint8_t*>(bits);
    for (int i = 0; i < width * height; ++i) {
        rgb[3 * i] = pixels[4 * i + 2];
        rgb[3 * i + 1] = pixels[4 * i + 1];
        rgb[3 * i + 2] = pixels[4 * i];
        const uint32_t colour = (rgb[3 * i] << 16) | (rgb[3 * i + 1] << 8) | rgb[3 * i + 2];
        if (colours.size() < 64) {
            bool known = false;
            for (uint32_t c : colours) known = known || c == colour;
            if (!known) colours.push_back(colour);
        }
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    const std::string dir = Env().hostDir + "..\\dialog-screenshots\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string path = dir + name + ".png";
    const std::string png = EncodePng(width, height, rgb);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, png.data(), static_cast<DWORD>(png.size()), &written, nullptr);
        CloseHandle(file);
        std::printf("    screenshot %s (%d x %d)\n", path.c_str(), width, height);
    } else {
        RecordFailure(__FILE__, __LINE__, "cannot write " + path);
    }
    return static_cast<int>(colours.size());
}

// --- Running the dialog with a script on a second thread ------------------------------------

struct Script {
    void (*run)(Script& script) = nullptr;
    HWND dialog = nullptr;
    std::string titlePrefix;
    RECT rectAtEnd{};
};

DWORD WINAPI ScriptThread(LPVOID parameter) {
    auto* script = static_cast<Script*>(parameter);
    script->dialog = WaitForDialog(script->titlePrefix);
    if (script->dialog == nullptr) {
        RecordFailure(__FILE__, __LINE__, "the dialog did not appear: " + script->titlePrefix);
        return 0;
    }
    script->run(*script);
    // Whatever happened, the dialog must not stay open: the host's thread waits for it.
    if (IsWindow(script->dialog)) {
        WaitFor([&] { return !IsWindow(script->dialog); }, kWindowWaitMs);
        if (IsWindow(script->dialog)) {
            RecordFailure(__FILE__, __LINE__, "the dialog was still open at the end");
            PostMessageA(script->dialog, WM_COMMAND, IDCANCEL, 0);
        }
    }
    return 0;
}

// Opens the dialog through the exported function while `script` drives it; returns the
// function's result.
int RunDialog(Driver& d, uint16_t language, Script& script) {
    script.titlePrefix = language == 0 ? "Hardware-Einstellungen" : "Hardware Setup";
    HANDLE thread = CreateThread(nullptr, 0, ScriptThread, &script, 0, nullptr);
    WCHECK(thread != nullptr);
    const int result = d.ConfigHardware(language);
    if (thread != nullptr) {
        WCHECK(WaitForSingleObject(thread, kWindowWaitMs + kEventWaitMs) == WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    return result;
}

Driver* LoadForDialog() {
    Driver& d = Load();
    if (d.module == nullptr || d.ConfigHardware == nullptr) {
        RecordFailure(__FILE__, __LINE__, "VexlorDlgWeb_IO_ConfigHardware not available");
        return nullptr;
    }
    WCHECK(InitCommonControlsForTabs());
    return &d;
}

// --- Scenarios ------------------------------------------------------------------------------

// English, from an empty settings file: one device; 25 devices entered in the count box; slot 0
// and slot 24 edited on pages 1 and 3; F5 in the dialog consumed; OK.
void EnglishScript(Script& s) {
    HWND dlg = s.dialog;
    char title[512] = {};
    GetWindowTextA(dlg, title, sizeof title);
    WCHECK(TitleMatches(title, "Hardware Setup"));
    WCHECK_EQ(TabCount(dlg), 1);
    WCHECK_EQ(TabText(dlg, 0), std::string("Device 0...9"));
    WCHECK_EQ(Text(dlg, 2100), std::string("Device 0"));
    WCHECK_EQ(Text(dlg, 2109), std::string("Device 9"));
    WCHECK_EQ(Text(dlg, 1100), std::string("1"));
    WCHECK_EQ(Text(dlg, 1000), std::string("0.0.0.0"));
    WCHECK_EQ(Text(dlg, 1001), std::string("80"));
    WCHECK_EQ(Text(dlg, 1002), std::string("500"));
    WCHECK(Enabled(dlg, 1000) && Enabled(dlg, 1002) && Enabled(dlg, 1003));
    WCHECK(!Enabled(dlg, 1001));
    WCHECK(!Enabled(dlg, 1004));  // row 1 is beyond the count
    WCHECK_EQ(SendDlgItemMessageA(dlg, 1100, CB_GETCOUNT, 0, 0), 100);
    // The platform gave the focus to the first tab stop: the first IP edit (the count box is
    // no tab stop in this template).
    WCHECK(GetDlgItem(dlg, 1000) != nullptr);

    // The count: typed into the count box, applied when the box loses the focus.
    Type(dlg, 1100, "25");
    WCHECK_EQ(TabCount(dlg), 1);
    Click(GetDlgItem(dlg, 1000));
    WCHECK(WaitFor([&] { return TabCount(dlg) == 3; }, kEventWaitMs));
    WCHECK_EQ(TabText(dlg, 2), std::string("Device 20...29"));
    WCHECK(Enabled(dlg, 1036));

    // Slot 0 on page 1.
    Type(dlg, 1000, "127.0.0.5");
    Type(dlg, 1002, "250");
    Type(dlg, 1003, "geheim!");
    // F5 in the dialog is consumed by the driver's filter and reaches the dialog as WM_USER + 5;
    // F9 passes.
    PostMessageA(GetDlgItem(dlg, 1003), WM_KEYDOWN, VK_F5, 0x003F0001);
    PostMessageA(GetDlgItem(dlg, 1003), WM_KEYDOWN, VK_F9, 0x00430001);
    WCHECK(
        WaitFor([] { return g_userFiveSeen.load() >= 1 && g_f9Passed.load() >= 1; }, kEventWaitMs));
    WCHECK_EQ(g_f5Consumed.load(), 1);
    WCHECK_EQ(g_f5Passed.load(), 0);
    WCHECK(g_userFiveWindow.load() == dlg);
    WCHECK_EQ(g_f9Consumed.load(), 0);

    // Page 3: rows 0..4 (slots 20..24) editable, 5..9 not.
    SelectTab(dlg, 2);
    WCHECK_EQ(Text(dlg, 2100), std::string("Device 20"));
    WCHECK_EQ(Text(dlg, 2109), std::string("Device 29"));
    WCHECK(Enabled(dlg, 1016) && !Enabled(dlg, 1020) && !Enabled(dlg, 1017));
    WCHECK_EQ(Text(dlg, 1020), std::string("0.0.0.0"));  // disabled rows show their slots
    Type(dlg, 1016, "127.0.0.24");
    Type(dlg, 1019, "I/O Controller");
    Type(dlg, 1018, "2000");  // still focused when OK is pressed

    WCHECK(SaveScreenshot(dlg, "dialog-english") > 8);
    GetWindowRect(dlg, &s.rectAtEnd);
    SendMessageA(GetDlgItem(dlg, IDOK), BM_CLICK, 0, 0);
}

WSCENARIO(config_dialog_english_ok, kNeedsNothing) {
    Driver* d = LoadForDialog();
    if (d == nullptr) return;
    InstallObserver();
    Script script;
    script.run = EnglishScript;
    WCHECK_EQ(RunDialog(*d, 2, script), 0);  // any language but 0 is English
    RemoveObserver();

    WCHECK_EQ(ReadIniValue("DEV", "Devices"), std::string("25"));
    WCHECK_EQ(ReadIniValue("DEV0", "IP"), std::string("127.0.0.5"));
    WCHECK_EQ(ReadIniValue("DEV0", "Port"), std::string("80"));
    WCHECK_EQ(ReadIniValue("DEV0", "Timing"), std::string("250"));
    WCHECK_EQ(ReadIniValue("DEV0", "Password"), Scramble("geheim!"));
    WCHECK_EQ(ReadIniValue("DEV24", "IP"), std::string("127.0.0.24"));
    WCHECK_EQ(ReadIniValue("DEV24", "Port"), std::string("23"));
    WCHECK_EQ(ReadIniValue("DEV24", "Timing"), std::string("2000"));
    WCHECK_EQ(ReadIniValue("DEV24", "Password"), std::string("I/O Controller"));
    WCHECK_EQ(ReadIniValue("DEV99", "IP"), std::string("0.0.0.0"));
    WCHECK_EQ(ReadIniValue("DEV99", "Timing"), std::string("500"));
    WCHECK_EQ(ReadIniValue("WINDOW", "Window Left"), std::to_string(script.rectAtEnd.left));
    WCHECK_EQ(ReadIniValue("WINDOW", "Window Top"), std::to_string(script.rectAtEnd.top));
    WCHECK_EQ(ReadIniValue("WINDOW", "Window Right"), std::to_string(script.rectAtEnd.right));
    WCHECK_EQ(ReadIniValue("WINDOW", "Window Bottom"), std::to_string(script.rectAtEnd.bottom));
}

// German, with a saved position and a stored count of 250: the window stands at the saved
// place, the count is limited to 100; values edited, then Cancel leaves the file as it was.
void GermanScript(Script& s) {
    HWND dlg = s.dialog;
    char title[512] = {};
    GetWindowTextA(dlg, title, sizeof title);
    WCHECK(TitleMatches(title, "Hardware-Einstellungen"));
    RECT rect{};
    GetWindowRect(dlg, &rect);
    WCHECK_EQ(static_cast<int>(rect.left), 40);
    WCHECK_EQ(static_cast<int>(rect.top), 30);
    WCHECK_EQ(Text(dlg, 1100), std::string("100"));
    WCHECK_EQ(TabCount(dlg), 10);
    WCHECK(TabText(dlg, 9) == "Ger\xE4t 90...99");
    WCHECK(TextW(dlg, 2100) == L"Ger\u00e4t 0");
    WCHECK(TextW(dlg, 2111) == L" Ger\u00e4teanzahl ");
    WCHECK_EQ(Text(dlg, 1000), std::string("127.0.0.9"));
    WCHECK_EQ(Text(dlg, 1003), std::string("abc"));
    WCHECK(SaveScreenshot(dlg, "dialog-german") > 8);

    SelectTab(dlg, 9);
    WCHECK(TextW(dlg, 2109) == L"Ger\u00e4t 99");
    WCHECK(Enabled(dlg, 1036));
    Type(dlg, 1036, "10.0.0.99");
    Type(dlg, 1100, "3");
    Click(GetDlgItem(dlg, 1002));
    WCHECK(WaitFor([&] { return TabCount(dlg) == 1; }, kEventWaitMs));
    WCHECK(TextW(dlg, 2100) == L"Ger\u00e4t 0");
    WCHECK(!Enabled(dlg, 1012));
    SendMessageA(GetDlgItem(dlg, IDCANCEL), BM_CLICK, 0, 0);
}

WSCENARIO(config_dialog_german_cancel, kNeedsNothing) {
    const std::string path = IniPath();
    WritePrivateProfileStringA("WINDOW", "Window Left", "40", path.c_str());
    WritePrivateProfileStringA("WINDOW", "Window Top", "30", path.c_str());
    WritePrivateProfileStringA("DEV", "Devices", "250", path.c_str());
    WriteSlot(0, "127.0.0.9", "80", "0", "abc");
    const std::string before = ReadWholeFile(path);
    Driver* d = LoadForDialog();
    if (d == nullptr) return;
    Script script;
    script.run = GermanScript;
    WCHECK_EQ(RunDialog(*d, 0, script), 0);
    WCHECK(ReadWholeFile(path) == before);
}

// F5 in a message box of the loading thread does nothing: the driver's filter consumes it.
// Before any dialog has been opened its message goes to the thread's own queue. Once the driver
// is unloaded, the filter is gone and F5 passes again.
struct BoxScript {
    std::string caption;
};

DWORD WINAPI PressF5InMessageBox(LPVOID parameter) {
    auto* script = static_cast<BoxScript*>(parameter);
    HWND box = nullptr;
    WaitFor(
        [&] {
            box = FindWindowA("#32770", script->caption.c_str());
            return box != nullptr && IsWindowVisible(box);
        },
        kWindowWaitMs);
    if (box == nullptr) {
        RecordFailure(__FILE__, __LINE__, "the message box did not appear");
        return 0;
    }
    const int before = g_f5Consumed.load() + g_f5Passed.load();
    PostMessageA(box, WM_KEYDOWN, VK_F5, 0x003F0001);
    WaitFor([&] { return g_f5Consumed.load() + g_f5Passed.load() > before; }, kEventWaitMs);
    Sleep(100);
    WCHECK(IsWindow(box));  // still open
    SendMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    return 0;
}

void ShowBoxAndPressF5(const char* caption) {
    BoxScript script{caption};
    HANDLE thread = CreateThread(nullptr, 0, PressF5InMessageBox, &script, 0, nullptr);
    WCHECK(thread != nullptr);
    MessageBoxA(nullptr, "F5", caption, MB_OK);
    if (thread != nullptr) {
        WCHECK(WaitForSingleObject(thread, kWindowWaitMs + kEventWaitMs) == WAIT_OBJECT_0);
        CloseHandle(thread);
    }
}

WSCENARIO(function_keys_in_message_box, kNeedsNothing) {
    Driver& d = Load();
    if (d.module == nullptr) return;
    InstallObserver();
    ShowBoxAndPressF5("Vexlor F5 test");
    WCHECK_EQ(g_f5Consumed.load(), 1);
    WCHECK_EQ(g_f5Passed.load(), 0);
    // No dialog opened yet: the posted WM_USER + 5 went to this thread's queue, where the box's
    // modal loop met it.
    WCHECK(g_userFiveSeen.load() >= 1);
    WCHECK(g_userFiveWindow.load() == nullptr);
    RemoveObserver();

    Unload();
    InstallObserver();
    ShowBoxAndPressF5("Vexlor F5 test, unloaded");
    WCHECK_EQ(g_f5Consumed.load(), 0);
    WCHECK_EQ(g_f5Passed.load(), 1);
    RemoveObserver();
}

}  // namespace
}  // namespace wintest
