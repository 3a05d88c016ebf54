// Reply decoding and request texts of the Web-IO digital protocol, without any platform.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "devices/digital_protocol.h"

namespace vexlor {
namespace {

struct Box {
    std::string caption;
    std::string text;
};
std::vector<Box> g_boxes;

void RecordBox(const char* caption, const char* text, int length) {
    g_boxes.push_back({caption, std::string(text, static_cast<size_t>(length))});
}

class DigitalDecoder : public ::testing::Test {
  protected:
    void SetUp() override { g_boxes.clear(); }

    // Decodes `bytes` as one received block with replyValid cleared first, as the receive step
    // does.
    bool Decode(const DigitalModel& model, const std::string& bytes) {
        slot.replyValid.store(0);
        return DecodeDigitalBlock(slot, model, bytes.data(), static_cast<int>(bytes.size()),
                                  RecordBox);
    }

    void FillBits(uint16_t value) {
        for (auto& b : slot.inputBits) b.store(value);
        for (auto& b : slot.outputBits) b.store(value);
    }

    // DeviceSlot holds atomics and is large; keep it off the stack.
    std::unique_ptr<DeviceSlot> owner = std::make_unique<DeviceSlot>();
    DeviceSlot& slot = *owner;
};

TEST_F(DigitalDecoder, InputWordOf12xDigitalIsCutTo16BitsAndSetsBits0To11Only) {
    FillBits(7);  // entries 12..23 must keep this
    EXPECT_TRUE(Decode(kDigital12, "input;FFF"));
    EXPECT_EQ(slot.inputWord12.load(), 0x0FFF);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(slot.inputBits[i].load(), 1) << i;
    for (int i = 12; i < 24; ++i) EXPECT_EQ(slot.inputBits[i].load(), 7) << i;
    EXPECT_EQ(slot.replyValid.load(), 1);

    EXPECT_TRUE(Decode(kDigital12, "input;1FFFF"));
    EXPECT_EQ(slot.inputWord12.load(), 0xFFFF);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(slot.inputBits[i].load(), 1) << i;

    // Beyond the signed 32-bit range the number reads as the limit; its low 16 bits remain.
    EXPECT_TRUE(Decode(kDigital12, "input;123456789ABC"));
    EXPECT_EQ(slot.inputWord12.load(), 0xFFFF);
    EXPECT_EQ(slot.inputWord24.load(), 0u);  // the 24-bit word is not the 12xDigital's
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(DigitalDecoder, InputWordOf24xDigitalKeeps32BitsAndSetsAll24Bits) {
    EXPECT_TRUE(Decode(kDigital24, "input;FFFFFF"));
    EXPECT_EQ(slot.inputWord24.load(), 0xFFFFFFu);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(slot.inputBits[i].load(), 1) << i;
    EXPECT_EQ(slot.inputWord12.load(), 0);

    EXPECT_TRUE(Decode(kDigital24, "input;1FFFFFFFF"));  // clamps to the signed limit
    EXPECT_EQ(slot.inputWord24.load(), 0x7FFFFFFFu);
    EXPECT_TRUE(Decode(kDigital24, "input;-1"));
    EXPECT_EQ(slot.inputWord24.load(), 0xFFFFFFFFu);
    EXPECT_TRUE(Decode(kDigital24, "input; 0x800001"));  // white space and 0x as strtol
    EXPECT_EQ(slot.inputWord24.load(), 0x800001u);
    EXPECT_EQ(slot.inputBits[0].load(), 1);
    EXPECT_EQ(slot.inputBits[1].load(), 0);
    EXPECT_EQ(slot.inputBits[23].load(), 1);
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(DigitalDecoder, OutputFormFillsOutputWordAndBits) {
    EXPECT_TRUE(Decode(kDigital12, "output;5"));
    EXPECT_EQ(slot.outputWord12.load(), 5);
    EXPECT_EQ(slot.outputBits[0].load(), 1);
    EXPECT_EQ(slot.outputBits[1].load(), 0);
    EXPECT_EQ(slot.outputBits[2].load(), 1);
    EXPECT_EQ(slot.inputWord12.load(), 0);
    EXPECT_TRUE(Decode(kDigital24, "output;abcdef"));
    EXPECT_EQ(slot.outputWord24.load(), 0xABCDEFu);
    EXPECT_EQ(slot.outputWord12.load(), 5);
}

TEST_F(DigitalDecoder, MissingOrUnreadableDigitsReadAsZeroWithoutBox) {
    for (const char* text : {"input;", "input;zz"}) {
        FillBits(1);
        slot.inputWord12.store(0x123);
        EXPECT_TRUE(Decode(kDigital12, text)) << text;
        EXPECT_EQ(slot.inputWord12.load(), 0) << text;
        for (int i = 0; i < 12; ++i) EXPECT_EQ(slot.inputBits[i].load(), 0) << text << i;
    }
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(DigitalDecoder, ValueAfterTheLastSemicolonRemains) {
    EXPECT_TRUE(Decode(kDigital12, "input;A;B"));
    EXPECT_EQ(slot.inputWord12.load(), 0xB);
    EXPECT_TRUE(Decode(kDigital24, "counter3;1;2"));
    EXPECT_EQ(slot.counters[3].load(), 2);
}

TEST_F(DigitalDecoder, CounterNumberAndValueForms) {
    EXPECT_TRUE(Decode(kDigital12, "counter5;123"));
    EXPECT_EQ(slot.counters[5].load(), 123);
    EXPECT_TRUE(Decode(kDigital12, "counter;7"));  // no number reads as 0
    EXPECT_EQ(slot.counters[0].load(), 7);
    EXPECT_TRUE(Decode(kDigital12, "counter 5;8"));  // leading blank as atoi
    EXPECT_EQ(slot.counters[5].load(), 8);
    EXPECT_TRUE(Decode(kDigital12, "counter11;-4"));
    EXPECT_EQ(slot.counters[11].load(), -4);
    EXPECT_TRUE(Decode(kDigital12, "counter1;99999999999"));  // clamps to the signed limit
    EXPECT_EQ(slot.counters[1].load(), INT32_MAX);
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(DigitalDecoder, CounterNumbersOutsideTheModelAreIgnoredWithoutBox) {
    EXPECT_TRUE(Decode(kDigital12, "counter12;9"));
    for (int i = 0; i < 24; ++i) EXPECT_EQ(slot.counters[i].load(), 0) << i;
    EXPECT_EQ(slot.replyValid.load(), 1);

    EXPECT_TRUE(Decode(kDigital24, "counter12;9"));
    EXPECT_EQ(slot.counters[12].load(), 9);
    EXPECT_TRUE(Decode(kDigital24, "counter23;4"));
    EXPECT_EQ(slot.counters[23].load(), 4);

    for (const auto* model : {&kDigital12, &kDigital24}) {
        EXPECT_TRUE(Decode(*model, "counter-1;5"));
        EXPECT_TRUE(Decode(*model, "counter24;5"));
        EXPECT_TRUE(Decode(*model, "counter99999999999;5"));
    }
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(slot.counters[i].load(), i == 12 ? 9 : i == 23 ? 4 : 0) << i;
    }
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(DigitalDecoder, CounterWithoutSemicolonIsRecognisedButStoresNothing) {
    EXPECT_TRUE(Decode(kDigital24, "counter"));
    EXPECT_TRUE(Decode(kDigital24, "counter5"));
    EXPECT_EQ(slot.replyValid.load(), 1);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(slot.counters[i].load(), 0) << i;
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(DigitalDecoder, UnrecognisedTextRaisesBoxWithThatTextAndStoresNothing) {
    const struct {
        const DigitalModel* model;
        std::string block;
        std::string shown;
    } cases[] = {
        {&kDigital12, "Input;5", "Input;5"},
        {&kDigital24, "Input;5", "Input;5"},
        {&kDigital12, "inpu", "inpu"},
        {&kDigital12, "outpu", "outpu"},
        {&kDigital24, "Counter5;1", "Counter5;1"},
        {&kDigital12, std::string("\0", 1), ""},
        {&kDigital24, std::string("\0\0\0", 3), ""},
        {&kDigital12, "<html>error</html>\r\n", "<html>error</html>\r\n"},
    };
    for (const auto& c : cases) {
        g_boxes.clear();
        EXPECT_FALSE(Decode(*c.model, c.block)) << c.shown;
        EXPECT_EQ(slot.replyValid.load(), 0);
        ASSERT_EQ(g_boxes.size(), 1u) << c.shown;
        EXPECT_EQ(g_boxes[0].caption, c.model->caption);
        EXPECT_EQ(g_boxes[0].text, c.shown);
    }
    EXPECT_EQ(slot.inputWord12.load(), 0);
    EXPECT_EQ(slot.inputWord24.load(), 0u);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(slot.counters[i].load(), 0) << i;
    EXPECT_STREQ(kDigital12.caption, "Web-IO 12xDigital");
    EXPECT_STREQ(kDigital24.caption, "Web-IO 24xDigital");
}

TEST_F(DigitalDecoder, ReplyHeaderOfAddressAndNameIsSkipped) {
    const struct {
        std::string block;
        int32_t counter3;  // -1: the text is no reply (boxed whole)
    } cases[] = {
        {"127.0.0.1;Web-IO 12x Digital;counter3;4711", 4711},
        {"192.168.100.255;;counter3;9;8", 8},
        {"input;1.2.3.4;n;7", 0},
        // Anything else is no header: today's rule rejects the whole text.
        {"10.0.0;n;counter3;1", -1},
        {"10.0.0.256;n;counter3;1", -1},
        {"1.2.3.4.5;n;counter3;1", -1},
        {"1.2.3.0004;n;counter3;1", -1},
        {" 1.2.3.4;n;counter3;1", -1},
        {"1.2.3.4;counter3;1", -1},
    };
    for (const auto& c : cases) {
        slot.counters[3].store(0);
        g_boxes.clear();
        EXPECT_EQ(Decode(kDigital24, c.block), c.counter3 >= 0) << c.block;
        EXPECT_EQ(slot.counters[3].load(), c.counter3 < 0 ? 0 : c.counter3) << c.block;
        EXPECT_EQ(g_boxes.size(), c.counter3 < 0 ? 1u : 0u) << c.block;
    }
    EXPECT_TRUE(Decode(kDigital12, "127.0.0.1;Web-IO 12x Digital;input;0A5F"));
    EXPECT_EQ(slot.inputWord12.load(), 0xA5F);
}

TEST_F(DigitalDecoder, FullBlockWithoutNulIsOneTextOfAllItsBytes) {
    // 1000 bytes: "input;" and then hexadecimal digits up to the very last byte, which holds 7.
    std::string block = "input;" + std::string(1000 - 7, '0') + "7";
    ASSERT_EQ(block.size(), 1000u);
    EXPECT_TRUE(Decode(kDigital24, block));
    EXPECT_EQ(slot.inputWord24.load(), 7u);

    // An unrecognised full block is shown whole.
    g_boxes.clear();
    std::string garbage(1000, 'x');
    EXPECT_FALSE(Decode(kDigital24, garbage));
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0].text, garbage);
}

TEST_F(DigitalDecoder, BlockIsNeverReadBeyondItsLength) {
    // The bytes after the received count must not be seen, however the buffer continues.
    const char buffer[] = "input;12345";
    slot.replyValid.store(0);
    EXPECT_TRUE(DecodeDigitalBlock(slot, kDigital24, buffer, 8, RecordBox));
    EXPECT_EQ(slot.inputWord24.load(), 0x12u);
}

TEST_F(DigitalDecoder, EveryReplyOfABlockIsDecodedInOrder) {
    const std::string block("input;3\0output;A\0counter2;40\0counter2;41\0", 41);
    EXPECT_TRUE(Decode(kDigital24, block));
    EXPECT_EQ(slot.inputWord24.load(), 3u);
    EXPECT_EQ(slot.outputWord24.load(), 0xAu);
    EXPECT_EQ(slot.counters[2].load(), 41);  // the later reply wins
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(DigitalDecoder, EmptyPiecesAreSkippedAndUnrecognisedPiecesBoxed) {
    const std::string block("\0\0input;1\0\0junk\0output;2\0\0", 26);
    EXPECT_TRUE(Decode(kDigital12, block));
    EXPECT_EQ(slot.inputWord12.load(), 1);
    EXPECT_EQ(slot.outputWord12.load(), 2);
    EXPECT_EQ(slot.replyValid.load(), 1);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0].text, "junk");
    EXPECT_EQ(g_boxes[0].caption, "Web-IO 12xDigital");
}

// Feeds `bytes` to the receive framing in receives of at most `block` bytes.
void Feed(DeviceSlot& slot, const DigitalModel& model, ReceiveCarry& carry,
          const std::string& bytes, size_t block, uint32_t now = 100) {
    DigitalReplySink sink;
    sink.onUnrecognised = RecordBox;
    for (size_t at = 0; at < bytes.size(); at += block) {
        const std::string piece = bytes.substr(at, block);
        DecodeDigitalReceive(slot, model, carry, piece.data(), static_cast<int>(piece.size()), now,
                             sink);
    }
}

TEST_F(DigitalDecoder, FramingJoinsRepliesCutAcrossReceives) {
    ReceiveCarry carry;
    // A reply cut by the network is held and decoded once, whole.
    Feed(slot, kDigital12, carry, std::string("input;1\0outp", 12), 256, 100);
    EXPECT_EQ(slot.inputWord12.load(), 1);
    EXPECT_EQ(carry.length, 4);
    EXPECT_TRUE(carry.flushWhenQuiet);
    EXPECT_EQ(carry.heldSince, 100u);
    Feed(slot, kDigital12, carry, std::string("ut;3\0", 5), 256, 150);
    EXPECT_EQ(slot.outputWord12.load(), 3);
    EXPECT_EQ(carry.length, 0);

    // A burst longer than a block: every reply decoded in order, the later one winning.
    std::string burst;
    for (int i = 0; i < 36; ++i) {
        burst += "counter" + std::to_string(i % 12) + ";" + std::to_string(1000 + i);
        burst += '\0';
    }
    ASSERT_GT(burst.size(), 400u);
    Feed(slot, kDigital12, carry, burst, 256);
    for (int k = 0; k < 12; ++k) EXPECT_EQ(slot.counters[k].load(), 1024 + k) << k;

    ReceiveCarry carry24;
    std::string replies24;
    std::string last;
    for (int i = 0; replies24.size() < 3000; ++i) {
        last = std::to_string(100000 + i);  // read as hexadecimal
        replies24 += "input;" + last;
        replies24 += '\0';
    }
    replies24 += "output;ABCDEF";
    replies24 += '\0';
    Feed(slot, kDigital24, carry24, replies24, 1000);
    EXPECT_EQ(slot.outputWord24.load(), 0xABCDEFu);
    EXPECT_EQ(slot.inputWord24.load(), std::stoul(last, nullptr, 16));
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(DigitalDecoder, FramingOfDevicesWithoutTerminatorsAndOfQuietRemainders) {
    // The first reply of a connection is joined like any other, its NUL sent on its own too.
    ReceiveCarry first;
    Feed(slot, kDigital12, first, "inp", 256);
    Feed(slot, kDigital12, first, "ut;1", 256);
    Feed(slot, kDigital12, first, std::string("23\0", 3), 256);
    EXPECT_EQ(slot.inputWord12.load(), 0x123);
    EXPECT_EQ(first.length, 0);
    EXPECT_TRUE(g_boxes.empty());

    // A device shown to send no terminator has held bytes wait only briefly, so it keeps
    // working; its text is decoded when the quiet time is up, and a NUL that comes after that
    // ends the text: it is no empty reply.
    ReceiveCarry fresh;
    fresh.withoutTerminators = true;
    Feed(slot, kDigital12, fresh, "input;5", 256);
    EXPECT_EQ(fresh.length, 7);
    EXPECT_EQ(fresh.quietMs, vexlor::kCarryQuietMs);
    EXPECT_LE(fresh.quietMs, 100u);
    FlushDigitalCarry(slot, kDigital12, fresh, DigitalReplySink{});
    EXPECT_EQ(slot.inputWord12.load(), 5);
    Feed(slot, kDigital12, fresh, std::string("\0", 1), 256);
    EXPECT_TRUE(g_boxes.empty());
    // Once terminators were seen, a held tail waits long enough for a retransmission.
    Feed(slot, kDigital12, fresh, "outp", 256);
    EXPECT_GE(fresh.quietMs, 2000u);
    Feed(slot, kDigital12, fresh, std::string("ut;6\0", 5), 256);
    EXPECT_EQ(slot.outputWord12.load(), 6);
    EXPECT_TRUE(g_boxes.empty());

    // After terminators, a remainder that stays alone is decoded as it stands when its time is
    // up: recognised or boxed like any reply.
    ReceiveCarry carry;
    DigitalReplySink sink;
    sink.onUnrecognised = RecordBox;
    Feed(slot, kDigital12, carry, std::string("input;7\0output;9", 16), 256);
    EXPECT_EQ(slot.inputWord12.load(), 7);
    FlushDigitalCarry(slot, kDigital12, carry, sink);
    EXPECT_EQ(slot.outputWord12.load(), 9);
    Feed(slot, kDigital12, carry, std::string("\0inp", 4), 256);
    FlushDigitalCarry(slot, kDigital12, carry, sink);
    EXPECT_EQ(carry.length, 0);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0].text, "inp");

    // A thread that no longer serves its slot stops at the box: nothing after it is stored.
    sink.goOn = [](void*) { return false; };
    slot.replyValid.store(0);
    DecodeDigitalReceive(slot, kDigital12, carry, "bad\0input;4\0", 13, 200, sink);
    EXPECT_EQ(slot.inputWord12.load(), 7);
    EXPECT_EQ(slot.replyValid.load(), 0);
    EXPECT_EQ(g_boxes.size(), 2u);
}

TEST(DigitalRequests, TextsWithEmptyPassword) {
    char buffer[kDigitalRequestSize];
    auto build = [&](DigitalRequest request, int index) {
        const int length = BuildDigitalRequest(buffer, sizeof buffer, request, index, "");
        EXPECT_EQ(static_cast<size_t>(length), std::strlen(buffer));
        return std::string(buffer, static_cast<size_t>(length));
    };
    EXPECT_EQ(build(DigitalRequest::kReadInputs, 0), "GET /input?PW=&");
    EXPECT_EQ(build(DigitalRequest::kReadOutputs, 0), "GET /output?PW=&");
    EXPECT_EQ(build(DigitalRequest::kSwitchOn, 3), "GET /outputaccess3?PW=&State=ON&");
    EXPECT_EQ(build(DigitalRequest::kSwitchOff, 23), "GET /outputaccess23?PW=&State=OFF&");
    EXPECT_EQ(build(DigitalRequest::kReadCounter, 12), "GET /counter12?PW=&");
    EXPECT_EQ(build(DigitalRequest::kClearCounter, 0), "GET /counterclear0?PW=&");
    EXPECT_EQ(build(DigitalRequest::kClearError, 0), "GET /errorclear?PW=&");
}

TEST(DigitalRequests, PasswordIsInsertedUnchangedUpTo49Characters) {
    char buffer[kDigitalRequestSize];
    int length =
        BuildDigitalRequest(buffer, sizeof buffer, DigitalRequest::kSwitchOn, 7, "a&b c?d%");
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)),
              "GET /outputaccess7?PW=a&b c?d%&State=ON&");

    const std::string longest(49, 'p');
    length =
        BuildDigitalRequest(buffer, sizeof buffer, DigitalRequest::kSwitchOff, 23, longest.c_str());
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)),
              "GET /outputaccess23?PW=" + longest + "&State=OFF&");

    // A password field that lost its NUL never takes more than its 49 characters.
    const std::string overlong(80, 'q');
    length = BuildDigitalRequest(buffer, sizeof buffer, DigitalRequest::kClearCounter, 9,
                                 overlong.c_str());
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)),
              "GET /counterclear9?PW=" + std::string(49, 'q') + "&");

    // A short buffer is never overrun.
    char tiny[8];
    length = BuildDigitalRequest(tiny, sizeof tiny, DigitalRequest::kReadInputs, 0, "");
    EXPECT_EQ(length, 7);
    EXPECT_STREQ(tiny, "GET /in");
}

}  // namespace
}  // namespace vexlor
