// The three thermometer reads and their receive step, on the fake platform: the 50 s poll on the
// virtual clock, the connection opened and closed by the read, the wait for the answer.
#include <gtest/gtest.h>
#include <vexlor.h>

#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "core/connection.h"
#include "core/device_table.h"
#include "devices/thermometer.h"
#include "fake_platform.h"

namespace vexlor {
namespace {

using fake::SOCKET;

constexpr uint32_t kStart = 1000000;  // the fake clock's start value
constexpr char kCaption[] = "Web-IO 1x, 2x, 8x Thermometer";

std::string Answer2(const char* a, const char* b) {
    return std::string("Web-IO 2x;") + a + "\xB0" + "C;" + b + "\xB0" + "C";
}

class ThermoFunctions : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        fake::StartModule();
    }
    void TearDown() override { fake::Reset(); }

    // The reply time-out is off unless given: most tests here are about the polls themselves.
    static void Configure(uint16_t slot, const char* timing, const char* replyTimeout = "0") {
        const std::string section = "DEV" + std::to_string(slot);
        fake::SetProfileString(section, "IP", "127.0.0.1");
        fake::SetProfileString(section, "Port", "80");
        fake::SetProfileString(section, "Timing", timing);
        if (replyTimeout != nullptr) {
            fake::SetProfileString(section, "Reply Timeout", replyTimeout);
        } else {
            fake::RemoveProfileKey(section, "Reply Timeout");
        }
    }

    static int Read2(uint16_t slot, double* t) {
        return VexlorWeb_IO_2xThermometer_Read(1, slot, &t[0], &t[1]);
    }

    // Runs a 2x read on a host thread of its own; once its request has been sent, the device
    // answers with `answer` (nothing when empty). Returns the read's result.
    static int Read2Answered(uint16_t slot, double* t, const std::string& answer) {
        const int sendsBefore = fake::SendCalls();
        int result = -12345;
        std::thread reader([&] { result = Read2(slot, t); });
        if (!answer.empty()) {
            EXPECT_TRUE(fake::WaitFor([&] { return fake::SendCalls() > sendsBefore; }));
            const SOCKET socket = fake::CreatedSockets().back();
            fake::QueueReceive(socket, answer);
            fake::QueuePeerClose(socket);  // the device closes after its answer
        }
        reader.join();
        return result;
    }

    // Names of the socket calls since the last ClearSocketCalls, without WSAGetLastError.
    static std::vector<std::string> Calls() {
        std::vector<std::string> names;
        for (const std::string& name : fake::SocketCallNames())
            if (name != "WSAGetLastError") names.push_back(name);
        return names;
    }

    static int Count(const std::vector<std::string>& names, const std::string& name) {
        int n = 0;
        for (const std::string& each : names) n += each == name;
        return n;
    }
};

TEST_F(ThermoFunctions, PollWithAnswerReturnsFreshValuesAndCloses) {
    Configure(3, "20000");
    double t[2] = {-1, -1};
    EXPECT_EQ(Read2Answered(3, t, Answer2("20.5", "21.0")), 0);
    EXPECT_DOUBLE_EQ(t[0], 20.5);
    EXPECT_DOUBLE_EQ(t[1], 21.0);

    const SOCKET socket = fake::CreatedSockets().back();
    EXPECT_EQ(fake::Sends(socket), std::vector<std::string>{"GET /Single"});
    EXPECT_FALSE(fake::IsOpen(socket));
    const DeviceSlot& slot = g_devices[3];
    EXPECT_EQ(slot.inUse.load(), 0);
    EXPECT_EQ(Get(slot.kind), kKindNone);
    EXPECT_EQ(Get(slot.socket), ws::kInvalidSocket);
    EXPECT_TRUE(fake::ErrorBoxes().empty());
    const auto requests = fake::TraceTexts(3);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "Ret=11; send (" + std::to_string(socket) + ", GET /Single, 11, 0)");
}

