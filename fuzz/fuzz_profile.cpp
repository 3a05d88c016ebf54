// Fuzzes the POSIX profile-file functions that hold Vexlor.ini (src/platform/posix/profile.cpp):
// any file content, any section and key names, any values. The input (through
// FuzzedDataProvider) gives the file's content, then up to three writes.
//
// Invariants checked:
// - a read never writes beyond its buffer, always terminates it and reports a length below the
//   buffer's size; a missing key gives the default, cut to the buffer;
// - ProfileGetInt gives the default for a missing or empty key and otherwise the leading decimal
//   number of the first 63 characters of the value, held at the limits of int;
// - a write of a section and key that the format can hold succeeds and the key then reads back
//   as written (up to the value's first line break, which a value cannot span); a refused write
//   leaves the file byte for byte as it was;
// - every other key (those named in the file and those written before) reads the same before
//   and after each write, present or missing alike;
// - nothing is left behind: no temporary file beside the settings file, no open descriptor.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "core/device_table.h"
#include "fuzz_support.h"
#include "platform/platform.h"

// What the settings code needs besides the profile functions: the module state and the path of
// the driver library, which places Vexlor.ini in the harness's directory.
namespace vexlor {
ModuleState g_module;
}  // namespace vexlor

namespace {
std::string g_dir;
std::string g_path;
}  // namespace

namespace vexlor::platform {
uint32_t ModuleFileName(ModuleHandle, char* buffer, uint32_t size) {
    const std::string module = g_dir + "/libvexlor.so";
    if (size == 0 || module.size() >= size) return 0;
    std::memcpy(buffer, module.c_str(), module.size() + 1);
    return static_cast<uint32_t>(module.size());
}
char PathSeparator() {
    return '/';
}
}  // namespace vexlor::platform

namespace {

using vexlor::platform::ProfileGetInt;
using vexlor::platform::ProfileGetString;
using vexlor::platform::ProfileWriteString;

void RemoveDirectory() {
    if (g_dir.empty()) return;
    if (DIR* dir = opendir(g_dir.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") unlink((g_dir + "/" + name).c_str());
        }
        closedir(dir);
    }
    rmdir(g_dir.c_str());
}

int CountEntries(const char* path) {
    int count = 0;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                ++count;
        }
        closedir(dir);
    }
    return count;
}

bool WriteFile(const std::string& content) {
    const int fd = open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool ok =
        write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    close(fd);
    return ok;
}

