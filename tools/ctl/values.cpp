#include "values.h"

#include <cstdio>

namespace vexlorctl {

namespace {

// Name of bit i as the device labels it: Web-IO inputs/outputs count from 0, the I/O
// Controller's from 1.
std::string BitName(ReadKind kind, int i) {
    switch (kind) {
        case ReadKind::k12DI:
        case ReadKind::k24DI:
            return "in" + std::to_string(i);
        case ReadKind::kIoc:
            return "in" + std::to_string(i + 1);
        default:
            return "out" + std::to_string(i);
    }
}

std::string Temperature(double value) {
    char text[48];
    if (value == -999.0) return "-999 (no sensor)";
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

}  // namespace

std::string FormatValues(ReadKind kind, const Values& values) {
    const ReadKindInfo& info = KindInfo(kind);
    std::string text;
    char buffer[64];
    if (info.bits > 0) {
        const int digits = kind == ReadKind::kIoc ? 2 : info.bits == 12 ? 3 : 6;
        std::snprintf(buffer, sizeof buffer, "%s 0x%0*X", kind == ReadKind::kIoc ? "state" : "word",
                      digits, values.word);
        text += buffer;
        text += kind == ReadKind::kIoc ? "  in1..8:"
                : info.bits == 12      ? "  bits 0..11:"
                                       : "  bits 0..23:";
        for (int i = 0; i < info.bits; ++i) {
            if (i > 0 && i % 8 == 0 && info.bits > 12) text += " ";
            text += ' ';
            text += std::to_string(values.bits[i]);
        }
    } else if (info.counters > 0) {
        text += "counters:";
        for (int i = 0; i < info.counters; ++i) {
            text += " " + std::to_string(i) + "=" + std::to_string(values.counters[i]);
        }
    } else {
        for (int i = 0; i < info.temperatures; ++i) {
            if (i > 0) text += "  ";
            text += "T" + std::to_string(i + 1) + "=" + Temperature(values.temperatures[i]);
        }
    }
    return text;
}

bool SameValues(ReadKind kind, const Values& a, const Values& b) {
    const ReadKindInfo& info = KindInfo(kind);
    if (info.bits > 0 && a.word != b.word) return false;
    for (int i = 0; i < info.bits; ++i) {
        if (a.bits[i] != b.bits[i]) return false;
    }
    for (int i = 0; i < info.counters; ++i) {
        if (a.counters[i] != b.counters[i]) return false;
    }
    for (int i = 0; i < info.temperatures; ++i) {
        if (a.temperatures[i] != b.temperatures[i]) return false;
    }
    return true;
}

std::string DescribeChange(ReadKind kind, const Values& before, const Values& after) {
    const ReadKindInfo& info = KindInfo(kind);
    std::string text;
    auto add = [&text](const std::string& part) {
        if (!text.empty()) text += ", ";
        text += part;
    };
    for (int i = 0; i < info.bits; ++i) {
        if (before.bits[i] != after.bits[i]) {
            add(BitName(kind, i) + " " + std::to_string(before.bits[i]) + "->" +
                std::to_string(after.bits[i]));
        }
    }
    if (info.bits > 0 && text.empty() && before.word != after.word) add("word");
    for (int i = 0; i < info.counters; ++i) {
        if (before.counters[i] != after.counters[i]) {
            add("counter" + std::to_string(i) + " " + std::to_string(before.counters[i]) + "->" +
                std::to_string(after.counters[i]));
        }
    }
    for (int i = 0; i < info.temperatures; ++i) {
        if (before.temperatures[i] != after.temperatures[i]) {
            add("T" + std::to_string(i + 1) + " " + Temperature(before.temperatures[i]) + "->" +
                Temperature(after.temperatures[i]));
        }
    }
    return text;
}

}  // namespace vexlorctl