TEST_F(ThermoFunctions, EachKindStampsItsKindAndMapsItsReadings) {
    Configure(5, "20000");
    const std::string answer8 = "T;1;2;3;4;5;----\xB0" + std::string("C;7;8.5");
    double t[8] = {};
    int result = -1;
    std::thread reader([&] {
        result = VexlorWeb_IO_8xThermometer_Read(1, 5, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5],
                                                 &t[6], &t[7]);
    });
    ASSERT_TRUE(fake::WaitFor([] { return fake::SendCalls() > 0; }));
    EXPECT_EQ(Get(g_devices[5].kind), kKindThermo8);
    fake::QueueReceive(fake::CreatedSockets().back(), answer8);
    fake::QueuePeerClose(fake::CreatedSockets().back());
    reader.join();
    EXPECT_EQ(result, 0);
    const double expected[8] = {1, 2, 3, 4, 5, -999, 7, 8.5};
    for (int i = 0; i < 8; ++i) EXPECT_DOUBLE_EQ(t[i], expected[i]) << i;

    Configure(6, "20000");
    double one = 0;
    std::thread reader1([&] { result = VexlorWeb_IO_1xThermometer_Read(1, 6, &one); });
    ASSERT_TRUE(fake::WaitFor([] { return fake::SendCalls() > 1; }));
    EXPECT_EQ(Get(g_devices[6].kind), kKindThermo1);
    fake::QueueReceive(fake::CreatedSockets().back(), "Title;-3.75\xB0" + std::string("C"));
    fake::QueuePeerClose(fake::CreatedSockets().back());
    reader1.join();
    EXPECT_EQ(result, 0);
    EXPECT_DOUBLE_EQ(one, -3.75);
}

TEST_F(ThermoFunctions, FiftySecondPollAndFirstCallRule) {
    Configure(2, "0");
    double t[2] = {};
    // lastThermoPoll is 0 after loading: no poll before the time base reaches 50000.
    fake::SetTime(49999);
    EXPECT_EQ(Read2(2, t), 0);
    EXPECT_TRUE(fake::CreatedSockets().empty());
    EXPECT_EQ(fake::SendCalls(), 0);

    fake::SetTime(50000);
    EXPECT_EQ(Read2(2, t), 0);
    EXPECT_EQ(fake::CreatedSockets().size(), 1u);
    EXPECT_EQ(fake::SendCalls(), 1);
    EXPECT_DOUBLE_EQ(Get(g_devices[2].lastThermoPoll), 50000.0);

    // 10 s later: nothing is sent, the read still ends with DeInit.
    Set(g_devices[2].temperatures[0], 17.5);
    fake::SetTime(60000);
    fake::ClearSocketCalls();
    EXPECT_EQ(Read2(2, t), 0);
    EXPECT_DOUBLE_EQ(t[0], 17.5);
    EXPECT_EQ(fake::SendCalls(), 1);
    EXPECT_EQ(fake::CreatedSockets().size(), 1u);
    EXPECT_EQ(g_devices[2].inUse.load(), 0);

    fake::SetTime(99999);
    EXPECT_EQ(Read2(2, t), 0);
    EXPECT_EQ(fake::SendCalls(), 1);
    fake::SetTime(100000);
    EXPECT_EQ(Read2(2, t), 0);
    EXPECT_EQ(fake::SendCalls(), 2);
}

TEST_F(ThermoFunctions, PollsGoOnAfterTheClockWraps) {
    Configure(2, "0");
    double t[2] = {};
    fake::SetTime(0xFFFFF000u);
    EXPECT_EQ(Read2(2, t), 0);
    EXPECT_EQ(fake::SendCalls(), 1);
    // The counter wrapped: now - lastThermoPoll is negative, which counts as due.
    fake::SetTime(100);
    EXPECT_EQ(Read2(2, t), 0);
    EXPECT_EQ(fake::SendCalls(), 2);
    fake::SetTime(200);
    EXPECT_EQ(Read2(2, t), 0);
    EXPECT_EQ(fake::SendCalls(), 2);
}