std::string ReadFile() {
    std::string content;
    const int fd = open(g_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return content;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        content.append(buffer, static_cast<size_t>(got));
    close(fd);
    return content;
}

std::string UpToNul(std::string text) {
    return text.substr(0, text.find('\0'));
}

// One read through a buffer of exactly `size` bytes (heap-allocated, so that AddressSanitizer
// sees any byte beyond it) framed by guard bytes.
std::string CheckedRead(const std::string& section, const std::string& key, const char* fallback,
                        uint32_t size) {
    std::vector<char> frame(size + 64, '\x5C');
    char* buffer = frame.data() + 32;
    const uint32_t length =
        ProfileGetString(section.c_str(), key.c_str(), fallback, buffer, size, g_path.c_str());
    FUZZ_CHECK(length < size);
    FUZZ_CHECK(buffer[length] == '\0');
    for (int i = 0; i < 32; ++i) FUZZ_CHECK(frame[i] == '\x5C');
    for (size_t i = 32 + size; i < frame.size(); ++i) FUZZ_CHECK(frame[i] == '\x5C');
    return std::string(buffer, length);
}

// What a key holds: whether it is present, and its value as far as a large buffer takes it.
struct KeyState {
    bool present;
    std::string value;
    bool operator==(const KeyState& other) const {
        return present == other.present && value == other.value;
    }
};

constexpr char kDefaultA[] = "\x01missing-a";
constexpr char kDefaultB[] = "\x02missing-b";

KeyState Probe(const std::string& section, const std::string& key) {
    const std::string a = CheckedRead(section, key, kDefaultA, 8192);
    const std::string b = CheckedRead(section, key, kDefaultB, 8192);
    if (a == kDefaultA && b == kDefaultB) return {false, std::string()};
    FUZZ_CHECK(a == b);
    return {true, a};
}

// The integer reading of a present value: its first 63 characters, an optional sign and the
// decimal digits that follow, held at the limits of int; empty gives the default.
int ReferenceInt(const std::string& value, int fallback) {
    const std::string head = value.substr(0, 63);
    if (head.empty()) return fallback;
    size_t i = 0;
    bool negative = false;
    if (head[i] == '+' || head[i] == '-') negative = head[i++] == '-';
    long long number = 0;
    for (; i < head.size() && head[i] >= '0' && head[i] <= '9'; ++i) {
        number = number * 10 + (head[i] - '0');
        if (number > static_cast<long long>(INT_MAX) + 1)
            number = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) number = -number;
    if (number > INT_MAX) number = INT_MAX;
    return static_cast<int>(number);
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string Trimmed(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// What reading gives back for a written value, by the profile-file conventions: the value up
// to its first line break (a value cannot span lines), without blanks at either end and without
// one enclosing pair of matching quotes.
std::string AsRead(const std::string& value) {
    std::string text = Trimmed(value.substr(0, value.find_first_of("\r\n")));
    if (text.size() >= 2 && (text[0] == '"' || text[0] == '\'') && text.back() == text[0]) {
        text = text.substr(1, text.size() - 2);
    }
    return text;
}

// The part of a value that is written: up to its first line break.
std::string AsWritten(const std::string& value) {
    return value.substr(0, value.find_first_of("\r\n"));
}

size_t LongestLine(const std::string& content) {
    size_t longest = 0, pos = 0;
    while (pos <= content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        if (end - pos > longest) longest = end - pos;
        pos = end + 1;
    }
    return longest;
}

// Whether the file format can hold a section and key of these names.
bool Writable(const std::string& section, const std::string& key) {
    if (section.empty() || section.find_first_of("]\r\n") != std::string::npos) return false;
    const std::string k = Trimmed(key);
    if (k.empty() || key.find_first_of("=\r\n") != std::string::npos) return false;
    if (k[0] == ';' || k[0] == '[') return false;
    return true;
}

struct Name {
    std::string section;
    std::string key;
};

// Section and key names as they appear in the file, paired with the section they follow.
void NamesInFile(const std::string& content, std::vector<Name>& names) {
    std::string section;
    size_t pos = 0;
    while (pos < content.size() && names.size() < 40) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        const std::string line = Trimmed(UpToNul(content.substr(pos, end - pos)));
        pos = end + 1;
        if (line.empty()) continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            if (close != std::string::npos) section = Trimmed(line.substr(1, close - 1));
            continue;
        }
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            names.push_back({section, Trimmed(line.substr(0, equals))});
    }
}

// A text with every byte outside printable ASCII shown as \xHH, for failure messages.
std::string Shown(const std::string& text) {
    std::string shown = "\"";
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            shown.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            shown += hex;
        }
    }
    return shown + "\"";
}

// The settings layer on top: any text that fits a field (no line break) is read back exactly as
// written, whatever blanks or quotes it holds, and every password of codes 33..126 survives
// scrambling, saving, loading and unscrambling.
void CheckSettingsRoundTrip(FuzzedDataProvider& provider) {
    char section[16];
    std::snprintf(section, sizeof section, "DEV%d", provider.ConsumeIntegralInRange<int>(0, 99));
    static const char* const kKeys[] = {"IP", "Port", "Timing", "Password"};
    const char* key = kKeys[provider.ConsumeIntegralInRange<int>(0, 3)];
    std::string text = provider.ConsumeRandomLengthString(vexlor::kPasswordFieldSize - 1);
    text = AsWritten(UpToNul(text));
    vexlor::SettingsWriteText(vexlor::kSettingsFileName, section, key, text.c_str());
    char field[vexlor::kPasswordFieldSize + 16];
    std::memset(field, '#', sizeof field);
    std::strcpy(field, "\x01unchanged");
    vexlor::SettingsReadText(vexlor::kSettingsFileName, section, key, field,
                             vexlor::kPasswordFieldSize);
    for (size_t i = vexlor::kPasswordFieldSize; i < sizeof field; ++i) FUZZ_CHECK(field[i] == '#');
    if (text != field) {
        std::fprintf(stderr, "settings text %s read back as %s\n", Shown(text).c_str(),
                     Shown(field).c_str());
        FUZZ_CHECK(!"settings text reads back as written");
    }

    std::string plain = provider.ConsumeRandomLengthString(vexlor::kPasswordFieldSize - 1);
    for (char& c : plain) c = static_cast<char>(33 + static_cast<unsigned char>(c) % 94);
    char scrambled[vexlor::kPasswordFieldSize];
    std::strcpy(scrambled, plain.c_str());
    vexlor::ScramblePassword(scrambled);
    vexlor::SettingsWriteText(vexlor::kSettingsFileName, section, "Password", scrambled);
    char loaded[vexlor::kPasswordFieldSize] = "";
    vexlor::SettingsReadText(vexlor::kSettingsFileName, section, "Password", loaded, sizeof loaded);
    FUZZ_CHECK(std::strcmp(loaded, scrambled) == 0);
    if (!vexlor::IsIoControllerMarker(loaded)) {
        vexlor::UnscramblePassword(loaded);
        FUZZ_CHECK(plain == loaded);
    }
}

