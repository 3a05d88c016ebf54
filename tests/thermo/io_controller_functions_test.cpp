// HWgroup_IOController_ReadDI / _WriteDO and the kind-6 receive step, on the fake platform.
#include <gtest/gtest.h>
#include <vexlor.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "core/connection.h"
#include "core/device_table.h"
#include "fake_platform.h"

namespace vexlor {
namespace {

using fake::SOCKET;

std::string Frame(unsigned char sub, unsigned char value) {
    const char bytes[7] = {'\xFF', '\xFA', '\x2C', static_cast<char>(sub), static_cast<char>(value),
                           '\xFF', '\xF0'};
    return std::string(bytes, 7);
}

class IoFunctions : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        fake::StartModule();
    }
    void TearDown() override { fake::Reset(); }

    // Opens an I/O Controller slot (Password is the marker, so Init stamps kind 6).
    static SOCKET Open(uint16_t slot, const char* timing = "500") {
        const std::string section = "DEV" + std::to_string(slot);
        fake::SetProfileString(section, "IP", "127.0.0.1");
        fake::SetProfileString(section, "Port", "23");
        fake::SetProfileString(section, "Timing", timing);
        fake::SetProfileString(section, "Password", "I/O Controller");
        EXPECT_EQ(InitSlot(1, slot), 0);
        EXPECT_EQ(Get(g_devices[slot].kind), kKindIoController);
        return Get(g_devices[slot].socket);
    }

    static std::vector<std::string> TakeSends(SOCKET socket) {
        std::vector<std::string> sends = fake::Sends(socket);
        fake::ClearSends(socket);
        return sends;
    }

    static int Read(uint16_t slot, uint16_t* value, uint16_t* in) {
        return HWgroup_IOController_ReadDI(1, slot, value, &in[0], &in[1], &in[2], &in[3], &in[4],
                                           &in[5], &in[6], &in[7]);
    }
    static int Write(uint16_t slot, const uint16_t (&v)[8]) {
        return HWgroup_IOController_WriteDO(1, slot, v[0], v[1], v[2], v[3], v[4], v[5], v[6],
                                            v[7]);
    }
};

