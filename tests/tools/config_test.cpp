// vexlor-config: the file it writes is read back by the driver's own settings code with the
// same values (passwords scrambled on disk, the I/O Controller marker and port handled as the
// dialog does); values that the file could not give back unchanged are refused.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config_tool.h"
#include "module_path.h"
#include "support/temp_dir.h"

namespace {

using vexlor::g_settings;
using vexlor::testing::TempDir;

struct ToolRun {
    int status = -1;
    std::string output;  // standard output and standard error
};

// Runs the built vexlor-config with the given arguments (no shell involved).
ToolRun RunTool(const std::vector<std::string>& args) {
    ToolRun run;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return run;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(VEXLOR_CONFIG_PATH));
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(VEXLOR_CONFIG_PATH, argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) run.output.append(buffer, n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return run;
}

// The raw value of a key in a section of the file, as the profile reader of the driver sees it.
std::string Raw(const std::string& section, const std::string& key) {
    char value[256] = "";
    vexlor::SettingsReadText(vexlor::kSettingsFileName, section.c_str(), key.c_str(), value,
                             sizeof value);
    return value;
}

std::string Scrambled(const std::string& plain) {
    char text[vexlor::kPasswordFieldSize];
    vexlor::CopyField(text, sizeof text, plain.c_str());
    vexlor::ScramblePassword(text);
    return text;
}

class ConfigToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        vexlorconfig::SetSettingsDirectory(dir_.path());
        std::memset(&g_settings, 0, sizeof g_settings);
    }
    TempDir dir_{"vexlor-config-test"};
};