TEST_F(ThermoFunctions, WaitEndsAtTheDeadline) {
    // No answer: the wait lasts until the time base is strictly past send time + Timing. The
    // fake clock moves only with the read's own 1 ms sleeps (and DeInit's few). Each sleep takes
    // its real millisecond, so that DeInit's stay few while the receive thread waits for a core.
    Configure(1, "300");
    double t[2] = {};
    fake::ResetSleepCount();
    EXPECT_EQ(Read2(1, t), 0);
    EXPECT_GE(fake::HostSleepMs(), 301u);
    EXPECT_LE(fake::HostSleepMs(), 301u + 100u);

    // Timing "0" or not a number: the deadline is the moment of sending.
    for (const char* timing : {"0", "soon", ""}) {
        fake::Reset();
        fake::StartModule();
        Configure(1, timing);
        Set(g_devices[1].temperatures[0], 11.0);
        Set(g_devices[1].temperatures[1], 12.0);
        fake::ResetSleepCount();
        EXPECT_EQ(Read2(1, t), 0) << timing;
        EXPECT_EQ(fake::SendCalls(), 1) << timing;
        EXPECT_LE(fake::HostSleepMs(), 2u + 100u) << timing;
        EXPECT_DOUBLE_EQ(t[0], 11.0) << timing;
        EXPECT_DOUBLE_EQ(t[1], 12.0) << timing;
    }
}

TEST_F(ThermoFunctions, ShortAnswerShowsTheBoxAndKeepsTheValues) {
    Configure(4, "2000");
    fake::SetRealSleepMicros(200);
    Set(g_devices[4].temperatures[0], 5.0);
    Set(g_devices[4].temperatures[1], 6.0);
    double t[2] = {};
    EXPECT_EQ(Read2Answered(4, t, "21.0\xB0" + std::string("C")), 0);
    EXPECT_DOUBLE_EQ(t[0], 5.0);
    EXPECT_DOUBLE_EQ(t[1], 6.0);
    ASSERT_TRUE(fake::WaitFor([] { return !fake::ErrorBoxes().empty(); }));
    const auto boxes = fake::ErrorBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, kCaption);
    EXPECT_EQ(boxes[0].text, "21.0\xB0" + std::string("C"));
}