int OpenDescriptors() {
    return CountEntries("/proc/self/fd");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/dev/shm/vexlor-fuzz-profile-XXXXXX";
    char fallback[] = "/tmp/vexlor-fuzz-profile-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr) dir = mkdtemp(fallback);
    if (dir == nullptr) std::abort();
    g_dir = dir;
    g_path = g_dir + "/Vexlor.ini";
    std::strcpy(vexlor::g_module.settingsFileName, vexlor::kSettingsFileName);
    std::atexit(RemoveDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    const int descriptors = OpenDescriptors();
    const bool fileExists = provider.ConsumeBool();
    const std::string content = provider.ConsumeRandomLengthString(8192);
    if (fileExists) {
        FUZZ_CHECK(WriteFile(content));
    } else {
        unlink(g_path.c_str());
    }

    std::vector<Name> names;
    NamesInFile(content, names);
    std::vector<KeyState> states;
    for (const Name& name : names) states.push_back(Probe(name.section, name.key));

    // Reads through small buffers and the integer reading agree with the full value.
    for (size_t i = 0; i < names.size() && i < 8; ++i) {
        const uint32_t small = provider.ConsumeIntegralInRange<uint32_t>(1, 80);
        const std::string cut = CheckedRead(names[i].section, names[i].key, kDefaultA, small);
        const std::string full = states[i].present ? states[i].value : kDefaultA;
        FUZZ_CHECK(cut == full.substr(0, small - 1));
        const int fallback = provider.ConsumeIntegral<int>();
        const int number =
            ProfileGetInt(names[i].section.c_str(), names[i].key.c_str(), fallback, g_path.c_str());
        FUZZ_CHECK(number ==
                   (states[i].present ? ReferenceInt(states[i].value, fallback) : fallback));
    }

    const int writes = provider.ConsumeIntegralInRange<int>(1, 3);
    for (int w = 0; w < writes; ++w) {
        Name target;
        // Either a name from the file (replacing a key) or a new one.
        if (!names.empty() && provider.ConsumeBool()) {
            target = names[provider.ConsumeIntegralInRange<size_t>(0, names.size() - 1)];
            if (provider.ConsumeBool())
                target.key = UpToNul(provider.ConsumeRandomLengthString(40));
        } else {
            target.section = UpToNul(provider.ConsumeRandomLengthString(40));
            target.key = UpToNul(provider.ConsumeRandomLengthString(40));
        }
        const std::string value = UpToNul(provider.ConsumeRandomLengthString(300));

        const std::string old = ReadFile();
        const KeyState before = Probe(target.section, target.key);
        const bool written = ProfileWriteString(target.section.c_str(), target.key.c_str(),
                                                value.c_str(), g_path.c_str());
        FUZZ_CHECK(CountEntries(g_dir.c_str()) <= 1);
        if (!written) {
            // Refused only for names the format cannot hold, or a line longer than the reader
            // parses (a new one, or a replaced one that keeps a long text before its value).
            const bool tooLong = target.section.size() + 2 > 1023 ||
                                 target.key.size() + 1 + AsWritten(value).size() > 1023;
            const bool longLine = before.present && LongestLine(old) + value.size() > 1023;
            FUZZ_CHECK(!Writable(target.section, target.key) || tooLong || longLine);
            FUZZ_CHECK(ReadFile() == old);
            continue;
        }
        const KeyState now = Probe(target.section, target.key);
        if (!now.present || now.value != AsRead(value)) {
            std::fprintf(stderr, "written [%s] %s=%s, read back %s: %s\n",
                         Shown(target.section).c_str(), Shown(target.key).c_str(),
                         Shown(value).c_str(), now.present ? "present" : "missing",
                         Shown(now.value).c_str());
            FUZZ_CHECK(!"value reads back as written");
        }

        for (size_t i = 0; i < names.size(); ++i) {
            const bool same = SameName(Trimmed(names[i].section), Trimmed(target.section)) &&
                              SameName(Trimmed(names[i].key), Trimmed(target.key));
            if (same) {
                states[i] = now;
                continue;
            }
            FUZZ_CHECK(Probe(names[i].section, names[i].key) == states[i]);
        }
        names.push_back(target);
        states.push_back(now);
    }
    CheckSettingsRoundTrip(provider);
    FUZZ_CHECK(CountEntries(g_dir.c_str()) <= 1);
    FUZZ_CHECK(OpenDescriptors() == descriptors);
    return 0;
}
