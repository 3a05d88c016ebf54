// Request texts and reply decoding of the Web-IO 12xDigital and 24xDigital.
#include "devices/digital_protocol.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/health.h"

namespace vexlor {

const DigitalModel kDigital12{kKindDigital12, 12, 256, "Web-IO 12xDigital"};
const DigitalModel kDigital24{kKindDigital24, 24, 1000, "Web-IO 24xDigital"};

namespace {

// Appends to a fixed buffer, never beyond size - 1 characters, keeping it NUL-terminated.
class RequestText {
  public:
    RequestText(char* buffer, int size) : buffer_(buffer), size_(size) {
        if (size_ > 0) buffer_[0] = '\0';
    }
    RequestText& Text(const char* text, int limit = 1 << 30) {
        for (int i = 0; i < limit && text[i] != '\0'; ++i) Put(text[i]);
        return *this;
    }
    RequestText& Number(int value) {
        char digits[12];
        int count = 0;
        unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : value;
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) Put('-');
        while (count > 0) Put(digits[--count]);
        return *this;
    }
    int Length() const { return length_; }

  private:
    void Put(char c) {
        if (length_ + 1 >= size_) return;
        buffer_[length_++] = c;
        buffer_[length_] = '\0';
    }
    char* buffer_;
    int size_;
    int length_ = 0;
};

// Reads a number the way strtol does on a 32-bit long (leading white space, optional sign, for
// base 16 an optional "0x", digits up to the first other character; no digits reads as 0; a
// value beyond the signed 32-bit range reads as the nearest limit), on every platform.
int32_t ReadLong32(const char* text, int base) {
    const long long value = std::strtoll(text, nullptr, base);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// Stores a decoded input or output word and its bit entries.
void StoreWord(const DigitalModel& model, Shared<uint16_t>& word12, Shared<uint32_t>& word24,
               Shared<uint16_t>* bits, int32_t value) {
    uint32_t word = static_cast<uint32_t>(value);
    if (model.kind == kKindDigital12) {
        word &= 0xFFFFu;  // the 12xDigital keeps a 16-bit word
        Set(word12, word);
    } else {
        Set(word24, word);
    }
    for (int i = 0; i < model.channels; ++i) Set(bits[i], (word >> i) & 1u);
}

// The value of a reply: the characters after the last ";" up to the end of the text.
const char* LastValue(const char* text) {
    const char* last = std::strrchr(text, ';');
    return last != nullptr ? last + 1 : text + std::strlen(text);
}

// A device can be set to put its IPv4 address and its name before every reply:
// "192.168.0.5;Web-IO 12x Digital;input;0A5F". Returns where the reply proper starts: after
// such a header when the text starts with one, else the text itself. The address is four
// decimal numbers of one to three digits, each at most 255, joined by "."; the name is anything
// without ";".
const char* AfterReplyHeader(const char* text) {
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.') return text;
        int value = 0;
        int digits = 0;
        while (digits < 3 && *p >= '0' && *p <= '9') {
            value = value * 10 + (*p++ - '0');
            ++digits;
        }
        if (digits == 0 || value > 255) return text;
    }
    if (*p != ';') return text;
    const char* nameEnd = std::strchr(p + 1, ';');
    return nameEnd != nullptr ? nameEnd + 1 : text;
}

}  // namespace

int BuildDigitalRequest(char* buffer, int size, DigitalRequest request, int index,
                        const char* password) {
    RequestText out(buffer, size);
    switch (request) {
        case DigitalRequest::kReadInputs:
            out.Text("GET /input");
            break;
        case DigitalRequest::kReadOutputs:
            out.Text("GET /output");
            break;
        case DigitalRequest::kSwitchOn:
        case DigitalRequest::kSwitchOff:
            out.Text("GET /outputaccess").Number(index);
            break;
        case DigitalRequest::kReadCounter:
            out.Text("GET /counter").Number(index);
            break;
        case DigitalRequest::kClearCounter:
            out.Text("GET /counterclear").Number(index);
            break;
        case DigitalRequest::kClearError:
            out.Text("GET /errorclear");
            break;
    }
    out.Text("?PW=").Text(password, kMaxPasswordLength).Text("&");
    if (request == DigitalRequest::kSwitchOn) out.Text("State=ON&");
    if (request == DigitalRequest::kSwitchOff) out.Text("State=OFF&");
    return out.Length();
}

bool DecodeDigitalText(DeviceSlot& slot, const DigitalModel& model, const char* text) {
    text = AfterReplyHeader(text);
    if (std::strncmp(text, "input;", 6) == 0) {
        StoreWord(model, slot.inputWord12, slot.inputWord24, slot.inputBits,
                  ReadLong32(LastValue(text), 16));
        return true;
    }
    if (std::strncmp(text, "output;", 7) == 0) {
        StoreWord(model, slot.outputWord12, slot.outputWord24, slot.outputBits,
                  ReadLong32(LastValue(text), 16));
        return true;
    }
    if (std::strncmp(text, "counter", 7) == 0) {
        if (std::strchr(text, ';') == nullptr) return true;
        // The number ends at the first ";" (a decimal reading stops there anyway); the value is
        // what follows the last one.
        const int32_t number = ReadLong32(text + 7, 10);
        const int32_t value = ReadLong32(LastValue(text), 10);
        if (number >= 0 && number < model.channels) Set(slot.counters[number], value);
        return true;
    }
    return false;
}

