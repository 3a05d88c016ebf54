// Fault injection: the built driver against devices of vexlor-sim that misbehave (close the
// connection, send garbage, split, coalesce or delay replies, never answer, refuse or drop
// connections, flood). Through every fault the host's calls return at once with the values last
// decoded or a socket error number, the driver recovers once the device behaves again, and an
// error box (a line on standard error on Linux) appears only for text that is not a reply.
//
// Each test body runs in a child process (RunInChild) so that its standard error, where the
// error boxes go, can be examined afterwards.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "support/sim_process.h"

namespace reliability {
namespace {

using vexlor::testing::SimProcess;

constexpr char kCaption12[] = "Web-IO 12xDigital";
constexpr char kCaption24[] = "Web-IO 24xDigital";
constexpr char kCaptionThermo[] = "Web-IO 1x, 2x, 8x Thermometer";
constexpr char kIoController[] = "I/O Controller";

// Errors a send reports once the device has closed the connection.
bool IsClosedConnectionError(int result) {
    return result == 10053 || result == 10054;
}

void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Checks a child's outcome; its standard error is shown when it failed and must never hold a
// sanitizer report.
void ExpectPassed(const ChildOutcome& outcome) {
    const std::string& err = outcome.standardError;
    const std::string tail = err.size() > 20000 ? err.substr(err.size() - 20000) : err;
    EXPECT_TRUE(outcome.passed()) << "child exit " << outcome.exitCode << ", signal "
                                  << outcome.signal << "; its standard error:\n"
                                  << tail;
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << tail;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << tail;
}

template <size_t N>
bool BitsMatch(uint32_t word, const std::array<uint16_t, N>& bits) {
    for (size_t i = 0; i < N; ++i) {
        if (bits[i] != ((word >> i) & 1u)) return false;
    }
    return true;
}

TEST(FaultInjection, ClosedConnectionKeepsTheLastValuesAndGivesSocketErrors) {
    SimProcess sim({"digital12,inputs=0x5A5,fault=close-after:40",
                    "digital24,inputs=0xA5A5A5,fault=close-after:40",
                    "iocontroller,inputs=0x5A,fault=close-after:40"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.command("ping"));  // opens the control connection before anything is counted
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            ASSERT_TRUE(host.Configure(
                {{0, sim.port(0)}, {1, sim.port(1)}, {2, sim.port(2), "0", kIoController}}));
            ASSERT_TRUE(host.Load()) << host.error();
            for (uint16_t slot = 0; slot < 3; ++slot) ASSERT_EQ(host.Init(slot), 0);

            uint16_t w12 = 0, ioc = 0;
            uint32_t w24 = 0;
            std::array<uint16_t, 12> b12{};
            std::array<uint16_t, 24> b24{};
            std::array<uint16_t, 8> in{};
            // Timing 0: every read sends; read until the value is there, then on until the
            // device has taken its 40 requests and closed.
            auto read12 = [&] { return host.ReadDI12(0, &w12, b12); };
            auto read24 = [&] { return host.ReadDI24(1, &w24, b24); };
            auto readIoc = [&] { return host.IocReadDI(2, &ioc, in); };
            ASSERT_TRUE(Eventually([&] { return read12() == 0 && w12 == 0x5A5; }));
            ASSERT_TRUE(Eventually([&] { return read24() == 0 && w24 == 0xA5A5A5; }));
            ASSERT_TRUE(Eventually([&] { return readIoc() == 0 && ioc == 0x5A; }));
            for (int device = 0; device < 3; ++device) {
                ASSERT_TRUE(Eventually([&] {
                    read12();
                    read24();
                    readIoc();
                    Pause(2);
                    return sim.connections(device) == 0;
                })) << "device "
                    << device << " did not close";
            }
            // The device lingers a moment after closing its side; then sends fail with the
            // socket error of a closed connection. Until then and after it, the values stay.
            int failures12 = 0, failures24 = 0, failuresIoc = 0;
            auto readAll = [&] {
                const int r12 = read12(), r24 = read24(), rIoc = readIoc();
                EXPECT_TRUE(r12 == 0 || IsClosedConnectionError(r12)) << r12;
                EXPECT_TRUE(r24 == 0 || IsClosedConnectionError(r24)) << r24;
                EXPECT_TRUE(rIoc == 0 || IsClosedConnectionError(rIoc)) << rIoc;
                failures12 += r12 != 0;
                failures24 += r24 != 0;
                failuresIoc += rIoc != 0;
                EXPECT_EQ(w12, 0x5A5);
                EXPECT_EQ(w24, 0xA5A5A5u);
                EXPECT_EQ(ioc, 0x5A);
                Pause(5);
            };
            EXPECT_TRUE(Eventually(
                [&] {
                    readAll();
                    return failures12 > 0 && failures24 > 0 && failuresIoc > 0;
                },
                20000))
                << failures12 << " " << failures24 << " " << failuresIoc;
            for (int i = 0; i < 20; ++i) readAll();
            EXPECT_EQ(w12, 0x5A5);
            EXPECT_TRUE(BitsMatch(w12, b12));
            EXPECT_EQ(w24, 0xA5A5A5u);
            EXPECT_TRUE(BitsMatch(w24, b24));
            EXPECT_EQ(ioc, 0x5A);
            // The host closes and reopens the slot; the new connection works.
            ASSERT_TRUE(sim.setInputs(0, 0x0F0));
            EXPECT_EQ(host.DeInit(0), 0);
            ASSERT_EQ(host.Init(0), 0);
            EXPECT_TRUE(Eventually([&] { return read12() == 0 && w12 == 0x0F0; }));
            for (uint16_t slot = 0; slot < 3; ++slot) EXPECT_EQ(host.DeInit(slot), 0);
        },
        240);
    ExpectPassed(outcome);
    // A closed connection is no unrecognised reply.
    EXPECT_EQ(ErrorBoxLines(outcome.standardError, kCaption12), 0);
    EXPECT_EQ(ErrorBoxLines(outcome.standardError, kCaption24), 0);
}

TEST(FaultInjection, GarbageIsReportedAndLeavesTheValues) {
    SimProcess sim({"digital12,inputs=0x5A5", "digital24,outputs=0xC3C3C3",
                    "iocontroller,inputs=0x81", "thermo2,fault=garbage"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.command("ping"));  // opens the control connection before anything is counted
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            ASSERT_TRUE(host.Configure({{0, sim.port(0)},
                                        {1, sim.port(1)},
                                        {2, sim.port(2), "0", kIoController},
                                        {3, sim.port(3), "1000"}}));
            ASSERT_TRUE(host.Load()) << host.error();
            for (uint16_t slot = 0; slot < 3; ++slot) ASSERT_EQ(host.Init(slot), 0);
            uint16_t w12 = 0, ioc = 0;
            uint32_t w24 = 0;
            std::array<uint16_t, 12> b12{};
            std::array<uint16_t, 24> b24{};
            std::array<uint16_t, 8> in{};
            ASSERT_TRUE(
                Eventually([&] { return host.ReadDI12(0, &w12, b12) == 0 && w12 == 0x5A5; }));
            ASSERT_TRUE(
                Eventually([&] { return host.ReadDO24(1, &w24, b24) == 0 && w24 == 0xC3C3C3; }));
            ASSERT_TRUE(
                Eventually([&] { return host.IocReadDI(2, &ioc, in) == 0 && ioc == 0x81; }));

            for (int device = 0; device < 3; ++device) ASSERT_TRUE(sim.setFault(device, "garbage"));
            for (int i = 0; i < 5; ++i) {
                EXPECT_EQ(host.ReadDI12(0, &w12, b12), 0);
                EXPECT_EQ(host.ReadDO24(1, &w24, b24), 0);
                EXPECT_EQ(host.IocReadDI(2, &ioc, in), 0);
                EXPECT_EQ(w12, 0x5A5);
                EXPECT_EQ(w24, 0xC3C3C3u);
                EXPECT_EQ(ioc, 0x81);
                Pause(20);
            }
            // Once the device behaves again, a new value gets through: everything sent before
            // it (the garbage) has been received and decoded by then.
            for (int device = 0; device < 3; ++device) ASSERT_TRUE(sim.clearFaults(device));
            ASSERT_TRUE(sim.setInputs(0, 0x00F));
            ASSERT_TRUE(sim.setOutputs(1, 0x000081));
            ASSERT_TRUE(sim.setInputs(2, 0x18));
            EXPECT_TRUE(
                Eventually([&] { return host.ReadDI12(0, &w12, b12) == 0 && w12 == 0x00F; }));
            EXPECT_TRUE(BitsMatch(w12, b12));
            EXPECT_TRUE(
                Eventually([&] { return host.ReadDO24(1, &w24, b24) == 0 && w24 == 0x81; }));
            EXPECT_TRUE(BitsMatch(w24, b24));
            EXPECT_TRUE(
                Eventually([&] { return host.IocReadDI(2, &ioc, in) == 0 && ioc == 0x18; }));
            for (uint16_t slot = 0; slot < 3; ++slot) EXPECT_EQ(host.DeInit(slot), 0);

            // A thermometer that answers garbage: the read ends at its deadline with the
            // readings it had (none yet), reported as not fresh.
            if (UpLongEnoughForThermometers()) {
                double t[2] = {-1.0, -1.0};
                EXPECT_EQ(host.ReadThermo(2, 3, t), 10060);
                EXPECT_EQ(t[0], 0.0);
                EXPECT_EQ(t[1], 0.0);
            }
        },
        120);
    ExpectPassed(outcome);
    EXPECT_GE(ErrorBoxLines(outcome.standardError, kCaption12), 1);
    EXPECT_GE(ErrorBoxLines(outcome.standardError, kCaption24), 1);
    if (UpLongEnoughForThermometers()) {
        EXPECT_GE(ErrorBoxLines(outcome.standardError, kCaptionThermo), 1);
    }
}

