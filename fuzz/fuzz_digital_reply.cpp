// Fuzzes the Web-IO digital reply decoder (DecodeDigitalBlock) of one model: the 12xDigital or,
// built with VEXLOR_FUZZ_DIGITAL24, the 24xDigital. The input is one received block.
//
// Invariants checked on every input:
// - the slot ends up exactly as an independent reading of the block predicts: each text (the
//   block's bytes between NUL bytes, at most 1000 bytes looked at) that starts with "input;",
//   "output;" or "counter", after a header "IP;name;" if any, stores its word, bits or
//   counter; bit entry i always equals bit i of the stored word; counter numbers outside the
//   model's channels store nothing;
// - nothing else changes: no byte of the slot outside those fields, and no guard byte around
//   the slot, differs afterwards (so no field is written beyond its size);
// - every unrecognised text is reported once, in order, with exactly its bytes and the model's
//   caption (a block without any text once, as an empty text); replyValid is 1 exactly when
//   some text was recognised, and the result says the same;
// - the receive framing: the input up to its last NUL, cut into receives of sizes drawn from the
//   input itself and fed to DecodeDigitalReceive on a connection that has shown terminators,
//   decodes exactly like its NUL-terminated texts one by one, in order, whatever the cuts (as
//   long as no text is a whole block long), and leaves nothing held.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "devices/digital_protocol.h"
#include "fuzz_support.h"