TEST_F(ConfigToolTest, TheDriverReadsBackWhatTheToolWrote) {
    const ToolRun run = RunTool({"--dir",      dir_.path(),    "devices",
                                 "6",          "set",          "0",
                                 "--ip",       "192.168.0.10", "--port",
                                 "8080",       "--timing",     "250",
                                 "--password", "Se~cr3t!",     "set",
                                 "5",          "--ip",         "127.0.0.1",
                                 "--port",     "4000",         "--io-controller"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("I/O Controller; its port is always saved as 23"), std::string::npos);

    // The dialog's view: everything with the defaults applied.
    vexlor::LoadAllSettings();
    EXPECT_EQ(g_settings.deviceCount, 6);
    EXPECT_STREQ(g_settings.ip[0], "192.168.0.10");
    EXPECT_STREQ(g_settings.port[0], "8080");
    EXPECT_STREQ(g_settings.timing[0], "250");
    EXPECT_STREQ(g_settings.password[0], "Se~cr3t!");
    EXPECT_STREQ(g_settings.port[5], "23");
    EXPECT_STREQ(g_settings.password[5], "I/O Controller");
    EXPECT_STREQ(g_settings.ip[42], "0.0.0.0");

    // Init's view: one slot, the plain password, the marker recognised.
    std::memset(&g_settings, 0, sizeof g_settings);
    EXPECT_FALSE(vexlor::LoadSlotSettings(0));
    EXPECT_STREQ(g_settings.password[0], "Se~cr3t!");
    EXPECT_TRUE(vexlor::LoadSlotSettings(5));
    EXPECT_STREQ(g_settings.port[5], "23");

    // On disk: the password scrambled, the marker as it is, all 100 slot sections.
    EXPECT_EQ(Raw("DEV0", "Password"), Scrambled("Se~cr3t!"));
    EXPECT_NE(Raw("DEV0", "Password"), "Se~cr3t!");
    EXPECT_EQ(Raw("DEV5", "Password"), "I/O Controller");
    EXPECT_EQ(Raw("DEV99", "Timing"), "500");
    EXPECT_EQ(Raw("WINDOW", "Window Top"), "0");
}

TEST_F(ConfigToolTest, LaterEditsKeepOtherSlotsAndTheWindowPosition) {
    vexlor::SettingsWriteInt(vexlor::kSettingsFileName, "WINDOW", "Window Left", -5);
    vexlor::SettingsWriteInt(vexlor::kSettingsFileName, "WINDOW", "Window Top", 40);
    vexlor::SettingsWriteInt(vexlor::kSettingsFileName, "WINDOW", "Window Right", 600);
    vexlor::SettingsWriteInt(vexlor::kSettingsFileName, "WINDOW", "Window Bottom", 480);
    ASSERT_EQ(
        RunTool({"--dir", dir_.path(), "set", "1", "--ip", "10.0.0.1", "--password", "one"}).status,
        0);
    ASSERT_EQ(RunTool({"--dir", dir_.path(), "set", "2", "--timing", "75", "--no-password"}).status,
              0);
    ASSERT_EQ(RunTool({"--dir", dir_.path(), "set", "1", "--port", "81"}).status, 0);

    vexlor::LoadAllSettings();
    EXPECT_STREQ(g_settings.ip[1], "10.0.0.1");
    EXPECT_STREQ(g_settings.port[1], "81");
    EXPECT_STREQ(g_settings.password[1], "one");
    EXPECT_STREQ(g_settings.timing[2], "75");
    EXPECT_STREQ(g_settings.password[2], "");
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    vexlor::SettingsReadInt(vexlor::kSettingsFileName, "WINDOW", "Window Left", &left);
    vexlor::SettingsReadInt(vexlor::kSettingsFileName, "WINDOW", "Window Top", &top);
    vexlor::SettingsReadInt(vexlor::kSettingsFileName, "WINDOW", "Window Right", &right);
    vexlor::SettingsReadInt(vexlor::kSettingsFileName, "WINDOW", "Window Bottom", &bottom);
    EXPECT_EQ(left, -5);
    EXPECT_EQ(top, 40);
    EXPECT_EQ(right, 600);
    EXPECT_EQ(bottom, 480);

    // reset puts a slot back to the defaults.
    ASSERT_EQ(RunTool({"--dir", dir_.path(), "reset", "1"}).status, 0);
    vexlor::LoadAllSettings();
    EXPECT_STREQ(g_settings.ip[1], "0.0.0.0");
    EXPECT_STREQ(g_settings.password[1], "");
}

TEST_F(ConfigToolTest, EveryPrintableCharacterSurvivesInPasswords) {
    std::string all;
    for (int c = 33; c <= 126; ++c) all += static_cast<char>(c);
    const std::string first = all.substr(0, 49);  // the longest password
    const std::string second = all.substr(49);
    ASSERT_EQ(RunTool({"--dir", dir_.path(), "set", "3", "--password", first, "set", "4",
                       "--password", second})
                  .status,
              0);
    vexlor::LoadAllSettings();
    EXPECT_EQ(g_settings.password[3], first);
    EXPECT_EQ(g_settings.password[4], second);
    const ToolRun show = RunTool({"--dir", dir_.path(), "show"});
    EXPECT_NE(show.output.find(first), std::string::npos) << show.output;
}

TEST_F(ConfigToolTest, ValuesThatWouldNotComeBackAreRefusedAndNothingIsWritten) {
    const std::vector<std::vector<std::string>> refused = {
        {"set", "0", "--password", "with blank"},
        {"set", "0", "--password", std::string(50, 'x')},
        {"set", "0", "--ip", "1.2.3"},
        {"set", "0", "--ip", "256.1.1.1"},
        {"set", "0", "--port", "0"},
        {"set", "0", "--port", "65536"},
        {"set", "0", "--timing", "0"},
        {"set", "0", "--timing", "fast"},
        {"set", "100", "--ip", "1.2.3.4"},
        {"devices", "0"},
        {"devices", "101"},
        {"--ip", "1.2.3.4"},
        {"reset", "1", "--ip", "1.2.3.4"},
    };
    for (std::vector<std::string> args : refused) {
        args.insert(args.begin(), {"--dir", dir_.path()});
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.status, 2) << args[2] << " " << args.back() << ": " << run.output;
    }
    EXPECT_FALSE(dir_.exists("Vexlor.ini"));
    EXPECT_EQ(RunTool({"--dir", dir_.file("missing"), "show"}).status, 1);
}

TEST(ConfigToolChecks, PasswordsThatTheLoaderWouldReadDifferently) {
    // A one-character password whose scrambled form is "0" would load as no password.
    std::string zero;
    for (int c = 33; c <= 126 && zero.empty(); ++c) {
        const std::string candidate(1, static_cast<char>(c));
        if (Scrambled(candidate) == "0") zero = candidate;
    }
    ASSERT_FALSE(zero.empty());
    EXPECT_FALSE(vexlorconfig::CheckPassword(zero).empty());
    EXPECT_TRUE(vexlorconfig::CheckPassword("I/O Controller").empty());  // the marker itself
    EXPECT_TRUE(vexlorconfig::CheckPassword("").empty());
    EXPECT_TRUE(vexlorconfig::CheckIp("127.0.0.1").empty());
    EXPECT_FALSE(vexlorconfig::CheckIp("1.2.3.4.").empty());
    EXPECT_FALSE(vexlorconfig::CheckIp("").empty());
}

