// The settings file: path composition, password scrambling, loading with and without the
// default rule, and saving all slots.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "core/device_table.h"
#include "fake_module.h"

namespace {

using namespace vexlor;

std::string Scrambled(std::string text) {
    ScramblePassword(text.data());
    return text;
}
std::string Unscrambled(std::string text) {
    UnscramblePassword(text.data());
    return text;
}

// A password of 49 printable characters starting at code 33 + start.
std::string PrintableRun(int start) {
    std::string text;
    for (int i = 0; i < kPasswordFieldSize - 1; ++i)
        text += static_cast<char>(33 + (start + i) % 94);
    return text;
}

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::memset(&g_settings, 0, sizeof g_settings);
        std::strcpy(g_module.settingsFileName, kSettingsFileName);
        fake::g_modulePath = dir_.File("libvexlor.so");
    }
    void TearDown() override { fake::g_modulePath.clear(); }

    std::string Ini() const { return fake::ReadFile(ini_); }
    void SetIni(const std::string& content) { fake::WriteFile(ini_, content); }

    fake::TempDir dir_;
    std::string ini_ = dir_.File(kSettingsFileName);
};

std::string PathFor(const std::string& modulePath, uint32_t size = kPathSize) {
    fake::g_modulePath = modulePath;
    char buffer[kPathSize + 16];
    std::memset(buffer, '#', sizeof buffer);
    SettingsPath(buffer, kSettingsFileName, size);
    for (size_t i = size; i < sizeof buffer; ++i)
        EXPECT_EQ(buffer[i], '#') << "written past the buffer";
    return std::string(buffer, strnlen(buffer, size));
}

TEST_F(SettingsTest, PathIsTheModuleDirectoryAndTheBareName) {
    EXPECT_EQ(PathFor("/opt/host/drivers/libvexlor.so"), "/opt/host/drivers/Vexlor.ini");
    EXPECT_EQ(PathFor("/libvexlor.so"), "/Vexlor.ini");
    EXPECT_EQ(PathFor("C:\\Host\\Drivers\\Vexlor.dll"), "C:\\Host\\Drivers\\Vexlor.ini");
    // Without a separator the bare name alone; when the module path cannot be obtained, no path.
    EXPECT_EQ(PathFor("libvexlor.so"), "Vexlor.ini");
    EXPECT_EQ(PathFor(""), "");

    // The name is appended while the whole stays below 260 characters; beyond that the path
    // stays the bare directory.
    const std::string fits = "/" + std::string(247, 'd') + "/";  // 249 + 10 = 259 characters
    EXPECT_EQ(PathFor(fits + "lib.so"), fits + "Vexlor.ini");
    const std::string tooLong = "/" + std::string(248, 'd') + "/";  // 250 + 10 = 260
    EXPECT_EQ(PathFor(tooLong + "lib.so"), tooLong);
    // A module path that does not fit the buffer counts as one that cannot be obtained, never
    // as the ancestor folder that its cut text would name.
    EXPECT_EQ(PathFor("/" + std::string(400, 'e') + "/lib.so"), "");
    EXPECT_EQ(PathFor("/ab/libvexlor.so", 5), "");
}

TEST_F(SettingsTest, ModulePathOfPathSizeOrMoreNeitherReadsNorWrites) {
    // The folder a cut path would end in holds a settings file of its own.
    SetIni("[DEV3]\r\nIP=10.9.9.9\r\nPort=81\r\n");
    const std::string before = Ini();
    for (size_t length : {kPathSize, kPathSize + 1, kPathSize + 100}) {
        std::string module = dir_.path() + "/";
        module += std::string(length - module.size() - 7, 'x') + "/lib.so";
        ASSERT_EQ(module.size(), length);
        fake::g_modulePath = module;
        char ip[kShortFieldSize] = "kept";
        SettingsReadText(kSettingsFileName, "DEV3", "IP", ip, sizeof ip);
        EXPECT_STREQ(ip, "kept");
        int32_t count = 7;
        SettingsReadInt(kSettingsFileName, "DEV3", "Port", &count);
        EXPECT_EQ(count, 7);
        SettingsWriteText(kSettingsFileName, "DEV3", "IP", "10.0.0.1");
        SettingsWriteInt(kSettingsFileName, "DEV", "Devices", 5);
        EXPECT_EQ(Ini(), before);
        EXPECT_EQ(fake::ListDir(dir_.path()), kSettingsFileName);
    }
    // One character less fits: the path is the bare directory, on which every access fails.
    std::string module = "/" + std::string(kPathSize - 9, 'y') + "/lib.so";
    ASSERT_EQ(module.size(), kPathSize - 1u);
    EXPECT_EQ(PathFor(module), module.substr(0, module.size() - 6));
}