TEST(FaultInjection, SplitRepliesNeverGiveValuesOutsideWhatWasSent) {
    SimProcess sim(
        {"digital12,inputs=0x5A5,fault=split:20", "iocontroller,inputs=0x5A,fault=split:20"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.command("ping"));  // opens the control connection before anything is counted
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            ASSERT_TRUE(
                host.Configure({{0, sim.port(0), "10"}, {1, sim.port(1), "10", kIoController}}));
            ASSERT_TRUE(host.Load()) << host.error();
            ASSERT_EQ(host.Init(0), 0);
            ASSERT_EQ(host.Init(1), 0);
            // Each piece of "input;5A5" is decoded on its own: the value is one that a head of
            // the reply gives, or the value before; the bits always follow the word.
            const std::set<uint16_t> allowed12 = {0x0, 0x5, 0x5A, 0x5A5};
            const std::set<uint16_t> allowedIoc = {0x00, 0x5A};
            uint16_t w12 = 0, ioc = 0;
            std::array<uint16_t, 12> b12{};
            std::array<uint16_t, 8> in{};
            for (int i = 0; i < 60; ++i) {
                EXPECT_EQ(host.ReadDI12(0, &w12, b12), 0);
                EXPECT_EQ(host.IocReadDI(1, &ioc, in), 0);
                EXPECT_TRUE(allowed12.count(w12)) << w12;
                EXPECT_TRUE(allowedIoc.count(ioc)) << ioc;
                Pause(10);
            }
            ASSERT_TRUE(sim.clearFaults(0));
            ASSERT_TRUE(sim.clearFaults(1));
            EXPECT_TRUE(
                Eventually([&] { return host.ReadDI12(0, &w12, b12) == 0 && w12 == 0x5A5; }));
            EXPECT_TRUE(BitsMatch(w12, b12));
            EXPECT_TRUE(
                Eventually([&] { return host.IocReadDI(1, &ioc, in) == 0 && ioc == 0x5A; }));
            EXPECT_EQ(host.DeInit(0), 0);
            EXPECT_EQ(host.DeInit(1), 0);
        },
        120);
    ExpectPassed(outcome);
}

