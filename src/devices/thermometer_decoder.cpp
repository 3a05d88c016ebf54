// The thermometer answer decoder and the locale-independent number conversion it uses.
//
// The device answers with text whose last segments, separated by ";", are the readings, each
// like "21,5\xB0C" or "----" for a missing sensor. The decoder scans the answer backwards so
// that only the last N segments are ever looked at. The devices write a decimal comma, which
// reads as a decimal point; a point reads as one as well. The degree sign comes as the Latin-1
// byte B0 or, from newer firmware, as the UTF-8 pair C2 B0; both are dropped.
#include <cstdlib>
#include <cstring>

#include "devices/thermometer.h"

namespace vexlor {
namespace {

constexpr unsigned char kDegreeSign = 0xB0;
constexpr unsigned char kUtf8Lead = 0xC2;  // first byte of the degree sign in UTF-8
constexpr char kMissingReading[] = "----";
constexpr double kMissingValue = -999.0;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// White space as the POSIX locale's isspace sees it.
bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Significant digits kept for the conversion. Correct rounding of a double never needs more
// than about 770 of them; a nonzero digit beyond this is kept as one sticky digit.
constexpr int kMaxDigits = 800;
// Exponents beyond this magnitude overflow or underflow whatever the digits are.
constexpr long kExponentLimit = 100000;

void Reverse(char* text, int length) {
    for (int i = 0, j = length - 1; i < j; ++i, --j) {
        const char c = text[i];
        text[i] = text[j];
        text[j] = c;
    }
}

// Whether text[0, length) is one reading: "----" or a number ([+-], digits with at most one
// "." or ","), then the degree sign and "C"; "----" needs neither.
bool IsReading(const char* text, int length) {
    while (length > 0 &&
           (text[length - 1] == ' ' || text[length - 1] == '\r' || text[length - 1] == '\n'))
        --length;
    int end = length;
    if (end >= 1 && text[end - 1] == 'C') {
        --end;
        if (end >= 1 && static_cast<unsigned char>(text[end - 1]) == kDegreeSign) {
            --end;
            if (end >= 1 && static_cast<unsigned char>(text[end - 1]) == kUtf8Lead) --end;
        } else {
            return false;
        }
    }
    if (end == 4 && std::strncmp(text, kMissingReading, 4) == 0) return true;
    if (end == length) return false;  // a number needs its unit
    int i = 0;
    if (i < end && (text[i] == '+' || text[i] == '-')) ++i;
    bool digit = false;
    bool point = false;
    for (; i < end; ++i) {
        if (IsDigit(text[i])) {
            digit = true;
        } else if ((text[i] == '.' || text[i] == ',') && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digit;
}

}  // namespace

bool ThermoAnswerLooksWhole(const char* text, int length, int needed) {
    int end = 0;
    while (end < length && text[end] != '\0') ++end;
    // Segments from the last backwards; the start of the text ends the first one.
    for (int found = 0; found < needed; ++found) {
        int start = end;
        while (start > 0 && text[start - 1] != ';') --start;
        if (!IsReading(text + start, end - start)) return false;
        if (start == 0) return found + 1 == needed;
        end = start - 1;
    }
    return needed > 0;
}

int ThermoReadingCount(int32_t kind) {
    switch (kind) {
        case kKindThermo1:
            return 1;
        case kKindThermo2:
            return 2;
        case kKindThermo8:
            return 8;
        default:
            return 0;
    }
}

double ParseDecimal(const char* text) {
    // The number is rewritten as "[-]<digits>e<exponent>", a form without a radix character,
    // which every C library converts the same way in any locale, and then converted with
    // correct rounding by strtod.
    char normal[1 + kMaxDigits + 1 + 1 + 24 + 1];
    int length = 0;
    const char* p = text;
    while (IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (negative) normal[length++] = '-';
    int digits = 0;       // significant digits stored
    bool sticky = false;  // a nonzero digit was dropped beyond kMaxDigits
    bool anyDigit = false;
    long scale = 0;  // decimal exponent to apply to the stored digits
    auto take = [&](char c, bool fraction) {
        anyDigit = true;
        if (digits == 0 && c == '0') {
            if (fraction) --scale;  // leading zero: only shifts the point
            return;
        }
        if (digits < kMaxDigits) {
            normal[length++] = c;
            ++digits;
            if (fraction) --scale;
        } else {
            if (c != '0') sticky = true;
            if (!fraction) ++scale;
        }
    };
    while (IsDigit(*p)) take(*p++, false);
    if (*p == '.') {
        ++p;
        while (IsDigit(*p)) take(*p++, true);
    }
    if (!anyDigit) return 0.0;  // no number at all (also for a lone sign or ".")
    if (digits == 0) return negative ? -0.0 : 0.0;
    if (sticky) {
        // One more digit below the kept ones stands for everything dropped.
        normal[length++] = '1';
        --scale;
    }
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        bool expNegative = false;
        if (*q == '+' || *q == '-') {
            expNegative = *q == '-';
            ++q;
        }
        if (IsDigit(*q)) {
            long exponent = 0;
            while (IsDigit(*q)) {
                if (exponent < kExponentLimit) exponent = exponent * 10 + (*q - '0');
                ++q;
            }
            scale += expNegative ? -exponent : exponent;
        }
    }
    normal[length++] = 'e';
    // The exponent is at most a few hundred thousand in magnitude: format it by hand.
    long e = scale;
    if (e < 0) {
        normal[length++] = '-';
        e = -e;
    }
    char reversed[24];
    int r = 0;
    do {
        reversed[r++] = static_cast<char>('0' + e % 10);
        e /= 10;
    } while (e != 0 && r < 24);
    while (r > 0) normal[length++] = reversed[--r];
    normal[length] = '\0';
    return std::strtod(normal, nullptr);
}

bool DecodeThermometerReply(DeviceSlot& slot, const char* block, int n,
                            UnrecognisedReply onUnrecognised) {
    const int needed = ThermoReadingCount(Get(slot.kind));
    if (needed == 0 || block == nullptr || n <= 0) return false;

    // The answer's text: the received bytes up to the first zero byte among them.
    int length = 0;
    while (length < n && block[length] != '\0') ++length;

    // Fields are filled from the end of the text backwards, field 0 with the last segment. The
    // position before the first byte counts as one more ";" (the start of the answer), so an
    // answer with k separators has k + 1 segments.
    char fields[kThermoFieldCount][kThermoFieldSize];
    int fieldLength[kThermoFieldCount] = {};
    int count = 0;
    for (int i = length - 1; i >= -1 && count < needed; --i) {
        const char c = i >= 0 ? block[i] : ';';
        if (c == ';') {
            fields[count][fieldLength[count]] = '\0';
            ++count;
            continue;
        }
        if (static_cast<unsigned char>(c) == kDegreeSign) {
            if (i >= 1 && static_cast<unsigned char>(block[i - 1]) == kUtf8Lead) --i;
            continue;
        }
        if (c == 'C') continue;
        // A field holds at most 259 characters; anything beyond that is dropped.
        if (fieldLength[count] < kThermoFieldSize - 1)
            fields[count][fieldLength[count]++] = c == ',' ? '.' : c;
    }

    if (count < needed) {
        // Too few readings. Once a complete answer of this poll was decoded, a stray piece
        // (the rest of a split answer) changes nothing.
        if (slot.replyValid.load(std::memory_order_acquire) == 0 && onUnrecognised != nullptr)
            onUnrecognised(block, length);
        return false;
    }

    for (int f = 0; f < needed; ++f) {
        Reverse(fields[f], fieldLength[f]);
        const double value =
            std::strcmp(fields[f], kMissingReading) == 0 ? kMissingValue : ParseDecimal(fields[f]);
        // Field 0 is the last segment: the readings keep the order in which the device sent
        // them.
        Set(slot.temperatures[needed - 1 - f], value);
    }
    // Publishes the temperatures to the read waiting for this flag.
    slot.replyValid.store(1, std::memory_order_release);
    return true;
}

}  // namespace vexlor
