// The thermometer answer decoder and its number conversion, on a slot of their own: no
// platform, no sockets.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "devices/thermometer.h"

namespace vexlor {
namespace {

struct BoxLog {
    int calls = 0;
    std::string text;
};
BoxLog g_box;

void RecordBox(const char* text, int length) {
    ++g_box.calls;
    g_box.text.assign(text, static_cast<size_t>(length));
}

class ThermoDecoder : public ::testing::Test {
  protected:
    void SetUp() override { g_box = BoxLog{}; }

    // A fresh slot of the given kind, as a poll leaves it before the answer: replyValid 0, the
    // temperatures of an earlier answer in place.
    void Prepare(int32_t kind) {
        Set(slot.kind, kind);
        slot.replyValid.store(0);
        for (int i = 0; i < kMaxTemperatures; ++i) Set(slot.temperatures[i], 100.0 + i);
    }

    bool Decode(const std::string& answer) {
        return DecodeThermometerReply(slot, answer.data(), static_cast<int>(answer.size()),
                                      RecordBox);
    }

    double T(int i) const { return Get(slot.temperatures[i]); }
    int Valid() const { return slot.replyValid.load(); }

    DeviceSlot slot;
};

TEST_F(ThermoDecoder, TwoReadingsInDeviceOrder) {
    Prepare(kKindThermo2);
    EXPECT_TRUE(
        Decode("20.5\xB0"
               "C;21.0\xB0"
               "C"));
    EXPECT_DOUBLE_EQ(T(0), 20.5);
    EXPECT_DOUBLE_EQ(T(1), 21.0);
    EXPECT_EQ(Valid(), 1);
    EXPECT_EQ(g_box.calls, 0);
}

TEST_F(ThermoDecoder, OnlyTheLastNSegmentsCount) {
    const std::string answer =
        "Web-IO;Title 7.5;-3.25\xB0"
        "C;12\xB0"
        "C;4.5\xB0"
        "C";
    Prepare(kKindThermo1);
    EXPECT_TRUE(Decode(answer));
    EXPECT_DOUBLE_EQ(T(0), 4.5);
    EXPECT_DOUBLE_EQ(T(1), 101.0);  // untouched beyond N

    Prepare(kKindThermo2);
    EXPECT_TRUE(Decode(answer));
    EXPECT_DOUBLE_EQ(T(0), 12.0);
    EXPECT_DOUBLE_EQ(T(1), 4.5);
    EXPECT_DOUBLE_EQ(T(2), 102.0);
}

TEST_F(ThermoDecoder, EightReadingsNeedSevenSeparators) {
    Prepare(kKindThermo8);
    EXPECT_TRUE(Decode("1;2;3;4;5;6;7;8"));
    for (int i = 0; i < 8; ++i) EXPECT_DOUBLE_EQ(T(i), i + 1.0);
    EXPECT_EQ(Valid(), 1);

    // Six separators: seven segments, one too few. Nothing is stored, the box shows the text.
    Prepare(kKindThermo8);
    EXPECT_FALSE(Decode("1;2;3;4;5;6;7"));
    EXPECT_EQ(Valid(), 0);
    EXPECT_DOUBLE_EQ(T(0), 100.0);
    EXPECT_DOUBLE_EQ(T(7), 107.0);
    EXPECT_EQ(g_box.calls, 1);
    EXPECT_EQ(g_box.text, "1;2;3;4;5;6;7");
}

TEST_F(ThermoDecoder, TwoReadingsWithoutSeparatorRaiseTheBox) {
    Prepare(kKindThermo2);
    EXPECT_FALSE(
        Decode("21.0\xB0"
               "C"));
    EXPECT_EQ(g_box.calls, 1);
    EXPECT_EQ(g_box.text,
              "21.0\xB0"
              "C");
    EXPECT_DOUBLE_EQ(T(0), 100.0);
}

TEST_F(ThermoDecoder, OneReadingIsNeverShort) {
    Prepare(kKindThermo1);
    EXPECT_TRUE(Decode("no separator at all"));
    EXPECT_DOUBLE_EQ(T(0), 0.0);
    EXPECT_EQ(g_box.calls, 0);
}

TEST_F(ThermoDecoder, EmptyAnswer) {
    // The text ends at the first zero byte: an answer starting with zero is empty.
    const std::string empty("\0;1;2", 5);
    Prepare(kKindThermo1);
    EXPECT_TRUE(Decode(empty));
    EXPECT_DOUBLE_EQ(T(0), 0.0);
    EXPECT_EQ(Valid(), 1);

    Prepare(kKindThermo2);
    EXPECT_FALSE(Decode(empty));
    EXPECT_EQ(g_box.calls, 1);
    EXPECT_EQ(g_box.text, "");
}

TEST_F(ThermoDecoder, TextEndsAtFirstZeroByte) {
    Prepare(kKindThermo2);
    EXPECT_TRUE(Decode(std::string("1.5;2.5\0;9;9", 12)));
    EXPECT_DOUBLE_EQ(T(0), 1.5);
    EXPECT_DOUBLE_EQ(T(1), 2.5);
}

TEST_F(ThermoDecoder, TrailingSeparatorGivesEmptyLastReading) {
    Prepare(kKindThermo2);
    EXPECT_TRUE(
        Decode("20.5\xB0"
               "C;"));
    EXPECT_DOUBLE_EQ(T(0), 20.5);
    EXPECT_DOUBLE_EQ(T(1), 0.0);
}

TEST_F(ThermoDecoder, MissingReadingPlaceholder) {
    Prepare(kKindThermo8);
    EXPECT_TRUE(
        Decode("x;----;----\xB0"
               "C;---- ;-----;---;----c;C----C;1"));
    EXPECT_DOUBLE_EQ(T(0), -999.0);  // "----"
    EXPECT_DOUBLE_EQ(T(1), -999.0);  // degree sign and "C" dropped first
    EXPECT_DOUBLE_EQ(T(2), 0.0);     // "---- " is not the placeholder
    EXPECT_DOUBLE_EQ(T(3), 0.0);     // five dashes
    EXPECT_DOUBLE_EQ(T(4), 0.0);     // three dashes
    EXPECT_DOUBLE_EQ(T(5), 0.0);     // "----c": lower-case c stays
    EXPECT_DOUBLE_EQ(T(6), -999.0);  // every "C" goes
    EXPECT_DOUBLE_EQ(T(7), 1.0);
}

TEST_F(ThermoDecoder, OnlyUpperCaseCAndDegreeSignAreDropped) {
    Prepare(kKindThermo8);
    EXPECT_TRUE(
        Decode("2C1;2c1;2\xB0"
               "5;2\xBA"
               "5;-C1;2 1; 3.5;+4e1"));
    EXPECT_DOUBLE_EQ(T(0), 21.0);  // "C" dropped inside the number
    EXPECT_DOUBLE_EQ(T(1), 2.0);   // "c" kept: the conversion stops there
    EXPECT_DOUBLE_EQ(T(2), 25.0);  // degree sign dropped
    EXPECT_DOUBLE_EQ(T(3), 2.0);   // any other byte kept
    EXPECT_DOUBLE_EQ(T(4), -1.0);
    EXPECT_DOUBLE_EQ(T(5), 2.0);  // stops at the blank
    EXPECT_DOUBLE_EQ(T(6), 3.5);  // leading blank skipped
    EXPECT_DOUBLE_EQ(T(7), 40.0);
}

TEST_F(ThermoDecoder, ReadingsAsTheDevicesWriteThem) {
    // Decimal commas, and the degree sign as the Latin-1 byte B0 (octal 260) or the UTF-8 pair
    // C2 B0 (octal 302 260).
    const struct {
        int32_t kind;
        std::string answer;
        std::vector<double> expected;
    } cases[] = {
        {kKindThermo2, "Lab;23,4\260C;-0,5\260C", {23.4, -0.5}},
        {kKindThermo8,
         "Hall;-3,25\260C;-2,25\260C;-1,25\260C;0,25\260C;1,25\260C;2,25\260C;3,25\260C;4,25\260C",
         {-3.25, -2.25, -1.25, 0.25, 1.25, 2.25, 3.25, 4.25}},
        {kKindThermo2, "T;----\302\260C;21,5\302\260C", {-999.0, 21.5}},
        {kKindThermo2, "21.5\302\260;\302\260C----", {21.5, -999.0}},
        // Only the pair goes: a lone C2 stays and ends the number or spoils the placeholder.
        {kKindThermo2, "----\302;2\3025", {0.0, 2.0}},
        {kKindThermo2, "2\302\302\260;-\302C\2601", {2.0, 0.0}},
        // A second comma or point ends the number; a comma never separates readings.
        {kKindThermo2, "1,5,5;2.5,5", {1.5, 2.5}},
        {kKindThermo1, "a;7,0,1", {7.0}},
    };
    for (const auto& c : cases) {
        Prepare(c.kind);
        EXPECT_TRUE(Decode(c.answer)) << c.answer;
        for (size_t i = 0; i < c.expected.size(); ++i)
            EXPECT_DOUBLE_EQ(T(static_cast<int>(i)), c.expected[i]) << c.answer << " #" << i;
        EXPECT_EQ(g_box.calls, 0);
    }
}

TEST_F(ThermoDecoder, SplitAnswerFirstPieceComplete) {
    // "Title;20.5°C;21.0°C" arriving as two receives: each piece is an answer of its own.
    Prepare(kKindThermo2);
    EXPECT_TRUE(
        Decode("Title;20.5\xB0"
               "C;2"));
    EXPECT_DOUBLE_EQ(T(0), 20.5);
    EXPECT_DOUBLE_EQ(T(1), 2.0);
    EXPECT_EQ(Valid(), 1);
    // The rest has no separator: no effect, no box, as a complete piece came first.
    EXPECT_FALSE(
        Decode("1.0\xB0"
               "C"));
    EXPECT_DOUBLE_EQ(T(1), 2.0);
    EXPECT_EQ(Valid(), 1);
    EXPECT_EQ(g_box.calls, 0);
}

TEST_F(ThermoDecoder, SplitAnswerSecondPieceCompleteOverwrites) {
    Prepare(kKindThermo2);
    EXPECT_TRUE(Decode("Title;1;2"));
    EXPECT_TRUE(Decode(";3;4"));
    EXPECT_DOUBLE_EQ(T(0), 3.0);
    EXPECT_DOUBLE_EQ(T(1), 4.0);
    EXPECT_EQ(g_box.calls, 0);
}

TEST_F(ThermoDecoder, SplitAnswerNeitherPieceComplete) {
    Prepare(kKindThermo8);
    EXPECT_FALSE(Decode("1;2;3;4"));
    EXPECT_FALSE(Decode(";5;6;7;8"));
    EXPECT_EQ(g_box.calls, 2);
    EXPECT_EQ(g_box.text, ";5;6;7;8");
    EXPECT_EQ(Valid(), 0);
    EXPECT_DOUBLE_EQ(T(0), 100.0);
}

TEST_F(ThermoDecoder, OverlongFieldIsCut) {
    // A field holds at most 259 characters; the rest of a long segment is dropped, never
    // written beyond the field.
    Prepare(kKindThermo2);
    const std::string digits(600, '7');
    EXPECT_TRUE(Decode("1;" + digits));
    const std::string kept(259, '7');
    // The backwards scan keeps the last 259 characters of the segment.
    EXPECT_EQ(T(1), std::strtod(kept.c_str(), nullptr));
    EXPECT_DOUBLE_EQ(T(0), 1.0);
}

TEST_F(ThermoDecoder, OtherKindsAreIgnored) {
    Prepare(kKindIoController);
    EXPECT_FALSE(Decode("1;2"));
    EXPECT_EQ(Valid(), 0);
    EXPECT_EQ(g_box.calls, 0);
    EXPECT_DOUBLE_EQ(T(0), 100.0);
}

// --- ParseDecimal ------------------------------------------------------------------------------

// In the C locale (the test process does not change it here) strtod is the reference for
// decimal input.
void ExpectSameAsStrtod(const std::string& text) {
    const double expected = std::strtod(text.c_str(), nullptr);
    const double actual = ParseDecimal(text.c_str());
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << text;
        return;
    }
    EXPECT_EQ(std::memcmp(&expected, &actual, sizeof expected), 0)
        << "'" << text << "': " << actual << " vs " << expected;
}

TEST(ParseDecimal, MatchesAtofForDecimalInput) {
    const char* const cases[] = {
        "0",
        "-0",
        "+0",
        "20.5",
        "-999",
        "  \t\n\v\f\r-12.5e2x",
        "+.5",
        ".",
        "-",
        "+",
        "",
        "1e",
        "1e+",
        "1e-",
        "1.e3",
        ".e3",
        "e3",
        "0.000001",
        "00012.3400",
        "12abc",
        "1..2",
        "1.2.3",
        "--1",
        "+-1",
        "1e+2e3",
        "1E-2",
        "9007199254740993",
        "9007199254740993.0001",
        "2.2250738585072011e-308",
        "4.9e-324",
        "2.4703282292062327e-324",
        "2.4703282292062328e-324",
        "1.7976931348623157e308",
        "1.7976931348623159e308",
        "1e400",
        "-1e400",
        "1e-400",
        "0e999999999999",
        "123456789012345678901234567890e-20",
        "0.30000000000000000555111512312578270211815834045410156250001",
        "1e2147483648",
        "1e-2147483649",
        "000000000000000000000000000000000000000001e-5",
        "37.5\xB0",
        "21,5",
        " 3 4",
    };
    for (const char* text : cases) ExpectSameAsStrtod(text);
}

TEST(ParseDecimal, LongDigitStrings) {
    std::string many(1500, '9');
    ExpectSameAsStrtod(many);
    ExpectSameAsStrtod("0." + many);
    ExpectSameAsStrtod("1" + std::string(1000, '0') + "e-1000");
    // Halfway between two doubles, decided only by a digit far beyond the first 800.
    ExpectSameAsStrtod("9007199254740993" + std::string(900, '0') + "1e-900");
    ExpectSameAsStrtod("9007199254740993" + std::string(900, '0') + "e-900");
}

TEST(ParseDecimal, RandomDecimalTextMatchesStrtod) {
    // Only characters that can build decimal numbers: strtod's hexadecimal, infinity and NaN
    // forms cannot arise.
    const char alphabet[] = "0123456789..eE+- \t";
    std::mt19937 random(20240531u);
    std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof alphabet) - 2);
    std::uniform_int_distribution<int> size(0, 40);
    for (int round = 0; round < 50000; ++round) {
        std::string text;
        const int n = size(random);
        for (int i = 0; i < n; ++i) text += alphabet[pick(random)];
        ExpectSameAsStrtod(text);
    }
}

