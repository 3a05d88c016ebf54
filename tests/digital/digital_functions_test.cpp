// The twelve Web-IO digital functions and their receive steps, on the fake platform.
#include <gtest/gtest.h>
#include <vexlor.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "core/connection.h"
#include "core/device_table.h"
#include "core/health.h"
#include "core/receive_thread.h"
#include "fake_platform.h"

namespace vexlor {
namespace {

using fake::SOCKET;

class DigitalFunctions : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        fake::StartModule();
    }
    void TearDown() override { fake::Reset(); }

    // Opens a slot against a fake device with the given Timing and plain password.
    SOCKET Open(uint16_t slot, const char* timing = "500", const char* password = "") {
        const std::string section = "DEV" + std::to_string(slot);
        fake::SetProfileString(section, "IP", "127.0.0.1");
        fake::SetProfileString(section, "Port", "80");
        fake::SetProfileString(section, "Timing", timing);
        EXPECT_EQ(InitSlot(1, slot), 0);
        // No Password key is stored, so Init keeps the live field, which holds plain text; it is
        // made live for the open slot as the configuration dialog's OK does.
        CopyField(g_settings.password[slot], kPasswordFieldSize, password);
        vexlor::PublishSlotSettings(slot);
        return Get(g_devices[slot].socket);
    }

    static std::vector<std::string> TakeSends(SOCKET socket) {
        std::vector<std::string> sends = fake::Sends(socket);
        fake::ClearSends(socket);
        return sends;
    }

    static int ReadDI12(uint16_t slot, uint16_t* word, uint16_t* bits) {
        return VexlorWeb_IO_12xDigital_ReadDI(1, slot, word, &bits[0], &bits[1], &bits[2], &bits[3],
                                              &bits[4], &bits[5], &bits[6], &bits[7], &bits[8],
                                              &bits[9], &bits[10], &bits[11]);
    }
    static int WriteDO12(uint16_t slot, const uint16_t (&v)[12]) {
        return VexlorWeb_IO_12xDigital_WriteDO(1, slot, v[0], v[1], v[2], v[3], v[4], v[5], v[6],
                                               v[7], v[8], v[9], v[10], v[11]);
    }
    static int ResetCI12(uint16_t slot, const uint16_t (&v)[12]) {
        return VexlorWeb_IO_12xDigital_ResetCI(1, slot, v[0], v[1], v[2], v[3], v[4], v[5], v[6],
                                               v[7], v[8], v[9], v[10], v[11]);
    }
    static int ReadCI24(uint16_t slot, int32_t* c) {
        return VexlorWeb_IO_24xDigital_ReadCI(1, slot, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5],
                                              &c[6], &c[7], &c[8], &c[9], &c[10], &c[11], &c[12],
                                              &c[13], &c[14], &c[15], &c[16], &c[17], &c[18],
                                              &c[19], &c[20], &c[21], &c[22], &c[23]);
    }
};

TEST_F(DigitalFunctions, ReadsAreThrottledByTiming) {
    const SOCKET socket = Open(4, "500");
    uint16_t word = 0, bits[12] = {};
    EXPECT_EQ(ReadDI12(4, &word, bits), 0);
    EXPECT_EQ(TakeSends(socket), std::vector<std::string>{"GET /input?PW=&"});
    EXPECT_EQ(ReadDI12(4, &word, bits), 0);
    fake::AdvanceTime(499);
    EXPECT_EQ(ReadDI12(4, &word, bits), 0);
    EXPECT_TRUE(TakeSends(socket).empty());
    fake::AdvanceTime(1);
    EXPECT_EQ(ReadDI12(4, &word, bits), 0);
    EXPECT_EQ(TakeSends(socket).size(), 1u);

    // Each sort of request has its own timestamp: an output read is still due.
    uint16_t o[13];
    EXPECT_EQ(VexlorWeb_IO_12xDigital_ReadDO(1, 4, &o[0], &o[1], &o[2], &o[3], &o[4], &o[5], &o[6],
                                             &o[7], &o[8], &o[9], &o[10], &o[11], &o[12]),
              0);
    EXPECT_EQ(TakeSends(socket), std::vector<std::string>{"GET /output?PW=&"});
}