TEST_F(SettingsTest, BareNameIsUsedInTheCurrentDirectoryWithoutASeparator) {
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    fake::g_modulePath = "libvexlor.so";
    SettingsWriteText(kSettingsFileName, "DEV3", "IP", "10.0.0.3");
    char field[kShortFieldSize] = "";
    SettingsReadText(kSettingsFileName, "DEV3", "IP", field, sizeof field);
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_STREQ(field, "10.0.0.3");
    EXPECT_EQ(Ini(), "[DEV3]\r\nIP=10.0.0.3\r\n");
}

TEST_F(SettingsTest, ScrambleFollowsTheKeyAndRoundTripsEveryPrintableCode) {
    // 'A' + '2' = 's'; '~' + '7' = 181, less 94 = 'W'; ' ' + '1' = 'Q', which comes back as '~'.
    EXPECT_EQ(Scrambled("A~ "), "sWQ");
    EXPECT_EQ(Unscrambled("sWQ"), "A~~");
    EXPECT_EQ(Scrambled("\xFE"), "0");

    // Every code 33..126 at every position.
    for (int start = 0; start < 94; ++start) {
        const std::string plain = PrintableRun(start);
        const std::string scrambled = Scrambled(plain);
        ASSERT_EQ(scrambled.size(), plain.size());
        for (char c : scrambled) {
            ASSERT_GE(static_cast<unsigned char>(c), 33);
            ASSERT_LE(static_cast<unsigned char>(c), 126);
        }
        EXPECT_EQ(Unscrambled(scrambled), plain) << start;
    }

    // Only the 49 characters a field can hold are transformed: the key has 50 digits.
    std::string overlong(60, 'A');
    ScramblePassword(overlong.data());
    EXPECT_EQ(overlong.substr(0, 49), Scrambled(std::string(49, 'A')));
    EXPECT_EQ(overlong.substr(49), std::string(11, 'A'));
}

TEST_F(SettingsTest, PasswordsSurviveASaveAndALoad) {
    for (int slot = 0; slot < 94; ++slot) {
        CopyField(g_settings.password[slot], kPasswordFieldSize, PrintableRun(slot).c_str());
    }
    // Passwords whose stored form is enclosed in quotes, or that the reader would trim.
    const std::string quoted = Unscrambled("\"quoted\"");
    const std::string single = Unscrambled("'x'");
    CopyField(g_settings.password[94], kPasswordFieldSize, quoted.c_str());
    CopyField(g_settings.password[95], kPasswordFieldSize, single.c_str());
    CopyField(g_settings.password[96], kPasswordFieldSize, "with space");
    CopyField(g_settings.password[97], kPasswordFieldSize, "\xFE");  // stored as "0"
    CopyField(g_settings.password[98], kPasswordFieldSize, "\"plain quotes\"");
    g_settings.deviceCount = 100;
    SaveAllSettings({0, 0, 0, 0});
    EXPECT_EQ(std::string(g_settings.password[0]), PrintableRun(0));  // the live field stays plain

    std::memset(&g_settings, 0, sizeof g_settings);
    LoadAllSettings();
    for (int slot = 0; slot < 94; ++slot) {
        EXPECT_EQ(std::string(g_settings.password[slot]), PrintableRun(slot)) << slot;
    }
    EXPECT_EQ(std::string(g_settings.password[94]), quoted);
    EXPECT_EQ(std::string(g_settings.password[95]), single);
    EXPECT_STREQ(g_settings.password[96], "with~space");
    EXPECT_STREQ(g_settings.password[97], "");  // "0" is the default rule's empty password
    EXPECT_STREQ(g_settings.password[98], "\"plain~quotes\"");
    EXPECT_STREQ(g_settings.password[99], "");

    std::memset(&g_settings, 0, sizeof g_settings);
    EXPECT_FALSE(LoadSlotSettings(94));
    EXPECT_EQ(std::string(g_settings.password[94]), quoted);
}