TEST_F(ConfigToolTest, ThePasswordMarkerTypedAsAPasswordMakesAnIoController) {
    ASSERT_EQ(RunTool({"--dir", dir_.path(), "set", "9", "--password", "I/O Controller"}).status,
              0);
    EXPECT_EQ(Raw("DEV9", "Password"), "I/O Controller");
    EXPECT_EQ(Raw("DEV9", "Port"), "23");
    const ToolRun show = RunTool({"--dir", dir_.path()});
    EXPECT_EQ(show.status, 0);
    EXPECT_NE(show.output.find("[I/O Controller]"), std::string::npos) << show.output;
}

TEST_F(ConfigToolTest, ReplyTimeoutReconnectAndKeepAliveAreSetShownKeptAndReset) {
    ASSERT_EQ(RunTool({"--dir", dir_.path(), "devices", "3", "set", "0", "--reply-timeout", "0",
                       "--reconnect", "1", "--keep-alive", "0", "set", "1", "--reply-timeout",
                       "1500", "--keep-alive", "500"})
                  .status,
              0);
    EXPECT_EQ(Raw("DEV0", "Reply Timeout"), "0");
    EXPECT_EQ(Raw("DEV0", "Reconnect"), "1");
    EXPECT_EQ(Raw("DEV1", "Reply Timeout"), "1500");
    EXPECT_EQ(Raw("DEV1", "Keep Alive"), "500");
    EXPECT_EQ(Raw("DEV2", "Reply Timeout"), "");  // never set: no key, the default
    EXPECT_EQ(Raw("DEV2", "Keep Alive"), "");
    std::memset(&g_settings, 0, sizeof g_settings);
    EXPECT_FALSE(vexlor::LoadSlotSettings(0));
    EXPECT_EQ(vexlor::SlotReplyTimeoutMs(0), 0);
    EXPECT_TRUE(vexlor::SlotReconnect(0));
    EXPECT_EQ(vexlor::SlotKeepAliveMs(0), 0);
    EXPECT_FALSE(vexlor::LoadSlotSettings(2));
    EXPECT_EQ(vexlor::SlotKeepAliveMs(2), 10000);
    EXPECT_EQ(vexlor::SlotReplyTimeoutMs(2), 5000);
    EXPECT_FALSE(vexlor::SlotReconnect(2));

    // Shown with the other keys; other edits (and the dialog's way of saving) keep them.
    ASSERT_EQ(RunTool({"--dir", dir_.path(), "set", "0", "--timing", "250"}).status, 0);
    const ToolRun show = RunTool({"--dir", dir_.path(), "show"});
    ASSERT_EQ(show.status, 0);
    EXPECT_NE(show.output.find("Reply(ms) Reconnect Alive(ms) Password"), std::string::npos)
        << show.output;
    EXPECT_NE(show.output.find("250      off       on        off       (none)"), std::string::npos)
        << show.output;
    EXPECT_NE(show.output.find("500      1500      off       500       (none)"), std::string::npos)
        << show.output;
    EXPECT_NE(show.output.find("500      5000      off       10000     (none)"), std::string::npos)
        << show.output;
    EXPECT_EQ(Raw("DEV0", "Reply Timeout"), "0");
    EXPECT_EQ(Raw("DEV0", "Reconnect"), "1");

    // reset brings the defaults back.
    ASSERT_EQ(RunTool({"--dir", dir_.path(), "reset", "0"}).status, 0);
    std::memset(&g_settings, 0, sizeof g_settings);
    EXPECT_FALSE(vexlor::LoadSlotSettings(0));
    EXPECT_EQ(vexlor::SlotReplyTimeoutMs(0), 5000);
    EXPECT_FALSE(vexlor::SlotReconnect(0));
    EXPECT_EQ(vexlor::SlotKeepAliveMs(0), 10000);

    for (const char* value : {"-1", "fast", "1000000000"}) {
        EXPECT_EQ(RunTool({"--dir", dir_.path(), "set", "1", "--reply-timeout", value}).status, 2)
            << value;
        EXPECT_EQ(RunTool({"--dir", dir_.path(), "set", "1", "--keep-alive", value}).status, 2)
            << value;
    }
    for (const char* value : {"2", "on", ""}) {
        EXPECT_EQ(RunTool({"--dir", dir_.path(), "set", "1", "--reconnect", value}).status, 2)
            << value;
    }
    EXPECT_EQ(Raw("DEV1", "Reply Timeout"), "1500");
    EXPECT_EQ(Raw("DEV1", "Keep Alive"), "500");
}

}  // namespace