TEST_F(DigitalFunctions, TimingZeroEmptyOrNotANumberSendsOnEveryRead) {
    for (const char* timing : {"0", "", "fast"}) {
        fake::Reset();
        fake::StartModule();
        const SOCKET socket = Open(7, timing);
        uint16_t word = 0, bits[12] = {};
        for (int i = 0; i < 3; ++i) EXPECT_EQ(ReadDI12(7, &word, bits), 0);
        EXPECT_EQ(TakeSends(socket).size(), 3u) << '"' << timing << '"';
    }
}

TEST_F(DigitalFunctions, DecodedRepliesAreReturnedByTheReads) {
    const SOCKET socket = Open(4);
    uint16_t word = 0, bits[12] = {};
    ASSERT_EQ(ReadDI12(4, &word, bits), 0);  // stamps kind 1, so the thread starts decoding
    fake::QueueReceive(socket, std::string("input;A05\0", 10));
    ASSERT_TRUE(fake::WaitUntilReceived(socket));
    EXPECT_EQ(ReadDI12(4, &word, bits), 0);
    EXPECT_EQ(word, 0xA05);
    const uint16_t expected[12] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 1};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(bits[i], expected[i]) << i;
    EXPECT_TRUE(fake::ErrorBoxes().empty());
}

TEST_F(DigitalFunctions, NullPointersAreSkippedAndTheOthersWritten) {
    Open(4);
    Set(g_devices[4].inputWord12, 0x3);
    Set(g_devices[4].inputBits[0], 1);
    Set(g_devices[4].inputBits[11], 1);
    uint16_t b0 = 9, b11 = 9;
    EXPECT_EQ(
        VexlorWeb_IO_12xDigital_ReadDI(1, 4, nullptr, &b0, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &b11),
        0);
    EXPECT_EQ(b0, 1);
    EXPECT_EQ(b11, 1);

    Set(g_devices[4].counters[23], 77);
    int32_t c23 = 0;
    EXPECT_EQ(VexlorWeb_IO_24xDigital_ReadCI(
                  1, 4, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &c23),
              0);
    EXPECT_EQ(c23, 77);
}