TEST_F(SettingsTest, DefaultRuleReplacesEmptyAndZeroOnly) {
    SetIni(
        "[DEV0]\nIP=\nPort=0\nTiming=00\nPassword=0\n"
        "[DEV1]\nIP=0.0.0.0\nPort=08\nTiming=0\nPassword=\n"
        "[DEV2]\nIP=00\nPort=\nTiming=\n\n");
    std::strcpy(g_settings.ip[3], "kept");
    std::strcpy(g_settings.password[3], "plain");
    LoadAllSettings();
    EXPECT_STREQ(g_settings.ip[0], "0.0.0.0");
    EXPECT_STREQ(g_settings.port[0], "80");
    EXPECT_STREQ(g_settings.timing[0], "00");
    EXPECT_STREQ(g_settings.password[0], "");
    EXPECT_STREQ(g_settings.ip[1], "0.0.0.0");
    EXPECT_STREQ(g_settings.port[1], "08");
    EXPECT_STREQ(g_settings.timing[1], "500");
    EXPECT_STREQ(g_settings.password[1], "");
    EXPECT_STREQ(g_settings.ip[2], "00");
    EXPECT_STREQ(g_settings.port[2], "80");
    EXPECT_STREQ(g_settings.timing[2], "500");
    EXPECT_STREQ(g_settings.ip[3], "kept");         // a missing key keeps the field's content
    EXPECT_STREQ(g_settings.password[3], "plain");  // ... which is not unscrambled again
    for (int slot = 4; slot < kSettingsSlots; ++slot) {
        EXPECT_STREQ(g_settings.ip[slot], "0.0.0.0");
        EXPECT_STREQ(g_settings.port[slot], "80");
        EXPECT_STREQ(g_settings.timing[slot], "500");
        EXPECT_STREQ(g_settings.password[slot], "");
    }
}

TEST_F(SettingsTest, DeviceCountIsOneToOneHundred) {
    const struct {
        const char* file;
        int32_t expected;
    } cases[] = {
        {"", 1},
        {"[DEV]\nDevices=0\n", 1},
        {"[DEV]\nDevices=42\n", 42},
        {"[DEV]\nDevices=100\n", 100},
        {"[DEV]\nDevices=101\n", 100},
        {"[DEV]\nDevices=99999\n", 100},
        {"[DEV]\nDevices=-5\n", 1},
        {"[DEV]\nDevices=many\n", 1},
    };
    for (const auto& c : cases) {
        SetIni(c.file);
        g_settings.deviceCount = 77;
        LoadAllSettings();
        EXPECT_EQ(g_settings.deviceCount, c.expected) << c.file;
    }
}

TEST_F(SettingsTest, IoControllerMarker) {
    CopyField(g_settings.ip[5], kShortFieldSize, "10.1.1.5");
    CopyField(g_settings.port[5], kShortFieldSize, "8080");
    CopyField(g_settings.password[5], kPasswordFieldSize, kIoControllerMarker);
    CopyField(g_settings.port[6], kShortFieldSize, "8080");
    CopyField(g_settings.password[6], kPasswordFieldSize, "i/o controller");
    SaveAllSettings({0, 0, 0, 0});
    EXPECT_STREQ(g_settings.port[5], "8080");  // only the file holds 23
    const std::string ini = Ini();
    EXPECT_NE(
        ini.find("[DEV5]\r\nIP=10.1.1.5\r\nPort=23\r\nTiming=\r\nPassword=I/O Controller\r\n"),
        std::string::npos);
    EXPECT_NE(ini.find("[DEV6]\r\nIP=\r\nPort=8080\r\nTiming=\r\nPassword=" +
                       Scrambled("i/o controller") + "\r\n"),
              std::string::npos);

    std::memset(&g_settings, 0, sizeof g_settings);
    EXPECT_TRUE(LoadSlotSettings(5));
    EXPECT_STREQ(g_settings.password[5], kIoControllerMarker);
    EXPECT_STREQ(g_settings.port[5], "23");
    EXPECT_FALSE(LoadSlotSettings(6));
    EXPECT_STREQ(g_settings.password[6], "i/o~controller");  // scrambled like any password
    EXPECT_FALSE(LoadSlotSettings(100));

    // A stored value that is exactly the marker makes an I/O Controller slot.
    SetIni("[DEV7]\nPassword=I/O Controller\n");
    EXPECT_TRUE(LoadSlotSettings(7));
    LoadAllSettings();
    EXPECT_STREQ(g_settings.password[7], kIoControllerMarker);
}