namespace {

// Reports an unrecognised text; returns whether decoding goes on.
bool Report(const DigitalReplySink& sink, const DigitalModel& model, const char* text, int length) {
    if (sink.report != nullptr) return sink.report(sink.context, model.caption, text, length);
    if (sink.onUnrecognised == nullptr) return true;
    sink.onUnrecognised(model.caption, text, length);
    return sink.goOn == nullptr || sink.goOn(sink.context);
}

// Decodes the NUL-separated texts of buffer[0, length); buffer[length] must be readable and is
// set to NUL, so that the last text ends there. With reportEmpty, a run without any text is
// reported once as an empty reply.
bool DecodeTexts(DeviceSlot& slot, const DigitalModel& model, char* buffer, int length,
                 const DigitalReplySink& sink, bool reportEmpty = true) {
    buffer[length] = '\0';
    bool recognised = false;
    bool anyText = false;
    int start = 0;
    while (start < length) {
        int end = start;
        while (end < length && buffer[end] != '\0') ++end;
        if (end > start) {
            anyText = true;
            if (DecodeDigitalText(slot, model, buffer + start)) {
                if (!recognised) {
                    slot.replyValid.store(1, std::memory_order_release);
                    NoteReplyDecoded(slot);
                }
                recognised = true;
            } else if (!Report(sink, model, buffer + start, end - start)) {
                return recognised;
            }
        }
        start = end + 1;
    }
    // A block that carries no text at all is an empty reply, which no form recognises.
    if (!anyText && reportEmpty) Report(sink, model, buffer, 0);
    return recognised;
}

// The largest run of bytes the framing decodes at once: a held remainder and a whole block.
constexpr int kDigitalMaxJoined = 2 * kDigitalMaxBlock;

// Keeps the unterminated end of a receive for the next one, long enough for a retransmission;
// only on a slot whose device has been shown to send no terminators (and while this connection
// has sent none) are its bytes decoded as they stand after a short quiet time.
void Hold(ReceiveCarry& carry, const char* bytes, int length, uint32_t now) {
    std::memmove(carry.bytes, bytes, static_cast<size_t>(length));
    carry.length = length;
    carry.flushWhenQuiet = true;
    carry.quietMs = carry.withoutTerminators && !carry.terminatorsSeen ? kCarryQuietMs
                                                                       : kCarryQuietTerminatedMs;
    carry.heldSince = now;
}

}  // namespace

bool DecodeDigitalBlock(DeviceSlot& slot, const DigitalModel& model, const char* block, int length,
                        const DigitalReplySink& sink) {
    if (length <= 0) return false;
    if (length > kDigitalMaxBlock) length = kDigitalMaxBlock;
    // The block is not NUL-terminated: decode from a copy one byte larger.
    char copy[kDigitalMaxBlock + 1];
    std::memcpy(copy, block, static_cast<size_t>(length));
    return DecodeTexts(slot, model, copy, length, sink);
}

bool DecodeDigitalBlock(DeviceSlot& slot, const DigitalModel& model, const char* block, int length,
                        DigitalReplyErrorFn onUnrecognised) {
    DigitalReplySink sink;
    sink.onUnrecognised = onUnrecognised;
    return DecodeDigitalBlock(slot, model, block, length, sink);
}

void DecodeDigitalReceive(DeviceSlot& slot, const DigitalModel& model, ReceiveCarry& carry,
                          const char* received, int n, uint32_t now, const DigitalReplySink& sink) {
    if (n <= 0) return;
    const int blockSize = model.blockSize < kDigitalMaxBlock ? model.blockSize : kDigitalMaxBlock;
    if (n > blockSize) n = blockSize;
    int held = carry.length;
    if (held < 0 || held > blockSize) held = 0;
    // A NUL right after bytes that were decoded as they stood ends that text: it is no reply.
    if (held == 0 && carry.flushedOpen && received[0] == '\0') {
        carry.terminatorsSeen = true;
        ++received;
        --n;
    }
    carry.flushedOpen = false;
    if (n <= 0) return;

    char joined[kDigitalMaxJoined + 1];
    std::memcpy(joined, carry.bytes, static_cast<size_t>(held));
    std::memcpy(joined + held, received, static_cast<size_t>(n));
    const int total = held + n;
    carry.length = 0;
    carry.flushWhenQuiet = false;

    // Only the new bytes can hold a terminator: held bytes never do.
    int end = total;
    while (end > held && joined[end - 1] != '\0') --end;
    if (end == held) {
        // No terminator: the start of a reply whose rest is still on its way, held until it
        // comes. A whole block without one is no reply's start: decoded as it stands.
        if (total >= blockSize) {
            DecodeTexts(slot, model, joined, total, sink);
            return;
        }
        Hold(carry, joined, total, now);
        return;
    }

    carry.terminatorsSeen = true;
    const int rest = total - end;  // part of the new bytes, so within the block size
    if (rest > 0) Hold(carry, joined + end, rest, now);
    // Terminators in front of a held text are no empty reply: the receive did carry text.
    DecodeTexts(slot, model, joined, end, sink, rest == 0);
}

bool FlushDigitalCarry(DeviceSlot& slot, const DigitalModel& model, ReceiveCarry& carry,
                       const DigitalReplySink& sink) {
    int held = carry.length;
    carry.length = 0;
    carry.flushWhenQuiet = false;
    if (held <= 0) return false;
    if (held > kDigitalMaxBlock) held = kDigitalMaxBlock;
    carry.flushedOpen = true;
    char copy[kDigitalMaxBlock + 1];
    std::memcpy(copy, carry.bytes, static_cast<size_t>(held));
    return DecodeTexts(slot, model, copy, held, sink);
}

}  // namespace vexlor
