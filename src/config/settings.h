// SettingsFile: Vexlor.ini beside the driver library, the live SettingsBlock and the password
// scrambling. All access goes through the platform's profile-file functions; no handle or cache
// is kept.
#pragma once

#include <cstdint>

namespace vexlor {

constexpr int kSettingsSlots = 100;
constexpr int kShortFieldSize = 20;     // IP, Port, Timing: 19 characters
constexpr int kPasswordFieldSize = 50;  // Password: 49 characters
constexpr int kPathSize = 260;

constexpr char kSettingsFileName[] = "Vexlor.ini";
constexpr char kIoControllerMarker[] = "I/O Controller";
constexpr char kPasswordKey[] = "27183271832718327183271832718327183271832718327183";

// Connection-health keys of a slot section and their defaults.
constexpr char kReplyTimeoutKey[] = "Reply Timeout";
constexpr char kReconnectKey[] = "Reconnect";
constexpr int32_t kDefaultReplyTimeoutMs = 5000;
// Milliseconds without a send after which an open digital or I/O Controller connection sends an
// input request of its own, so that the device's idle timer does not close it.
constexpr char kKeepAliveKey[] = "Keep Alive";
constexpr int32_t kDefaultKeepAliveMs = 10000;

// DeviceSettings preceded by the dialog's DeviceCount, followed by the connection-health keys.
// The dialog edits only the first four arrays; it copies the block whole, so the health keys
// pass through its OK unchanged.
struct SettingsBlock {
    int32_t deviceCount;
    char ip[kSettingsSlots][kShortFieldSize];
    char port[kSettingsSlots][kShortFieldSize];
    char timing[kSettingsSlots][kShortFieldSize];
    char password[kSettingsSlots][kPasswordFieldSize];
    // "Reply Timeout", "Reconnect" and "Keep Alive" as stored, at most 19 characters; empty
    // when the key is missing (or stored empty), which stands for the default.
    char replyTimeout[kSettingsSlots][kShortFieldSize];
    char reconnect[kSettingsSlots][kShortFieldSize];
    char keepAlive[kSettingsSlots][kShortFieldSize];
};

// The live settings that Init and the device functions use.
extern SettingsBlock g_settings;

// Window rectangle in screen coordinates, as saved under "WINDOW".
struct WindowRect {
    int32_t left, top, right, bottom;
};

// Full path of the settings file: the driver module's directory (with its final separator)
// followed by the bare name; the bare directory when the whole would reach size characters.
// When the module's path cannot be obtained, or has kPathSize characters or more, the path is
// empty: every read then keeps its fallback and every write fails.
void SettingsPath(char* buffer, const char* bareName, uint32_t size);

// The number at the start of a Port or Timing text, as strtol reads it where long has 32 bits:
// leading white space, an optional sign, decimal digits; no digits reads as 0, and a number
// beyond the signed 32-bit range reads as the nearest limit. The same on every platform.
int32_t SettingsNumber(const char* text);

// Accessors; each composes the path anew. Reads leave the value/field unchanged when the key,
// section or file is missing. ReadText cuts the value to fieldSize - 1 characters.
void SettingsReadInt(const char* bareName, const char* section, const char* key, int32_t* value);
void SettingsWriteInt(const char* bareName, const char* section, const char* key, int32_t value);
void SettingsReadText(const char* bareName, const char* section, const char* key, char* field,
                      uint32_t fieldSize);
void SettingsWriteText(const char* bareName, const char* section, const char* key,
                       const char* text);

// Transform a password of at most 49 characters in place with the password key.
void ScramblePassword(char* password);
void UnscramblePassword(char* password);

bool IsIoControllerMarker(const char* password);

// Reads the slot's four keys into the live fields and unscrambles the password unless it is the
// I/O Controller marker; then reads "Reply Timeout", "Reconnect" and "Keep Alive", which are
// emptied (their defaults) when missing. Returns true for an I/O Controller slot.
bool LoadSlotSettings(uint16_t slot);

// Reads DeviceCount and all 100 slots into the live block with the default rule. The default
// rule does not touch the health keys ("0" is a valid Reply Timeout); a missing health key
// empties its field.
void LoadAllSettings();

// Writes the rectangle, DeviceCount and all 100 slots from the live block. Each slot's health
// keys follow its Password, written back as held, and only when the field is not empty: a file
// without them keeps its layout, and a save never drops or resets them.
void SaveAllSettings(const WindowRect& rect);

// The slot's reply time-out in milliseconds, from the live field that LoadSlotSettings (or
// LoadAllSettings) filled: kDefaultReplyTimeoutMs when the field is empty or its number is
// negative; 0 (off) for "0" and for a text without a leading number, read as SettingsNumber
// reads Port and Timing. A slot number above 99 gives the default. Parses the short text on
// every call; it allocates nothing.
int32_t SlotReplyTimeoutMs(uint16_t slot);

// Whether the slot reconnects by itself: true when the live "Reconnect" field holds a number
// above 0 ("1"); false when it is empty (the default), "0", negative or not a number, and for a
// slot number above 99.
bool SlotReconnect(uint16_t slot);

// The slot's keep-alive interval in milliseconds, read as SlotReplyTimeoutMs reads its field:
// kDefaultKeepAliveMs when empty or negative, 0 (off) for "0" or a text without a number.
int32_t SlotKeepAliveMs(uint16_t slot);

// Copies a NUL-terminated text into a field of fieldSize bytes, cutting it to fieldSize - 1.
void CopyField(char* field, uint32_t fieldSize, const char* text);

}  // namespace vexlor