TEST(FaultInjection, CoalescedRepliesAreAllDecoded) {
    SimProcess sim({"digital24,inputs=0x123456,outputs=0x654321,fault=coalesce:2",
                    "iocontroller,inputs=0x3C,fault=coalesce:2"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.command("ping"));  // opens the control connection before anything is counted
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            ASSERT_TRUE(host.Configure({{0, sim.port(0)}, {1, sim.port(1), "0", kIoController}}));
            ASSERT_TRUE(host.Load()) << host.error();
            ASSERT_EQ(host.Init(0), 0);
            ASSERT_EQ(host.Init(1), 0);
            uint32_t in = 0, out = 0;
            uint16_t ioc = 0;
            std::array<uint16_t, 24> bin{}, bout{};
            std::array<uint16_t, 8> bits{};
            // Reads of both kinds go out together, so the replies arrive in pairs.
            EXPECT_TRUE(Eventually([&] {
                host.ReadDI24(0, &in, bin);
                host.ReadDO24(0, &out, bout);
                return in == 0x123456 && out == 0x654321;
            }));
            EXPECT_TRUE(BitsMatch(in, bin));
            EXPECT_TRUE(BitsMatch(out, bout));
            EXPECT_TRUE(Eventually([&] {
                host.IocReadDI(1, &ioc, bits);
                host.IocReadDI(1, &ioc, bits);
                return ioc == 0x3C;
            }));
            EXPECT_EQ(host.DeInit(0), 0);
            EXPECT_EQ(host.DeInit(1), 0);
        },
        120);
    ExpectPassed(outcome);
    EXPECT_EQ(ErrorBoxLines(outcome.standardError, kCaption24), 0);
}

