#include "config_tool.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "config/settings.h"
#include "module_path.h"

namespace vexlorconfig {

namespace {

using vexlor::g_settings;

constexpr char kDefaultIp[] = "0.0.0.0";
constexpr char kDefaultPort[] = "80";
constexpr char kDefaultTiming[] = "500";
constexpr char kReconnectOff[] = "0";

bool AllDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool ParseSlotNumber(const std::string& text, int& slot) {
    if (!AllDigits(text) || text.size() > 3) return false;
    slot = std::atoi(text.c_str());
    return slot < vexlor::kSettingsSlots;
}

bool NeedValue(const std::vector<std::string>& args, size_t i, std::string& error) {
    if (i + 1 < args.size()) return true;
    error = args[i] + " needs a value";
    return false;
}

bool IsDefaultSlot(int slot) {
    const uint16_t s = static_cast<uint16_t>(slot);
    return std::strcmp(g_settings.ip[slot], kDefaultIp) == 0 &&
           std::strcmp(g_settings.port[slot], kDefaultPort) == 0 &&
           std::strcmp(g_settings.timing[slot], kDefaultTiming) == 0 &&
           g_settings.password[slot][0] == '\0' &&
           vexlor::SlotReplyTimeoutMs(s) == vexlor::kDefaultReplyTimeoutMs &&
           !vexlor::SlotReconnect(s) && vexlor::SlotKeepAliveMs(s) == vexlor::kDefaultKeepAliveMs;
}

// "5000", or "off" for 0 milliseconds.
std::string MillisecondsText(int32_t ms) {
    return ms == 0 ? "off" : std::to_string(ms);
}

void Apply(const SlotEdit& edit) {
    const int s = edit.slot;
    using vexlor::CopyField;
    if (edit.reset) {
        CopyField(g_settings.ip[s], vexlor::kShortFieldSize, kDefaultIp);
        CopyField(g_settings.port[s], vexlor::kShortFieldSize, kDefaultPort);
        CopyField(g_settings.timing[s], vexlor::kShortFieldSize, kDefaultTiming);
        CopyField(g_settings.password[s], vexlor::kPasswordFieldSize, "");
        // Saving never removes a key, so health keys that the file holds get their default
        // values written; absent ones stay absent (which reads as the default).
        if (g_settings.replyTimeout[s][0] != '\0') {
            CopyField(g_settings.replyTimeout[s], vexlor::kShortFieldSize,
                      std::to_string(vexlor::kDefaultReplyTimeoutMs).c_str());
        }
        if (g_settings.reconnect[s][0] != '\0') {
            CopyField(g_settings.reconnect[s], vexlor::kShortFieldSize, kReconnectOff);
        }
        if (g_settings.keepAlive[s][0] != '\0') {
            CopyField(g_settings.keepAlive[s], vexlor::kShortFieldSize,
                      std::to_string(vexlor::kDefaultKeepAliveMs).c_str());
        }
    }
    if (edit.setIp) CopyField(g_settings.ip[s], vexlor::kShortFieldSize, edit.ip.c_str());
    if (edit.setPort) CopyField(g_settings.port[s], vexlor::kShortFieldSize, edit.port.c_str());
    if (edit.setTiming) {
        CopyField(g_settings.timing[s], vexlor::kShortFieldSize, edit.timing.c_str());
    }
    if (edit.setPassword) {
        CopyField(g_settings.password[s], vexlor::kPasswordFieldSize, edit.password.c_str());
    }
    if (edit.setReplyTimeout) {
        CopyField(g_settings.replyTimeout[s], vexlor::kShortFieldSize, edit.replyTimeout.c_str());
    }
    if (edit.setReconnect) {
        CopyField(g_settings.reconnect[s], vexlor::kShortFieldSize, edit.reconnect.c_str());
    }
    if (edit.setKeepAlive) {
        CopyField(g_settings.keepAlive[s], vexlor::kShortFieldSize, edit.keepAlive.c_str());
    }
}

void PrintSlots(const Request& request, std::ostream& out) {
    out << "Settings file: " << SettingsFilePath() << '\n';
    out << "Devices: " << g_settings.deviceCount << '\n';
    char line[200];
    std::snprintf(line, sizeof line, "%-5s %-19s %-7s %-8s %-9s %-9s %-9s %s", "Slot", "IP", "Port",
                  "Timing", "Reply(ms)", "Reconnect", "Alive(ms)", "Password");
    out << line << '\n';
    int hidden = 0;
    for (int s = 0; s < vexlor::kSettingsSlots; ++s) {
        if (!request.showAll && s >= g_settings.deviceCount && IsDefaultSlot(s)) {
            ++hidden;
            continue;
        }
        const char* password = g_settings.password[s];
        std::string shown;
        if (vexlor::IsIoControllerMarker(password)) {
            shown = "[I/O Controller]";
        } else if (password[0] == '\0') {
            shown = "(none)";
        } else {
            shown = password;
        }
        const uint16_t n = static_cast<uint16_t>(s);
        std::snprintf(line, sizeof line, "%-5d %-19s %-7s %-8s %-9s %-9s %-9s %s", s,
                      g_settings.ip[s], g_settings.port[s], g_settings.timing[s],
                      MillisecondsText(vexlor::SlotReplyTimeoutMs(n)).c_str(),
                      vexlor::SlotReconnect(n) ? "on" : "off",
                      MillisecondsText(vexlor::SlotKeepAliveMs(n)).c_str(), shown.c_str());
        out << line << '\n';
    }
    if (hidden > 0) {
        out << "(" << hidden << " further slots hold the defaults 0.0.0.0 / 80 / 500 / "
            << vexlor::kDefaultReplyTimeoutMs << " / off / " << vexlor::kDefaultKeepAliveMs
            << "; --all lists them)\n";
    }
}

// After saving, the file must give back what was stored: a write that failed (for example in
// a directory without write permission) leaves no other trace.
bool Verify(const vexlor::SettingsBlock& expected, std::ostream& err) {
    vexlor::LoadAllSettings();
    bool ok = g_settings.deviceCount == expected.deviceCount;
    for (int s = 0; s < vexlor::kSettingsSlots && ok; ++s) {
        const bool controller = vexlor::IsIoControllerMarker(expected.password[s]);
        ok = std::strcmp(g_settings.ip[s], expected.ip[s]) == 0 &&
             std::strcmp(g_settings.port[s], controller ? "23" : expected.port[s]) == 0 &&
             std::strcmp(g_settings.timing[s], expected.timing[s]) == 0 &&
             std::strcmp(g_settings.password[s], expected.password[s]) == 0 &&
             std::strcmp(g_settings.replyTimeout[s], expected.replyTimeout[s]) == 0 &&
             std::strcmp(g_settings.reconnect[s], expected.reconnect[s]) == 0 &&
             std::strcmp(g_settings.keepAlive[s], expected.keepAlive[s]) == 0;
        if (!ok) err << "vexlor-config: slot " << s << " did not read back as written\n";
    }
    if (!ok) err << "vexlor-config: could not write " << SettingsFilePath() << '\n';
    return ok;
}

}  // namespace

std::string CheckIp(const std::string& ip) {
    // Four decimal numbers 0..255 separated by dots.
    int parts = 0;
    size_t i = 0;
    while (i <= ip.size()) {
        size_t end = ip.find('.', i);
        if (end == std::string::npos) end = ip.size();
        const std::string part = ip.substr(i, end - i);
        if (!AllDigits(part) || part.size() > 3 || std::atoi(part.c_str()) > 255) break;
        ++parts;
        i = end + 1;
        if (end == ip.size()) {
            if (parts == 4) return "";
            break;
        }
    }
    return "IP must be a dotted IPv4 address such as 192.168.0.10, not '" + ip + "'";
}

std::string CheckPort(const std::string& port) {
    if (!AllDigits(port) || port.size() > 5 || std::atol(port.c_str()) < 1 ||
        std::atol(port.c_str()) > 65535) {
        return "Port must be a number 1..65535, not '" + port + "'";
    }
    return "";
}

std::string CheckTiming(const std::string& timing) {
    // "0" would be read back as the default 500 by the dialog, so the interval starts at 1.
    if (!AllDigits(timing) || timing.size() > 9 || std::atol(timing.c_str()) < 1) {
        return "Timing must be a number of milliseconds 1..999999999, not '" + timing + "'";
    }
    return "";
}

std::string CheckPassword(const std::string& password) {
    if (password == vexlor::kIoControllerMarker || password.empty()) return "";
    if (password.size() > static_cast<size_t>(vexlor::kPasswordFieldSize - 1)) {
        return "a password has at most 49 characters";
    }
    for (char c : password) {
        const unsigned char code = static_cast<unsigned char>(c);
        if (code < 33 || code > 126) {
            return "a password may hold only printable characters without blanks (codes 33..126); "
                   "others do not come back unchanged from the file";
        }
    }
    // The loader treats a stored "0" as "no password" and the unscrambled marker text as an
    // I/O Controller: passwords that scramble to either would not come back.
    char scrambled[vexlor::kPasswordFieldSize];
    vexlor::CopyField(scrambled, sizeof scrambled, password.c_str());
    vexlor::ScramblePassword(scrambled);
    if (std::strcmp(scrambled, "0") == 0 || vexlor::IsIoControllerMarker(scrambled)) {
        return "this password is stored as a text that reads back differently; choose another";
    }
    return "";
}

std::string CheckReplyTimeout(const std::string& milliseconds) {
    // 0 switches the check off; the field holds 19 characters, nine digits keep it far below
    // the signed 32-bit limit.
    if (!AllDigits(milliseconds) || milliseconds.size() > 9) {
        return "the reply time-out must be a number of milliseconds 0..999999999 (0: off), not '" +
               milliseconds + "'";
    }
    return "";
}

std::string CheckKeepAlive(const std::string& milliseconds) {
    if (!AllDigits(milliseconds) || milliseconds.size() > 9) {
        return "the keep-alive must be a number of milliseconds 0..999999999 (0: off), not '" +
               milliseconds + "'";
    }
    return "";
}

std::string CheckReconnect(const std::string& value) {
    if (value != "0" && value != "1")
        return "reconnect must be 0 (off) or 1 (on), not '" + value + "'";
    return "";
}

bool ParseArguments(const std::vector<std::string>& args, Request& request, std::string& error) {
    bool anyCommand = false;
    SlotEdit* edit = nullptr;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--dir") {
            if (!NeedValue(args, i, error)) return false;
            request.directory = args[++i];
        } else if (word == "show" || word == "list") {
            request.show = true;
            anyCommand = true;
            edit = nullptr;
        } else if (word == "--all") {
            request.showAll = true;
        } else if (word == "path") {
            request.showPath = true;
            anyCommand = true;
            edit = nullptr;
        } else if (word == "devices") {
            if (!NeedValue(args, i, error)) return false;
            const std::string& value = args[++i];
            if (!AllDigits(value) || value.size() > 3 || std::atoi(value.c_str()) < 1 ||
                std::atoi(value.c_str()) > vexlor::kSettingsSlots) {
                error = "devices takes a number 1..100, not '" + value + "'";
                return false;
            }
            request.setDevices = true;
            request.devices = std::atoi(value.c_str());
            anyCommand = true;
            edit = nullptr;
        } else if (word == "set" || word == "reset") {
            if (!NeedValue(args, i, error)) return false;
            SlotEdit next;
            if (!ParseSlotNumber(args[i + 1], next.slot)) {
                error = word + " takes a slot number 0..99, not '" + args[i + 1] + "'";
                return false;
            }
            ++i;
            next.reset = word == "reset";
            request.edits.push_back(next);
            edit = &request.edits.back();
            anyCommand = true;
        } else if (word == "--ip" || word == "--port" || word == "--timing" ||
                   word == "--password" || word == "--reply-timeout" || word == "--reconnect" ||
                   word == "--keep-alive") {
            if (edit == nullptr || edit->reset) {
                error = word + " belongs after 'set SLOT'";
                return false;
            }
            if (!NeedValue(args, i, error)) return false;
            const std::string& value = args[++i];
            std::string problem;
            if (word == "--ip") {
                problem = CheckIp(value);
                edit->setIp = true;
                edit->ip = value;
            } else if (word == "--port") {
                problem = CheckPort(value);
                edit->setPort = true;
                edit->port = value;
            } else if (word == "--timing") {
                problem = CheckTiming(value);
                edit->setTiming = true;
                edit->timing = value;
            } else if (word == "--reply-timeout") {
                problem = CheckReplyTimeout(value);
                edit->setReplyTimeout = true;
                edit->replyTimeout = value;
            } else if (word == "--keep-alive") {
                problem = CheckKeepAlive(value);
                edit->setKeepAlive = true;
                edit->keepAlive = value;
            } else if (word == "--reconnect") {
                problem = CheckReconnect(value);
                edit->setReconnect = true;
                edit->reconnect = value;
            } else {
                problem = CheckPassword(value);
                edit->setPassword = true;
                edit->password = value;
            }
            if (!problem.empty()) {
                error = "slot " + std::to_string(edit->slot) + ": " + problem;
                return false;
            }
        } else if (word == "--no-password" || word == "--io-controller") {
            if (edit == nullptr || edit->reset) {
                error = word + " belongs after 'set SLOT'";
                return false;
            }
            edit->setPassword = true;
            edit->password = word == "--io-controller" ? vexlor::kIoControllerMarker : "";
        } else if (word == "-h" || word == "--help" || word == "help") {
            error.clear();
            return false;
        } else {
            error = "unexpected argument '" + word + "'";
            return false;
        }
    }
    if (!anyCommand) request.show = true;
    return true;
}

