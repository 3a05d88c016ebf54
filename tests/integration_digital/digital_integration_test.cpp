// The Web-IO digital functions through the built driver library, against vexlor-sim over
// 127.0.0.1: the library is copied into a private directory with the socket layer beside it and
// a Vexlor.ini written there, then loaded with dlopen exactly as a host loads it. Each test loads
// its own copy, so every test starts from a freshly loaded driver.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vexlor.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_run.h"
#include "support/driver_host.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"

namespace {

using vexlor::testing::BuiltDriverFiles;
using vexlor::testing::ChildOutcome;
using vexlor::testing::DriverHost;
using vexlor::testing::ErrorBoxLines;
using vexlor::testing::RunInChild;
using vexlor::testing::SimProcess;
using vexlor::testing::SlotSettings;
using vexlor::testing::TempDir;

// --- The driver as a host loads it ------------------------------------------------------------

// Slots are written as the configuration dialog writes them, passwords scrambled.
class Driver : public DriverHost {
  public:
    explicit Driver(const std::vector<SlotSettings>& slots)
        : DriverHost(BuiltDriverFiles(), "vexlor-digital") {
        if (installed() && WriteSlots(slots)) Load();
    }

    bool ok() const { return loaded(); }
    const std::string& why() const { return error(); }

    int ReadDI12(uint16_t slot, uint16_t* w, uint16_t* b) const {
        return fn<decltype(VexlorWeb_IO_12xDigital_ReadDI)>("VexlorWeb_IO_12xDigital_ReadDI")(
            1, slot, w, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &b[8], &b[9],
            &b[10], &b[11]);
    }
    int ReadDO12(uint16_t slot, uint16_t* w, uint16_t* b) const {
        return fn<decltype(VexlorWeb_IO_12xDigital_ReadDO)>("VexlorWeb_IO_12xDigital_ReadDO")(
            1, slot, w, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &b[8], &b[9],
            &b[10], &b[11]);
    }
    int WriteDO12(uint16_t slot, const uint16_t (&v)[12]) const {
        return fn<decltype(VexlorWeb_IO_12xDigital_WriteDO)>("VexlorWeb_IO_12xDigital_WriteDO")(
            1, slot, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11]);
    }
    int ReadCI12(uint16_t slot, int32_t* c) const {
        return fn<decltype(VexlorWeb_IO_12xDigital_ReadCI)>("VexlorWeb_IO_12xDigital_ReadCI")(
            1, slot, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7], &c[8], &c[9], &c[10],
            &c[11]);
    }
    int ResetCI12(uint16_t slot, const uint16_t (&v)[12]) const {
        return fn<decltype(VexlorWeb_IO_12xDigital_ResetCI)>("VexlorWeb_IO_12xDigital_ResetCI")(
            1, slot, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11]);
    }
    int ErrorClear12(uint16_t slot, uint16_t v) const {
        return fn<decltype(VexlorWeb_IO_12xDigital_ErrorClear)>(
            "VexlorWeb_IO_12xDigital_ErrorClear")(1, slot, v);
    }
    int ReadDI24(uint16_t slot, uint32_t* w, uint16_t* b) const {
        return fn<decltype(VexlorWeb_IO_24xDigital_ReadDI)>("VexlorWeb_IO_24xDigital_ReadDI")(
            1, slot, w, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &b[8], &b[9],
            &b[10], &b[11], &b[12], &b[13], &b[14], &b[15], &b[16], &b[17], &b[18], &b[19], &b[20],
            &b[21], &b[22], &b[23]);
    }
    int ReadDO24(uint16_t slot, uint32_t* w, uint16_t* b) const {
        return fn<decltype(VexlorWeb_IO_24xDigital_ReadDO)>("VexlorWeb_IO_24xDigital_ReadDO")(
            1, slot, w, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &b[8], &b[9],
            &b[10], &b[11], &b[12], &b[13], &b[14], &b[15], &b[16], &b[17], &b[18], &b[19], &b[20],
            &b[21], &b[22], &b[23]);
    }
    int WriteDO24(uint16_t slot, const uint16_t (&v)[24]) const {
        return fn<decltype(VexlorWeb_IO_24xDigital_WriteDO)>("VexlorWeb_IO_24xDigital_WriteDO")(
            1, slot, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11],
            v[12], v[13], v[14], v[15], v[16], v[17], v[18], v[19], v[20], v[21], v[22], v[23]);
    }
    int ReadCI24(uint16_t slot, int32_t* c) const {
        return fn<decltype(VexlorWeb_IO_24xDigital_ReadCI)>("VexlorWeb_IO_24xDigital_ReadCI")(
            1, slot, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7], &c[8], &c[9], &c[10],
            &c[11], &c[12], &c[13], &c[14], &c[15], &c[16], &c[17], &c[18], &c[19], &c[20], &c[21],
            &c[22], &c[23]);
    }
    int ResetCI24(uint16_t slot, const uint16_t (&v)[24]) const {
        return fn<decltype(VexlorWeb_IO_24xDigital_ResetCI)>("VexlorWeb_IO_24xDigital_ResetCI")(
            1, slot, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11],
            v[12], v[13], v[14], v[15], v[16], v[17], v[18], v[19], v[20], v[21], v[22], v[23]);
    }
    int ErrorClear24(uint16_t slot, uint16_t v) const {
        return fn<decltype(VexlorWeb_IO_24xDigital_ErrorClear)>(
            "VexlorWeb_IO_24xDigital_ErrorClear")(1, slot, v);
    }
};