TEST(FaultInjection, SlowAndSilentDevicesNeverHoldUpTheHost) {
    SimProcess sim({"digital12,inputs=0x321,fault=slow:300", "digital24,fault=silent",
                    "thermo2,drift=0,temps=20.5/21.5,fault=slow:300",
                    "thermo1,drift=0,fault=silent"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.command("ping"));  // opens the control connection before anything is counted
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            ASSERT_TRUE(host.Configure({{0, sim.port(0)},
                                        {1, sim.port(1)},
                                        {2, sim.port(2), "5000"},
                                        {3, sim.port(3), "500"}}));
            ASSERT_TRUE(host.Load()) << host.error();
            ASSERT_EQ(host.Init(0), 0);
            ASSERT_EQ(host.Init(1), 0);
            uint16_t w12 = 0;
            uint32_t w24 = 0;
            std::array<uint16_t, 12> b12{};
            std::array<uint16_t, 24> b24{};
            // Reads return at once with what the slot holds; the slow answers come in later.
            EXPECT_TRUE(
                Eventually([&] { return host.ReadDI12(0, &w12, b12) == 0 && w12 == 0x321; }));
            for (int i = 0; i < 20; ++i) {
                EXPECT_EQ(host.ReadDI24(1, &w24, b24), 0);
                EXPECT_EQ(w24, 0u);
                Pause(5);
            }
            // Unanswered requests: the simulator counts them when it gets to read them.
            EXPECT_TRUE(Eventually([&] { return sim.requestCount(1) >= 20; }))
                << sim.requestCount(1);
            EXPECT_EQ(host.DeInit(0), 0);
            EXPECT_EQ(host.DeInit(1), 0);

            if (UpLongEnoughForThermometers()) {
                // Slow but within the 5 s Timing: the read returns the fresh readings.
                double t[2] = {0, 0};
                EXPECT_EQ(host.ReadThermo(2, 2, t), 0);
                EXPECT_EQ(t[0], 20.5);
                EXPECT_EQ(t[1], 21.5);
                // Never answers: the read gives up at its Timing of 500 ms with the readings it
                // had, reported as not fresh (bounded generously: this is no timing measurement).
                double t1 = -5.0;
                const auto start = std::chrono::steady_clock::now();
                EXPECT_EQ(host.ReadThermo(1, 3, &t1), 10060);
                const auto took = std::chrono::steady_clock::now() - start;
                EXPECT_LT(took, std::chrono::seconds(20));
                EXPECT_EQ(t1, 0.0);
            }
        },
        120);
    ExpectPassed(outcome);
    EXPECT_EQ(ErrorBoxLines(outcome.standardError, kCaptionThermo), 0);
}

TEST(FaultInjection, RefusedAndDroppedConnections) {
    SimProcess sim({"digital12,fault=refuse", "digital12,inputs=0x7,fault=accept-close",
                    "thermo8,fault=refuse"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.command("ping"));  // opens the control connection before anything is counted
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            ASSERT_TRUE(
                host.Configure({{0, sim.port(0)}, {1, sim.port(1)}, {2, sim.port(2), "500"}}));
            ASSERT_TRUE(host.Load()) << host.error();
            // Refused: the socket error, and the slot is free for the next attempt.
            EXPECT_EQ(host.Init(0), 10061);
            EXPECT_EQ(host.Init(0), 10061);
            ASSERT_TRUE(sim.setFault(0, "refuse", "off"));
            EXPECT_EQ(host.Init(0), 0);
            EXPECT_EQ(host.DeInit(0), 0);

            // Accepted and closed at once: Init succeeds, sends soon fail, values stay.
            ASSERT_EQ(host.Init(1), 0);
            uint16_t w = 0xFFFF;
            std::array<uint16_t, 12> b{};
            int failures = 0;
            // The simulator accepts and closes on its own schedule: read on until a send fails.
            for (int i = 0; i < 40 || (failures == 0 && i < 2000); ++i) {
                const int r = host.ReadDI12(1, &w, b);
                EXPECT_TRUE(r == 0 || IsClosedConnectionError(r)) << r;
                failures += r != 0;
                Pause(5);
            }
            EXPECT_GT(failures, 0);
            EXPECT_EQ(w, 0);  // never got a reply: what Init reset
            EXPECT_EQ(host.DeInit(1), 0);

            if (UpLongEnoughForThermometers()) {
                double t[8];
                for (double& v : t) v = 42.0;
                EXPECT_EQ(host.ReadThermo(8, 2, t), 10061);
                for (double v : t) EXPECT_EQ(v, 42.0);  // not written
            }
        },
        120);
    ExpectPassed(outcome);
    EXPECT_EQ(ErrorBoxLines(outcome.standardError, kCaption12), 0);
}

