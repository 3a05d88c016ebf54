// The I/O Controller frames and the input-state decoder, on a slot of their own: no platform.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/io_controller.h"

namespace vexlor {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes Frame(unsigned char sub, unsigned char value) {
    return {0xFF, 0xFA, 0x2C, sub, value, 0xFF, 0xF0};
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class IoDecoder : public ::testing::Test {
  protected:
    void SetUp() override {
        // Leftovers of an earlier state: every bit set, including the ones the decoder must
        // clear (8..11) and the ones it must leave alone (12..23).
        Set(slot.controllerInputs, 0x1234);
        for (int i = 0; i < kMaxChannels; ++i) Set(slot.inputBits[i], 1);
    }
    bool Decode(const Bytes& block) {
        return DecodeIoControllerBlock(slot, block.data(), static_cast<int>(block.size()));
    }
    uint16_t State() const { return Get(slot.controllerInputs); }
    uint16_t Bit(int i) const { return Get(slot.inputBits[i]); }

    DeviceSlot slot;
};

TEST_F(IoDecoder, StateByteAndBits) {
    EXPECT_TRUE(Decode(Frame(0x96, 0x05)));
    EXPECT_EQ(State(), 5);
    const uint16_t expected[12] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int k = 0; k < 12; ++k) EXPECT_EQ(Bit(k), expected[k]) << k;
    for (int k = 12; k < kMaxChannels; ++k) EXPECT_EQ(Bit(k), 1) << "untouched " << k;
}

TEST_F(IoDecoder, AllInputsOn) {
    EXPECT_TRUE(Decode(Frame(0x96, 0xFF)));
    EXPECT_EQ(State(), 0xFF);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(Bit(k), 1);
    for (int k = 8; k < 12; ++k) EXPECT_EQ(Bit(k), 0);
}

TEST_F(IoDecoder, ZeroStateIsDataAndTheScanGoesOn) {
    // The frames are binary: a state of 00 is a state, and the frame after it counts too.
    EXPECT_TRUE(Decode(Concat({Frame(0x96, 0x00), Frame(0x96, 0x03)})));
    EXPECT_EQ(State(), 3);
    EXPECT_EQ(Bit(0), 1);
    EXPECT_EQ(Bit(1), 1);
    EXPECT_EQ(Bit(2), 0);

    EXPECT_TRUE(Decode(Frame(0x96, 0x00)));
    EXPECT_EQ(State(), 0);
    for (int k = 0; k < 12; ++k) EXPECT_EQ(Bit(k), 0);
}

TEST_F(IoDecoder, LastFrameWinsAmongOtherBytes) {
    // Telnet negotiation (IAC WILL 1), text, our own frame sub-commands, zero bytes.
    const Bytes block = Concat({{0xFF, 0xFB, 0x01},
                                {'h', 'i', 0x00, 0x00},
                                Frame(0x96, 0x81),
                                Frame(0x32, 0x00),
                                Frame(0x33, 0x44),
                                Frame(0x96, 0x42),
                                {0x00, 'x'}});
    EXPECT_TRUE(Decode(block));
    EXPECT_EQ(State(), 0x42);
}

TEST_F(IoDecoder, MarkerInsideACutFrameCounts) {
    // A frame cut short after its state byte FF, followed by a complete frame: every position
    // is a possible marker, so the complete frame that comes last wins.
    EXPECT_TRUE(Decode({0xFF, 0xFA, 0x2C, 0x96, 0xFF, 0xFA, 0x2C, 0x96, 0x07, 0xFF, 0xF0}));
    EXPECT_EQ(State(), 0x07);
}

TEST_F(IoDecoder, InputChangesCountAcknowledgementsAndNopsDoNot) {
    struct Case {
        Bytes block;
        bool found;
        uint16_t state;  // 0x1234: left as it was
    };
    const Case cases[] = {
        {Frame(0x33, 0x85), true, 0x85},            // an input change the device sends by itself
        {Frame(0x97, 0x85), false, 0x1234},         // the acknowledgement of our set-outputs frame
        {{0xFF, 0xF1, 0xFF, 0xF1}, false, 0x1234},  // no-operations of a kept connection
        {Concat({Frame(0x96, 0x01), Frame(0x97, 0xFF)}), true, 0x01},
        {Concat({Frame(0x33, 0x02), {0xFF, 0xF1}, Frame(0x97, 0x10)}), true, 0x02},
    };
    for (const Case& c : cases) {
        SetUp();
        EXPECT_EQ(Decode(c.block), c.found) << c.state;
        EXPECT_EQ(State(), c.state);
    }
    // A cut input change is held for the next receive; a cut acknowledgement is not.
    EXPECT_EQ(IoFrameHeadAtEnd(Frame(0x33, 0x85).data(), 4), 4);
    EXPECT_EQ(IoFrameHeadAtEnd(Frame(0x97, 0x85).data(), 4), 0);
}

TEST_F(IoDecoder, NoStateFrameChangesNothing) {
    EXPECT_FALSE(Decode(Frame(0x32, 0x05)));
    EXPECT_FALSE(Decode({'a', 'b', 'c'}));
    EXPECT_FALSE(Decode({}));
    EXPECT_EQ(State(), 0x1234);
    EXPECT_EQ(Bit(9), 1);
}

TEST_F(IoDecoder, MarkerSplitOverTwoReceives) {
    // Nothing is carried from one receive to the next: a marker cut anywhere yields nothing.
    const Bytes frame = Frame(0x96, 0x05);
    for (size_t cut = 1; cut < 5; ++cut) {
        SetUp();
        EXPECT_FALSE(Decode(Bytes(frame.begin(), frame.begin() + cut))) << cut;
        EXPECT_FALSE(Decode(Bytes(frame.begin() + cut, frame.end()))) << cut;
        EXPECT_EQ(State(), 0x1234) << cut;
    }
    // A block ending in the marker's 96, the state arriving with the next one.
    EXPECT_FALSE(Decode({0x00, 0xFF, 0xFA, 0x2C, 0x96}));
    EXPECT_FALSE(Decode({0x05, 0xFF, 0xF0}));
    EXPECT_EQ(State(), 0x1234);
}

TEST_F(IoDecoder, NeverReadsBeyondN) {
    // The byte after the count is a would-be state byte that must not be used.
    const Bytes frame = Frame(0x96, 0x05);
    EXPECT_FALSE(DecodeIoControllerBlock(slot, frame.data(), 4));
    EXPECT_TRUE(DecodeIoControllerBlock(slot, frame.data(), 5));
    EXPECT_EQ(State(), 5);
}

TEST(IoFrames, RequestFrames) {
    unsigned char frame[kIoFrameSize];
    EXPECT_EQ(BuildIoReadInputsFrame(frame), 7);
    EXPECT_EQ(Bytes(frame, frame + 7), Frame(0x32, 0x00));
    EXPECT_EQ(IoFrameShownLength(frame), 4);

    EXPECT_EQ(BuildIoSetOutputsFrame(frame, 0x00), 7);
    EXPECT_EQ(Bytes(frame, frame + 7), Frame(0x33, 0x00));
    EXPECT_EQ(IoFrameShownLength(frame), 4);

    BuildIoSetOutputsFrame(frame, 0xFF);
    EXPECT_EQ(Bytes(frame, frame + 7), Frame(0x33, 0xFF));  // FF is not doubled
    EXPECT_EQ(IoFrameShownLength(frame), 7);
}

TEST(IoFrames, OutputMask) {
    const uint16_t allOff[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const uint16_t out4[8] = {0, 0, 0, 1, 0, 0, 0, 0};
    const uint16_t allOn[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    const uint16_t out1Is2[8] = {2, 0, 0, 0, 0, 0, 0, 0};
    const uint16_t out1Is256[8] = {256, 0, 0, 0, 0, 0, 0, 0};
    const uint16_t out8Is3[8] = {0, 0, 0, 0, 0, 0, 0, 3};
    EXPECT_EQ(IoOutputMask(allOff), 0x00);
    EXPECT_EQ(IoOutputMask(out4), 0x08);
    EXPECT_EQ(IoOutputMask(allOn), 0xFF);
    EXPECT_EQ(IoOutputMask(out1Is2), 0x02);    // out2's bit, out1's stays clear
    EXPECT_EQ(IoOutputMask(out1Is256), 0x00);  // only the low 8 bits count
    EXPECT_EQ(IoOutputMask(out8Is3), 0x80);    // cut to 8 bits
}

}  // namespace
}  // namespace vexlor