// The conversion follows the POSIX locale whatever locale the host process has set: a German
// LC_NUMERIC (decimal comma) must not turn "21,5" into 21.5 nor "21.5" into 21.
TEST(ParseDecimal, IndependentOfTheProcessLocale) {
    const char* const germanNames[] = {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "de_DE@euro",
                                       "German_Germany.1252"};
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous != nullptr ? previous : "C";
    bool german = false;
    for (const char* name : germanNames) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            german = true;
            break;
        }
    }
    if (!german) GTEST_SKIP() << "no German locale installed";
    // The host's own atof now reads a decimal comma...
    ASSERT_DOUBLE_EQ(std::atof("21,5"), 21.5);
    // ...the driver's conversion does not: a comma reads as a point only inside an answer.
    EXPECT_DOUBLE_EQ(ParseDecimal("21.5"), 21.5);
    EXPECT_DOUBLE_EQ(ParseDecimal("21,5"), 21.0);
    EXPECT_DOUBLE_EQ(ParseDecimal("-0.125e1"), -1.25);

    DeviceSlot slot;
    Set(slot.kind, kKindThermo2);
    const std::string answer =
        "Title;20.5\xB0"
        "C;21,7\xB0"
        "C";
    EXPECT_TRUE(
        DecodeThermometerReply(slot, answer.data(), static_cast<int>(answer.size()), nullptr));
    EXPECT_DOUBLE_EQ(Get(slot.temperatures[0]), 20.5);
    EXPECT_DOUBLE_EQ(Get(slot.temperatures[1]), 21.7);
    std::setlocale(LC_NUMERIC, saved.c_str());
}

}  // namespace
}  // namespace vexlor