TEST_F(IoFunctions, WritesOnlyChangedOutputsWithTheWholeMask) {
    const SOCKET socket = Open(3);
    // Right after Init every shadow entry is 5: writing 5 everywhere changes nothing.
    EXPECT_EQ(Write(3, {5, 5, 5, 5, 5, 5, 5, 5}), 0);
    EXPECT_TRUE(TakeSends(socket).empty());

    EXPECT_EQ(Write(3, {0, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(TakeSends(socket), std::vector<std::string>(8, Frame(0x33, 0x00)));

    EXPECT_EQ(Write(3, {0, 0, 0, 1, 0, 0, 0, 0}), 0);
    EXPECT_EQ(TakeSends(socket), std::vector<std::string>{Frame(0x33, 0x08)});

    EXPECT_EQ(Write(3, {0, 0, 0, 1, 0, 0, 0, 0}), 0);
    EXPECT_TRUE(TakeSends(socket).empty());

    EXPECT_EQ(Write(3, {1, 1, 1, 1, 1, 1, 1, 1}), 0);
    EXPECT_EQ(TakeSends(socket), std::vector<std::string>(7, Frame(0x33, 0xFF)));
}

TEST_F(IoFunctions, OnlyTheLowEightBitsOfAValueCount) {
    const SOCKET socket = Open(3);
    EXPECT_EQ(Write(3, {0, 0, 0, 0, 0, 0, 0, 0}), 0);
    TakeSends(socket);
    // out1 = 2 sets out2's bit and leaves its own clear; the shadow holds 2.
    EXPECT_EQ(Write(3, {2, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(TakeSends(socket), std::vector<std::string>{Frame(0x33, 0x02)});
    EXPECT_EQ(Get(g_devices[3].outputShadow[0]), 2);
    // out1 = 256 counts as 0: changed from 2, mask 0, shadow 0.
    EXPECT_EQ(Write(3, {256, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(TakeSends(socket), std::vector<std::string>{Frame(0x33, 0x00)});
    EXPECT_EQ(Get(g_devices[3].outputShadow[0]), 0);
    // 0x100 again equals the shadow's 0: nothing.
    EXPECT_EQ(Write(3, {0x100, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_TRUE(TakeSends(socket).empty());
    // Shadow entries beyond the eight outputs are not touched.
    EXPECT_EQ(Get(g_devices[3].outputShadow[8]), kShadowNothingRequested);
}

TEST_F(IoFunctions, FailedWriteKeepsTheRemainingShadowEntries) {
    Open(3);
    fake::ScriptResult("send", 7);
    fake::ScriptResult("send", 7);
    fake::ScriptResult("send", -1, 10054);
    fake::ClearTrace();
    EXPECT_EQ(Write(3, {0, 0, 0, 0, 0, 0, 0, 0}), 10054);
    EXPECT_EQ(fake::SendCalls(), 3);
    EXPECT_EQ(Get(g_devices[3].outputShadow[1]), 0);
    EXPECT_EQ(Get(g_devices[3].outputShadow[2]), kShadowNothingRequested);
    EXPECT_EQ(Get(g_devices[3].outputShadow[7]), kShadowNothingRequested);
    const std::string socket = std::to_string(Get(g_devices[3].socket));
    const std::string shown = Frame(0x33, 0).substr(0, 4);
    EXPECT_EQ(fake::TraceTexts(3),
              (std::vector<std::string>{"Ret=7; send (" + socket + ", " + shown + ", 7, 0)",
                                        "Ret=7; send (" + socket + ", " + shown + ", 7, 0)",
                                        "Ret=-1; send (" + socket + ", " + shown + ", 7, 0)"}));
    EXPECT_EQ(fake::TraceTexts(2), std::vector<std::string>{"Ret=10054; WSAGetLastError ()"});
    // The failed send lost the connection: reads report it, and writes without sending.
    uint16_t value = 0, in[8];
    EXPECT_TRUE(fake::WaitFor([&] { return Read(3, &value, in) == 10054; }));
    EXPECT_EQ(Write(3, {0, 0, 0, 0, 0, 0, 0, 0}), 10054);
    EXPECT_LE(fake::SendCalls(), 3 + 1);  // the read's request at most
}

TEST_F(IoFunctions, SendLinesShowTheFrameUpToItsFirstZeroByte) {
    const SOCKET socket = Open(3);
    const std::string s = std::to_string(socket);
    fake::ClearTrace();
    uint16_t value = 0, in[8] = {};
    EXPECT_EQ(Read(3, &value, in), 0);
    // The read request shows its first 4 bytes, with the length 7.
    EXPECT_EQ(fake::TraceTexts(3),
              std::vector<std::string>{"Ret=7; send (" + s + ", \xFF\xFA\x2C\x32, 7, 0)"});
    // A mask of 0 does the same.
    fake::ClearTrace();
    EXPECT_EQ(Write(3, {0, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(fake::TraceTexts(3),
              std::vector<std::string>(8, "Ret=7; send (" + s + ", \xFF\xFA\x2C\x33, 7, 0)"));
    // Any other mask shows all 7 bytes.
    fake::ClearTrace();
    EXPECT_EQ(Write(3, {1, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(fake::TraceTexts(3),
              std::vector<std::string>{"Ret=7; send (" + s + ", " + Frame(0x33, 0x01) + ", 7, 0)"});
}

TEST_F(IoFunctions, ReadIsThrottledAndStampsTheKind) {
    const SOCKET socket = Open(4, "500");
    Set(g_devices[4].kind, kKindNone);
    uint16_t value = 0, in[8] = {};
    EXPECT_EQ(Read(4, &value, in), 0);
    EXPECT_EQ(Get(g_devices[4].kind), kKindIoController);
    EXPECT_EQ(TakeSends(socket), std::vector<std::string>{Frame(0x32, 0x00)});
    fake::AdvanceTime(499);
    EXPECT_EQ(Read(4, &value, in), 0);
    EXPECT_TRUE(TakeSends(socket).empty());
    fake::AdvanceTime(1);
    EXPECT_EQ(Read(4, &value, in), 0);
    EXPECT_EQ(TakeSends(socket).size(), 1u);
}

TEST_F(IoFunctions, FailedReadOnAClosedSlot) {
    // Never opened: the slot's socket is INVALID_SOCKET, the socket layer answers 10038.
    CopyField(g_settings.timing[5], kShortFieldSize, "500");
    vexlor::PublishSlotSettings(5);
    uint16_t value = 77, in[8] = {7, 7, 7, 7, 7, 7, 7, 7};
    fake::ClearTrace();
    EXPECT_EQ(Read(5, &value, in), 10038);
    EXPECT_EQ(value, 77);  // not written
    EXPECT_EQ(in[0], 7);
    EXPECT_EQ(fake::TraceTexts(3),
              std::vector<std::string>{"Ret=-1; send (-1, \xFF\xFA\x2C\x32, 7, 0)"});
    EXPECT_EQ(fake::TraceTexts(2), std::vector<std::string>{"Ret=10038; WSAGetLastError ()"});
    // lastInputPoll was advanced: within Timing nothing is sent and the values come back.
    EXPECT_EQ(Read(5, &value, in), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(fake::SendCalls(), 1);
    EXPECT_EQ(HWgroup_IOController_WriteDO(1, 5, 1, 0, 0, 0, 0, 0, 0, 0), 10038);
}

TEST_F(IoFunctions, ReceiveThreadDecodesInputStates) {
    const SOCKET socket = Open(6, "100000");
    uint16_t value = 0, in[8] = {};
    fake::QueueReceive(socket, Frame(0x96, 0x05));
    ASSERT_TRUE(fake::WaitUntilReceived(socket));
    EXPECT_EQ(Read(6, &value, in), 0);
    EXPECT_EQ(value, 5);
    const uint16_t five[8] = {1, 0, 1, 0, 0, 0, 0, 0};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(in[i], five[i]) << i;

    // A state of 00 followed by another frame in one receive: the later frame wins.
    fake::QueueReceive(socket, Frame(0x96, 0x00) + Frame(0x96, 0x03));
    ASSERT_TRUE(fake::WaitUntilReceived(socket));
    EXPECT_EQ(Read(6, &value, in), 0);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(in[0], 1);
    EXPECT_EQ(in[1], 1);
    EXPECT_EQ(in[2], 0);

    // A frame whose bytes straddle two receives is found, wherever the network cut it.
    for (size_t cut = 1; cut <= 4; ++cut) {
        const std::string frame = Frame(0x96, static_cast<unsigned char>(0x80 + cut));
        fake::QueueReceive(socket, "x" + frame.substr(0, cut));
        fake::QueueReceive(socket, frame.substr(cut));
        ASSERT_TRUE(fake::WaitUntilReceived(socket));
        EXPECT_EQ(Read(6, &value, in), 0);
        EXPECT_EQ(value, 0x80 + cut) << cut;
    }
    EXPECT_EQ(g_devices[6].replyValid.load(), 0);
    EXPECT_TRUE(fake::ErrorBoxes().empty());
}

TEST_F(IoFunctions, NullPointersAreSkipped) {
    Open(6, "100000");
    Set(g_devices[6].controllerInputs, 0x81);
    Set(g_devices[6].inputBits[7], 1);
    uint16_t in8 = 0;
    EXPECT_EQ(HWgroup_IOController_ReadDI(1, 6, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr, &in8),
              0);
    EXPECT_EQ(in8, 1);
}

TEST_F(IoFunctions, Preamble) {
    uint16_t value = 0, in[8] = {};
    EXPECT_EQ(Read(100, &value, in), 2);
    EXPECT_EQ(HWgroup_IOController_WriteDO(1, 65535, 0, 0, 0, 0, 0, 0, 0, 0), 2);
    fake::Reset();
    fake::SetSocketLibraryPresent(false);
    fake::StartModule();
    EXPECT_EQ(Read(99, &value, in), 3);
    EXPECT_EQ(HWgroup_IOController_WriteDO(1, 0, 0, 0, 0, 0, 0, 0, 0, 0), 3);
    EXPECT_EQ(Get(g_devices[0].kind), kKindNone);
}

}  // namespace
}  // namespace vexlor