TEST_F(SettingsTest, LoadSlotTakesStoredTextsAsTheyAre) {
    std::strcpy(g_settings.ip[4], "old ip");
    std::strcpy(g_settings.password[4], "old");
    SetIni("[DEV3]\nIP=0\nPort=\nTiming=250\n");
    EXPECT_FALSE(LoadSlotSettings(4));  // no section: the fields stay, twice in a row
    EXPECT_FALSE(LoadSlotSettings(4));
    EXPECT_STREQ(g_settings.ip[4], "old ip");
    EXPECT_STREQ(g_settings.password[4], "old");
    EXPECT_FALSE(LoadSlotSettings(3));  // no default rule
    EXPECT_STREQ(g_settings.ip[3], "0");
    EXPECT_STREQ(g_settings.port[3], "");
    EXPECT_STREQ(g_settings.timing[3], "250");
    EXPECT_STREQ(g_settings.password[3], "");
}

TEST_F(SettingsTest, OverlongValuesAreCutToTheirFields) {
    const std::string longIp(30, '1');
    const std::string longPassword = PrintableRun(5) + PrintableRun(60).substr(0, 21);  // 70
    SetIni("[DEV0]\nIP=" + longIp + "\nPort=" + std::string(25, '2') +
           "\nTiming=" + std::string(40, '3') + "\nPassword=" + longPassword + "\n");
    std::strcpy(g_settings.ip[1], "neighbour ip");
    std::strcpy(g_settings.port[1], "neighbour port");
    std::strcpy(g_settings.timing[1], "neighbour timing");
    std::strcpy(g_settings.password[1], "neighbour password");
    std::strcpy(g_settings.port[0], "x");

    EXPECT_FALSE(LoadSlotSettings(0));
    EXPECT_EQ(std::string(g_settings.ip[0]), longIp.substr(0, 19));
    EXPECT_EQ(std::string(g_settings.port[0]), std::string(19, '2'));
    EXPECT_EQ(std::string(g_settings.timing[0]), std::string(19, '3'));
    EXPECT_EQ(std::string(g_settings.password[0]), Unscrambled(longPassword.substr(0, 49)));
    EXPECT_STREQ(g_settings.ip[1], "neighbour ip");
    EXPECT_STREQ(g_settings.port[1], "neighbour port");
    EXPECT_STREQ(g_settings.timing[1], "neighbour timing");
    EXPECT_STREQ(g_settings.password[1], "neighbour password");

    LoadAllSettings();
    EXPECT_EQ(std::string(g_settings.ip[0]), longIp.substr(0, 19));
    EXPECT_EQ(std::string(g_settings.password[0]), Unscrambled(longPassword.substr(0, 49)));
    EXPECT_STREQ(g_settings.ip[1], "neighbour ip");
}

TEST_F(SettingsTest, ReadAccessorsKeepTheirFallback) {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    SettingsReadInt(kSettingsFileName, "WINDOW", "Window Left", &left);
    SettingsReadInt(kSettingsFileName, "WINDOW", "Window Top", &top);
    SettingsReadInt(kSettingsFileName, "WINDOW", "Window Right", &right);
    SettingsReadInt(kSettingsFileName, "WINDOW", "Window Bottom", &bottom);
    EXPECT_EQ(left | top | right | bottom, 0);

    SetIni("[WINDOW]\nWindow Left=-12\n[DEV0]\nIP=1.2.3.4\n");
    int32_t value = 55;
    SettingsReadInt(kSettingsFileName, "WINDOW", "Window Top", &value);
    EXPECT_EQ(value, 55);
    SettingsReadInt(kSettingsFileName, "window", "window left", &value);
    EXPECT_EQ(value, -12);

    char field[kShortFieldSize] = "fallback";
    SettingsReadText(kSettingsFileName, "DEV0", "Port", field, sizeof field);
    EXPECT_STREQ(field, "fallback");
    SettingsReadText(kSettingsFileName, "DEV0", "IP", field, sizeof field);
    EXPECT_STREQ(field, "1.2.3.4");
}

