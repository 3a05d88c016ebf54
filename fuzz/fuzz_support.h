// Helpers shared by the libFuzzer harnesses: an invariant check that aborts (so that libFuzzer
// records the input as a crash), and a DeviceSlot framed by guard bytes whose raw bytes can be
// compared before and after a decoder ran, to prove that the decoder wrote nothing but the
// fields it owns.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/device_table.h"

#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "invariant violated: %s (%s:%d)\n", #condition, __FILE__, \
                         __LINE__);                                                        \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

namespace fuzzsupport {

constexpr unsigned char kGuardByte = 0xA5;
constexpr size_t kGuardSize = 256;

// A slot with guard bytes on both sides. Every field starts with a value that no decoder
// writes (bit entries of 7, words and counters with mixed bit patterns, odd temperatures), so
// that a stray or missing store shows.
struct GuardedSlot {
    unsigned char before[kGuardSize];
    vexlor::DeviceSlot slot;
    unsigned char after[kGuardSize];

    void Reset() {
        std::memset(static_cast<void*>(this), kGuardByte, sizeof *this);
        new (&slot) vexlor::DeviceSlot();
        using vexlor::Set;
        Set(slot.inUse, 1);
        Set(slot.socket, 0x1234u);
        Set(slot.threadId, 77u);
        Set(slot.runFlag, 1);
        Set(slot.threadAlive, 1);
        Set(slot.replyValid, 0);
        Set(slot.now, 1.5);
        Set(slot.lastThermoPoll, 2.5);
        Set(slot.lastInputPoll, 3.5);
        Set(slot.lastOutputPoll, 4.5);
        Set(slot.lastCounterPoll, 5.5);
        Set(slot.inputWord12, 0xA5A5u);
        Set(slot.inputWord24, 0x5A5A5A5Au);
        Set(slot.outputWord12, 0x3C3Cu);
        Set(slot.outputWord24, 0xC3C3C3C3u);
        for (int i = 0; i < vexlor::kMaxChannels; ++i) {
            Set(slot.inputBits[i], 7);
            Set(slot.outputBits[i], 7);
            Set(slot.outputShadow[i], 5);
            Set(slot.counters[i], 0x5A5A0000 + i);
            Set(slot.counterClearShadow[i], 9);
        }
        Set(slot.lastErrorClear, 11);
        for (int i = 0; i < vexlor::kMaxTemperatures; ++i) Set(slot.temperatures[i], 1000.25 + i);
        Set(slot.controllerInputs, 0xBEEFu);
        Set(slot.threadGeneration, 3u);
    }
};

// The raw bytes of a GuardedSlot, and the byte ranges a decoder may change.
class SlotBytes {
  public:
    explicit SlotBytes(const GuardedSlot& guarded)
        : base_(reinterpret_cast<const unsigned char*>(&guarded)),
          bytes_(base_, base_ + sizeof guarded),
          writable_(sizeof guarded, false) {}

    // Marks a field as one the decoder may write.
    template <typename T>
    void Allow(const T& field) {
        const size_t offset =
            static_cast<size_t>(reinterpret_cast<const unsigned char*>(&field) - base_);
        for (size_t i = 0; i < sizeof field; ++i) writable_[offset + i] = true;
    }

    // Every byte outside the allowed fields, the guards included, is as it was.
    void CheckUnchanged(const GuardedSlot& guarded) const {
        const auto* now = reinterpret_cast<const unsigned char*>(&guarded);
        for (size_t i = 0; i < bytes_.size(); ++i) {
            if (!writable_[i] && now[i] != bytes_[i]) {
                std::fprintf(stderr, "byte %zu of the guarded slot changed (slot starts at %zu)\n",
                             i, static_cast<size_t>(kGuardSize));
                std::abort();
            }
        }
    }

  private:
    const unsigned char* base_;
    std::vector<unsigned char> bytes_;
    std::vector<bool> writable_;
};

inline bool IsCSpace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads an integer the way strtol reads on a platform whose long has 32 bits: leading white
// space, an optional sign, for base 16 an optional "0x"/"0X" (only when a hexadecimal digit
// follows), digits up to the first other character; no digits read as 0; beyond the signed
// 32-bit range the nearest limit. Written independently of the driver's own conversion.
inline int32_t ReferenceLong32(const char* text, int base) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (IsCSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    auto digit = [base](unsigned char c) -> int {
        int d = -1;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'z')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'Z')
            d = c - 'A' + 10;
        return d < base ? d : -1;
    };
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit(p[2]) >= 0) p += 2;
    int64_t magnitude = 0;
    const int64_t cap = int64_t{1} << 40;
    for (; digit(*p) >= 0; ++p) {
        magnitude = magnitude * base + digit(*p);
        if (magnitude > cap) magnitude = cap;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// `text` cut at every `separator`: one part more than there are separators.
inline std::vector<std::string> SplitAt(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator) {
            parts.emplace_back();
        } else {
            parts.back().push_back(c);
        }
    }
    return parts;
}

}  // namespace fuzzsupport
