// Fuzzes the thermometer answer decoder (DecodeThermometerReply) for one number of readings N:
// built with VEXLOR_FUZZ_THERMO_N = 1, 2 or 8 (kinds 3, 4, 5). The first input byte sets the
// slot's replyValid on entry (bit 0: an earlier piece of this poll was complete or not); the
// rest is one received block. The same bytes also go through ParseDecimal on their own.
//
// Invariants checked on every input:
// - a complete answer (at least N segments before the first NUL byte) stores exactly what an
//   independent reading predicts into temperatures 0..N-1 (the last N segments in the order
//   sent, byte 0xB0, the pair C2 B0 and "C" dropped, a comma read as a point, "----" as -999,
//   the rest converted as a decimal number in the POSIX locale) and sets replyValid to 1;
// - an incomplete answer changes no temperature and not replyValid: temperatures come only from
//   complete answers; it is reported (with exactly the text up to the first NUL byte) only while
//   replyValid is 0;
// - nothing else changes: no byte of the slot outside those fields, and no guard byte around it;
// - ParseDecimal of any text equals strtod of the longest prefix that is a plain decimal number
//   (sign, digits, point, exponent), bit for bit, and never depends on the process's locale.
#include <locale.h>
#include <stdlib.h>

#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "devices/thermometer.h"
#include "fuzz_support.h"

#ifndef VEXLOR_FUZZ_THERMO_N
#error "build with VEXLOR_FUZZ_THERMO_N = 1, 2 or 8"
#endif

namespace {

using fuzzsupport::IsCSpace;
using vexlor::DeviceSlot;
using vexlor::Get;
using vexlor::Set;

constexpr int kReadings = VEXLOR_FUZZ_THERMO_N;
constexpr int32_t kKind = kReadings == 1   ? vexlor::kKindThermo1
                          : kReadings == 2 ? vexlor::kKindThermo2
                                           : vexlor::kKindThermo8;
static_assert(kReadings == 1 || kReadings == 2 || kReadings == 8, "N must be 1, 2 or 8");

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The longest prefix of text (after white space) that is a decimal number, converted by strtod
// in the POSIX locale; 0.0 when there is none.
double ReferenceDecimal(const char* text) {
    const char* p = text;
    while (IsCSpace(static_cast<unsigned char>(*p))) ++p;
    const char* start = p;
    if (*p == '+' || *p == '-') ++p;
    bool digits = false;
    while (IsDigit(*p)) {
        ++p;
        digits = true;
    }
    if (*p == '.') {
        ++p;
        while (IsDigit(*p)) {
            ++p;
            digits = true;
        }
    }
    if (!digits) return 0.0;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        if (*q == '+' || *q == '-') ++q;
        if (IsDigit(*q)) {
            while (IsDigit(*q)) ++q;
            p = q;
        }
    }
    static const locale_t posix = newlocale(LC_ALL_MASK, "C", nullptr);
    const std::string number(start, static_cast<size_t>(p - start));
    return strtod_l(number.c_str(), nullptr, posix);
}

bool SameDouble(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::vector<std::string> g_reported;

void OnUnrecognised(const char* text, int length) {
    FUZZ_CHECK(length >= 0 && length <= 4096);
    g_reported.emplace_back(text, static_cast<size_t>(length));
}

fuzzsupport::GuardedSlot g_guarded;

void CheckParseDecimal(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);  // ends at its first NUL
    // A number whose exponent digits run past what the conversion keeps is so far out of range
    // that both sides give infinity or zero; such texts would need more than 90000 digits of
    // input to differ, far beyond the inputs used here.
    FUZZ_CHECK(SameDouble(vexlor::ParseDecimal(text.c_str()), ReferenceDecimal(text.c_str())));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The decoder must not follow the host's locale: run it under one with a decimal comma when
    // the system has one (the reference conversion names the POSIX locale explicitly).
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) std::setlocale(LC_NUMERIC, "C");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 8192) return -1;
    const int32_t validOnEntry = data[0] & 1;
    const char* block = reinterpret_cast<const char*>(data + 1);
    const int n = static_cast<int>(size - 1);

    g_guarded.Reset();
    DeviceSlot& slot = g_guarded.slot;
    Set(slot.kind, kKind);
    Set(slot.replyValid, validOnEntry);
    fuzzsupport::SlotBytes before(g_guarded);
    before.Allow(slot.replyValid);
    for (int i = 0; i < kReadings; ++i) before.Allow(slot.temperatures[i]);
    double old[vexlor::kMaxTemperatures];
    for (int i = 0; i < vexlor::kMaxTemperatures; ++i) old[i] = Get(slot.temperatures[i]);

    // The independent reading: the text up to the first NUL byte, cut into its ";" segments.
    size_t length = 0;
    while (length < static_cast<size_t>(n) && block[length] != '\0') ++length;
    const std::string text(block, length);
    const std::vector<std::string> segments = fuzzsupport::SplitAt(text, ';');
    const bool complete = segments.size() >= static_cast<size_t>(kReadings);
    double expected[kReadings] = {};
    if (complete) {
        for (int i = 0; i < kReadings; ++i) {
            std::string field;
            const std::string& segment = segments[segments.size() - kReadings + i];
            for (size_t k = 0; k < segment.size(); ++k) {
                const unsigned char c = static_cast<unsigned char>(segment[k]);
                // The degree sign as B0 or as the UTF-8 pair C2 B0.
                if (c == 0xC2 && k + 1 < segment.size() &&
                    static_cast<unsigned char>(segment[k + 1]) == 0xB0) {
                    ++k;
                    continue;
                }
                if (c == 0xB0 || c == 'C') continue;
                field.push_back(c == ',' ? '.' : static_cast<char>(c));
            }
            // A field holds at most 259 characters: the ones nearest the end of the answer.
            if (field.size() > 259) field.erase(0, field.size() - 259);
            expected[i] = field == "----" ? -999.0 : ReferenceDecimal(field.c_str());
        }
    }

    g_reported.clear();
    const bool result = vexlor::DecodeThermometerReply(slot, block, n, OnUnrecognised);

    before.CheckUnchanged(g_guarded);
    FUZZ_CHECK(result == (complete && n > 0));
    if (result) {
        FUZZ_CHECK(Get(slot.replyValid) == 1);
        for (int i = 0; i < kReadings; ++i) {
            FUZZ_CHECK(SameDouble(Get(slot.temperatures[i]), expected[i]));
        }
        FUZZ_CHECK(g_reported.empty());
    } else {
        FUZZ_CHECK(Get(slot.replyValid) == validOnEntry);
        for (int i = 0; i < vexlor::kMaxTemperatures; ++i) {
            FUZZ_CHECK(SameDouble(Get(slot.temperatures[i]), old[i]));
        }
        if (validOnEntry == 0 && n > 0) {
            FUZZ_CHECK(g_reported.size() == 1);
            FUZZ_CHECK(g_reported[0] == text);
        } else {
            FUZZ_CHECK(g_reported.empty());
        }
    }

    CheckParseDecimal(data + 1, size - 1);
    return 0;
}
