// The driver library as a host sees it: loaded by name from a directory of its own, beside the
// socket layer (and trace library) it loads, with its settings file there, talking to the
// device simulator over 127.0.0.1. Each test loads and unloads the library itself, so every
// test starts from a freshly loaded driver.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vexlor.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/driver_host.h"
#include "support/sim_process.h"

namespace {

using vexlor::testing::BuiltDriverFiles;
using vexlor::testing::DriverHost;
using vexlor::testing::SimProcess;

// A TCP port on 127.0.0.1 that nothing listens on: bound once, then released.
uint16_t RefusedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

std::string SlotSection(int slot, const std::string& ip, uint16_t port) {
    std::ostringstream text;
    text << "[DEV" << slot << "]\r\nIP=" << ip << "\r\nPort=" << port
         << "\r\nTiming=500\r\nPassword=\r\n";
    return text.str();
}

// One installation of the driver: a private directory holding libvexlor.so, the chosen
// companion libraries and Vexlor.ini.
class Installation : public DriverHost {
  public:
    Installation(bool withSocketLayer, bool withTraceLibrary)
        : DriverHost(BuiltDriverFiles(withSocketLayer, withTraceLibrary), "vexlor-core-it") {}

    bool ok() const { return installed(); }
    bool Load() {
        return DriverHost::Load() && Symbol("VexlorWeb_IO_Init") != nullptr &&
               Symbol("VexlorWeb_IO_DeInit") != nullptr;
    }
    // (language, slot), in the order of the exported functions.
    int Init(uint16_t language, uint16_t slot) const { return DriverHost::Init(slot, language); }
    int DeInit(uint16_t language, uint16_t slot) const {
        return DriverHost::DeInit(slot, language);
    }
};

TEST(CoreIntegration, LoadsByNameAndUnloadsCompletely) {
    Installation driver(true, false);
    ASSERT_TRUE(driver.ok());
    for (int cycle = 0; cycle < 2; ++cycle) {
        ASSERT_TRUE(driver.Load()) << driver.error();
        EXPECT_TRUE(driver.StillMapped("libvexlor.so"));
        EXPECT_TRUE(driver.StillMapped("libwsock32.so"));  // found beside the driver
        EXPECT_EQ(driver.DeInit(0, 3), 0);                 // never initialised: nothing to do
        driver.Unload();
        // dlclose really unmaps the driver and, with it, the socket layer it loaded.
        EXPECT_FALSE(driver.StillMapped("libvexlor.so"));
        EXPECT_FALSE(driver.StillMapped("libwsock32.so"));
    }
}

TEST(CoreIntegration, InitConnectsOnceAndDeInitDisconnects) {
    SimProcess sim({"digital12"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Installation driver(true, false);
    ASSERT_TRUE(driver.ok());
    ASSERT_TRUE(driver.WriteSettings(SlotSection(0, "127.0.0.1", sim.port(0))));
    ASSERT_TRUE(driver.Load()) << driver.error();

    EXPECT_EQ(driver.Init(1, 0), 0);
    EXPECT_TRUE(sim.waitForConnections(0, 1));
    EXPECT_EQ(driver.Init(1, 0), 6);  // in use: refused, nothing changes
    EXPECT_EQ(driver.DeInit(1, 0), 0);
    EXPECT_TRUE(sim.waitForConnections(0, 0));
    EXPECT_EQ(sim.accepts(0), 1);

    // The slot can be opened again, and DeInit twice is harmless.
    EXPECT_EQ(driver.Init(0, 0), 0);
    EXPECT_TRUE(sim.waitForConnections(0, 1));
    EXPECT_EQ(driver.DeInit(0, 0), 0);
    EXPECT_EQ(driver.DeInit(0, 0), 0);
    EXPECT_TRUE(sim.waitForConnections(0, 0));

    EXPECT_EQ(driver.Init(0, 100), 2);
    EXPECT_EQ(driver.DeInit(0, 100), 2);
    EXPECT_EQ(driver.Init(0, 65535), 2);
    driver.Unload();
}

TEST(CoreIntegration, RefusedConnectionGivesTheSocketErrorAndFreesTheSlot) {
    SimProcess sim({"digital12"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const uint16_t refused = RefusedPort();
    ASSERT_NE(refused, 0);
    Installation driver(true, false);
    ASSERT_TRUE(driver.ok());
    ASSERT_TRUE(driver.WriteSettings(SlotSection(5, "127.0.0.1", refused)));
    ASSERT_TRUE(driver.Load()) << driver.error();

    EXPECT_EQ(driver.Init(1, 5), 10061);
    EXPECT_EQ(driver.Init(1, 5), 10061);  // the slot is free again: tried, not refused with 6
    // Settings are read at every Init: point the slot at a device and it connects.
    ASSERT_TRUE(driver.WriteSettings(SlotSection(5, "127.0.0.1", sim.port(0))));
    EXPECT_EQ(driver.Init(1, 5), 0);
    EXPECT_TRUE(sim.waitForConnections(0, 1));
    EXPECT_EQ(driver.DeInit(1, 5), 0);
    driver.Unload();
}

TEST(CoreIntegration, WithoutSocketLayerEveryCallGivesThree) {
    Installation driver(false, false);
    ASSERT_TRUE(driver.ok());
    ASSERT_TRUE(driver.WriteSettings(SlotSection(0, "127.0.0.1", 80)));
    ASSERT_TRUE(driver.Load()) << driver.error();
    EXPECT_EQ(driver.Init(0, 0), 3);
    EXPECT_EQ(driver.Init(0, 99), 3);
    EXPECT_EQ(driver.DeInit(0, 0), 3);
    EXPECT_EQ(driver.Init(0, 100), 2);  // the slot test comes first
    driver.Unload();
}

TEST(CoreIntegration, UnloadingWithSlotsStillOpenEnds) {
    SimProcess sim({"digital12", "iocontroller,maxconn=2", "digital24"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Installation driver(true, false);
    ASSERT_TRUE(driver.ok());
    ASSERT_TRUE(driver.WriteSettings(
        SlotSection(0, "127.0.0.1", sim.port(0)) + SlotSection(1, "127.0.0.1", sim.port(1)) +
        "[DEV2]\r\nIP=127.0.0.1\r\nPort=" + std::to_string(sim.port(1)) +
        "\r\nTiming=500\r\nPassword=I/O Controller\r\n" +
        SlotSection(3, "127.0.0.1", sim.port(2))));
    ASSERT_TRUE(driver.Load()) << driver.error();
    EXPECT_EQ(driver.Init(1, 0), 0);
    EXPECT_EQ(driver.Init(1, 1), 0);
    EXPECT_EQ(driver.Init(1, 2), 0);  // an I/O Controller slot: its thread serves it at once
    EXPECT_EQ(driver.Init(1, 3), 0);
    EXPECT_TRUE(sim.waitForConnections(1, 2));

    // The receive threads are stopped and joined; the library and its socket layer go away.
    driver.Unload();
    EXPECT_FALSE(driver.StillMapped("libvexlor.so"));
    EXPECT_FALSE(driver.StillMapped("libwsock32.so"));

    // A fresh load starts with every slot free again.
    ASSERT_TRUE(driver.Load()) << driver.error();
    EXPECT_EQ(driver.Init(1, 0), 0);
    EXPECT_EQ(driver.DeInit(1, 0), 0);
    driver.Unload();
}

#ifdef VEXLOR_ORVANE_PATH
std::vector<std::string> TraceTexts(const std::string& content) {
    // "YYYY-MM-DD HH:MM:SS.mmm T<id> C<channel> <text>": keep "C<channel> <text>".
    std::vector<std::string> texts;
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t thread = line.find(" T");
        const size_t channel = thread == std::string::npos ? thread : line.find(' ', thread + 2);
        if (channel != std::string::npos) texts.push_back(line.substr(channel + 1));
    }
    return texts;
}

bool Contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST(CoreIntegration, TraceLinesReachTheTraceLibrary) {
    SimProcess sim({"digital12"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Installation driver(true, true);
    ASSERT_TRUE(driver.ok());
    const uint16_t port = sim.port(0);
    ASSERT_TRUE(driver.WriteSettings(SlotSection(7, "127.0.0.1", port)));
    const std::string traceFile = driver.dir().file("trace.txt");
    ASSERT_EQ(setenv("ORVANE_TRACE_FILE", traceFile.c_str(), 1), 0);
    ASSERT_TRUE(driver.Load()) << driver.error();
    EXPECT_EQ(driver.Init(1, 7), 0);
    EXPECT_EQ(driver.DeInit(1, 7), 0);
    driver.Unload();
    unsetenv("ORVANE_TRACE_FILE");

    const auto content = driver.dir().read("trace.txt");
    ASSERT_TRUE(content.has_value());
    const auto texts = TraceTexts(*content);
    ASSERT_GE(texts.size(), 12u) << *content;
    EXPECT_EQ(texts[0].rfind("C1 Ret=", 0), 0u) << texts[0];
    EXPECT_NE(texts[0].find("; LoadLibrary (WSOCK32.DLL)"), std::string::npos) << texts[0];

    // The host's lines in order; the receive thread's lines anywhere after its creation.
    std::vector<std::string> host;
    for (const auto& text : texts) {
        if (text != "C1 SetThreadPriority (GetCurrentThread (), 0)" &&
            text != "C1 ExitThread (0)") {
            host.push_back(text);
        }
    }
    const std::string portText = std::to_string(port);
    const std::string networkPort = std::to_string(htons(port));
    ASSERT_EQ(host.size(), 11u) << *content;
    EXPECT_EQ(host[1].rfind("C1 Ret=", 0), 0u);
    EXPECT_NE(host[1].find("; CreateThread (NULL, 0, ThreadDev, 7, &...)"), std::string::npos);
    EXPECT_EQ(host[2], "C2 Ret=16777343; inet_addr (127.0.0.1)");
    EXPECT_EQ(host[3].rfind("C2 Ret=", 0), 0u);
    EXPECT_NE(host[3].find("; socket (AF_INET, SOCK_STREAM, 0)"), std::string::npos);
    const std::string socket = host[3].substr(7, host[3].find(';') - 7);
    EXPECT_EQ(host[4], "C2 Ret=0; bind (" + socket + ", &..., sizeof(...))");
    EXPECT_EQ(host[5], "C2 Ret=" + networkPort + "; htons (" + portText + ")");
    EXPECT_EQ(host[6], "C2 Ret=0; connect (" + socket + ", &..., sizeof(...))");
    EXPECT_EQ(host[7].rfind("C1 Ret=1; CloseHandle (", 0), 0u) << host[7];
    EXPECT_EQ(host[8], "C2 Ret=0; shutdown (" + socket + ", 2)");
    EXPECT_EQ(host[9],
              "C2 Ret=0; setsockopt (" + socket + ", SOL_SOCKET, SO_LINGER, &..., sizeof(...))");
    EXPECT_EQ(host[10], "C2 Ret=0; closesocket (" + socket + ")");
    EXPECT_TRUE(Contains(texts, "C1 SetThreadPriority (GetCurrentThread (), 0)"));
    EXPECT_TRUE(Contains(texts, "C1 ExitThread (0)"));
}
#endif

}  // namespace
