// Values returned by one read call, and how vexlorctl prints them.
#pragma once

#include <cstdint>
#include <string>

#include "command.h"

namespace vexlorctl {

struct Values {
    uint32_t word = 0;       // input/output word, I/O Controller input state
    uint16_t bits[24] = {};  // bit entries in argument order
    int32_t counters[24] = {};
    double temperatures[8] = {};
};

// One line without the call itself, e.g. "word 0x005  bits 0..11: 1 0 1 0 0 0 0 0 0 0 0 0".
std::string FormatValues(ReadKind kind, const Values& values);

// Whether the values that the kind returns are equal.
bool SameValues(ReadKind kind, const Values& a, const Values& b);

// What changed from before to after, e.g. "in3 0->1, in7 1->0" or "counter2 4->5".
std::string DescribeChange(ReadKind kind, const Values& before, const Values& after);

}  // namespace vexlorctl