// The file that a save of the given block writes when no file existed before.
std::string ExpectedFile(const WindowRect& rect) {
    std::ostringstream text;
    text << "[WINDOW]\r\nWindow Bottom=" << rect.bottom << "\r\nWindow Left=" << rect.left
         << "\r\nWindow Right=" << rect.right << "\r\nWindow Top=" << rect.top << "\r\n";
    text << "[DEV]\r\nDevices=" << g_settings.deviceCount << "\r\n";
    for (int slot = 0; slot < kSettingsSlots; ++slot) {
        text << "[DEV" << slot << "]\r\nIP=" << g_settings.ip[slot]
             << "\r\nPort=" << g_settings.port[slot] << "\r\nTiming=" << g_settings.timing[slot]
             << "\r\nPassword=" << Scrambled(g_settings.password[slot]) << "\r\n";
    }
    return text.str();
}

TEST_F(SettingsTest, SaveWritesAllSlotsInOrderAndRewritesThemLater) {
    LoadAllSettings();  // no file: every slot gets its defaults
    g_settings.deviceCount = 3;
    CopyField(g_settings.ip[0], kShortFieldSize, "192.168.0.10");
    CopyField(g_settings.password[0], kPasswordFieldSize, "secret");
    const WindowRect first{10, 20, 300, 400};
    SaveAllSettings(first);
    EXPECT_EQ(Ini(), ExpectedFile(first));

    // A second save rewrites every slot in place, also those beyond DeviceCount.
    CopyField(g_settings.ip[50], kShortFieldSize, "10.0.0.50");
    CopyField(g_settings.timing[99], kShortFieldSize, "1000");
    CopyField(g_settings.password[99], kPasswordFieldSize, "last slot");
    g_settings.deviceCount = 2;
    const WindowRect second{-5, 0, 640, 480};
    SaveAllSettings(second);
    EXPECT_EQ(Ini(), ExpectedFile(second));
    EXPECT_EQ(fake::ListDir(dir_.path()), kSettingsFileName);

    std::memset(&g_settings, 0, sizeof g_settings);
    LoadAllSettings();
    EXPECT_EQ(g_settings.deviceCount, 2);
    EXPECT_STREQ(g_settings.ip[50], "10.0.0.50");
    EXPECT_STREQ(g_settings.timing[99], "1000");
    EXPECT_STREQ(g_settings.password[99], "last~slot");
    EXPECT_STREQ(g_settings.password[0], "secret");
}