TEST(FaultInjection, FloodOfTenMegabytesLeavesTheDriverResponsive) {
    constexpr long kFlood = 10L * 1024 * 1024;
    SimProcess sim({"iocontroller,inputs=0x42,fault=flood:" + std::to_string(kFlood),
                    "iocontroller,inputs=0x24,fault=flood:" + std::to_string(kFlood),
                    "digital12,inputs=0xABC,fault=flood:65536"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.command("ping"));  // opens the control connection before anything is counted
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            // Long Timings: only the first read of each slot sends a request (the floods are
            // long enough as they are).
            ASSERT_TRUE(host.Configure({{0, sim.port(0), "30000", kIoController},
                                        {1, sim.port(1), "30000", kIoController},
                                        {2, sim.port(2), "1000"}}));
            ASSERT_TRUE(host.Load()) << host.error();
            const int threadsBefore = Threads();
            const int descriptorsBefore = OpenDescriptors();
            for (uint16_t slot = 0; slot < 3; ++slot) ASSERT_EQ(host.Init(slot), 0);
            uint16_t value = 0;
            std::array<uint16_t, 8> in{};
            // One read each starts a flood of 10 MB followed by the input-state frame.
            EXPECT_EQ(host.IocReadDI(0, &value, in), 0);
            EXPECT_EQ(host.IocReadDI(1, &value, in), 0);
            uint16_t w = 0;
            std::array<uint16_t, 12> b{};
            EXPECT_EQ(host.ReadDI12(2, &w, b), 0);
            // While the bytes pour in, calls return at once.
            for (int i = 0; i < 50; ++i) {
                EXPECT_EQ(host.IocReadDI(0, &value, in), 0);
                EXPECT_EQ(host.ReadDI12(2, &w, b), 0);
                Pause(2);
            }
            // Slot 1 is closed in the middle of its flood.
            EXPECT_EQ(host.DeInit(1), 0);
            // Slot 0 works through all of it and decodes the frame at its end.
            EXPECT_TRUE(Eventually(
                [&] { return host.IocReadDI(0, &value, in) == 0 && value == 0x42; }, 120000));
            EXPECT_EQ(host.DeInit(0), 0);
            // The digital slot gets through its filler (reported as unrecognised text); once the
            // flood is off its answers are decoded again.
            ASSERT_TRUE(sim.clearFaults(2));
            host.DeInit(2);
            ASSERT_EQ(host.Init(2), 0);
            EXPECT_TRUE(Eventually([&] {
                return host.ReadDI12(2, &w, b) == 0 && w == 0xABC;  // one request a second
            }));
            EXPECT_EQ(host.DeInit(2), 0);
            EXPECT_TRUE(Eventually([&] { return Threads() == threadsBefore; }));
            EXPECT_EQ(OpenDescriptors(), descriptorsBefore) << DescribeDescriptors();
        },
        280);
    ExpectPassed(outcome);
}

// A thermometer answer cut at every offset, its rest 20 ms later, and at the offsets where a
// piece alone would give wrong readings, its rest 600 ms later: every read returns the right
// temperatures, never a piece's, and no error box comes up. Each slot polls once (the poll
// interval is 50 s), so each offset gets a slot of its own.
TEST(FaultInjection, ThermometerAnswerCutAnywhereIsDecodedWhole) {
    if (!UpLongEnoughForThermometers()) GTEST_SKIP() << "system up for less than a minute";
    SimProcess sim({"thermo2,temps=21.5/22.5,drift=0"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    // "Thermometer;21.5\xB0C;22.5\xB0C" and its NUL: 26 bytes.
    struct Cut {
        int offset, pauseMs;
    };
    std::vector<Cut> cuts;
    for (int offset = 1; offset <= 25; ++offset) cuts.push_back({offset, 20});
    for (int offset : {12, 18, 20, 24}) cuts.push_back({offset, 600});
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            std::vector<SlotSetting> slots;
            for (size_t i = 0; i < cuts.size(); ++i) {
                slots.push_back({static_cast<int>(i), sim.port(0), "3000"});
            }
            ASSERT_TRUE(host.Configure(slots));
            ASSERT_TRUE(host.Load()) << host.error();
            for (size_t i = 0; i < cuts.size(); ++i) {
                const Cut& cut = cuts[i];
                ASSERT_TRUE(sim.setFault(
                    0, "cut", std::to_string(cut.offset) + "/" + std::to_string(cut.pauseMs)));
                double t[2] = {-1, -1};
                EXPECT_EQ(host.ReadThermo(2, static_cast<uint16_t>(i), t), 0);
                EXPECT_EQ(t[0], 21.5) << "cut after " << cut.offset << ", " << cut.pauseMs;
                EXPECT_EQ(t[1], 22.5) << "cut after " << cut.offset << ", " << cut.pauseMs;
            }
        },
        120);
    ExpectPassed(outcome);
    EXPECT_EQ(ErrorBoxLines(outcome.standardError, kCaptionThermo), 0)
        << outcome.standardError.substr(0, 4000);
}

