// SettingsFile: Vexlor.ini beside the driver library. Every access composes the file's path anew
// and goes through the platform's profile functions; nothing is cached between accesses.
#include "config/settings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/device_table.h"
#include "platform/platform.h"

namespace vexlor {

SettingsBlock g_settings{};

namespace {

constexpr int kSectionNameSize = 16;  // "DEV" and a slot number
constexpr char kSlotSectionFormat[] = "DEV%d";

const char* BareNameOrDefault() {
    return g_module.settingsFileName[0] != '\0' ? g_module.settingsFileName : kSettingsFileName;
}

void SlotSection(char (&section)[kSectionNameSize], int slot) {
    std::snprintf(section, sizeof section, kSlotSectionFormat, slot);
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\' || c == platform::PathSeparator();
}

// The characters that the profile reader trims from both ends of a value.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// A value that the profile reader would not hand back unchanged: one with blanks at either end
// (they are trimmed) or one enclosed in a matching pair of quotes (they are removed).
bool NeedsQuotes(const char* text) {
    const size_t length = std::strlen(text);
    if (length == 0) return false;
    if (IsBlank(text[0]) || IsBlank(text[length - 1])) return true;
    return length >= 2 && (text[0] == '"' || text[0] == '\'') && text[length - 1] == text[0];
}

// The default rule of LoadAllSettings: an empty text or exactly "0" stands for the default.
void ApplyDefault(char* field, uint32_t fieldSize, const char* defaultText) {
    if (field[0] == '\0' || std::strcmp(field, "0") == 0) CopyField(field, fieldSize, defaultText);
}

// The key characters used for a password: never more than the field holds, and never beyond
// the end of the key.
size_t PasswordLength(const char* password) {
    constexpr size_t kLimit = kPasswordFieldSize - 1;
    static_assert(kLimit <= sizeof kPasswordKey - 1, "the key must cover a whole password field");
    size_t length = 0;
    while (length < kLimit && password[length] != '\0') ++length;
    return length;
}

// Stands for a missing key: no stored value can hold a line break.
constexpr char kMissingValue[] = "\x01\n\x01";

// SettingsReadText that also tells whether the key was there. The value is read into a buffer
// of its own (the profile reader's default and result never share storage) and then cut to
// the field; a missing key leaves the field as it is.
bool ReadStoredText(const char* bareName, const char* section, const char* key, char* field,
                    uint32_t fieldSize) {
    if (field == nullptr || fieldSize == 0) return false;
    char path[kPathSize];
    SettingsPath(path, bareName, sizeof path);
    if (path[0] == '\0') return false;
    char value[kPathSize];
    platform::ProfileGetString(section, key, kMissingValue, value, sizeof value, path);
    if (std::strcmp(value, kMissingValue) == 0) return false;
    CopyField(field, fieldSize, value);
    return true;
}

// A health key: the stored text, or the empty field (the default) when the key is missing.
void ReadHealthKey(const char* bareName, const char* section, const char* key, char* field) {
    if (!ReadStoredText(bareName, section, key, field, kShortFieldSize)) field[0] = '\0';
}

void ReadHealthKeys(const char* bareName, const char* section, int slot) {
    ReadHealthKey(bareName, section, kReplyTimeoutKey, g_settings.replyTimeout[slot]);
    ReadHealthKey(bareName, section, kReconnectKey, g_settings.reconnect[slot]);
    ReadHealthKey(bareName, section, kKeepAliveKey, g_settings.keepAlive[slot]);
}

// Writes a health key back as held; an empty field (missing key) writes nothing.
void WriteHealthKey(const char* bareName, const char* section, const char* key, const char* field) {
    char text[kShortFieldSize];
    CopyField(text, sizeof text, field);
    if (text[0] != '\0') SettingsWriteText(bareName, section, key, text);
}

}  // namespace

void CopyField(char* field, uint32_t fieldSize, const char* text) {
    if (field == nullptr || fieldSize == 0) return;
    if (text == nullptr) text = "";
    size_t length = 0;
    while (length < fieldSize - 1 && text[length] != '\0') ++length;
    std::memmove(field, text, length);
    field[length] = '\0';
}

// When the module's path holds no directory separator, the bare name is used on its own, which
// the platform resolves against the current directory. A module path that cannot be obtained,
// or that does not fit a path buffer (the platform would hand over a cut path, whose last
// separator belongs to an ancestor folder), gives the empty path, on which the accessors neither
// read nor write.
void SettingsPath(char* buffer, const char* bareName, uint32_t size) {
    if (buffer == nullptr || size == 0) return;
    if (bareName == nullptr) bareName = "";
    buffer[0] = '\0';
    // One character more than a path may have: a longer path is told from one that just fits.
    char module[kPathSize + 1];
    uint32_t length = platform::ModuleFileName(g_module.moduleHandle, module, sizeof module);
    if (length == 0 || length >= kPathSize || length >= size) return;
    std::memcpy(buffer, module, length);
    buffer[length] = '\0';
    uint32_t directory = length;  // length of the directory with its separator
    while (directory > 0 && !IsSeparator(buffer[directory - 1])) --directory;
    const size_t nameLength = std::strlen(bareName);
    if (directory + nameLength < size) {
        std::memcpy(buffer + directory, bareName, nameLength + 1);
    } else {
        buffer[directory] = '\0';  // too long: the bare directory, on which every access fails
    }
}

int32_t SettingsNumber(const char* text) {
    if (text == nullptr) return 0;
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

void SettingsReadInt(const char* bareName, const char* section, const char* key, int32_t* value) {
    if (value == nullptr) return;
    char path[kPathSize];
    SettingsPath(path, bareName, sizeof path);
    if (path[0] == '\0') return;
    *value = platform::ProfileGetInt(section, key, *value, path);
}

void SettingsWriteInt(const char* bareName, const char* section, const char* key, int32_t value) {
    char text[kShortFieldSize];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(value));
    SettingsWriteText(bareName, section, key, text);
}

void SettingsReadText(const char* bareName, const char* section, const char* key, char* field,
                      uint32_t fieldSize) {
    ReadStoredText(bareName, section, key, field, fieldSize);
}

// A value that reading would alter (blanks at its ends, or an enclosing pair of quotes) is
// written inside one more pair of double quotes, which reading removes again. Scrambled
// passwords can take such a form and would otherwise come back changed.
void SettingsWriteText(const char* bareName, const char* section, const char* key,
                       const char* text) {
    char path[kPathSize];
    SettingsPath(path, bareName, sizeof path);
    if (path[0] == '\0') return;
    if (text == nullptr) text = "";
    if (NeedsQuotes(text)) {
        char quoted[kPathSize + 2];
        const int n = std::snprintf(quoted, sizeof quoted, "\"%s\"", text);
        if (n < 0 || static_cast<size_t>(n) >= sizeof quoted) return;  // not representable
        platform::ProfileWriteString(section, key, quoted, path);
    } else {
        platform::ProfileWriteString(section, key, text, path);
    }
}

void ScramblePassword(char* password) {
    if (password == nullptr) return;
    const size_t length = PasswordLength(password);
    for (size_t i = 0; i < length; ++i) {
        const uint8_t c = static_cast<uint8_t>(password[i]);
        const uint8_t k = static_cast<uint8_t>(kPasswordKey[i]);
        uint8_t e = static_cast<uint8_t>(c + k);
        if (e < 33 || e > 126) e = static_cast<uint8_t>(e - 94);
        password[i] = static_cast<char>(e);
    }
}

void UnscramblePassword(char* password) {
    if (password == nullptr) return;
    const size_t length = PasswordLength(password);
    for (size_t i = 0; i < length; ++i) {
        const uint8_t c = static_cast<uint8_t>(password[i]);
        const uint8_t k = static_cast<uint8_t>(kPasswordKey[i]);
        uint8_t d = static_cast<uint8_t>(c - k);
        if (d < 33 || d > 126) d = static_cast<uint8_t>(d + 94);
        password[i] = static_cast<char>(d);
    }
}

bool IsIoControllerMarker(const char* password) {
    return password != nullptr && std::strcmp(password, kIoControllerMarker) == 0;
}

bool LoadSlotSettings(uint16_t slot) {
    if (slot >= kSettingsSlots) return false;
    const char* bareName = BareNameOrDefault();
    char section[kSectionNameSize];
    SlotSection(section, slot);
    SettingsReadText(bareName, section, "IP", g_settings.ip[slot], kShortFieldSize);
    SettingsReadText(bareName, section, "Port", g_settings.port[slot], kShortFieldSize);
    SettingsReadText(bareName, section, "Timing", g_settings.timing[slot], kShortFieldSize);
    char* password = g_settings.password[slot];
    const bool stored = ReadStoredText(bareName, section, "Password", password, kPasswordFieldSize);
    ReadHealthKeys(bareName, section, slot);
    if (IsIoControllerMarker(password)) return true;
    // A field kept from before (no stored password) already holds plain text.
    if (stored) UnscramblePassword(password);
    return false;
}

void LoadAllSettings() {
    const char* bareName = BareNameOrDefault();
    int32_t count = 0;
    SettingsReadInt(bareName, "DEV", "Devices", &count);
    // 0 (or a missing key) means one device; anything outside 1..100 is brought into that range
    // so that the dialog never addresses a slot above 99.
    if (count < 1) count = 1;
    if (count > kSettingsSlots) count = kSettingsSlots;
    g_settings.deviceCount = count;

    for (int slot = 0; slot < kSettingsSlots; ++slot) {
        char section[kSectionNameSize];
        SlotSection(section, slot);
        SettingsReadText(bareName, section, "IP", g_settings.ip[slot], kShortFieldSize);
        ApplyDefault(g_settings.ip[slot], kShortFieldSize, "0.0.0.0");
        SettingsReadText(bareName, section, "Port", g_settings.port[slot], kShortFieldSize);
        ApplyDefault(g_settings.port[slot], kShortFieldSize, "80");
        SettingsReadText(bareName, section, "Timing", g_settings.timing[slot], kShortFieldSize);
        ApplyDefault(g_settings.timing[slot], kShortFieldSize, "500");
        char* password = g_settings.password[slot];
        const bool stored =
            ReadStoredText(bareName, section, "Password", password, kPasswordFieldSize);
        ApplyDefault(password, kPasswordFieldSize, "");
        // A field kept from before (no stored password) already holds plain text.
        if (stored && !IsIoControllerMarker(password)) UnscramblePassword(password);
        ReadHealthKeys(bareName, section, slot);
    }
}

void SaveAllSettings(const WindowRect& rect) {
    const char* bareName = BareNameOrDefault();
    SettingsWriteInt(bareName, "WINDOW", "Window Bottom", rect.bottom);
    SettingsWriteInt(bareName, "WINDOW", "Window Left", rect.left);
    SettingsWriteInt(bareName, "WINDOW", "Window Right", rect.right);
    SettingsWriteInt(bareName, "WINDOW", "Window Top", rect.top);
    SettingsWriteInt(bareName, "DEV", "Devices", g_settings.deviceCount);

    for (int slot = 0; slot < kSettingsSlots; ++slot) {
        char section[kSectionNameSize];
        SlotSection(section, slot);
        // Each field is copied out first so that a write never reads past the field's end.
        char ip[kShortFieldSize], port[kShortFieldSize], timing[kShortFieldSize];
        char password[kPasswordFieldSize];
        CopyField(ip, sizeof ip, g_settings.ip[slot]);
        CopyField(port, sizeof port, g_settings.port[slot]);
        CopyField(timing, sizeof timing, g_settings.timing[slot]);
        CopyField(password, sizeof password, g_settings.password[slot]);
        const bool controller = IsIoControllerMarker(password);
        SettingsWriteText(bareName, section, "IP", ip);
        SettingsWriteText(bareName, section, "Port", controller ? "23" : port);
        SettingsWriteText(bareName, section, "Timing", timing);
        // The password is scrambled in this separate buffer: the live field keeps the plain
        // password that the device functions use.
        if (!controller) ScramblePassword(password);
        SettingsWriteText(bareName, section, "Password", password);
        WriteHealthKey(bareName, section, kReplyTimeoutKey, g_settings.replyTimeout[slot]);
        WriteHealthKey(bareName, section, kReconnectKey, g_settings.reconnect[slot]);
        WriteHealthKey(bareName, section, kKeepAliveKey, g_settings.keepAlive[slot]);
    }
}

namespace {

// A millisecond health key: the default when empty or negative (a slip, not a wish), else its
// number, so that "0" (or a text without a number) switches it off. The field is copied out
// first so that parsing never reads past its end, also while the dialog's OK replaces the live
// block.
int32_t MillisecondsKey(const char* field, int32_t fallback) {
    char text[kShortFieldSize];
    CopyField(text, sizeof text, field);
    if (text[0] == '\0') return fallback;
    const int32_t value = SettingsNumber(text);
    return value < 0 ? fallback : value;
}

}  // namespace

int32_t SlotReplyTimeoutMs(uint16_t slot) {
    if (slot >= kSettingsSlots) return kDefaultReplyTimeoutMs;
    return MillisecondsKey(g_settings.replyTimeout[slot], kDefaultReplyTimeoutMs);
}

int32_t SlotKeepAliveMs(uint16_t slot) {
    if (slot >= kSettingsSlots) return kDefaultKeepAliveMs;
    return MillisecondsKey(g_settings.keepAlive[slot], kDefaultKeepAliveMs);
}

bool SlotReconnect(uint16_t slot) {
    if (slot >= kSettingsSlots) return false;
    char text[kShortFieldSize];
    CopyField(text, sizeof text, g_settings.reconnect[slot]);
    return SettingsNumber(text) > 0;
}

}  // namespace vexlor
