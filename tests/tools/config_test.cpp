// vexlor-config: the file it writes is read back by the driver's own settings code with the
// same values (passwords scrambled on disk, the I/O Controller marker and port handled as the
// dialog does); values that the file could not give back unchanged are refused.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "config_tool.h"
#include "module_path.h"
#include "platform/posix/wsock32/wsock32.h"
#include "support/temp_dir.h"

namespace {

using vexlor::g_settings;
using vexlor::testing::TempDir;

struct ToolRun {
    int status = -1;
    std::string output;  // standard output and standard error
};

// Starts the built vexlor-config with the given arguments (no shell involved), its standard
// output and error going to outputFd.
pid_t StartTool(const std::vector<std::string>& args, int outputFd) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(VEXLOR_CONFIG_PATH));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outputFd, 1);
        dup2(outputFd, 2);
        execv(VEXLOR_CONFIG_PATH, argv.data());
        _exit(127);
    }
    return pid;
}

ToolRun RunTool(const std::vector<std::string>& args) {
    ToolRun run;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return run;
    fcntl(pipeFds[0], F_SETFD, FD_CLOEXEC);
    const pid_t pid = StartTool(args, pipeFds[1]);
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

    // On disk: the password scrambled, the marker as it is, only the slots given.
    EXPECT_EQ(Raw("DEV0", "Password"), Scrambled("Se~cr3t!"));
    EXPECT_NE(Raw("DEV0", "Password"), "Se~cr3t!");
    EXPECT_EQ(Raw("DEV5", "Password"), "I/O Controller");
    EXPECT_EQ(Raw("DEV99", "Timing"), "");
    EXPECT_EQ(Raw("WINDOW", "Window Top"), "");
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

// Names in a directory besides the settings file itself.
std::vector<std::string> OtherFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && name != "Vexlor.ini") names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