namespace {

using fuzzsupport::ReferenceLong32;
using vexlor::DeviceSlot;
using vexlor::DigitalModel;
using vexlor::Get;

#ifdef VEXLOR_FUZZ_DIGITAL24
const DigitalModel& Model() {
    return vexlor::kDigital24;
}
#else
const DigitalModel& Model() {
    return vexlor::kDigital12;
}
#endif

struct Reported {
    std::string caption;
    std::string text;
};
std::vector<Reported> g_reported;

void OnUnrecognised(const char* caption, const char* text, int length) {
    FUZZ_CHECK(length >= 0 && length <= vexlor::kDigitalMaxBlock);
    g_reported.push_back({caption, std::string(text, static_cast<size_t>(length))});
}

// What the slot is expected to hold, in plain values.
struct Expected {
    uint32_t inputWord12, inputWord24, outputWord12, outputWord24;
    uint32_t inputBits[vexlor::kMaxChannels], outputBits[vexlor::kMaxChannels];
    int32_t counters[vexlor::kMaxChannels];
};

Expected Capture(const DeviceSlot& slot) {
    Expected e{};
    e.inputWord12 = Get(slot.inputWord12);
    e.inputWord24 = Get(slot.inputWord24);
    e.outputWord12 = Get(slot.outputWord12);
    e.outputWord24 = Get(slot.outputWord24);
    for (int i = 0; i < vexlor::kMaxChannels; ++i) {
        e.inputBits[i] = Get(slot.inputBits[i]);
        e.outputBits[i] = Get(slot.outputBits[i]);
        e.counters[i] = Get(slot.counters[i]);
    }
    return e;
}

// The value of a reply: the text after its last ";".
const char* AfterLastSemicolon(const std::string& text) {
    const size_t last = text.rfind(';');
    return text.c_str() + (last == std::string::npos ? text.size() : last + 1);
}

void StoreWord(const DigitalModel& model, uint32_t& word12, uint32_t& word24, uint32_t* bits,
               int32_t value) {
    uint32_t word = static_cast<uint32_t>(value);
    if (model.channels == 12) {
        word &= 0xFFFFu;
        word12 = word;
    } else {
        word24 = word;
    }
    for (int i = 0; i < model.channels; ++i) bits[i] = (word >> i) & 1u;
}

// Whether `field` is a dotted IPv4 address: four numbers 0..255 of one to three digits.
bool IsDottedAddress(const std::string& field) {
    const std::vector<std::string> parts = fuzzsupport::SplitAt(field, '.');
    if (parts.size() != 4) return false;
    for (const std::string& part : parts) {
        if (part.empty() || part.size() > 3) return false;
        for (char c : part) {
            if (c < '0' || c > '9') return false;
        }
        if (std::stoi(part) > 255) return false;
    }
    return true;
}

// Applies one text to the expectation; false when it matches no reply form. A header of the
// device's address and name ("IP;name;") in front of a reply is skipped.
bool Apply(const DigitalModel& model, const std::string& whole, Expected& e) {
    std::string text = whole;
    const size_t first = whole.find(';');
    const size_t second = first == std::string::npos ? first : whole.find(';', first + 1);
    if (second != std::string::npos && IsDottedAddress(whole.substr(0, first))) {
        text = whole.substr(second + 1);
    }
    if (text.size() >= 6 && text.compare(0, 6, "input;") == 0) {
        StoreWord(model, e.inputWord12, e.inputWord24, e.inputBits,
                  ReferenceLong32(AfterLastSemicolon(text), 16));
        return true;
    }
    if (text.size() >= 7 && text.compare(0, 7, "output;") == 0) {
        StoreWord(model, e.outputWord12, e.outputWord24, e.outputBits,
                  ReferenceLong32(AfterLastSemicolon(text), 16));
        return true;
    }
    if (text.size() >= 7 && text.compare(0, 7, "counter") == 0) {
        if (text.find(';') == std::string::npos) return true;
        const int32_t number = ReferenceLong32(text.c_str() + 7, 10);
        const int32_t value = ReferenceLong32(AfterLastSemicolon(text), 10);
        if (number >= 0 && number < model.channels) e.counters[number] = value;
        return true;
    }
    return false;
}

fuzzsupport::GuardedSlot g_guarded;

void CheckSameValues(const Expected& got, const Expected& expected) {
    FUZZ_CHECK(got.inputWord12 == expected.inputWord12);
    FUZZ_CHECK(got.inputWord24 == expected.inputWord24);
    FUZZ_CHECK(got.outputWord12 == expected.outputWord12);
    FUZZ_CHECK(got.outputWord24 == expected.outputWord24);
    for (int i = 0; i < vexlor::kMaxChannels; ++i) {
        FUZZ_CHECK(got.inputBits[i] == expected.inputBits[i]);
        FUZZ_CHECK(got.outputBits[i] == expected.outputBits[i]);
        FUZZ_CHECK(got.counters[i] == expected.counters[i]);
    }
}

void CheckFraming(const DigitalModel& model, const char* bytes, size_t size) {
    size_t stream = size;
    while (stream > 0 && bytes[stream - 1] != '\0') --stream;
    if (stream == 0) return;
    const size_t blockSize = static_cast<size_t>(model.blockSize);

    // The reference: each terminated text once, in order.
    g_guarded.Reset();
    DeviceSlot& slot = g_guarded.slot;
    Expected expected = Capture(slot);
    std::vector<std::string> unrecognised;
    size_t start = 0;
    while (start < stream) {
        size_t end = start;
        while (bytes[end] != '\0') ++end;
        const std::string text(bytes + start, end - start);
        if (text.size() >= blockSize) return;  // decoded as it stands, in pieces
        if (!text.empty() && !Apply(model, text, expected)) unrecognised.push_back(text);
        start = end + 1;
    }

    // The same bytes in receives whose sizes follow from the input.
    uint32_t state = 2166136261u;
    for (size_t i = 0; i < size; ++i) state = (state ^ static_cast<uint8_t>(bytes[i])) * 16777619u;
    vexlor::ReceiveCarry carry;
    carry.terminatorsSeen = true;
    vexlor::DigitalReplySink sink;
    sink.onUnrecognised = OnUnrecognised;
    g_reported.clear();
    for (size_t at = 0; at < stream;) {
        state = state * 1103515245u + 12345u;
        size_t n = 1 + (state >> 8) % blockSize;
        if (n > stream - at) n = stream - at;
        vexlor::DecodeDigitalReceive(slot, model, carry, bytes + at, static_cast<int>(n), 0, sink);
        at += n;
    }
    FUZZ_CHECK(carry.length == 0);
    CheckSameValues(Capture(slot), expected);
    std::vector<std::string> reported;
    for (const Reported& r : g_reported) {
        FUZZ_CHECK(r.caption == model.caption);
        if (!r.text.empty()) reported.push_back(r.text);  // receives of terminators alone
    }
    FUZZ_CHECK(reported == unrecognised);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const DigitalModel& model = Model();
    if (size > 4 * vexlor::kDigitalMaxBlock) return -1;  // beyond any block; nothing new to learn
    const char* block = reinterpret_cast<const char*>(data);
    const int length = static_cast<int>(size);

    g_guarded.Reset();
    DeviceSlot& slot = g_guarded.slot;
    fuzzsupport::SlotBytes before(g_guarded);
    before.Allow(slot.replyValid);
    if (model.channels == 12) {
        before.Allow(slot.inputWord12);
        before.Allow(slot.outputWord12);
    } else {
        before.Allow(slot.inputWord24);
        before.Allow(slot.outputWord24);
    }
    for (int i = 0; i < model.channels; ++i) {
        before.Allow(slot.inputBits[i]);
        before.Allow(slot.outputBits[i]);
        before.Allow(slot.counters[i]);
    }

    // The independent reading of the block.
    Expected expected = Capture(slot);
    std::vector<std::string> unrecognised;
    bool anyRecognised = false;
    bool anyText = false;
    const size_t looked = size < static_cast<size_t>(vexlor::kDigitalMaxBlock)
                              ? size
                              : static_cast<size_t>(vexlor::kDigitalMaxBlock);
    size_t start = 0;
    while (start < looked) {
        size_t end = start;
        while (end < looked && block[end] != '\0') ++end;
        if (end > start) {
            anyText = true;
            const std::string text(block + start, end - start);
            if (Apply(model, text, expected)) {
                anyRecognised = true;
            } else {
                unrecognised.push_back(text);
            }
        }
        start = end + 1;
    }
    if (!anyText && size > 0) unrecognised.push_back(std::string());

    g_reported.clear();
    const bool result = vexlor::DecodeDigitalBlock(slot, model, block, length, OnUnrecognised);

    before.CheckUnchanged(g_guarded);
    FUZZ_CHECK(result == anyRecognised);
    FUZZ_CHECK(Get(slot.replyValid) == (anyRecognised ? 1 : 0));
    const Expected got = Capture(slot);
    FUZZ_CHECK(got.inputWord12 == expected.inputWord12);
    FUZZ_CHECK(got.inputWord24 == expected.inputWord24);
    FUZZ_CHECK(got.outputWord12 == expected.outputWord12);
    FUZZ_CHECK(got.outputWord24 == expected.outputWord24);
    const uint32_t inputWord = model.channels == 12 ? got.inputWord12 : got.inputWord24;
    const uint32_t outputWord = model.channels == 12 ? got.outputWord12 : got.outputWord24;
    for (int i = 0; i < vexlor::kMaxChannels; ++i) {
        FUZZ_CHECK(got.inputBits[i] == expected.inputBits[i]);
        FUZZ_CHECK(got.outputBits[i] == expected.outputBits[i]);
        FUZZ_CHECK(got.counters[i] == expected.counters[i]);
        // Bit entries always show the stored word once a reply of that form was decoded (the
        // start value 7 marks entries no reply has written yet).
        if (i < model.channels && got.inputBits[i] != 7) {
            FUZZ_CHECK(got.inputBits[i] == ((inputWord >> i) & 1u));
        }
        if (i < model.channels && got.outputBits[i] != 7) {
            FUZZ_CHECK(got.outputBits[i] == ((outputWord >> i) & 1u));
        }
    }
    FUZZ_CHECK(g_reported.size() == unrecognised.size());
    for (size_t i = 0; i < unrecognised.size(); ++i) {
        FUZZ_CHECK(g_reported[i].caption == model.caption);
        FUZZ_CHECK(g_reported[i].text == unrecognised[i]);
    }

    CheckFraming(model, block, size);
    return 0;
}