int Run(const Request& request, std::ostream& out, std::ostream& err) {
    std::string directory =
        request.directory.empty() ? DefaultSettingsDirectory() : request.directory;
    struct stat info;
    if (directory.empty() || stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        err << "vexlor-config: no such directory: " << directory << '\n';
        return 1;
    }
    // The driver knows its own full path; a relative directory is made absolute the same way.
    char resolved[PATH_MAX];
    if (realpath(directory.c_str(), resolved) != nullptr) directory = resolved;
    SetSettingsDirectory(directory);
    const std::string path = SettingsFilePath();
    if (path.size() < std::strlen(vexlor::kSettingsFileName) ||
        path.compare(path.size() - std::strlen(vexlor::kSettingsFileName), std::string::npos,
                     vexlor::kSettingsFileName) != 0) {
        err << "vexlor-config: the path of " << directory << "/" << vexlor::kSettingsFileName
            << " is too long (the driver handles at most " << vexlor::kPathSize - 1
            << " characters)\n";
        return 1;
    }

    vexlor::LoadAllSettings();
    const bool modify = request.setDevices || !request.edits.empty();
    if (modify) {
        // The dialog's window position is part of the file; it is written back unchanged.
        vexlor::WindowRect rect{0, 0, 0, 0};
        vexlor::SettingsReadInt(vexlor::kSettingsFileName, "WINDOW", "Window Left", &rect.left);
        vexlor::SettingsReadInt(vexlor::kSettingsFileName, "WINDOW", "Window Top", &rect.top);
        vexlor::SettingsReadInt(vexlor::kSettingsFileName, "WINDOW", "Window Right", &rect.right);
        vexlor::SettingsReadInt(vexlor::kSettingsFileName, "WINDOW", "Window Bottom", &rect.bottom);
        if (request.setDevices) g_settings.deviceCount = request.devices;
        for (const SlotEdit& edit : request.edits) {
            Apply(edit);
            if (edit.setPort && vexlor::IsIoControllerMarker(g_settings.password[edit.slot]) &&
                edit.port != "23") {
                err << "vexlor-config: note: slot " << edit.slot
                    << " is an I/O Controller; its port is always saved as 23\n";
            }
        }
        static vexlor::SettingsBlock expected;
        expected = g_settings;
        vexlor::SaveAllSettings(rect);
        if (!Verify(expected, err)) return 1;
        out << "Saved " << path << '\n';
    }
    if (request.showPath) out << path << '\n';
    if (request.show) PrintSlots(request, out);
    return 0;
}