// A filter that drops loopback datagrams (endpoint security, a firewall rule on the loopback
// interface), played by the socket layer's test option: every wake-up after the channel's own
// check is lost ("after-first"), or the check fails too and the slots run without a channel
// ("all"). Values still arrive promptly, thermometer polls give their readings, and DeInit stays
// quick. The bounds only keep a lost wake-up (a second's wait) from passing unnoticed.
TEST(FaultInjection, DroppedWakeUpDatagramsCostNothing) {
    SimProcess sim(
        {"digital12,inputs=0x5A5", "thermo2,temps=21.5/22.5,drift=0", "iocontroller,inputs=0x3C"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const bool thermometers = UpLongEnoughForThermometers();
    for (const char* mode : {"after-first", "all"}) {
        const ChildOutcome outcome = RunInChild(
            [&] {
                setenv("VEXLOR_WSOCK32_DROP_DATAGRAMS", mode, 1);
                Host host;
                std::vector<SlotSetting> slots = {{0, sim.port(0), "100"},
                                                  {1, sim.port(2), "100", kIoController}};
                for (int i = 0; i < 5; ++i) slots.push_back({10 + i, sim.port(1), "1000"});
                ASSERT_TRUE(host.Configure(slots));
                ASSERT_TRUE(host.Load()) << host.error();
                for (int round = 0; round < 5; ++round) {
                    ASSERT_TRUE(sim.setInputs(0, 0x100u + static_cast<uint32_t>(round)));
                    ASSERT_EQ(host.Init(0), 0);
                    ASSERT_EQ(host.Init(1), 0);
                    uint16_t w = 0, ioc = 0;
                    std::array<uint16_t, 12> b{};
                    std::array<uint16_t, 8> in{};
                    EXPECT_TRUE(Eventually(
                        [&] {
                            return host.ReadDI12(0, &w, b) == 0 &&
                                   w == 0x100u + static_cast<uint32_t>(round);
                        },
                        700))
                        << mode << " round " << round << ": " << w;
                    EXPECT_TRUE(Eventually(
                        [&] { return host.IocReadDI(1, &ioc, in) == 0 && ioc == 0x3C; }, 700))
                        << mode << " round " << round << ": " << ioc;
                    const auto start = std::chrono::steady_clock::now();
                    EXPECT_EQ(host.DeInit(0), 0);
                    EXPECT_EQ(host.DeInit(1), 0);
                    EXPECT_LT(std::chrono::steady_clock::now() - start,
                              std::chrono::milliseconds(700))
                        << mode << " round " << round;
                    if (thermometers) {
                        double t[2] = {0, 0};
                        EXPECT_EQ(host.ReadThermo(2, static_cast<uint16_t>(10 + round), t), 0);
                        EXPECT_EQ(t[0], 21.5) << mode << " round " << round;
                        EXPECT_EQ(t[1], 22.5) << mode << " round " << round;
                    }
                }
            },
            120);
        ExpectPassed(outcome);
    }
}

// --- Connection health ------------------------------------------------------------------------

// A port below the ephemeral range for a device that restarts.
std::string LowPort() {
    return std::to_string(SimProcess::portBelowEphemeralRange());
}

SlotSetting WithHealth(SlotSetting slot, const char* replyTimeout, const char* reconnect) {
    slot.replyTimeout = replyTimeout;
    slot.reconnect = reconnect;
    return slot;
}

// A device that stops answering (a pulled cable): after the reply time-out every read copies the
// stored values and returns 10060; writes still report their sends; a slot with the time-out
// off reports 0 as before. The first reply after the device answers again ends it.
TEST(FaultInjection, SilentDeviceIsReportedAndRecovers) {
    SimProcess sim({"digital12,inputs=0x5A5", "iocontroller,inputs=0x3C"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            ASSERT_TRUE(
                host.Configure({WithHealth({0, sim.port(0), "100"}, "500", ""),
                                WithHealth({1, sim.port(1), "100", kIoController}, "500", ""),
                                WithHealth({2, sim.port(0), "100"}, "0", ""),
                                WithHealth({3, sim.port(0), "100"}, "500", "1")}));
            ASSERT_TRUE(host.Load()) << host.error();
            for (uint16_t slot = 0; slot < 4; ++slot) ASSERT_EQ(host.Init(slot), 0);
            uint16_t w = 0, ioc = 0, off = 0;
            std::array<uint16_t, 12> b{};
            std::array<uint16_t, 8> in{};
            ASSERT_TRUE(Eventually([&] { return host.ReadDI12(0, &w, b) == 0 && w == 0x5A5; }));
            ASSERT_TRUE(
                Eventually([&] { return host.IocReadDI(1, &ioc, in) == 0 && ioc == 0x3C; }));
            ASSERT_TRUE(Eventually([&] { return host.ReadDI12(2, &off, b) == 0 && off == 0x5A5; }));

            ASSERT_TRUE(sim.setFault(0, "silent"));
            ASSERT_TRUE(sim.setFault(1, "silent"));
            w = 0;
            ioc = 0;
            EXPECT_TRUE(Eventually([&] { return host.ReadDI12(0, &w, b) == 10060; }, 5000));
            EXPECT_EQ(w, 0x5A5);  // the stored values, copied as for 0
            EXPECT_TRUE(BitsMatch(w, b));
            EXPECT_TRUE(Eventually([&] { return host.IocReadDI(1, &ioc, in) == 10060; }, 5000));
            EXPECT_EQ(ioc, 0x3C);
            EXPECT_EQ(host.WriteDO12(0, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
            EXPECT_EQ(host.ReadDI12(2, &off, b), 0);  // time-out off: as before
            // With Reconnect on, the silent device (whose connections are still accepted) is
            // connected again and again; its old values are never reported as fresh meanwhile.
            int reported = 0, freshAfterwards = 0;
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
            while (std::chrono::steady_clock::now() < end) {
                const int result = host.ReadDI12(3, &off, b);
                if (result != 0) ++reported;
                if (result == 0 && reported > 0) ++freshAfterwards;
                Pause(5);
            }
            EXPECT_GT(reported, 0);
            EXPECT_EQ(freshAfterwards, 0);

            ASSERT_TRUE(sim.clearFaults(0));
            ASSERT_TRUE(sim.clearFaults(1));
            ASSERT_TRUE(sim.setInputs(0, 0x0F0));
            EXPECT_TRUE(Eventually([&] { return host.ReadDI12(0, &w, b) == 0 && w == 0x0F0; }));
            EXPECT_TRUE(Eventually([&] { return host.IocReadDI(1, &ioc, in) == 0; }));
            EXPECT_TRUE(Eventually([&] { return host.ReadDI12(3, &off, b) == 0 && off == 0x0F0; }));
            for (uint16_t slot = 0; slot < 4; ++slot) EXPECT_EQ(host.DeInit(slot), 0);
        },
        120);
    ExpectPassed(outcome);
}

// A device that restarts: with Reconnect on, the slot reports the loss, connects again by
// itself and gets fresh values, and the next WriteDO sends every output again (the device came
// back with its outputs off). With Reconnect off the slot stays down until DeInit and Init.
TEST(FaultInjection, RestartedDeviceIsReconnectedWhenAsked) {
    // Ports below the ephemeral range: a reconnect attempt's own port can never be a port of a
    // device that is down.
    SimProcess sim(
        {"digital12,inputs=0x111,port=" + LowPort(), "digital12,inputs=0x222,port=" + LowPort()});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            ASSERT_TRUE(host.Configure({WithHealth({0, sim.port(0), "100"}, "2000", "1"),
                                        WithHealth({1, sim.port(1), "1000"}, "0", "0")}));
            ASSERT_TRUE(host.Load()) << host.error();
            ASSERT_EQ(host.Init(0), 0);
            ASSERT_EQ(host.Init(1), 0);
            const std::array<uint16_t, 12> outputs = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
            uint16_t w = 0;
            std::array<uint16_t, 12> b{};
            for (uint16_t slot = 0; slot < 2; ++slot) {
                EXPECT_EQ(host.WriteDO12(slot, outputs), 0);
                EXPECT_TRUE(Eventually([&] { return sim.outputs(slot) == 0x801u; }));
                const uint16_t inputs = slot == 0 ? 0x111 : 0x222;
                EXPECT_TRUE(
                    Eventually([&] { return host.ReadDI12(slot, &w, b) == 0 && w == inputs; }));
            }

            const std::array<uint16_t, 12> clear = {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
            EXPECT_EQ(host.ResetCI12(0, clear), 0);  // cleared before the restart
            ASSERT_EQ(sim.restart(0, 800), 1);
            ASSERT_EQ(sim.restart(1, 2000), 1);
            ASSERT_TRUE(sim.setInputs(0, 0x333));
            ASSERT_TRUE(sim.setInputs(1, 0x444));
            // The loss is reported, with the stored values...
            int lost = 0;
            EXPECT_TRUE(Eventually([&] { return (lost = host.ReadDI12(0, &w, b)) != 0; }));
            EXPECT_TRUE(IsClosedConnectionError(lost) || lost == 10061) << lost;
            EXPECT_EQ(w, 0x111);
            EXPECT_NE(host.WriteDO12(0, outputs), 0);  // not sent while the slot is down
            // ...until the device listens again: fresh values without DeInit and Init.
            ASSERT_TRUE(sim.waitUntilListening(0, 5000));
            EXPECT_TRUE(Eventually([&] { return host.ReadDI12(0, &w, b) == 0 && w == 0x333; }));
            EXPECT_EQ(sim.outputs(0), std::optional<uint32_t>(0u));
            EXPECT_EQ(host.WriteDO12(0, outputs), 0);  // the same values: sent again
            EXPECT_TRUE(Eventually([&] { return sim.outputs(0) == 0x801u; }));
            // A dropped connection (a network blip): the counter clear that the host holds at 1
            // is sent again on neither new connection, so the device keeps its counts.
            ASSERT_TRUE(sim.setCounter(0, 3, 7));
            ASSERT_TRUE(sim.dropConnections(0));
            EXPECT_TRUE(Eventually([&] { return host.ReadDI12(0, &w, b) != 0; }));
            EXPECT_TRUE(Eventually([&] { return host.ReadDI12(0, &w, b) == 0; }));
            EXPECT_EQ(host.ResetCI12(0, clear), 0);
            Pause(200);
            EXPECT_EQ(sim.counter(0, 3), std::optional<long long>(7));

            // Reconnect off: once the reset is seen, every read (due or not: Timing 1000 here)
            // reports it with the stored values until the host opens the slot anew.
            int first = 0;
            EXPECT_TRUE(Eventually([&] { return (first = host.ReadDI12(1, &w, b)) != 0; }));
            EXPECT_TRUE(IsClosedConnectionError(first)) << first;
            int fresh = 0;
            for (int i = 0; i < 250; ++i, Pause(10)) fresh += host.ReadDI12(1, &w, b) != first;
            EXPECT_EQ(fresh, 0);
            EXPECT_EQ(w, 0x222);  // the stored values
            ASSERT_TRUE(sim.waitUntilListening(1, 5000));
            EXPECT_EQ(sim.accepts(1), 1);
            EXPECT_EQ(host.DeInit(1), 0);
            ASSERT_EQ(host.Init(1), 0);
            EXPECT_TRUE(Eventually([&] { return host.ReadDI12(1, &w, b) == 0 && w == 0x444; }));
            EXPECT_EQ(host.DeInit(1), 0);
            // Writes racing DeInit and Init of slot 0: a send that fails between them (on no
            // socket, or on the one just closed) never costs the next connection its Init.
            std::atomic<uint16_t> stop{0};
            std::thread writer([&] {
                for (uint16_t i = 0; stop.load() == 0; ++i) host.WriteDO12(0, {uint16_t(i & 1)});
            });
            int failed = 0;
            for (int cycle = 0; cycle < 400; ++cycle) {
                host.DeInit(0);
                failed += host.Init(0) != 0;
            }
            stop.store(1);
            writer.join();
            EXPECT_EQ(failed, 0);
            EXPECT_EQ(host.DeInit(0), 0);
        },
        120);
    ExpectPassed(outcome);
}

// DeInit while the receive thread is making a new connection that the peer never completes (a
// listener whose queue is full drops the handshake, as an unreachable address does): DeInit
// returns promptly, and nothing is left running.
TEST(FaultInjection, DeInitDuringAReconnectIsPrompt) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const uint16_t port = ntohs(address.sin_port);
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            ASSERT_TRUE(host.Configure({WithHealth({0, port, "100"}, "5000", "1")}));
            ASSERT_TRUE(host.Load()) << host.error();
            ASSERT_EQ(host.Init(0), 0);
            const int accepted = accept(listener, nullptr, nullptr);
            ASSERT_GE(accepted, 0);
            // Fill the listener's queue, then end the driver's connection: its new attempts go
            // unanswered.
            std::vector<int> fillers;
            for (int i = 0; i < 4; ++i) {
                const int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
                connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
                fillers.push_back(filler);
            }
            Pause(50);
            close(accepted);
            uint16_t w = 0;
            std::array<uint16_t, 12> b{};
            EXPECT_TRUE(Eventually([&] { return host.ReadDI12(0, &w, b) != 0; }));
            Pause(500);  // an attempt is under way
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(host.DeInit(0), 0);
            // An attempt left to run would take its full connect time-out (21 s).
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
            for (int filler : fillers) close(filler);
        },
        60);
    close(listener);
    ExpectPassed(outcome);
}

