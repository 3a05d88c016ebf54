#include "config_tool.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "config/settings.h"
#include "module_path.h"
#include "platform/posix/wsock32/wsock32.h"
#include "working_copy.h"

namespace vexlorconfig {

namespace {

using vexlor::g_settings;
using Block = vexlor::SettingsBlock;

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

// One setting of a slot section: the option of `set` and the check of its value, the live field
// it goes into, what `reset` puts back, and its column in `show`. A further key of a slot
// section is one more row of kSlotKeys.
struct SlotKey {
    const char* option;
    std::string (*check)(const std::string& value);
    char* (*field)(Block& block, int slot);
    uint32_t size;
    const char* resetValue;
    bool optionalKey;  // reset writes resetValue only where the file has the key already
    const char* title;
    int width;  // of the column; 0 for the last one
    std::string (*shown)(int slot);
    const char* shownDefault;  // what show prints for a slot that holds the default
};

std::string ShownPassword(int slot) {
    const char* password = g_settings.password[slot];
    if (vexlor::IsIoControllerMarker(password)) return "[I/O Controller]";
    return password[0] == '\0' ? "(none)" : password;
}

// A time in milliseconds as the table shows it: 0 turns the feature off.
std::string ShownMs(int32_t ms) {
    return ms == 0 ? std::string("off") : std::to_string(ms);
}

// The number a text of decimal digits spells, for checking the default texts at compile time.
constexpr int32_t DecimalValue(const char* text) {
    int32_t value = 0;
    for (; *text != '\0'; ++text) value = value * 10 + (*text - '0');
    return value;
}

// The driver's defaults of the health keys, as the file holds them.
constexpr char kDefaultReplyTimeout[] = "5000";
constexpr char kDefaultKeepAlive[] = "10000";
static_assert(DecimalValue(kDefaultReplyTimeout) == vexlor::kDefaultReplyTimeoutMs,
              "the driver's default reply time-out");
static_assert(DecimalValue(kDefaultKeepAlive) == vexlor::kDefaultKeepAliveMs,
              "the driver's default keep-alive");

std::string CheckMilliseconds(const std::string& milliseconds, const char* what) {
    // 0 switches the feature off; the field holds 19 characters, nine digits keep it far below
    // the signed 32-bit limit.
    if (!AllDigits(milliseconds) || milliseconds.size() > 9) {
        return std::string(what) +
               " must be a number of milliseconds 0..999999999 (0: off), not '" + milliseconds +
               "'";
    }
    return "";
}

// Saving never removes a key, so a reset writes the default values of the health keys that the
// file holds; absent ones stay absent (which reads as the default). The password comes last in
// show: it may hold any printable character.
const SlotKey kSlotKeys[] = {
    {"--ip", CheckIp, [](Block& b, int s) { return b.ip[s]; }, vexlor::kShortFieldSize, kDefaultIp,
     false, "IP", 19, [](int s) { return std::string(g_settings.ip[s]); }, kDefaultIp},
    {"--port", CheckPort, [](Block& b, int s) { return b.port[s]; }, vexlor::kShortFieldSize,
     kDefaultPort, false, "Port", 7, [](int s) { return std::string(g_settings.port[s]); },
     kDefaultPort},
    {"--timing", CheckTiming, [](Block& b, int s) { return b.timing[s]; }, vexlor::kShortFieldSize,
     kDefaultTiming, false, "Timing", 8, [](int s) { return std::string(g_settings.timing[s]); },
     kDefaultTiming},
    {"--reply-timeout", CheckReplyTimeout, [](Block& b, int s) { return b.replyTimeout[s]; },
     vexlor::kShortFieldSize, kDefaultReplyTimeout, true, "Reply(ms)", 9,
     [](int s) { return ShownMs(vexlor::SlotReplyTimeoutMs(static_cast<uint16_t>(s))); },
     kDefaultReplyTimeout},
    {"--reconnect", CheckReconnect, [](Block& b, int s) { return b.reconnect[s]; },
     vexlor::kShortFieldSize, kReconnectOff, true, "Reconnect", 9,
     [](int s) {
         return std::string(vexlor::SlotReconnect(static_cast<uint16_t>(s)) ? "on" : "off");
     },
     "off"},
    {"--keep-alive", CheckKeepAlive, [](Block& b, int s) { return b.keepAlive[s]; },
     vexlor::kShortFieldSize, kDefaultKeepAlive, true, "Alive(ms)", 9,
     [](int s) { return ShownMs(vexlor::SlotKeepAliveMs(static_cast<uint16_t>(s))); },
     kDefaultKeepAlive},
    {"--password", CheckPassword, [](Block& b, int s) { return b.password[s]; },
     vexlor::kPasswordFieldSize, "", false, "Password", 0, ShownPassword, "(none)"},
};

// Options of `set` that stand for an option with a fixed value.
struct ShortHand {
    const char* flag;
    const char* option;
    const char* value;
};
const ShortHand kShortHands[] = {
    {"--no-password", "--password", ""},
    {"--io-controller", "--password", vexlor::kIoControllerMarker},
};

const ShortHand* FindShortHand(const std::string& flag) {
    for (const ShortHand& shortHand : kShortHands) {
        if (flag == shortHand.flag) return &shortHand;
    }
    return nullptr;
}

const SlotKey* FindKey(const std::string& option) {
    for (const SlotKey& key : kSlotKeys) {
        if (option == key.option) return &key;
    }
    return nullptr;
}

bool IsDefaultSlot(int slot) {
    for (const SlotKey& key : kSlotKeys) {
        if (key.shown(slot) != key.shownDefault) return false;
    }
    return true;
}

std::string SlotSection(int slot) {
    return "DEV" + std::to_string(slot);
}

void Apply(const SlotEdit& edit) {
    const int s = edit.slot;
    if (edit.reset) {
        for (const SlotKey& key : kSlotKeys) {
            if (!key.optionalKey || key.field(g_settings, s)[0] != '\0') {
                vexlor::CopyField(key.field(g_settings, s), key.size, key.resetValue);
            }
        }
    }
    for (const auto& [option, value] : edit.values) {
        const SlotKey* key = FindKey(option);
        if (key != nullptr) vexlor::CopyField(key->field(g_settings, s), key->size, value.c_str());
    }
}

std::string Column(const std::string& text, int width) {
    if (width == 0) return text;
    std::string cell = text;
    if (cell.size() < static_cast<size_t>(width)) cell.resize(static_cast<size_t>(width), ' ');
    return cell + ' ';
}

void PrintSlots(const Request& request, const std::string& path, std::ostream& out) {
    out << "Settings file: " << path;
    if (ResolvedFile() != path) out << " -> " << ResolvedFile();
    if (!FileExisted()) out << " (does not exist: no slot is configured; the defaults are shown)";
    out << '\n';
    out << "Devices: " << g_settings.deviceCount << '\n';
    std::string line = Column("Slot", 5);
    std::string defaults;
    for (const SlotKey& key : kSlotKeys) {
        line += Column(key.title, key.width);
        defaults += std::string(defaults.empty() ? "" : " / ") + key.shownDefault;
    }
    out << line << '\n';
    int hidden = 0;
    for (int s = 0; s < vexlor::kSettingsSlots; ++s) {
        if (!request.showAll && s >= g_settings.deviceCount && IsDefaultSlot(s)) {
            ++hidden;
            continue;
        }
        line = Column(std::to_string(s), 5);
        for (const SlotKey& key : kSlotKeys) line += Column(key.shown(s), key.width);
        out << line << '\n';
    }
    if (hidden > 0) {
        out << "(" << hidden << " further slots hold the defaults " << defaults
            << "; --all lists them)\n";
    }
}

// The saved copy must give back what was stored in the slots that were changed.
bool Verify(const Request& request, const vexlor::SettingsBlock& expected, const std::string& path,
            std::ostream& err) {
    static vexlor::SettingsBlock wanted;
    wanted = expected;
    vexlor::LoadAllSettings();
    bool ok = !request.setDevices || g_settings.deviceCount == wanted.deviceCount;
    for (const SlotEdit& edit : request.edits) {
        const int s = edit.slot;
        // The settings code saves an I/O Controller slot with its device's port.
        if (vexlor::IsIoControllerMarker(wanted.password[s])) {
            vexlor::CopyField(wanted.port[s], vexlor::kShortFieldSize, "23");
        }
        for (const SlotKey& key : kSlotKeys) {
            if (std::strcmp(key.field(g_settings, s), key.field(wanted, s)) != 0) {
                err << "vexlor-config: slot " << s << " (" << key.title
                    << ") would not read back as written; " << path << " is unchanged\n";
                ok = false;
            }
        }
    }
    return ok;
}

}  // namespace

std::string CheckIp(const std::string& ip) {
    // Four numbers 0..255 separated by dots.
    std::vector<std::string> parts;
    for (size_t from = 0;;) {
        const size_t dot = ip.find('.', from);
        parts.push_back(ip.substr(from, dot == std::string::npos ? std::string::npos : dot - from));
        if (dot == std::string::npos) break;
        from = dot + 1;
    }
    bool valid = parts.size() == 4;
    bool padded = false;
    std::string written;  // as meant in decimal
    for (size_t i = 0; valid && i < parts.size(); ++i) {
        const std::string& part = parts[i];
        const size_t digits = part.find_first_not_of('0') == std::string::npos
                                  ? 1
                                  : part.size() - part.find_first_not_of('0');
        valid = AllDigits(part) && digits <= 3 && std::atoi(part.c_str()) <= 255;
        if (!valid) break;
        padded = padded || (part.size() > 1 && part[0] == '0');
        written += (i == 0 ? "" : ".") + std::to_string(std::atoi(part.c_str()));
    }
    if (!valid) return "IP must be a dotted IPv4 address such as 192.168.0.10, not '" + ip + "'";
    if (!padded) return "";
    // What the driver reads, with its own address conversion: a part with a leading 0 is octal
    // (010 is 8), and one with an 8 or 9 makes the whole address invalid. No padded address
    // that passed the check above reads as 255.255.255.255, so INADDR_NONE means no address.
    const uint32_t address = vexlor::wsock::InetAddr(ip.c_str());
    if (address == 0xFFFFFFFFu) {
        return "write " + written + "; the driver reads a part with a leading 0 as an octal " +
               "number, so " + ip + " would be no address and the connection would fail";
    }
    const std::string read = vexlor::wsock::InetNtoa(vexlor::ws::InAddr{address});
    if (read == written) {
        return "write " + written + " without leading zeros; the driver reads a part with a " +
               "leading 0 as an octal number";
    }
    return "write " + written + "; " + ip + " would be read as " + read +
           " (the driver reads a part with a leading 0 as an octal number)";
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
    return CheckMilliseconds(milliseconds, "the reply time-out");
}

std::string CheckKeepAlive(const std::string& milliseconds) {
    return CheckMilliseconds(milliseconds, "the keep-alive");
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
        } else if (FindKey(word) != nullptr || FindShortHand(word) != nullptr) {
            if (edit == nullptr || edit->reset) {
                error = word + " belongs after 'set SLOT'";
                return false;
            }
            const ShortHand* shortHand = FindShortHand(word);
            std::string option = word, value;
            if (shortHand != nullptr) {
                option = shortHand->option;
                value = shortHand->value;
            } else {
                if (!NeedValue(args, i, error)) return false;
                value = args[++i];
                const std::string problem = FindKey(word)->check(value);
                if (!problem.empty()) {
                    error = "slot " + std::to_string(edit->slot) + ": " + problem;
                    return false;
                }
            }
            edit->values.emplace_back(option, value);
        } else if (word == "--version") {
            request.version = true;
            anyCommand = true;
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

    const bool modify = request.setDevices || !request.edits.empty();
    const EditResult begun = BeginEdit(path, modify);
    if (!begun.ok) {
        err << "vexlor-config: " << begun.error << '\n';
        return 1;
    }
    vexlor::LoadAllSettings();
    if (modify) {
        // Only the sections of the slots given (and of the device count, when given) are
        // written; the dialog's window position and every other slot stay as they are.
        if (request.setDevices) {
            g_settings.deviceCount = request.devices;
            AllowSection("DEV");
        }
        for (const SlotEdit& edit : request.edits) {
            Apply(edit);
            AllowSection(SlotSection(edit.slot));
            for (const auto& [option, value] : edit.values) {
                if (option == "--port" && value != "23" &&
                    vexlor::IsIoControllerMarker(g_settings.password[edit.slot])) {
                    err << "vexlor-config: note: slot " << edit.slot
                        << " is an I/O Controller; its port is always saved as 23\n";
                }
            }
        }
        static vexlor::SettingsBlock expected;
        expected = g_settings;
        vexlor::SaveAllSettings(vexlor::WindowRect{0, 0, 0, 0});
        if (!Verify(request, expected, path, err)) {
            EndEdit();
            return 1;
        }
        const EditResult saved = CommitEdit();
        if (!saved.ok) {
            err << "vexlor-config: " << saved.error << '\n';
            EndEdit();
            return 1;
        }
        out << "Saved " << path;
        if (ResolvedFile() != path) out << " -> " << ResolvedFile();
        out << '\n';
    }
    if (request.showPath) out << path << '\n';
    if (request.show) PrintSlots(request, path, out);
    EndEdit();
    return 0;
}

const char* UsageText() {
    return R"(Usage: vexlor-config [--dir DIR] [COMMAND...]

Edits Vexlor.ini, the Vexlor driver's settings file, without the configuration dialog. The file
lies beside the driver library: DIR/Vexlor.ini (default DIR: the directory of vexlor-config
when the driver lies there, else the installed driver's directory ../lib/vexlor).
It is read and written by the driver's own settings code, as the dialog does (passwords
scrambled, an I/O Controller slot with the port 23), but only the slots given are written.
All changes of one run are saved together: the file is replaced once, through the temporary
file Vexlor.ini.tmp beside it. A settings file that is a symbolic link is written where the link
leads, and the link stays.

Commands (several may follow each other; all changes are saved together):
  show [--all]          list the device count and the slots (passwords decoded); the slots
                        beyond the device count only when they differ from the defaults, or
                        all with --all. This is the default when no command is given.
  path                  print the full path of the settings file
  devices N             number of device rows of the dialog, 1..100
  set SLOT OPTIONS      change slot 0..99:
      --ip A.B.C.D        the device's IPv4 address, without leading zeros (the driver
                          reads 010 as the octal number 8)
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

  --version             print the version
  --help                print this text

Example:
  vexlor-config --dir build/bin devices 2 set 0 --ip 192.168.0.10 --port 80 --timing 250 \
      --password secret set 1 --ip 192.168.0.11 --io-controller
)";
}

}  // namespace vexlorconfig