TEST_F(ThermoFunctions, AnswersAreDecodedWholeOnceTheyEnd) {
    Configure(7, "2000");
    fake::SetRealSleepMicros(200);
    double t[2] = {};
    auto poll = [&](const std::vector<std::string>& pieces, bool close) {
        const int sendsBefore = fake::SendCalls();
        int result = -1;
        std::thread reader([&] { result = Read2(7, t); });
        EXPECT_TRUE(fake::WaitFor([&] { return fake::SendCalls() > sendsBefore; }));
        const SOCKET socket = fake::CreatedSockets().back();
        for (const std::string& piece : pieces) {
            fake::QueueReceive(socket, piece);
            EXPECT_TRUE(fake::WaitUntilReceived(socket));
        }
        if (close) fake::QueuePeerClose(socket);
        reader.join();
        fake::AdvanceTime(50000);
        return result;
    };
    // Cut where the pieces alone would give wrong readings ("Thermometer" as T1, "2" as T2):
    // joined and decoded once the NUL or the close ends the answer, without a box.
    const std::string degree = "\xB0";
    EXPECT_EQ(
        poll({"Thermometer;21.5" + degree + "C", ";22.5" + degree + "C", std::string(1, '\0')},
             false),
        0);
    EXPECT_DOUBLE_EQ(t[0], 21.5);
    EXPECT_DOUBLE_EQ(t[1], 22.5);
    EXPECT_EQ(poll({"Thermometer;23.5" + degree + "C;2", "4.5" + degree + "C"}, true), 0);
    EXPECT_DOUBLE_EQ(t[0], 23.5);
    EXPECT_DOUBLE_EQ(t[1], 24.5);
    EXPECT_TRUE(fake::ErrorBoxes().empty());

    // A device that neither terminates its answers nor closes. An answer whose last segments are
    // readings is whole after a short quiet time, at the first poll already, and the read
    // returns soon after it; one cut inside a reading, or too short, never is: at the deadline
    // it stores nothing and the box shows the text held.
    Configure(8, "2000");
    Set(g_devices[8].temperatures[0], 1.5);
    const struct {
        std::string answer;
        double t0, t1;
        const char* box;
    } silent[] = {
        {"T;3,5\260C;----", 3.5, -999.0, nullptr},
        {"T;5.5\302\260C;6\260C", 5.5, 6.0, nullptr},
        {"T;7.5\260C;8", 5.5, 6.0, "T;7.5\260C;8"},
        {"T;7.5\260C;8.5\260", 5.5, 6.0, "T;7.5\260C;8.5\260"},
        {"20.5", 5.5, 6.0, "20.5"},
    };
    for (const auto& c : silent) {
        const int sendsBefore = fake::SendCalls();
        const size_t boxesBefore = fake::ErrorBoxes().size();
        int result = -1;
        std::thread reader([&] { result = Read2(8, t); });
        ASSERT_TRUE(fake::WaitFor([&] { return fake::SendCalls() > sendsBefore; }));
        const uint32_t answeredAt = fake::Time();
        fake::QueueReceive(fake::CreatedSockets().back(), c.answer);
        reader.join();
        EXPECT_EQ(result, 0) << c.answer;
        EXPECT_DOUBLE_EQ(t[0], c.t0) << c.answer;
        EXPECT_DOUBLE_EQ(t[1], c.t1) << c.answer;
        if (c.box == nullptr) {
            // Well before the deadline (2000), which a held answer that is not whole waits for.
            EXPECT_LT(fake::Time() - answeredAt, 1000u) << c.answer;
            EXPECT_EQ(fake::ErrorBoxes().size(), boxesBefore) << c.answer;
        } else {
            ASSERT_TRUE(fake::WaitFor([&] { return fake::ErrorBoxes().size() > boxesBefore; }));
            EXPECT_EQ(fake::ErrorBoxes().back().text, c.box);
        }
        fake::AdvanceTime(50000);
    }
    // A whole answer still in its quiet time when the deadline comes is decoded, not boxed. The
    // receive thread must have taken it by then: slower sleeps give it the real time for that.
    fake::SetRealSleepMicros(2000);
    Configure(8, "50");
    const size_t boxesBefore = fake::ErrorBoxes().size();
    int result = -1;
    const int sendsBefore = fake::SendCalls();
    std::thread reader([&] { result = Read2(8, t); });
    ASSERT_TRUE(fake::WaitFor([&] { return fake::SendCalls() > sendsBefore; }));
    fake::QueueReceive(fake::CreatedSockets().back(), "T;9,5\260C;10,5\260C");
    reader.join();
    EXPECT_EQ(result, 0);
    EXPECT_DOUBLE_EQ(t[0], 9.5);
    EXPECT_DOUBLE_EQ(t[1], 10.5);
    EXPECT_EQ(fake::ErrorBoxes().size(), boxesBefore);
}