TEST(ConfigToolChecks, ZeroPaddedAddressesAreRefusedWithTheAddressTheDriverWouldUse) {
    struct Case {
        const char* ip;
        const char* write;  // the address to write instead; null: accepted as it is
        const char* read;   // what the driver makes of ip; null: no address at all
    };
    const Case cases[] = {
        {"127.0.0.10", nullptr, nullptr},
        {"0.0.0.0", nullptr, nullptr},
        {"127.0.0.010", "127.0.0.10", "127.0.0.8"},
        {"192.168.001.020", "192.168.1.20", "192.168.1.16"},
        {"010.0.0.1", "10.0.0.1", "8.0.0.1"},
        {"127.0.0.09", "127.0.0.9", nullptr},
        {"127.0.0.01", "127.0.0.1", "127.0.0.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ip);
        const std::string problem = vexlorconfig::CheckIp(c.ip);
        if (c.write == nullptr) {
            EXPECT_EQ(problem, "");
            continue;
        }
        // The reading named in the message is the one of the driver's own address conversion.
        const uint32_t address = vexlor::wsock::InetAddr(c.ip);
        in_addr converted;
        converted.s_addr = address;
        if (c.read == nullptr) {
            EXPECT_EQ(address, 0xFFFFFFFFu);
            EXPECT_NE(problem.find("would fail"), std::string::npos) << problem;
        } else {
            EXPECT_STREQ(inet_ntoa(converted), c.read);
            if (std::strcmp(c.read, c.write) != 0) {
                EXPECT_NE(problem.find(std::string(c.ip) + " would be read as " + c.read),
                          std::string::npos)
                    << problem;
            }
        }
        EXPECT_EQ(problem.rfind(std::string("write ") + c.write, 0), 0u) << problem;
    }
}

TEST_F(ConfigToolTest, RunsKilledAtAnyInstantLeaveTheOldOrTheNewFileAndOneTemporaryFileAtMost) {
    const std::vector<std::string> versions[2] = {
        {"--dir", dir_.path(), "devices", "3", "set", "0", "--ip", "10.0.0.1", "--timing", "100",
         "--password", "first", "set", "7", "--ip", "10.0.0.7", "--reconnect", "1"},
        {"--dir", dir_.path(), "devices", "4", "set", "0", "--ip", "10.0.0.2", "--timing", "250",
         "--password", "second", "set", "7", "--ip", "10.0.0.8", "--reconnect", "0"},
    };
    std::string files[2];
    for (int v : {0, 1, 0}) {
        ASSERT_EQ(RunTool(versions[v]).status, 0);
        const std::string content = dir_.read("Vexlor.ini").value_or("");
        if (files[v].empty()) files[v] = content;
        ASSERT_EQ(content, files[v]) << "a run does not give the same file each time";
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(RunTool(versions[1]).status, 0);
    const auto runTime = std::chrono::steady_clock::now() - start;

    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::mt19937 random(20261210);
    std::uniform_int_distribution<long> instant(
        0, std::chrono::duration_cast<std::chrono::microseconds>(runTime).count() * 3 / 2);
    int mixed = 0, tooManyTemporaries = 0;
    for (int run = 0; run < 200; ++run) {
        const pid_t pid = StartTool(versions[run % 2], devNull);
        std::this_thread::sleep_for(std::chrono::microseconds(instant(random)));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        const std::string content = dir_.read("Vexlor.ini").value_or("");
        if (content != files[0] && content != files[1]) ++mixed;
        if (OtherFiles(dir_.path()).size() > 1) ++tooManyTemporaries;
    }
    close(devNull);
    EXPECT_EQ(mixed, 0);
    EXPECT_EQ(tooManyTemporaries, 0);
    // The next run that writes removes what a killed one left.
    ASSERT_EQ(RunTool(versions[0]).status, 0);
    EXPECT_EQ(dir_.read("Vexlor.ini").value_or(""), files[0]);
    EXPECT_TRUE(OtherFiles(dir_.path()).empty());
}

TEST_F(ConfigToolTest, ALinkedSettingsFileIsWrittenWhereItLeadsAndUnwritablePlacesAreNamed) {
    // As installed: the driver's Vexlor.ini leads to the system's configuration directory.
    ASSERT_TRUE(dir_.write("etc/Vexlor.ini", "[DEV3]\r\nIP=10.0.0.3\r\n"));
    ASSERT_TRUE(dir_.write("lib/placeholder", ""));
    ASSERT_EQ(symlink("../etc/Vexlor.ini", dir_.file("lib/Vexlor.ini").c_str()), 0);
    const ToolRun set = RunTool({"--dir", dir_.file("lib"), "set", "0", "--ip", "10.0.0.1"});
    ASSERT_EQ(set.status, 0) << set.output;
    EXPECT_NE(set.output.find("-> " + dir_.file("etc/Vexlor.ini")), std::string::npos)
        << set.output;
    struct stat info;
    ASSERT_EQ(lstat(dir_.file("lib/Vexlor.ini").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    const std::string written = dir_.read("etc/Vexlor.ini").value_or("");
    EXPECT_NE(written.find("IP=10.0.0.1"), std::string::npos) << written;
    EXPECT_NE(written.find("IP=10.0.0.3"), std::string::npos) << written;  // slot 3 kept
    EXPECT_EQ(OtherFiles(dir_.file("etc")).size(), 0u);

    // A missing file is named as missing; a directory without write permission as such. (The
    // permission check needs an account that permissions apply to.)
    const ToolRun missing = RunTool({"--dir", dir_.path(), "show"});
    EXPECT_NE(missing.output.find("Vexlor.ini (does not exist"), std::string::npos)
        << missing.output;
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(dir_.file("etc").c_str(), 0555), 0);
        const ToolRun denied = RunTool({"--dir", dir_.file("lib"), "set", "0", "--port", "81"});
        chmod(dir_.file("etc").c_str(), 0755);
        EXPECT_EQ(denied.status, 1);
        EXPECT_NE(
            denied.output.find("permission denied: cannot create files in " + dir_.file("etc")),
            std::string::npos)
            << denied.output;
    }
}

}  // namespace
