// Lifecycle: many Init/DeInit cycles, on one slot and on all slots, leave no descriptor and no
// thread behind; unloading the library with slots open and busy ends promptly and leaves
// nothing running; slots opened and closed over and over beside busy slots never disturb them.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "support/sim_process.h"

namespace reliability {
namespace {

using vexlor::testing::SimProcess;

void ExpectPassed(const ChildOutcome& outcome) {
    const std::string& err = outcome.standardError;
    const std::string tail = err.size() > 20000 ? err.substr(err.size() - 20000) : err;
    EXPECT_TRUE(outcome.passed()) << "child exit " << outcome.exitCode << ", signal "
                                  << outcome.signal << "; its standard error:\n"
                                  << tail;
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << tail;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << tail;
}

// A read on a slot of each family, so that its receive thread has a parser to run.
void Touch(const Host& host, int slot) {
    const auto s = static_cast<uint16_t>(slot);
    switch (slot % 3) {
        case 0: {
            uint16_t w;
            std::array<uint16_t, 12> b{};
            host.ReadDI12(s, &w, b);
            break;
        }
        case 1: {
            uint32_t w;
            std::array<uint16_t, 24> b{};
            host.ReadDI24(s, &w, b);
            break;
        }
        default: {
            uint16_t v;
            std::array<uint16_t, 8> in{};
            host.IocReadDI(s, &v, in);
            break;
        }
    }
}

// Slots 0..99 spread over three devices (slot % 3: 12xDigital, 24xDigital, I/O Controller);
// the devices are started with maxconn=0, so that each takes any number of connections.
std::vector<SlotSetting> SpreadSlots(const SimProcess& sim, const std::string& timing) {
    std::vector<SlotSetting> slots;
    for (int slot = 0; slot < 100; ++slot) {
        slots.push_back({slot, sim.port(slot % 3), timing, slot % 3 == 2 ? "I/O Controller" : ""});
    }
    return slots;
}

TEST(Lifecycle, ThousandCyclesOnOneSlotLeaveNothingBehind) {
    SimProcess sim({"digital12,inputs=0x5"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.command("ping"));  // opens the control connection before anything is counted
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            ASSERT_TRUE(host.Configure({{7, sim.port(0)}}));
            ASSERT_TRUE(host.Load()) << host.error();
            uint16_t w;
            std::array<uint16_t, 12> b{};
            auto cycle = [&] {
                ASSERT_EQ(host.Init(7), 0);
                EXPECT_EQ(host.ReadDI12(7, &w, b), 0);
                EXPECT_EQ(host.DeInit(7), 0);
            };
            for (int i = 0; i < 10; ++i) cycle();  // anything created once is there now
            ASSERT_TRUE(Eventually([&] { return sim.connections(0) == 0; }));
            const int threads = Threads();
            const int descriptors = OpenDescriptors();
            for (int i = 0; i < 1000 && !::testing::Test::HasFatalFailure(); ++i) cycle();
            EXPECT_TRUE(Eventually([&] { return Threads() == threads; }))
                << Threads() << " threads, " << threads << " before";
            EXPECT_EQ(OpenDescriptors(), descriptors);
            // The kernel completes a connection before the simulator accepts it and reads its
            // request, so the simulator's counts may trail the last cycle by a moment.
            EXPECT_TRUE(Eventually([&] { return sim.accepts(0) == 1010; })) << sim.accepts(0);
            EXPECT_TRUE(Eventually([&] { return sim.connections(0) == 0; }));
            EXPECT_TRUE(Eventually([&] { return sim.requestCount(0) == 1010; }))
                << sim.requestCount(0);
            std::printf("[ lifecycle ] 1000 cycles on one slot: %d threads, %d descriptors\n",
                        Threads(), OpenDescriptors());
        },
        280);
    ExpectPassed(outcome);
}

// Sanitized builds run the driver's 100 receive threads several times slower on the same two
// cores; they run fewer of the all-slot cycles so that the test stays within its time limit.
#if defined(__SANITIZE_THREAD__)
constexpr int kAllSlotCycles = 5;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kAllSlotCycles = 20;
#else
constexpr int kAllSlotCycles = 100;
#endif

TEST(Lifecycle, HundredCyclesOnAllSlotsLeaveNothingBehind) {
    SimProcess sim({"digital12,maxconn=0", "digital24,maxconn=0", "iocontroller,maxconn=0"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.command("ping"));  // opens the control connection before anything is counted
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            ASSERT_TRUE(host.Configure(SpreadSlots(sim, "0")));
            ASSERT_TRUE(host.Load()) << host.error();
            auto cycle = [&] {
                for (int slot = 0; slot < 100; ++slot) {
                    ASSERT_EQ(host.Init(static_cast<uint16_t>(slot)), 0) << slot;
                    Touch(host, slot);
                }
                for (int slot = 0; slot < 100; ++slot) {
                    EXPECT_EQ(host.DeInit(static_cast<uint16_t>(slot)), 0);
                }
            };
            const int threads = Threads();
            cycle();
            ASSERT_TRUE(Eventually([&] { return Threads() == threads; }));
            const int descriptors = OpenDescriptors();
            for (int i = 1; i < kAllSlotCycles && !::testing::Test::HasFatalFailure(); ++i) cycle();
            EXPECT_TRUE(Eventually([&] { return Threads() == threads; }))
                << Threads() << " threads, " << threads << " before";
            EXPECT_EQ(OpenDescriptors(), descriptors);
            const auto accepts = [&] { return sim.accepts(0) + sim.accepts(1) + sim.accepts(2); };
            EXPECT_TRUE(Eventually([&] { return accepts() == kAllSlotCycles * 100; })) << accepts();
            std::printf("[ lifecycle ] %d cycles on all 100 slots: %d threads, %d descriptors\n",
                        kAllSlotCycles, Threads(), OpenDescriptors());
            EXPECT_TRUE(Eventually(
                [&] { return sim.connections(0) + sim.connections(1) + sim.connections(2) == 0; }));
        },
        290);
    ExpectPassed(outcome);
}

