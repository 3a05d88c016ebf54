// Load: all 100 slots in use at once against vexlor-sim, every device family polled and switched
// from several host threads for a bounded time, and every request and reply accounted for: the
// simulator received exactly the requests the host's calls sent and answered each of them, the
// driver ends up with each device's state, and nothing but pieces of real replies ever reached
// the error box.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "support/sim_process.h"

namespace reliability {
namespace {

using vexlor::testing::SimProcess;

constexpr int kSlots = 100;
constexpr int kHostThreads = 4;
// Sanitized builds run the 100 receive threads and the simulator several times slower on the
// same cores: they poll less often, so that the host does not outrun them by far.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kLoadTime = std::chrono::seconds(4);
constexpr auto kRoundPause = std::chrono::milliseconds(120);
constexpr int kThermoAnswerDelayMs = 8000;
#else
constexpr auto kLoadTime = std::chrono::seconds(6);
constexpr auto kRoundPause = std::chrono::milliseconds(30);
constexpr int kThermoAnswerDelayMs = 4000;
#endif

enum class Family { kDigital12, kDigital24, kIoController, kThermo1, kThermo2, kThermo8 };

// Slots 0-31 12xDigital, 32-63 24xDigital, 64-93 I/O Controller, 94-99 thermometers.
Family FamilyOf(int slot) {
    if (slot < 32) return Family::kDigital12;
    if (slot < 64) return Family::kDigital24;
    if (slot < 94) return Family::kIoController;
    static const Family kThermo[] = {Family::kThermo1, Family::kThermo2, Family::kThermo8};
    return kThermo[(slot - 94) % 3];
}

bool IsThermometer(Family f) {
    return f == Family::kThermo1 || f == Family::kThermo2 || f == Family::kThermo8;
}

int Readings(Family f) {
    return f == Family::kThermo1 ? 1 : f == Family::kThermo2 ? 2 : 8;
}

// A word of the device's own, so that no slot can show another device's values.
uint32_t InputsOf(int slot, int generation) {
    const uint32_t mask = FamilyOf(slot) == Family::kDigital12   ? 0xFFFu
                          : FamilyOf(slot) == Family::kDigital24 ? 0xFFFFFFu
                                                                 : 0xFFu;
    return (static_cast<uint32_t>(slot) * 2654435761u + generation * 40503u + 1u) & mask;
}

std::string Description(int slot) {
    const std::string inputs = "inputs=" + std::to_string(InputsOf(slot, 0));
    switch (FamilyOf(slot)) {
        case Family::kDigital12:
            return "digital12," + inputs + ",counter3=" + std::to_string(slot * 10);
        case Family::kDigital24:
            return "digital24," + inputs + ",counter20=" + std::to_string(slot * 10);
        case Family::kIoController:
            return "iocontroller," + inputs;
        default:
            // Slow answers keep the thermometers' connections open for a while, beside the
            // 94 that stay open.
            return std::string(FamilyOf(slot) == Family::kThermo1   ? "thermo1"
                               : FamilyOf(slot) == Family::kThermo2 ? "thermo2"
                                                                    : "thermo8") +
                   ",drift=0,temps=" + std::to_string(slot) + ".5/1.5/2.5/3.5/4.5/5.5/6.5/7.5" +
                   ",fault=slow:" + std::to_string(kThermoAnswerDelayMs);
    }
}

bool AllOf(const std::string& text, size_t from, const char* characters) {
    return text.find_first_not_of(characters, from) == std::string::npos;
}

// Whether text can be a piece of a reply "input;" HEX, "output;" HEX or "counter" N ";" V, or
// of the device's own error text (a simulator held back far enough answers a request it has not
// read in time as unknown).
bool PieceOfAReply(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    static const std::string kDeviceError = "Error: unknown request";
    if (kDeviceError.find(text) != std::string::npos) return true;
    static const char kDecimal[] = "0123456789-";
    // A piece from inside the value or the counter part.
    if (AllOf(text, 0, kHex)) return true;
    const size_t semicolon = text.find(';');
    if (semicolon != std::string::npos && AllOf(text.substr(0, semicolon), 0, kDecimal) &&
        AllOf(text, semicolon + 1, kDecimal)) {
        return true;
    }
    // A piece that starts inside the form's name.
    for (const std::string form : {"input;", "output;", "counter"}) {
        for (size_t at = 0; at < form.size(); ++at) {
            const std::string tail = form.substr(at);
            if (tail.compare(0, text.size(), text) == 0) return true;  // inside the name
            if (text.compare(0, tail.size(), tail) != 0) continue;
            const std::string rest = text.substr(tail.size());
            if (form != "counter" && AllOf(rest, 0, kHex)) return true;
            const size_t sep = rest.find(';');
            if (form == "counter" && AllOf(rest.substr(0, sep), 0, kDecimal) &&
                (sep == std::string::npos || AllOf(rest, sep + 1, kDecimal))) {
                return true;
            }
        }
    }
    return false;
}

// What the host's calls on one slot sent, and what the device answers to it.
struct Sent {
    long requests = 0;
    long replies = 0;
    int failures = 0;
};

void ExpectPassed(const ChildOutcome& outcome) {
    const std::string& err = outcome.standardError;
    const std::string tail = err.size() > 20000 ? err.substr(err.size() - 20000) : err;
    EXPECT_TRUE(outcome.passed()) << "child exit " << outcome.exitCode << ", signal "
                                  << outcome.signal << "; its standard error:\n"
                                  << tail;
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << tail;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << tail;
}

// One round of calls on a slot; counts what was sent.
void Poll(const Host& host, int slot, int round, std::array<uint16_t, 24>& lastWritten,
          Sent& sent) {
    const Family family = FamilyOf(slot);
    const auto s = static_cast<uint16_t>(slot);
    auto count = [&](int result, long requests, long replies) {
        if (result == 0) {
            sent.requests += requests;
            sent.replies += replies;
        } else {
            ++sent.failures;
        }
    };
    // Switch one output per round; the first write after Init sends every output (its shadow
    // holds "nothing requested yet").
    auto changes = [&](const uint16_t* next, int n) {
        long changed = 0;
        for (int i = 0; i < n; ++i) {
            if (next[i] != lastWritten[i]) ++changed;
        }
        return changed;
    };
    switch (family) {
        case Family::kDigital12: {
            // A 12xDigital receives 256 bytes per step and decodes each block on its own, so a
            // reply that straddles two blocks is lost (and reported): the twelve counter replies
            // (about 140 bytes) get a round of their own, which keeps what is in flight below a
            // block unless the receive thread falls several rounds behind.
            if (round % 10 == 5) {
                std::array<int32_t, 12> c{};
                count(host.ReadCI12(s, c), 12, 12);
                break;
            }
            uint16_t w;
            std::array<uint16_t, 12> b{};
            count(host.ReadDI12(s, &w, b), 1, 1);
            count(host.ReadDO12(s, &w, b), 1, 1);
            std::array<uint16_t, 12> out{};
            for (int i = 0; i < 12; ++i) out[i] = lastWritten[i] == 5 ? 0 : lastWritten[i];
            out[round % 12] = static_cast<uint16_t>((round / 12) % 2 == 0);
            const long changed = changes(out.data(), 12);
            const int r = host.WriteDO12(s, out);
            count(r, changed, changed);
            if (r == 0) std::copy(out.begin(), out.end(), lastWritten.begin());
            break;
        }
        case Family::kDigital24: {
            uint32_t w;
            std::array<uint16_t, 24> b{};
            count(host.ReadDI24(s, &w, b), 1, 1);
            count(host.ReadDO24(s, &w, b), 1, 1);
            std::array<uint16_t, 24> out{};
            for (int i = 0; i < 24; ++i) out[i] = lastWritten[i] == 5 ? 0 : lastWritten[i];
            out[round % 24] = static_cast<uint16_t>((round / 24) % 2 == 0);
            const long changed = changes(out.data(), 24);
            const int r = host.WriteDO24(s, out);
            count(r, changed, changed);
            if (r == 0) lastWritten = out;
            if (round % 10 == 0) {
                std::array<int32_t, 24> c{};
                count(host.ReadCI24(s, c), 24, 24);
            }
            break;
        }
        case Family::kIoController: {
            uint16_t v;
            std::array<uint16_t, 8> in{};
            count(host.IocReadDI(s, &v, in), 1, 1);
            std::array<uint16_t, 8> out{};
            for (int i = 0; i < 8; ++i) out[i] = lastWritten[i] == 5 ? 0 : lastWritten[i];
            out[round % 8] = static_cast<uint16_t>((round / 8) % 2 == 0);
            const long changed = changes(out.data(), 8);
            const int r = host.IocWriteDO(s, out);
            count(r, changed, changed);  // the device acknowledges every set-outputs frame
            if (r == 0) std::copy(out.begin(), out.end(), lastWritten.begin());
            break;
        }
        default: {
            // Only the first read polls (every 50 s at most); the others return the readings.
            double t[8] = {};
            count(host.ReadThermo(Readings(family), s, t), round == 0 ? 1 : 0, round == 0 ? 1 : 0);
            if (round > 0) {
                EXPECT_EQ(t[0], slot + 0.5) << "thermometer slot " << slot;
            }
            break;
        }
    }
}

TEST(Load, HundredSlotsEveryFamilySeveralHostThreads) {
    if (!UpLongEnoughForThermometers()) GTEST_SKIP() << "system up for less than a minute";
    std::vector<std::string> devices;
    for (int slot = 0; slot < kSlots; ++slot) devices.push_back(Description(slot));
    // The driver's requests always arrive whole; a simulator that the system holds back for a
    // moment must not take a request it has only partly read as one of its own.
    SimProcess sim(devices, {"--idle-flush-ms", "60000"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.command("ping"));  // opens the control connection before anything is counted

    const ChildOutcome outcome = RunInChild(
        [&] {
            Host host;
            std::vector<SlotSetting> settings;
            for (int slot = 0; slot < kSlots; ++slot) {
                const Family f = FamilyOf(slot);
                settings.push_back({slot, sim.port(slot), IsThermometer(f) ? "30000" : "0",
                                    f == Family::kIoController ? "I/O Controller" : ""});
            }
            ASSERT_TRUE(host.Configure(settings));
            ASSERT_TRUE(host.Load()) << host.error();
            const int threadsBefore = Threads();
            const int descriptorsBefore = OpenDescriptors();
            for (int slot = 0; slot < 94; ++slot) ASSERT_EQ(host.Init(slot), 0) << slot;

            std::vector<Sent> sent(kSlots);
            std::atomic<bool> stop{false};
            std::atomic<long> calls{0};
            std::vector<std::thread> threads;
            // Four host threads share the 94 persistent slots; each thermometer has a thread of
            // its own, so that all six wait for their answers at the same time.
            auto pollLoop = [&](std::vector<int> slots) {
                std::vector<std::array<uint16_t, 24>> lastWritten(slots.size());
                for (auto& w : lastWritten) w.fill(5);
                for (int round = 0; !stop.load(); ++round) {
                    for (size_t i = 0; i < slots.size(); ++i) {
                        Poll(host, slots[i], round, lastWritten[i], sent[slots[i]]);
                        calls.fetch_add(1);
                    }
                    std::this_thread::sleep_for(kRoundPause);
                }
            };
            for (int t = 0; t < kHostThreads; ++t) {
                std::vector<int> slots;
                for (int slot = t; slot < 94; slot += kHostThreads) slots.push_back(slot);
                threads.emplace_back(pollLoop, slots);
            }
            for (int slot = 94; slot < kSlots; ++slot)
                threads.emplace_back(pollLoop, std::vector<int>{slot});
            // While the thermometers wait for their slow answers, all 100 slots are connected.
            // The 94 persistent connections stay open from before the load until the end, so it
            // is enough to catch the six thermometers open together and then see the 94 still
            // open; sampling only six devices keeps each look short enough to fall inside the
            // thermometers' window even when sanitizers slow everything down.
            auto openAmong = [&](int first, int last) {
                int open = 0;
                for (int d = first; d < last; ++d) open += sim.connections(d);
                return open;
            };
            EXPECT_TRUE(Eventually([&] { return openAmong(94, kSlots) == kSlots - 94; }, 20000));
            EXPECT_EQ(openAmong(0, 94), 94);
            std::this_thread::sleep_for(kLoadTime);
            stop.store(true);
            for (auto& thread : threads) thread.join();

            // Every request arrived as sent, one by one, and was answered.
            long requests = 0, replies = 0;
            for (int slot = 0; slot < kSlots; ++slot) {
                EXPECT_EQ(sent[slot].failures, 0) << "slot " << slot;
                requests += sent[slot].requests;
                replies += sent[slot].replies;
            }
            EXPECT_TRUE(Eventually(
                [&] {
                    long received = 0;
                    for (int slot = 0; slot < kSlots; ++slot) received += sim.requestCount(slot);
                    return received == requests;
                },
                30000));
            for (int slot = 0; slot < kSlots; ++slot) {
                EXPECT_EQ(sim.requestCount(slot), sent[slot].requests) << "slot " << slot;
                const auto sends = sim.query("sends " + std::to_string(slot));
                ASSERT_TRUE(sends.has_value());
                EXPECT_EQ(std::stol(*sends), sent[slot].replies) << "slot " << slot;
            }

            // New device states, read until every slot shows its own.
            for (int slot = 0; slot < 94; ++slot)
                ASSERT_TRUE(sim.setInputs(slot, InputsOf(slot, 1)));
            for (int slot = 0; slot < 94; ++slot) {
                const auto s = static_cast<uint16_t>(slot);
                EXPECT_TRUE(Eventually([&] {
                    const uint32_t want = InputsOf(slot, 1);
                    if (FamilyOf(slot) == Family::kDigital12) {
                        uint16_t w = 0;
                        std::array<uint16_t, 12> b{};
                        std::array<int32_t, 12> c{};
                        return host.ReadDI12(s, &w, b) == 0 && w == want &&
                               host.ReadCI12(s, c) == 0 && c[3] == slot * 10;
                    }
                    if (FamilyOf(slot) == Family::kDigital24) {
                        uint32_t w = 0;
                        std::array<uint16_t, 24> b{};
                        std::array<int32_t, 24> c{};
                        return host.ReadDI24(s, &w, b) == 0 && w == want &&
                               host.ReadCI24(s, c) == 0 && c[20] == slot * 10;
                    }
                    uint16_t v = 0;
                    std::array<uint16_t, 8> in{};
                    return host.IocReadDI(s, &v, in) == 0 && v == want;
                })) << "slot "
                    << slot;
            }
            for (int slot = 0; slot < kSlots; ++slot) EXPECT_EQ(host.DeInit(slot), 0);
            EXPECT_TRUE(Eventually([&] { return Threads() == threadsBefore; }));
            EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
            std::printf(
                "[ load ] %d slots, %d host threads, %ld calls, %ld requests, %ld replies\n",
                kSlots, kHostThreads + 6, calls.load(), requests, replies);
        },
        280);
    ExpectPassed(outcome);
    // When a receive thread falls behind, more than one block of replies waits in its socket and
    // a reply may be cut at a block boundary; each piece is then reported on its own. Whatever
    // was reported must be such a piece of a real reply: nothing else reaches the decoders.
    int pieces = 0;
    for (const char* caption : {"Web-IO 12xDigital", "Web-IO 24xDigital"}) {
        const std::string start = std::string(caption) + ": ";
        std::istringstream lines(outcome.standardError);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.compare(0, start.size(), start) != 0) continue;
            ++pieces;
            EXPECT_TRUE(PieceOfAReply(line.substr(start.size()))) << line;
        }
    }
    EXPECT_EQ(ErrorBoxLines(outcome.standardError, "Web-IO 1x, 2x, 8x Thermometer"), 0);
    std::printf("[ load ] replies cut at a block boundary: %d pieces\n", pieces);
}

}  // namespace
}  // namespace reliability