// Polls condition every 10 ms for at most timeoutMs.
bool Eventually(const std::function<bool()>& condition, int timeoutMs = 5000) {
    return SimProcess::waitFor(condition, timeoutMs);
}

std::vector<std::string> Expected12(const std::string& pw) {
    std::vector<std::string> requests = {"GET /input?PW=" + pw + "&", "GET /output?PW=" + pw + "&",
                                         "GET /outputaccess3?PW=" + pw + "&State=ON&",
                                         "GET /outputaccess11?PW=" + pw + "&State=OFF&"};
    for (int i = 0; i < 12; ++i) {
        requests.push_back("GET /counter" + std::to_string(i) + "?PW=" + pw + "&");
    }
    requests.push_back("GET /counterclear4?PW=" + pw + "&");
    requests.push_back("GET /errorclear?PW=" + pw + "&");
    return requests;
}

std::vector<std::string> Expected24(const std::string& pw) {
    std::vector<std::string> requests = {"GET /input?PW=" + pw + "&", "GET /output?PW=" + pw + "&",
                                         "GET /outputaccess0?PW=" + pw + "&State=OFF&",
                                         "GET /outputaccess23?PW=" + pw + "&State=ON&"};
    for (int i = 0; i < 24; ++i) {
        requests.push_back("GET /counter" + std::to_string(i) + "?PW=" + pw + "&");
    }
    requests.push_back("GET /counterclear23?PW=" + pw + "&");
    requests.push_back("GET /errorclear?PW=" + pw + "&");
    return requests;
}