TEST(Lifecycle, UnloadingWithSlotsOpenAndBusyLeavesNothingRunning) {
    SimProcess sim({"digital12,inputs=0x5,maxconn=0", "digital24,maxconn=0",
                    "iocontroller,inputs=0x3,maxconn=0"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.command("ping"));  // opens the control connection before anything is counted
    const ChildOutcome outcome = RunInChild(
        [&] {
            const int threads = Threads();
            int descriptors = -1;
            for (int load = 0; load < 10 && !::testing::Test::HasFatalFailure(); ++load) {
                Host host;
                ASSERT_TRUE(host.Configure(SpreadSlots(sim, "0")));
                ASSERT_TRUE(host.Load()) << host.error();
                if (descriptors < 0) descriptors = OpenDescriptors();
                for (int slot = 0; slot < 30; ++slot) {
                    ASSERT_EQ(host.Init(static_cast<uint16_t>(slot)), 0);
                    Touch(host, slot);
                }
                // Replies are still coming in while the library goes away.
                for (int slot = 0; slot < 30; ++slot) Touch(host, slot);
                const std::string path = host.libraryPath();
                EXPECT_EQ(host.Unload(), 0);
                EXPECT_FALSE(Mapped(path)) << "the driver is still mapped";
                EXPECT_TRUE(Eventually([&] { return Threads() == threads; }))
                    << Threads() << " threads after unloading, " << threads << " before";
                // The process goes on without the library and its threads.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                EXPECT_TRUE(Eventually([&] {
                    return sim.connections(0) + sim.connections(1) + sim.connections(2) == 0;
                })) << "connections of the unloaded driver stay open";
            }
            // Descriptors of the first installation's directory aside, nothing stays open.
            EXPECT_LE(OpenDescriptors(), descriptors);
        },
        240);
    ExpectPassed(outcome);
}

TEST(Lifecycle, OpeningAndClosingSlotsBesideBusySlots) {
    SimProcess sim({"digital12,inputs=0x5,maxconn=0", "digital24,inputs=0x6,maxconn=0",
                    "iocontroller,inputs=0x3,maxconn=0"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.command("ping"));  // opens the control connection before anything is counted
    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            ASSERT_TRUE(host.Configure(SpreadSlots(sim, "0")));
            ASSERT_TRUE(host.Load()) << host.error();
            const int threads = Threads();
            // Slots 30..59 stay open and are read by three host threads, each its own slots,
            // while the main thread opens and closes slots 0..29 over and over: what one slot's
            // connection does never shows in another's, and nothing else is ever returned.
            for (uint16_t slot = 30; slot < 60; ++slot) ASSERT_EQ(host.Init(slot), 0);
            std::atomic<bool> stop{false};
            std::atomic<int> wrong{0};
            std::vector<std::thread> readers;
            for (int t = 0; t < 3; ++t) {
                readers.emplace_back([&, t] {
                    while (!stop.load()) {
                        for (int slot = 30 + t; slot < 60; slot += 3) {
                            const auto s = static_cast<uint16_t>(slot);
                            if (slot % 3 == 0) {
                                uint16_t w = 0;
                                std::array<uint16_t, 12> b{};
                                if (host.ReadDI12(s, &w, b) != 0 || (w != 0 && w != 0x5)) ++wrong;
                            } else if (slot % 3 == 1) {
                                uint32_t w = 0;
                                std::array<uint16_t, 24> b{};
                                if (host.ReadDI24(s, &w, b) != 0 || (w != 0 && w != 0x6)) ++wrong;
                            } else {
                                uint16_t v = 0;
                                std::array<uint16_t, 8> in{};
                                if (host.IocReadDI(s, &v, in) != 0 || (v != 0 && v != 0x3)) ++wrong;
                            }
                        }
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    }
                });
            }
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            int cycles = 0;
            while (std::chrono::steady_clock::now() < end) {
                for (uint16_t slot = 0; slot < 30; ++slot) {
                    EXPECT_EQ(host.Init(slot), 0);
                    Touch(host, slot);
                }
                for (uint16_t slot = 0; slot < 30; ++slot) EXPECT_EQ(host.DeInit(slot), 0);
                // A closed slot's sends fail as "not a socket", whatever numbers are in use now.
                uint16_t w;
                std::array<uint16_t, 12> b{};
                EXPECT_EQ(host.ReadDI12(0, &w, b), 10038);
                ++cycles;
            }
            stop.store(true);
            for (auto& reader : readers) reader.join();
            EXPECT_EQ(wrong.load(), 0);
            EXPECT_GT(cycles, 0);
            for (uint16_t slot = 30; slot < 60; ++slot) EXPECT_EQ(host.DeInit(slot), 0);
            EXPECT_TRUE(Eventually([&] { return Threads() == threads; }));
        },
        120);
    ExpectPassed(outcome);
}

}  // namespace
}  // namespace reliability