TEST_F(ThermoFunctions, PollWithoutACompleteAnswerReportsTheCachedValuesAsStale) {
    Configure(9, "300", nullptr);  // the default reply time-out: on
    fake::SetRealSleepMicros(50);
    Set(g_devices[9].temperatures[0], 5.0);
    Set(g_devices[9].temperatures[1], 6.0);
    double t[2] = {};
    // No answer by the deadline: 10060 with the cached values, and so every read until a poll
    // gets its answer.
    EXPECT_EQ(Read2(9, t), 10060);
    EXPECT_DOUBLE_EQ(t[0], 5.0);
    EXPECT_DOUBLE_EQ(t[1], 6.0);
    fake::AdvanceTime(10000);
    EXPECT_EQ(Read2(9, t), 10060);
    EXPECT_DOUBLE_EQ(t[1], 6.0);
    fake::AdvanceTime(50000);
    EXPECT_EQ(Read2Answered(9, t, Answer2("20.5", "21.0")), 0);
    EXPECT_DOUBLE_EQ(t[0], 20.5);
    fake::AdvanceTime(10000);
    EXPECT_EQ(Read2(9, t), 0);
    // An answer with too few readings is no answer either.
    fake::AdvanceTime(50000);
    EXPECT_EQ(Read2Answered(9, t, "21.0\xB0" + std::string("C")), 10060);
    EXPECT_DOUBLE_EQ(t[0], 20.5);
    // "Reply Timeout" 0 switches the rule off.
    Configure(9, "300", "0");
    fake::AdvanceTime(50000);
    EXPECT_EQ(Read2(9, t), 0);
}

TEST_F(ThermoFunctions, FailedSendLeavesTheConnectionOpenUntilTheNextCall) {
    Configure(7, "50");
    fake::SetRealSleepMicros(50);
    Set(g_devices[7].temperatures[0], 1.5);
    Set(g_devices[7].temperatures[1], 2.5);
    fake::ScriptResult("send", -1, 10054);
    fake::ResetSleepCount();
    double t[2] = {};
    EXPECT_EQ(Read2(7, t), 10054);
    // The waits ran anyway, and the cached values were copied.
    EXPECT_GE(fake::HostSleepMs(), 51u);
    EXPECT_DOUBLE_EQ(t[0], 1.5);
    EXPECT_DOUBLE_EQ(t[1], 2.5);
    const SOCKET socket = fake::CreatedSockets().back();
    EXPECT_TRUE(fake::IsOpen(socket));
    EXPECT_EQ(g_devices[7].inUse.load(), 1);
    // Only the send line, with -1; no WSAGetLastError line from the thermometer.
    EXPECT_EQ(fake::TraceTexts(3),
              std::vector<std::string>{"Ret=-1; send (" + std::to_string(socket) +
                                       ", GET /Single, 11, 0)"});
    for (const std::string& line : fake::TraceTexts(2))
        EXPECT_EQ(line.find("WSAGetLastError"), std::string::npos) << line;

    // The next call, between polls, closes it.
    fake::AdvanceTime(10000);
    EXPECT_EQ(Read2(7, t), 0);
    EXPECT_FALSE(fake::IsOpen(socket));
    EXPECT_EQ(g_devices[7].inUse.load(), 0);

    // And the call after that de-initialises a slot that holds no socket: no socket is shut
    // down or closed, in particular not a number that now belongs to someone else.
    fake::ClearSocketCalls();
    EXPECT_EQ(Read2(7, t), 0);
    const auto calls = Calls();
    EXPECT_EQ(Count(calls, "shutdown"), 0);
    EXPECT_EQ(Count(calls, "setsockopt"), 0);
    EXPECT_EQ(Count(calls, "closesocket"), 0);
}

TEST_F(ThermoFunctions, FailedSendFollowedByAPoll) {
    Configure(7, "0");
    fake::ScriptResult("send", -1, 10053);
    double t[2] = {};
    EXPECT_EQ(Read2(7, t), 10053);
    // The next call is a poll: its Init finds the slot still in use.
    fake::AdvanceTime(50000);
    t[0] = t[1] = 42.0;
    EXPECT_EQ(Read2(7, t), 6);
    EXPECT_DOUBLE_EQ(t[0], 42.0);  // not written
    EXPECT_EQ(g_devices[7].inUse.load(), 1);
    // The one after that, between polls, closes the slot.
    fake::AdvanceTime(1000);
    EXPECT_EQ(Read2(7, t), 0);
    EXPECT_EQ(g_devices[7].inUse.load(), 0);
    EXPECT_FALSE(fake::IsOpen(fake::CreatedSockets().back()));
}