TEST_F(DigitalFunctions, KindIsStampedByDueReadsAndByEveryWrite) {
    Open(5, "500");
    EXPECT_EQ(Get(g_devices[5].kind), kKindNone);
    uint16_t word = 0, bits[12] = {};
    EXPECT_EQ(ReadDI12(5, &word, bits), 0);
    EXPECT_EQ(Get(g_devices[5].kind), kKindDigital12);

    // Not due: the 24xDigital read returns the stored values and leaves the kind alone.
    uint32_t word24 = 0;
    uint16_t b[24];
    EXPECT_EQ(VexlorWeb_IO_24xDigital_ReadDI(1, 5, &word24, &b[0], &b[1], &b[2], &b[3], &b[4],
                                             &b[5], &b[6], &b[7], &b[8], &b[9], &b[10], &b[11],
                                             &b[12], &b[13], &b[14], &b[15], &b[16], &b[17], &b[18],
                                             &b[19], &b[20], &b[21], &b[22], &b[23]),
              0);
    EXPECT_EQ(Get(g_devices[5].kind), kKindDigital12);

    // Writes stamp on entry, even when they send nothing.
    EXPECT_EQ(VexlorWeb_IO_24xDigital_ErrorClear(1, 5, 0), 0);
    EXPECT_EQ(Get(g_devices[5].kind), kKindDigital24);
    EXPECT_EQ(VexlorWeb_IO_12xDigital_ErrorClear(1, 5, 0), 0);
    EXPECT_EQ(Get(g_devices[5].kind), kKindDigital12);

    // The preamble comes first: slot 100 stamps nothing anywhere.
    EXPECT_EQ(VexlorWeb_IO_24xDigital_ErrorClear(1, 100, 1), 2);
    EXPECT_EQ(VexlorWeb_IO_24xDigital_ReadCI(
                  1, 65535, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              2);
    EXPECT_EQ(Get(g_devices[5].kind), kKindDigital12);
}

TEST_F(DigitalFunctions, WriteDOSendsOnlyWhereTheShadowDiffers) {
    const SOCKET socket = Open(2);
    EXPECT_EQ(WriteDO12(2, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
    std::vector<std::string> expected;
    for (int i = 0; i < 12; ++i) {
        expected.push_back("GET /outputaccess" + std::to_string(i) + "?PW=&State=OFF&");
    }
    EXPECT_EQ(TakeSends(socket), expected);
    EXPECT_EQ(WriteDO12(2, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_TRUE(TakeSends(socket).empty());

    EXPECT_EQ(WriteDO12(2, {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(TakeSends(socket), std::vector<std::string>{"GET /outputaccess3?PW=&State=ON&"});

    // 2 is remembered without sending, so a following 0 differs again.
    EXPECT_EQ(WriteDO12(2, {0, 0, 0, 1, 2, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_TRUE(TakeSends(socket).empty());
    EXPECT_EQ(Get(g_devices[2].outputShadow[4]), 2);
    EXPECT_EQ(WriteDO12(2, {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(TakeSends(socket), std::vector<std::string>{"GET /outputaccess4?PW=&State=OFF&"});

    // Only the low 8 bits count: 257 is on, 256 is off.
    EXPECT_EQ(WriteDO12(2, {0, 0, 0, 1, 0, 257, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(TakeSends(socket), std::vector<std::string>{"GET /outputaccess5?PW=&State=ON&"});
    EXPECT_EQ(WriteDO12(2, {0, 0, 0, 1, 0, 256, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(TakeSends(socket), std::vector<std::string>{"GET /outputaccess5?PW=&State=OFF&"});
}

TEST_F(DigitalFunctions, EveryInitStartsTheShadowsAfresh) {
    const SOCKET first = Open(2);
    EXPECT_EQ(Get(g_devices[2].outputShadow[23]), 5);
    EXPECT_EQ(WriteDO12(2, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}), 0);
    EXPECT_EQ(TakeSends(first).size(), 12u);
    EXPECT_EQ(DeInitSlot(1, 2), 0);
    const SOCKET second = Open(2);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(Get(g_devices[2].outputShadow[i]), 5) << i;
    EXPECT_EQ(WriteDO12(2, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}), 0);
    EXPECT_EQ(TakeSends(second).size(), 12u);
}

TEST_F(DigitalFunctions, ResetCIClearsOnEachNewNonZeroValue) {
    const SOCKET socket = Open(3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ResetCI12(3, {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(TakeSends(socket), std::vector<std::string>{"GET /counterclear2?PW=&"});
    EXPECT_EQ(ResetCI12(3, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_TRUE(TakeSends(socket).empty());
    EXPECT_EQ(ResetCI12(3, {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(TakeSends(socket).size(), 1u);
    // All 16 bits count: 256 differs from 1 and is not 0.
    EXPECT_EQ(ResetCI12(3, {0, 0, 256, 0, 0, 0, 0, 0, 0, 0, 0, 256}), 0);
    EXPECT_EQ(TakeSends(socket),
              (std::vector<std::string>{"GET /counterclear2?PW=&", "GET /counterclear11?PW=&"}));
}

TEST_F(DigitalFunctions, ErrorClearSendsOnEachNewNonZeroValueAcrossReinit) {
    SOCKET socket = Open(3);
    EXPECT_EQ(VexlorWeb_IO_12xDigital_ErrorClear(1, 3, 1), 0);
    EXPECT_EQ(VexlorWeb_IO_12xDigital_ErrorClear(1, 3, 1), 0);
    EXPECT_EQ(TakeSends(socket), std::vector<std::string>{"GET /errorclear?PW=&"});
    EXPECT_EQ(VexlorWeb_IO_24xDigital_ErrorClear(1, 3, 0), 0);
    EXPECT_EQ(VexlorWeb_IO_24xDigital_ErrorClear(1, 3, 1), 0);
    EXPECT_EQ(TakeSends(socket).size(), 1u);
    // lastErrorClear survives DeInit and Init.
    EXPECT_EQ(DeInitSlot(1, 3), 0);
    socket = Open(3);
    EXPECT_EQ(VexlorWeb_IO_24xDigital_ErrorClear(1, 3, 1), 0);
    EXPECT_TRUE(TakeSends(socket).empty());
}

TEST_F(DigitalFunctions, FailedSendStopsWriteDOAtThatOutput) {
    const SOCKET socket = Open(6);
    ASSERT_EQ(WriteDO12(6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
    TakeSends(socket);
    fake::ClearSocketCalls();
    for (int i = 0; i < 5; ++i) fake::ScriptResult("send", 33);
    fake::ScriptResult("send", -1, 10054);
    EXPECT_EQ(WriteDO12(6, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}), 10054);
    std::vector<std::string> tried;
    for (const auto& call : fake::SocketCalls()) {
        if (call.function == "send") tried.push_back(call.data);
    }
    ASSERT_EQ(tried.size(), 6u);  // outputs 6 and above were not looked at
    EXPECT_EQ(tried[5], "GET /outputaccess5?PW=&State=ON&");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Get(g_devices[6].outputShadow[i]), 1) << i;
    for (int i = 5; i < 12; ++i) EXPECT_EQ(Get(g_devices[6].outputShadow[i]), 0) << i;

    // The failed send lost the connection: reads report it, and writes without sending.
    uint16_t word = 0, bits[12];
    EXPECT_TRUE(fake::WaitFor([&] { return ReadDI12(6, &word, bits) == 10054; }));
    fake::ClearSends(socket);
    EXPECT_EQ(WriteDO12(6, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}), 10054);
    EXPECT_TRUE(TakeSends(socket).empty());
}

TEST_F(DigitalFunctions, FailedReadLeavesPointersUntouchedAndTracesBothLines) {
    const SOCKET socket = Open(8, "500");
    fake::ClearTrace();
    fake::ScriptResult("send", -1, 10053);
    uint16_t word = 0xBEEF, bits[12];
    for (auto& b : bits) b = 0xBEEF;
    EXPECT_EQ(ReadDI12(8, &word, bits), 10053);
    EXPECT_EQ(word, 0xBEEF);
    for (auto b : bits) EXPECT_EQ(b, 0xBEEF);
    // The kind and the timestamp count for this interval although the send failed.
    EXPECT_EQ(Get(g_devices[8].kind), kKindDigital12);
    const std::string s = std::to_string(static_cast<int32_t>(socket));
    EXPECT_EQ(fake::TraceTexts(3),
              std::vector<std::string>{"Ret=-1; send (" + s + ", GET /input?PW=&, 15, 0)"});
    EXPECT_EQ(fake::TraceTexts(2), std::vector<std::string>{"Ret=10053; WSAGetLastError ()"});

    // The connection is lost with the send: reads copy the stored values and report it.
    fake::ClearTrace();
    EXPECT_TRUE(fake::WaitFor([&] { return ReadDI12(8, &word, bits) == 10053; }));
    EXPECT_EQ(word, 0);
    EXPECT_EQ(VexlorWeb_IO_12xDigital_ErrorClear(1, 8, 4), 10053);
    EXPECT_EQ(DeInitSlot(1, 8), 0);
    const std::string a = std::to_string(static_cast<int32_t>(Open(8, "500")));
    fake::ClearTrace();

    // A successful send writes only the send line, with the byte count send returned.
    EXPECT_EQ(VexlorWeb_IO_12xDigital_ErrorClear(1, 8, 4), 0);
    EXPECT_EQ(fake::TraceTexts(3),
              std::vector<std::string>{"Ret=20; send (" + a + ", GET /errorclear?PW=&, 20, 0)"});
    EXPECT_TRUE(fake::TraceTexts(2).empty());

    // A send that fails is a failure even when the socket layer has no error number for it.
    fake::AdvanceTime(500);
    fake::SetLastError(0);
    fake::ScriptResult("send", -1);
    EXPECT_EQ(ReadDI12(8, &word, bits), 10107);
    fake::ScriptResult("send", -1);
    EXPECT_EQ(VexlorWeb_IO_12xDigital_ErrorClear(1, 8, 5), 10107);
}

TEST_F(DigitalFunctions, ReadCIOn24xDigitalSendsAll24AndReturnsTheCounters) {
    const SOCKET socket = Open(9, "1000", "a&b c");
    for (int i = 0; i < 24; ++i) Set(g_devices[9].counters[i], 100 + i);
    int32_t c[24] = {};
    EXPECT_EQ(ReadCI24(9, c), 0);
    const std::vector<std::string> sends = TakeSends(socket);
    ASSERT_EQ(sends.size(), 24u);
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(sends[i], "GET /counter" + std::to_string(i) + "?PW=a&b c&");
        EXPECT_EQ(c[i], 100 + i);
    }
    EXPECT_EQ(Get(g_devices[9].kind), kKindDigital24);
}

TEST_F(DigitalFunctions, PasswordWithAmpersandAndSpaceGoesIntoEveryRequestUnchanged) {
    const SOCKET socket = Open(10, "0", "x&y z");
    uint16_t w16[13];
    uint32_t w32;
    uint16_t b[24];
    VexlorWeb_IO_12xDigital_ReadDI(1, 10, &w16[0], &w16[1], &w16[2], &w16[3], &w16[4], &w16[5],
                                   &w16[6], &w16[7], &w16[8], &w16[9], &w16[10], &w16[11],
                                   &w16[12]);
    VexlorWeb_IO_24xDigital_ReadDO(1, 10, &w32, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6],
                                   &b[7], &b[8], &b[9], &b[10], &b[11], &b[12], &b[13], &b[14],
                                   &b[15], &b[16], &b[17], &b[18], &b[19], &b[20], &b[21], &b[22],
                                   &b[23]);
    VexlorWeb_IO_24xDigital_WriteDO(1, 10, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
                                    5, 5, 5, 5, 1);
    VexlorWeb_IO_24xDigital_ResetCI(1, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    0, 0, 0, 0, 3);
    VexlorWeb_IO_24xDigital_ErrorClear(1, 10, 1);
    EXPECT_EQ(fake::SentBytes(socket),
              "GET /input?PW=x&y z&"
              "GET /output?PW=x&y z&"
              "GET /outputaccess23?PW=x&y z&State=ON&"
              "GET /counterclear23?PW=x&y z&"
              "GET /errorclear?PW=x&y z&");
    EXPECT_EQ(TakeSends(socket).size(), 5u);  // one send per request
}

TEST_F(DigitalFunctions, ClosedOrNeverOpenedSlotFailsWithoutReachingAnotherSlot) {
    EXPECT_EQ(VexlorWeb_IO_12xDigital_ErrorClear(1, 20, 1), 10038);  // never initialised
    const SOCKET closed = Open(21);
    const SOCKET other = Open(22);
    ASSERT_EQ(DeInitSlot(1, 21), 0);
    TakeSends(other);
    EXPECT_EQ(WriteDO12(21, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}), 10038);
    EXPECT_TRUE(fake::Sends(other).empty());
    EXPECT_TRUE(fake::Sends(closed).empty());
}

TEST_F(DigitalFunctions, SocketLayerMissingGivesThree) {
    fake::Reset();
    fake::SetSocketLibraryPresent(false);
    fake::StartModule();
    EXPECT_EQ(VexlorWeb_IO_12xDigital_ErrorClear(1, 99, 1), 3);
    EXPECT_EQ(VexlorWeb_IO_24xDigital_ErrorClear(1, 100, 1), 2);
    EXPECT_EQ(Get(g_devices[99].kind), kKindNone);
}

TEST_F(DigitalFunctions, EachKindReceivesInBlocksOfItsOwnSize) {
    const SOCKET s12 = Open(11);
    const SOCKET s24 = Open(12);
    EXPECT_EQ(VexlorWeb_IO_12xDigital_ErrorClear(1, 11, 0), 0);  // kind 1
    EXPECT_EQ(VexlorWeb_IO_24xDigital_ErrorClear(1, 12, 0), 0);  // kind 2
    // A 256-byte reply without NUL, then a counter reply, in one chunk: 256 bytes per block. A
    // whole block without a terminator is decoded as it stands; the short rest is held until it
    // has been quiet long enough for a retransmission.
    fake::QueueReceive(s12, "input;" + std::string(249, '0') + "1" + "counter1;5");
    // 1000 bytes, then the rest.
    fake::QueueReceive(s24, "input;" + std::string(993, '0') + "F" + std::string("output;3\0", 9));
    ASSERT_TRUE(fake::WaitUntilReceived(s12));
    ASSERT_TRUE(fake::WaitUntilReceived(s24));
    EXPECT_EQ(Get(g_devices[11].inputWord12), 1);
    EXPECT_EQ(Get(g_devices[11].counters[1]), 0);
    fake::AdvanceTime(kCarryQuietTerminatedMs);
    EXPECT_TRUE(fake::WaitFor([] { return Get(g_devices[11].counters[1]) == 5; }));
    EXPECT_EQ(Get(g_devices[12].inputWord24), 0xFu);
    EXPECT_EQ(Get(g_devices[12].outputWord24), 3u);
    EXPECT_TRUE(fake::ErrorBoxes().empty());
}

TEST_F(DigitalFunctions, ReceiveThreadJoinsCutRepliesAndDecodesAQuietRemainderAsItStands) {
    const SOCKET socket = Open(14);
    EXPECT_EQ(VexlorWeb_IO_12xDigital_ErrorClear(1, 14, 0), 0);  // kind 1
    fake::QueueReceive(socket, std::string("input;1\0inp", 11));
    ASSERT_TRUE(fake::WaitUntilReceived(socket));
    EXPECT_EQ(Get(g_devices[14].inputWord12), 1);
    fake::QueueReceive(socket, std::string("ut;A5F\0", 7));
    ASSERT_TRUE(fake::WaitUntilReceived(socket));
    EXPECT_EQ(Get(g_devices[14].inputWord12), 0xA5F);

    // On a connection that has shown terminators, a remainder waits long enough for a TCP
    // retransmission (a lost segment on a lossy link); one that is still not completed then is
    // decoded as it stands.
    fake::QueueReceive(socket, "outp");
    ASSERT_TRUE(fake::WaitUntilReceived(socket));
    fake::AdvanceTime(1500);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(fake::ErrorBoxes().empty());
    fake::AdvanceTime(kCarryQuietTerminatedMs - 1500);
    ASSERT_TRUE(fake::WaitFor([] { return fake::ErrorBoxes().size() == 1; }));
    EXPECT_EQ(fake::ErrorBoxes()[0].text, "outp");

    // A device that closes the connection in the middle of a reply: the piece is dropped, never
    // decoded as a value.
    fake::QueueReceive(socket, "input;12");
    fake::QueuePeerClose(socket);
    ASSERT_TRUE(fake::WaitUntilReceived(socket));
    fake::AdvanceTime(kCarryQuietTerminatedMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Get(g_devices[14].inputWord12), 0xA5F);
    EXPECT_EQ(fake::ErrorBoxes().size(), 1u);
}

// The request each kind sends when idle (its replies and the idle timers: the integration
// tests); the host's throttle is left alone and an unanswered one goes stale like any request.
TEST_F(DigitalFunctions, IdleConnectionsSendTheirInputRequestToKeepAlive) {
    const struct {
        int32_t kind;  // stamped after Init (0: none)
        const char* password;
        const char* keepAlive;
        std::string request;  // "": none is sent
    } cases[] = {
        {kKindDigital24, "pw", "500", "GET /input?PW=pw&"},
        {kKindNone, "x y", "500", "GET /input?PW=x y&"},
        {kKindIoController, kIoControllerMarker, "500",
         std::string("\xFF\xFA\x2C\x32\0\xFF\xF0", 7)},
        {kKindDigital12, "", "0", ""},
    };
    for (const auto& c : cases) {
        fake::Reset();
        fake::StartModule();
        fake::SetProfileString("DEV3", "Keep Alive", c.keepAlive);
        fake::SetProfileString("DEV3", "Password", c.kind == kKindIoController ? c.password : "");
        const SOCKET socket = Open(3, "500", c.password);
        if (c.kind != kKindNone) StampKind(3, c.kind);
        // The receive thread sends: a send that should come is waited for, one that should not
        // is looked for briefly.
        auto sendsAfter = [&](uint32_t ms, bool expectSend) {
            fake::AdvanceTime(ms);
            fake::WaitFor([&] { return !fake::Sends(socket).empty(); }, expectSend ? 2000 : 30);
            return TakeSends(socket);
        };
        EXPECT_TRUE(sendsAfter(499, false).empty()) << c.request;
        const std::vector<std::string> expected =
            c.request.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.request};
        EXPECT_EQ(sendsAfter(c.request.empty() ? 10000 : 1, !expected.empty()), expected);
        // The receive thread writes the send line just after the send itself.
        fake::WaitFor([&] { return fake::TraceTexts(3).size() >= expected.size(); }, 2000);
        EXPECT_EQ(fake::TraceTexts(3).size(), expected.size());
        EXPECT_DOUBLE_EQ(Get(g_devices[3].lastInputPoll), 0.0);
        fake::AdvanceTime(kDefaultReplyTimeoutMs + 1);
        Set(g_devices[3].now, TimeBase());  // as a read stamps it
        const bool awaited = !c.request.empty() && c.kind != kKindNone;
        EXPECT_EQ(ReadResult(g_devices[3]), awaited ? 10060 : 0) << c.request;
    }
}

TEST_F(DigitalFunctions, DeviceThatClosesAfterEveryRequestIsReconnectedWithBackoff) {
    // A wrong password: the device closes each connection after its first request. With
    // Reconnect on the slot connects again, ever more slowly, while the host reads every 200 ms.
    fake::SetProfileString("DEV5", "Reconnect", "1");
    SOCKET seen = Open(5, "200"), closed = ws::kInvalidSocket;
    uint16_t word = 0, bits[12] = {};
    std::vector<uint32_t> connectedAt;  // ms after the start, of each new connection
    for (uint32_t ms = 0; ms < 60000; ms += 50) {
        ReadDI12(5, &word, bits);
        const SOCKET current = Get(g_devices[5].socket);
        if (current != ws::kInvalidSocket && current != seen) connectedAt.push_back(ms);
        if (current != ws::kInvalidSocket) seen = current;
        if (current != ws::kInvalidSocket && current != closed && !fake::Sends(current).empty()) {
            fake::QueuePeerClose(closed = current);
            fake::WaitUntilReceived(current);
        }
        fake::AdvanceTime(50);
        fake::WaitFor([] { return false; }, 1);
    }
    const auto late = std::count_if(connectedAt.begin(), connectedAt.end(),
                                    [](uint32_t at) { return at >= 30000; });
    EXPECT_GE(connectedAt.size(), 10u);  // it does come back
    EXPECT_LE(connectedAt.size(), 40u);  // at most about one attempt a second at first
    EXPECT_LE(late, 6);                  // then backing off towards one every 30 s
}

TEST_F(DigitalFunctions, UnrecognisedReplyRaisesTheKindsBox) {
    const SOCKET socket = Open(13);
    EXPECT_EQ(VexlorWeb_IO_24xDigital_ErrorClear(1, 13, 0), 0);
    fake::QueueReceive(socket, std::string("output;1\0Error: wrong password\0", 31));
    ASSERT_TRUE(fake::WaitUntilReceived(socket));
    const auto boxes = fake::ErrorBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Web-IO 24xDigital");
    EXPECT_EQ(boxes[0].text, "Error: wrong password");
    EXPECT_EQ(Get(g_devices[13].outputWord24), 1u);
}

// The reply wait counts on the 32-bit millisecond counter across its wrap: a request that has
// waited longer than the reply time-out is reported however long the silence, from stamps all
// over the counter's range; a request stamped just after the read took its time is not.
TEST_F(DigitalFunctions, SilenceIsStaleAcrossTheCounterWrap) {
    fake::SetProfileString("DEV9", "Reply Timeout", "5000");
    const uint32_t silencesInDays[] = {0, 10, 25, 30, 49, 60};  // 0: one second
    uint16_t word = 0, bits[12];
    for (const uint32_t stamp : {0u, 1000000u, 0x7FFFFFFFu, 0xC0000000u, 0xFFFFFF00u}) {
        for (const uint32_t days : silencesInDays) {
            fake::SetTime(stamp);
            Open(9, "0");
            ASSERT_EQ(ReadDI12(9, &word, bits), 0);
            for (uint32_t day = 0; day < days; ++day) fake::AdvanceTime(86400000u);
            fake::AdvanceTime(1000);
            EXPECT_EQ(ReadDI12(9, &word, bits), days == 0 ? 0 : 10060) << stamp << " " << days;
            EXPECT_EQ(DeInitSlot(1, 9), 0);
        }
    }
    EXPECT_GT(UntilTimeout(0xFFFFFFFEu, 2u, 5000), 0u);  // read's time, then the wrap, the stamp
}

// Counter and error clears, whose replies no manual documents, start no reply wait: a device
// that never answers them is not reported stale.
TEST_F(DigitalFunctions, ClearsStartNoReplyWait) {
    fake::SetProfileString("DEV10", "Reply Timeout", "1000");
    Open(10, "100000");
    uint16_t word = 0, bits[12];
    for (uint16_t i = 1; i <= 5; ++i, fake::AdvanceTime(600)) {
        EXPECT_EQ(ResetCI12(10, {i, i, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
        EXPECT_EQ(VexlorWeb_IO_12xDigital_ErrorClear(1, 10, i), 0);
    }
    EXPECT_EQ(ReadDI12(10, &word, bits), 0);  // due: its request starts the wait now
}

}  // namespace
}  // namespace vexlor