TEST_F(SettingsTest, HealthKeysDefaultsRoundTripAndTheDialogsSaveKeepsThem) {
    // Missing keys: the defaults, also for slot numbers beyond the table.
    SetIni("[DEV0]\nIP=10.0.0.1\n");
    EXPECT_FALSE(LoadSlotSettings(0));
    EXPECT_EQ(SlotReplyTimeoutMs(0), kDefaultReplyTimeoutMs);
    EXPECT_FALSE(SlotReconnect(0));
    EXPECT_EQ(SlotReplyTimeoutMs(100), kDefaultReplyTimeoutMs);
    EXPECT_FALSE(SlotReconnect(100));

    // Stored texts, read as Port and Timing are read; only "0" or no number switches the
    // time-out off, a negative one falls back to the default. "0" is not subject to the
    // dialog's default rule.
    SetIni(
        "[DEV1]\nReply Timeout=2500\nReconnect=1\nKeep Alive=500\n"
        "[DEV2]\nReply Timeout=0\nReconnect=0\nKeep Alive=0\n"
        "[DEV3]\nReply Timeout=-7\nReconnect=-1\nKeep Alive=-1\n"
        "[DEV4]\nReply Timeout=off\nReconnect=yes\nKeep Alive=off\n"
        "[DEV5]\nReply Timeout= 750ms\nReconnect=2\nKeep Alive= 25000ms\n"
        "[DEV6]\nReply Timeout=\nReconnect=\nKeep Alive=\n");
    const int32_t kAlive = kDefaultKeepAliveMs;
    const struct {
        uint16_t slot;
        int32_t timeout;
        bool reconnect;
        int32_t keepAlive;
    } cases[] = {
        {1, 2500, true, 500}, {2, 0, false, 0},      {3, kDefaultReplyTimeoutMs, false, kAlive},
        {4, 0, false, 0},     {5, 750, true, 25000}, {6, kDefaultReplyTimeoutMs, false, kAlive}};
    for (const auto& c : cases) {
        std::memset(&g_settings, 0, sizeof g_settings);
        EXPECT_FALSE(LoadSlotSettings(c.slot));
        EXPECT_EQ(SlotReplyTimeoutMs(c.slot), c.timeout) << c.slot;
        EXPECT_EQ(SlotReconnect(c.slot), c.reconnect) << c.slot;
        EXPECT_EQ(SlotKeepAliveMs(c.slot), c.keepAlive) << c.slot;
    }
    LoadAllSettings();
    for (const auto& c : cases) {
        EXPECT_EQ(SlotReplyTimeoutMs(c.slot), c.timeout) << c.slot;
        EXPECT_EQ(SlotReconnect(c.slot), c.reconnect) << c.slot;
        EXPECT_EQ(SlotKeepAliveMs(c.slot), c.keepAlive) << c.slot;
    }
    EXPECT_STREQ(g_settings.replyTimeout[2], "0");

    // A key that is gone from the file no longer counts, unlike the four dialog keys.
    SetIni("[DEV1]\nIP=10.0.0.1\n");
    EXPECT_FALSE(LoadSlotSettings(1));
    EXPECT_EQ(SlotReplyTimeoutMs(1), kDefaultReplyTimeoutMs);
    EXPECT_FALSE(SlotReconnect(1));

    // The dialog's path: load everything, copy the block whole, save. The keys come back as
    // they were, after the Password of their slot; slots without them get none.
    SetIni(
        "[DEV1]\r\nIP=10.0.0.1\r\nPassword=\r\nReply Timeout=0\r\nReconnect=1\r\nKeep Alive=0\r\n"
        "[DEV7]\r\nReply Timeout=1200\r\n");
    LoadAllSettings();
    static SettingsBlock working;
    working = g_settings;
    CopyField(working.ip[7], kShortFieldSize, "10.0.0.7");  // an edit in the dialog
    g_settings = working;
    SaveAllSettings({0, 0, 0, 0});
    const std::string ini = Ini();
    EXPECT_NE(ini.find("[DEV1]\r\nIP=10.0.0.1\r\nPassword=\r\nReply Timeout=0\r\nReconnect=1\r\n"
                       "Keep Alive=0\r\nPort=80\r\nTiming=500\r\n"),
              std::string::npos)
        << ini;
    EXPECT_NE(ini.find("[DEV7]\r\nReply Timeout=1200\r\nIP=10.0.0.7\r\n"), std::string::npos)
        << ini;
    EXPECT_NE(ini.find("[DEV8]\r\nIP=0.0.0.0\r\nPort=80\r\nTiming=500\r\nPassword=\r\n[DEV9]"),
              std::string::npos);
    EXPECT_EQ(ini.find("Reconnect=0"), std::string::npos);

    std::memset(&g_settings, 0, sizeof g_settings);
    EXPECT_FALSE(LoadSlotSettings(1));
    EXPECT_EQ(SlotReplyTimeoutMs(1), 0);
    EXPECT_TRUE(SlotReconnect(1));
    EXPECT_EQ(SlotKeepAliveMs(1), 0);
    EXPECT_FALSE(LoadSlotSettings(7));
    EXPECT_EQ(SlotReplyTimeoutMs(7), 1200);
    EXPECT_FALSE(SlotReconnect(7));

    // A file that did not exist before a save: the keys follow Password in each slot section.
    std::remove(ini_.c_str());
    std::memset(&g_settings, 0, sizeof g_settings);
    CopyField(g_settings.replyTimeout[0], kShortFieldSize, "3000");
    CopyField(g_settings.reconnect[0], kShortFieldSize, "1");
    CopyField(g_settings.keepAlive[0], kShortFieldSize, "20000");
    SaveAllSettings({0, 0, 0, 0});
    EXPECT_NE(Ini().find("[DEV0]\r\nIP=\r\nPort=\r\nTiming=\r\nPassword=\r\nReply Timeout=3000"
                         "\r\nReconnect=1\r\nKeep Alive=20000\r\n[DEV1]"),
              std::string::npos)
        << Ini();
}

}  // namespace