// Calls each of the twelve functions once on slot 1 (12xDigital) and slot 2 (24xDigital) and
// checks the exact requests each simulated device received.
void CheckRequestBytes(const std::string& password) {
    SimProcess sim({"digital12,pw=" + SimProcess::escape(password),
                    "digital24,pw=" + SimProcess::escape(password)});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Driver driver({{1, sim.port(0), "60000", password}, {2, sim.port(1), "60000", password}});
    ASSERT_TRUE(driver.ok()) << driver.why();
    ASSERT_EQ(driver.Init(1), 0);
    ASSERT_EQ(driver.Init(2), 0);

    uint16_t w16 = 0, b[24];
    uint32_t w32 = 0;
    int32_t c[24];
    EXPECT_EQ(driver.ReadDI12(1, &w16, b), 0);
    EXPECT_EQ(driver.ReadDO12(1, &w16, b), 0);
    EXPECT_EQ(driver.WriteDO12(1, {5, 5, 5, 1, 5, 5, 5, 5, 5, 5, 5, 0}), 0);
    EXPECT_EQ(driver.ReadCI12(1, c), 0);
    EXPECT_EQ(driver.ResetCI12(1, {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(driver.ErrorClear12(1, 1), 0);

    EXPECT_EQ(driver.ReadDI24(2, &w32, b), 0);
    EXPECT_EQ(driver.ReadDO24(2, &w32, b), 0);
    uint16_t out[24];
    for (auto& o : out) o = 7;
    out[0] = 0;
    out[23] = 1;
    EXPECT_EQ(driver.WriteDO24(2, out), 0);
    EXPECT_EQ(driver.ReadCI24(2, c), 0);
    uint16_t clear[24] = {};
    clear[23] = 2;
    EXPECT_EQ(driver.ResetCI24(2, clear), 0);
    EXPECT_EQ(driver.ErrorClear24(2, 9), 0);

    const auto expected12 = Expected12(password);
    const auto expected24 = Expected24(password);
    ASSERT_TRUE(sim.waitForRequests(0, static_cast<long long>(expected12.size())));
    ASSERT_TRUE(sim.waitForRequests(1, static_cast<long long>(expected24.size())));
    EXPECT_EQ(sim.requestLog(0), expected12);
    EXPECT_EQ(sim.requestLog(1), expected24);

    EXPECT_EQ(driver.DeInit(1), 0);
    EXPECT_EQ(driver.DeInit(2), 0);
}

TEST(DigitalIntegration, RequestBytesWithEmptyPassword) {
    CheckRequestBytes("");
}

TEST(DigitalIntegration, RequestBytesWithAmpersandAndSpaceInPassword) {
    CheckRequestBytes("a&b c");
}

TEST(DigitalIntegration, ReadsShowWhatTheDeviceReports) {
    SimProcess sim({"digital12,pw=k", "digital24,pw=k"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Driver driver({{3, sim.port(0), "0", "k"}, {4, sim.port(1), "0", "k"}});
    ASSERT_TRUE(driver.ok()) << driver.why();
    ASSERT_EQ(driver.Init(3), 0);
    ASSERT_EQ(driver.Init(4), 0);

    ASSERT_TRUE(sim.setInputs(0, 0xA5A));
    uint16_t w16 = 0, b[24] = {};
    EXPECT_TRUE(Eventually([&] { return driver.ReadDI12(3, &w16, b) == 0 && w16 == 0xA5A; }));
    for (int i = 0; i < 12; ++i) EXPECT_EQ(b[i], (0xA5A >> i) & 1) << i;

    ASSERT_TRUE(sim.setInputs(1, 0xC00003));
    uint32_t w32 = 0;
    EXPECT_TRUE(Eventually([&] { return driver.ReadDI24(4, &w32, b) == 0 && w32 == 0xC00003; }));
    for (int i = 0; i < 24; ++i) EXPECT_EQ(b[i], (0xC00003u >> i) & 1) << i;

    // Outputs switched through the driver come back through the output reads.
    EXPECT_EQ(driver.WriteDO12(3, {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1}), 0);
    EXPECT_TRUE(Eventually([&] { return driver.ReadDO12(3, &w16, b) == 0 && w16 == 0x805; }));
    EXPECT_EQ(sim.outputs(0), std::optional<uint32_t>(0x805));
    uint16_t out[24] = {};
    out[22] = 1;
    EXPECT_EQ(driver.WriteDO24(4, out), 0);
    EXPECT_TRUE(Eventually([&] { return driver.ReadDO24(4, &w32, b) == 0 && w32 == 0x400000; }));
    EXPECT_EQ(b[22], 1);
    EXPECT_EQ(b[0], 0);

    EXPECT_EQ(driver.DeInit(3), 0);
    EXPECT_EQ(driver.DeInit(4), 0);
}

TEST(DigitalIntegration, OneDueReadCIBringsAll24Counters) {
    SimProcess sim({"digital24"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    for (int i = 0; i < 24; ++i) ASSERT_TRUE(sim.setCounter(0, i, 1000 * i + 7));
    // All 24 replies arrive together, each ended by its NUL, and are taken in one block.
    ASSERT_TRUE(sim.setFault(0, "coalesce", "24"));
    // Long enough that only the first call is due (the machine has been up longer than this).
    Driver driver({{5, sim.port(0), "5000", ""}});
    ASSERT_TRUE(driver.ok()) << driver.why();
    ASSERT_EQ(driver.Init(5), 0);

    int32_t c[24] = {};
    auto all = [&] {
        if (driver.ReadCI24(5, c) != 0) return false;
        for (int i = 0; i < 24; ++i) {
            if (c[i] != 1000 * i + 7) return false;
        }
        return true;
    };
    EXPECT_TRUE(Eventually(all, 4000));
    EXPECT_EQ(sim.requestCount(0), 24);
    EXPECT_EQ(driver.DeInit(5), 0);
}

// The outcome of a child that ran a test body, with its standard error when it failed.
void ExpectChildPassed(const ChildOutcome& outcome) {
    const std::string& err = outcome.standardError;
    const std::string tail = err.size() > 4000 ? err.substr(err.size() - 4000) : err;
    EXPECT_TRUE(outcome.passed()) << "child exit " << outcome.exitCode << ", signal "
                                  << outcome.signal << "; its standard error:\n"
                                  << tail;
}

// Neither digital family raised an error box in the child's run.
void ExpectNoDigitalBoxes(const ChildOutcome& outcome) {
    for (const char* caption : {"Web-IO 12xDigital", "Web-IO 24xDigital"}) {
        EXPECT_EQ(ErrorBoxLines(outcome.standardError, caption), 0)
            << caption << ": " << outcome.standardError.substr(0, 4000);
    }
}

std::string Hex(const std::vector<uint32_t>& values) {
    std::ostringstream out;
    for (uint32_t v : values) out << " 0x" << std::hex << std::uppercase << v;
    return out.str();
}

// Replies cut by the network: every reply leaves the device as its first bytes, then 20 ms later
// the rest. Each read's value must arrive once and whole: a host that reads all the time sees the
// old value and then the new one, never a value of a head ("input;5A" of "input;5A5"), and no
// piece is reported as an unrecognised reply. Offsets inside the form ("inp"), inside the number
// and just before the NUL are tried on both digital kinds. The connection first carries one whole
// reply, so the driver has seen that this device ends its replies with a NUL.
TEST(DigitalIntegration, RepliesCutInTwoArriveOnceAndWhole) {
    SimProcess sim({"digital12,inputs=0x123", "digital24,inputs=0x123456"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    constexpr int kTimingMs = 250;
    struct Round {
        int device;  // also the slot
        int cut;     // 0: the whole reply
        uint32_t inputs;
    };
    // "input;" and three or six hexadecimal digits: 9 or 12 bytes and the NUL.
    const std::vector<Round> rounds = {
        {0, 0, 0x123},    {0, 3, 0xA5F},    {0, 8, 0x5A5},     {0, 9, 0xFED},
        {1, 0, 0x123456}, {1, 6, 0xC00003}, {1, 10, 0xABCDEF}, {1, 12, 0x7E5A01},
    };
    const ChildOutcome outcome = RunInChild(
        [&] {
            const std::string timing = std::to_string(kTimingMs);
            Driver driver({{0, sim.port(0), timing, ""}, {1, sim.port(1), timing, ""}});
            ASSERT_TRUE(driver.ok()) << driver.why();
            ASSERT_EQ(driver.Init(0), 0);
            ASSERT_EQ(driver.Init(1), 0);
            uint32_t shown[2] = {0, 0};  // Init clears the words
            for (const Round& r : rounds) {
                if (r.cut == 0) {
                    ASSERT_TRUE(sim.setFault(r.device, "cut", "off"));
                } else {
                    ASSERT_TRUE(sim.setFault(r.device, "cut", std::to_string(r.cut)));
                }
                ASSERT_TRUE(sim.setInputs(r.device, r.inputs));
                // The first read after the Timing has passed sends the request; the reads after
                // it only look, until shortly before the next one falls due.
                std::this_thread::sleep_for(std::chrono::milliseconds(kTimingMs + 20));
                std::vector<uint32_t> seen = {shown[r.device]};
                const auto start = std::chrono::steady_clock::now();
                const auto end = start + std::chrono::milliseconds(kTimingMs - 30);
                // A loaded machine may take longer than that for the reply: then read on until
                // it is there (the requests a due read adds bring the same value).
                const auto latest = start + std::chrono::seconds(5);
                for (auto now = start; now < end || (seen.back() != r.inputs && now < latest);
                     now = std::chrono::steady_clock::now()) {
                    uint16_t w16 = 0, b[24];
                    uint32_t word = 0;
                    const int rc =
                        r.device == 0 ? driver.ReadDI12(0, &w16, b) : driver.ReadDI24(1, &word, b);
                    ASSERT_EQ(rc, 0);
                    if (r.device == 0) word = w16;
                    if (word != seen.back()) seen.push_back(word);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                EXPECT_EQ(seen, (std::vector<uint32_t>{shown[r.device], r.inputs}))
                    << "device " << r.device << ", cut after " << r.cut
                    << " bytes; values seen:" << Hex(seen);
                shown[r.device] = seen.back();
            }
            EXPECT_EQ(driver.DeInit(0), 0);
            EXPECT_EQ(driver.DeInit(1), 0);
        },
        60);
    ExpectChildPassed(outcome);
    ExpectNoDigitalBoxes(outcome);
}

// Every connection frames its replies the same way from its first byte: the first reply after
// each Init is cut at every offset, its rest 20 ms later (a device that writes its text and its
// NUL in separate sends does this on every connect); then, on the same connection, a reply whose
// rest is 600 ms late, as a lost and retransmitted segment makes it. Every value arrives whole,
// no piece is ever shown, and no error box comes up.
TEST(DigitalIntegration, FirstRepliesAndLateRestsOfEveryConnectionArriveWhole) {
    SimProcess sim({"digital12,inputs=0x123"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    constexpr int kTimingMs = 300;
    const ChildOutcome outcome = RunInChild(
        [&] {
            Driver driver({{0, sim.port(0), std::to_string(kTimingMs), ""}});
            ASSERT_TRUE(driver.ok()) << driver.why();
            // Reads until the word is `expected` or `withinMs` have passed; every word shown.
            auto watch = [&](uint32_t expected, int withinMs) {
                std::vector<uint32_t> seen;
                const auto end =
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(withinMs);
                uint16_t w = 0, b[12];
                do {
                    EXPECT_EQ(driver.ReadDI12(0, &w, b), 0);
                    if (seen.empty() || seen.back() != w) seen.push_back(w);
                    if (w == expected) break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                } while (std::chrono::steady_clock::now() < end);
                return seen;
            };
            // "input;" and three hexadecimal digits, then the NUL: cuts after 1 to 9 bytes.
            for (int cut = 1; cut <= 9; ++cut) {
                const uint32_t first = 0x100 + static_cast<uint32_t>(cut);
                const uint32_t late = 0xA00 + static_cast<uint32_t>(cut);
                ASSERT_TRUE(sim.setFault(0, "cut", std::to_string(cut) + "/20"));
                ASSERT_TRUE(sim.setInputs(0, first));
                std::this_thread::sleep_for(std::chrono::milliseconds(kTimingMs + 10));
                ASSERT_EQ(driver.Init(0), 0);
                EXPECT_EQ(watch(first, 3000), (std::vector<uint32_t>{0, first}))
                    << "first reply cut after " << cut;

                ASSERT_TRUE(sim.setFault(0, "cut", std::to_string(cut) + "/600"));
                ASSERT_TRUE(sim.setInputs(0, late));
                std::this_thread::sleep_for(std::chrono::milliseconds(kTimingMs + 10));
                EXPECT_EQ(watch(late, 4000), (std::vector<uint32_t>{first, late}))
                    << "reply cut after " << cut << ", rest 600 ms later";
                ASSERT_EQ(driver.DeInit(0), 0);
            }
        },
        90);
    ExpectChildPassed(outcome);
    EXPECT_EQ(ErrorBoxLines(outcome.standardError, "Web-IO 12xDigital"), 0)
        << outcome.standardError.substr(0, 4000);
}

// The first reply after a fresh load, cut with its rest 150 ms and 600 ms late (a lost segment on
// a lossy link): nothing but the reset value until it is decoded whole, and no error box.
TEST(DigitalIntegration, FirstReplyAfterLoadWithALateRestArrivesWhole) {
    SimProcess sim({"digital12,inputs=0x5A5"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    for (const char* rest : {"7/150", "7/600"}) {
        ASSERT_TRUE(sim.setFault(0, "cut", rest));
        const ChildOutcome outcome = RunInChild(
            [&] {
                Driver driver({{0, sim.port(0), "5000", ""}});
                ASSERT_EQ(driver.Init(0), 0);
                uint16_t w = 0, b[12];
                while (driver.ReadDI12(0, &w, b) == 0 && w == 0) usleep(2000);
                EXPECT_EQ(w, 0x5A5);
            },
            30);
        ExpectChildPassed(outcome);
        EXPECT_EQ(ErrorBoxLines(outcome.standardError, "Web-IO 12xDigital"), 0) << rest;
    }
}

// One host thread reads slot A as fast as it can while others close and open slots A and B over
// and over: no request of slot A, with A's password, may ever reach B's device, whatever socket
// number the system hands to B's new connections.
TEST(DigitalIntegration, ReadsRacingDeInitAndInitNeverReachAnotherDevice) {
    SimProcess sim({"digital12,pw=alpha", "digital12,pw=bravo"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Driver driver({{0, sim.port(0), "0", "alpha"}, {1, sim.port(1), "0", "bravo"}});
    ASSERT_TRUE(driver.ok()) << driver.why();
    ASSERT_EQ(driver.Init(0), 0);
    ASSERT_EQ(driver.Init(1), 0);
    constexpr int kCycles = 1000;
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    std::thread reader([&] {
        uint16_t w = 0, b[12];
        while (!stop.load()) {
            driver.ReadDI12(0, &w, b);
            reads.fetch_add(1);
        }
    });
    std::thread cyclerA([&] {
        for (int i = 0; i < kCycles; ++i) {
            driver.DeInit(0);
            driver.Init(0);
        }
    });
    std::thread cyclerB([&] {
        for (int i = 0; i < kCycles; ++i) {
            driver.DeInit(1);
            if (i % 10 == 0) driver.DeInit(0);  // two DeInits of A at the same time
            driver.Init(1);
        }
    });
    cyclerA.join();
    cyclerB.join();
    stop.store(true);
    reader.join();
    EXPECT_GT(reads.load(), kCycles);
    EXPECT_EQ(driver.DeInit(0), 0);
    EXPECT_EQ(driver.DeInit(1), 0);
    EXPECT_GT(sim.requestCount(0), 0);
    // Nothing ever reads slot B: any request at its device came from slot A.
    EXPECT_EQ(sim.requestCount(1), 0);
    for (const std::string& request : sim.requestLog(1)) {
        EXPECT_EQ(request.find("PW=alpha"), std::string::npos) << request;
    }
}

// Replies that arrive faster than the driver takes them in: the simulator holds the replies to
// several ReadCI calls and sends them in one burst, longer than one receive of the driver (36
// counter replies, about 470 bytes, on a 12xDigital; 192 of them, about 2.8 kB, on a
// 24xDigital). The counters change between the calls, so each call's replies carry other
// values: every reply is decoded, in order, when the counters end with the last call's values
// and no piece of a reply is reported as unrecognised.
TEST(DigitalIntegration, BurstsLongerThanOneReceiveDecodeEveryReplyInOrder) {
    constexpr int kCalls12 = 3, kCalls24 = 8;
    // Held until every call's replies are there, however long the calls take.
    SimProcess sim({"digital12,fault=coalesce:" + std::to_string(kCalls12 * 12) + "/20000",
                    "digital24,fault=coalesce:" + std::to_string(kCalls24 * 24) + "/20000"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const ChildOutcome outcome = RunInChild(
        [&] {
            constexpr int kTimingMs = 100;
            const std::string timing = std::to_string(kTimingMs);
            Driver driver({{0, sim.port(0), timing, ""}, {1, sim.port(1), timing, ""}});
            ASSERT_TRUE(driver.ok()) << driver.why();
            ASSERT_EQ(driver.Init(0), 0);
            ASSERT_EQ(driver.Init(1), 0);
            auto value = [](int device, int call, int k) {
                return device == 0 ? 100 * call + k : 1000 * call + k;
            };
            int32_t c[24] = {};
            for (int device = 0; device < 2; ++device) {
                const int channels = device == 0 ? 12 : 24;
                const int calls = device == 0 ? kCalls12 : kCalls24;
                for (int call = 1; call <= calls; ++call) {
                    for (int k = 0; k < channels; ++k) {
                        ASSERT_TRUE(sim.setCounter(device, k, value(device, call, k)));
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(kTimingMs + 10));
                    ASSERT_EQ(device == 0 ? driver.ReadCI12(0, c) : driver.ReadCI24(1, c), 0);
                    // The device answers with the counters as they are when the request arrives.
                    ASSERT_TRUE(sim.waitForRequests(device, call * channels));
                }
                // All of them left in one send, with the last request.
                EXPECT_EQ(sim.query("sends " + std::to_string(device)),
                          std::optional<std::string>("1"));
                auto last = [&] {
                    // A read that falls due asks again; those replies are held back and carry
                    // the same values.
                    if ((device == 0 ? driver.ReadCI12(0, c) : driver.ReadCI24(1, c)) != 0) {
                        return false;
                    }
                    for (int k = 0; k < channels; ++k) {
                        if (c[k] != value(device, calls, k)) return false;
                    }
                    return true;
                };
                EXPECT_TRUE(Eventually(last, 3000)) << "device " << device;
                for (int k = 0; k < channels; ++k) {
                    EXPECT_EQ(c[k], value(device, calls, k))
                        << "device " << device << " counter " << k;
                }
            }
            EXPECT_EQ(driver.DeInit(0), 0);
            EXPECT_EQ(driver.DeInit(1), 0);
        },
        60);
    ExpectChildPassed(outcome);
    ExpectNoDigitalBoxes(outcome);
}

TEST(DigitalIntegration, GarbageReplyIsReportedOnStandardError) {
    SimProcess sim({"digital12"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.setFault(0, "garbage"));
    TempDir logDir("vexlor-digital-stderr");
    ASSERT_TRUE(logDir.ok());
    const std::string logPath = logDir.file("stderr.txt");
    const uint16_t port = sim.port(0);

    // The driver writes the error line to its process's standard error: run the host side in a
    // child whose standard error goes to a file.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) _exit(10);
        alarm(20);  // never outlive the test
        int status = 0;
        {
            Driver driver({{6, port, "0", ""}});
            if (!driver.ok()) _exit(11);
            if (driver.Init(6) != 0) _exit(12);
            uint16_t w = 0, b[12];
            if (driver.ReadDI12(6, &w, b) != 0) _exit(13);
            const bool seen = Eventually([&] {
                std::ifstream in(logPath);
                std::string text((std::istreambuf_iterator<char>(in)), {});
                return text.find("Web-IO 12xDigital: ") != std::string::npos;
            });
            if (!seen) status = 14;
            driver.DeInit(6);
        }
        _exit(status);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const auto log = logDir.read("stderr.txt");
    ASSERT_TRUE(log.has_value());
    // The garbage the simulator sends, its control bytes escaped, after the slot's number.
    EXPECT_NE(log->find("Web-IO 12xDigital: slot 6: \\x7F#garbage?\\x01\\x02\n"), std::string::npos)
        << *log;
}

TEST(DigitalIntegration, ClosedSlotFailsWithoutReachingAnotherDevice) {
    SimProcess sim({"digital12", "digital12"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Driver driver({{7, sim.port(0), "0", ""}, {8, sim.port(1), "0", ""}});
    ASSERT_TRUE(driver.ok()) << driver.why();
    ASSERT_EQ(driver.Init(7), 0);
    ASSERT_EQ(driver.DeInit(7), 0);
    ASSERT_EQ(driver.Init(8), 0);  // may be given the number slot 7's socket had

    EXPECT_EQ(driver.WriteDO12(7, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}), 10038);
    EXPECT_EQ(driver.ErrorClear12(7, 1), 10038);
    // A request of slot 8's own, to know that everything sent before it has arrived.
    EXPECT_EQ(driver.ErrorClear12(8, 1), 0);
    ASSERT_TRUE(sim.waitForRequests(1, 1));
    EXPECT_EQ(sim.requestLog(1), std::vector<std::string>{"GET /errorclear?PW=&"});
    EXPECT_EQ(sim.requestCount(0), 0);
    EXPECT_EQ(driver.DeInit(8), 0);
}

// The devices as their manuals describe them: a reply header of address and name, an idle timer
// that a connection survives only with the keep-alive, and a close instead of an answer to a
// wrong password. Slots 0..3: header, idle with Keep Alive 500, idle without, wrong password.
TEST(DigitalIntegration, RealDeviceHeaderIdleTimerAndWrongPassword) {
    SimProcess sim({"digital12,pw=k,header=1,inputs=0xA5F", "digital24,pw=k,idle=1500,inputs=0x1",
                    "digital12,pw=k,idle=1500", "digital12,pw=right"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const ChildOutcome outcome = RunInChild(
        [&] {
            const std::vector<SlotSettings> slots = {{0, sim.port(0), "0", "k"},
                                                     {1, sim.port(1), "0", "k"},
                                                     {2, sim.port(2), "0", "k"},
                                                     {3, sim.port(3), "200", "wrong"}};
            Driver driver(slots);
            ASSERT_TRUE(driver.ok()) << driver.why();
            std::string ini;
            ASSERT_TRUE(vexlor::testing::SettingsText(slots, &ini));
            for (const char* section : {"[DEV1]\n", "[DEV2]\n"}) {
                const size_t at = ini.find(section) + std::strlen(section);
                ini.insert(at,
                           std::string("Keep Alive=") + (section[4] == '1' ? "500" : "0") + "\n");
            }
            ASSERT_TRUE(driver.WriteSettings(ini));
            for (int slot = 0; slot < 4; ++slot) ASSERT_EQ(driver.Init(slot), 0) << slot;

            uint16_t w16 = 0, b[24];
            uint32_t w32 = 0;
            EXPECT_TRUE(
                Eventually([&] { return driver.ReadDI12(0, &w16, b) == 0 && w16 == 0xA5F; }));
            EXPECT_TRUE(Eventually([&] { return driver.ReadDI24(1, &w32, b) == 0 && w32 == 1; }));
            EXPECT_EQ(driver.ReadDI12(2, &w16, b), 0);

            // The host pauses for twice the idle time: only the slot with the keep-alive keeps
            // its connection, and its next read brings fresh values.
            std::this_thread::sleep_for(std::chrono::milliseconds(3200));
            EXPECT_EQ(sim.accepts(1), 1);
            EXPECT_EQ(sim.connections(1), 1);
            EXPECT_TRUE(sim.waitForConnections(2, 0));
            ASSERT_TRUE(sim.setInputs(1, 0xABCDEF));
            EXPECT_TRUE(Eventually(
                [&] { return driver.ReadDI24(1, &w32, b) == 0 && w32 == 0xABCDEF; }, 2000));
            EXPECT_GE(sim.requestCount(1), 5);

            // A wrong password gets a close: the reads report the send error within two Timings.
            const auto start = std::chrono::steady_clock::now();
            int rc = 0;
            EXPECT_TRUE(Eventually([&] { return (rc = driver.ReadDI12(3, &w16, b)) != 0; }, 3000));
            EXPECT_TRUE(rc == 10053 || rc == 10054 || rc == 10058) << rc;
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
            for (int slot = 0; slot < 4; ++slot) EXPECT_EQ(driver.DeInit(slot), 0);
        },
        60);
    ExpectChildPassed(outcome);
    ExpectNoDigitalBoxes(outcome);
}

}  // namespace