// 100 slots with Reconnect on, ten of whose devices restart: the ten come back by themselves and
// every other slot goes on reading fresh values without a single failed read.
TEST(FaultInjection, TenOfHundredDevicesRestartTheOthersUndisturbed) {
    std::vector<std::string> devices;
    for (int i = 0; i < 100; ++i) {
        // The restarted ones on ports below the ephemeral range (see LowPort).
        devices.push_back("digital12,inputs=" + std::to_string(i) +
                          (i % 10 == 0 ? ",port=" + LowPort() : std::string()));
    }
    SimProcess sim(devices);
    ASSERT_TRUE(sim.ok()) << sim.error();
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            std::vector<SlotSetting> slots;
            for (int i = 0; i < 100; ++i) {
                slots.push_back(WithHealth({i, sim.port(i), "200"}, "2000", "1"));
            }
            ASSERT_TRUE(host.Configure(slots));
            ASSERT_TRUE(host.Load()) << host.error();
            for (uint16_t slot = 0; slot < 100; ++slot) ASSERT_EQ(host.Init(slot), 0);
            std::array<uint16_t, 12> b{};
            auto shows = [&](uint16_t slot, uint16_t expected) {
                uint16_t w = 0xFFFF;
                return host.ReadDI12(slot, &w, b) == 0 && w == expected;
            };
            for (uint16_t slot = 0; slot < 100; ++slot) {
                ASSERT_TRUE(Eventually([&] { return shows(slot, slot); })) << slot;
            }
            for (int i = 0; i < 100; i += 10) {
                ASSERT_EQ(sim.restart(i, 700), 1);
                ASSERT_TRUE(sim.setInputs(i, 0x800u + static_cast<uint32_t>(i)));
            }
            // The other slots read on for 3 s: never a failure, always their value.
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            int failures = 0;
            while (std::chrono::steady_clock::now() < end) {
                for (uint16_t slot = 0; slot < 100; ++slot) {
                    if (slot % 10 == 0) continue;
                    uint16_t w = 0;
                    if (host.ReadDI12(slot, &w, b) != 0 || w != slot) ++failures;
                }
                Pause(20);
            }
            EXPECT_EQ(failures, 0);
            for (uint16_t slot = 0; slot < 100; slot += 10) {
                EXPECT_TRUE(Eventually([&] { return shows(slot, 0x800u + slot); })) << slot;
            }
            for (uint16_t slot = 0; slot < 100; ++slot) EXPECT_EQ(host.DeInit(slot), 0);
        },
        120);
    ExpectPassed(outcome);
}

}  // namespace
}  // namespace reliability