TEST_F(ThermoFunctions, SlotOpenedByTheHostItself) {
    Configure(9, "0");
    ASSERT_EQ(InitSlot(1, 9), 0);
    const SOCKET hostSocket = Get(g_devices[9].socket);
    double t[2] = {42.0, 42.0};
    EXPECT_EQ(Read2(9, t), 6);
    EXPECT_DOUBLE_EQ(t[0], 42.0);
    EXPECT_EQ(fake::SendCalls(), 0);
    EXPECT_TRUE(fake::IsOpen(hostSocket));

    // Between polls: the call closes the slot.
    fake::AdvanceTime(1000);
    EXPECT_EQ(Read2(9, t), 0);
    EXPECT_FALSE(fake::IsOpen(hostSocket));

    // From then on polls work.
    fake::AdvanceTime(50000);
    EXPECT_EQ(Read2(9, t), 0);
    EXPECT_EQ(fake::SendCalls(), 1);
    const SOCKET pollSocket = fake::CreatedSockets().back();
    EXPECT_NE(pollSocket, hostSocket);
    EXPECT_EQ(fake::Sends(pollSocket), std::vector<std::string>{"GET /Single"});
    EXPECT_FALSE(fake::IsOpen(pollSocket));
}

TEST_F(ThermoFunctions, FailedInitReturnsItsErrorAndIsNotRetriedAtOnce) {
    Configure(8, "0");
    fake::ScriptResult("connect", -1, 10061);
    double t[2] = {42.0, 42.0};
    EXPECT_EQ(Read2(8, t), 10061);
    EXPECT_DOUBLE_EQ(t[0], 42.0);
    EXPECT_EQ(fake::SendCalls(), 0);
    EXPECT_DOUBLE_EQ(Get(g_devices[8].lastThermoPoll), static_cast<double>(kStart));
    // lastThermoPoll was advanced: the next call makes no poll, returns the cached values.
    const size_t sockets = fake::CreatedSockets().size();
    EXPECT_EQ(Read2(8, t), 0);
    EXPECT_DOUBLE_EQ(t[0], 0.0);
    EXPECT_EQ(fake::CreatedSockets().size(), sockets);
}

TEST_F(ThermoFunctions, NullOutPointersAreSkipped) {
    Configure(2, "0");
    for (int i = 0; i < 8; ++i) Set(g_devices[2].temperatures[i], 10.0 + i);
    fake::AdvanceTime(0);
    // No poll due: set the last poll to now.
    Set(g_devices[2].lastThermoPoll, static_cast<double>(fake::Time()));
    double t2 = 0, t8 = 0;
    EXPECT_EQ(VexlorWeb_IO_8xThermometer_Read(1, 2, nullptr, &t2, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, &t8),
              0);
    EXPECT_DOUBLE_EQ(t2, 11.0);
    EXPECT_DOUBLE_EQ(t8, 17.0);
    EXPECT_EQ(VexlorWeb_IO_1xThermometer_Read(1, 2, nullptr), 0);
    EXPECT_EQ(VexlorWeb_IO_2xThermometer_Read(1, 2, nullptr, nullptr), 0);
}

TEST_F(ThermoFunctions, Preamble) {
    double t[8] = {};
    EXPECT_EQ(VexlorWeb_IO_1xThermometer_Read(1, 100, &t[0]), 2);
    EXPECT_EQ(VexlorWeb_IO_2xThermometer_Read(1, 65535, &t[0], &t[1]), 2);
    fake::Reset();
    fake::SetSocketLibraryPresent(false);
    fake::StartModule();
    EXPECT_EQ(VexlorWeb_IO_8xThermometer_Read(1, 99, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5],
                                              &t[6], &t[7]),
              3);
    EXPECT_EQ(VexlorWeb_IO_1xThermometer_Read(1, 100, &t[0]), 2);
    EXPECT_DOUBLE_EQ(g_devices[99].lastThermoPoll.load(), 0.0);
}

}  // namespace
}  // namespace vexlor