const char* UsageText() {
    return R"(Usage: vexlor-config [--dir DIR] [COMMAND...]

Edits Vexlor.ini, the Vexlor driver's settings file, without the configuration dialog. The file
lies beside the driver library: DIR/Vexlor.ini (default DIR: the directory of vexlor-config
when the driver lies there, else the installed driver's directory ../lib/vexlor).
It is read and written by the driver's own settings code, exactly as the dialog does: all 100
slot sections are written, passwords scrambled, an I/O Controller slot with the port 23.

Commands (several may follow each other; all changes are saved together):
  show [--all]          list the device count and the slots (passwords decoded); the slots
                        beyond the device count only when they differ from the defaults, or
                        all with --all. This is the default when no command is given.
  path                  print the full path of the settings file
  devices N             number of device rows of the dialog, 1..100
  set SLOT OPTIONS      change slot 0..99:
      --ip A.B.C.D        the device's IPv4 address
      --port P            TCP port 1..65535
      --timing MS         polling interval in milliseconds (thermometers: the reply wait)
      --password PW       the device password (printable characters, no blanks, at most 49)
      --no-password       no password
      --io-controller     mark the slot as an I/O Controller (its port is saved as 23)
      --reply-timeout MS  "Reply Timeout": a slot whose device has not answered for MS
                          milliseconds reads 10060 (default 5000; 0 switches the check off)
      --reconnect 0|1     "Reconnect": 1 lets the driver connect again by itself after the
                          connection ended or the device stopped answering (default 0)
      --keep-alive MS     "Keep Alive": an open digital or I/O Controller slot that has sent
                          nothing for MS milliseconds sends an input request, so that the
                          device's idle timer keeps the connection (default 10000; 0 off)
  reset SLOT            put a slot back to the defaults (0.0.0.0, 80, 500, no password,
                        reply time-out 5000, reconnect 0, keep-alive 10000)

Example:
  vexlor-config --dir build/bin devices 2 set 0 --ip 192.168.0.10 --port 80 --timing 250 \
      --password secret set 1 --ip 192.168.0.11 --io-controller
)";
}

}  // namespace vexlorconfig
