#include "protocol.h"

#include <cstdio>

namespace vexlor::sim {

namespace {

constexpr std::string_view kGet = "GET /";

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

constexpr size_t kMaxIndexDigits = 9;

// Reads the decimal number at the front of s; returns the number of digits taken (0 if none or
// too many).
size_t readIndex(std::string_view s, long& value) {
    size_t n = 0;
    long v = 0;
    while (n < s.size() && isDigit(s[n])) {
        if (n == kMaxIndexDigits) return 0;
        v = v * 10 + (s[n] - '0');
        ++n;
    }
    value = v;
    return n;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// --- Matching a buffered text against the request forms with one given password. ----------

enum class Match { No, Partial, Full };

struct Segment {
    bool number;            // one or more decimal digits
    std::string_view text;  // literal bytes otherwise
};

// Compares the front of buf with a sequence of segments. Partial means buf ended before the
// sequence did without contradicting it.
Match matchSegments(std::string_view buf, const Segment* segs, size_t count, size_t& length) {
    size_t pos = 0;
    for (size_t i = 0; i < count; ++i) {
        const Segment& seg = segs[i];
        if (seg.number) {
            size_t digits = 0;
            while (pos + digits < buf.size() && isDigit(buf[pos + digits])) {
                if (++digits > kMaxIndexDigits) return Match::No;
            }
            if (pos + digits == buf.size()) return Match::Partial;
            if (digits == 0) return Match::No;
            pos += digits;
        } else {
            size_t avail = buf.size() - pos;
            size_t cmp = avail < seg.text.size() ? avail : seg.text.size();
            if (buf.compare(pos, cmp, seg.text.substr(0, cmp)) != 0) return Match::No;
            if (cmp < seg.text.size()) return Match::Partial;
            pos += seg.text.size();
        }
    }
    length = pos;
    return Match::Full;
}

Match matchWithPassword(std::string_view buf, std::string_view pw, size_t& length) {
    const Segment kNum{true, {}};
    auto lit = [](std::string_view s) { return Segment{false, s}; };
    const Segment forms[][5] = {
        {lit("GET /input?PW="), lit(pw), lit("&")},
        {lit("GET /output?PW="), lit(pw), lit("&")},
        {lit("GET /outputaccess"), kNum, lit("?PW="), lit(pw), lit("&State=ON&")},
        {lit("GET /outputaccess"), kNum, lit("?PW="), lit(pw), lit("&State=OFF&")},
        {lit("GET /counter"), kNum, lit("?PW="), lit(pw), lit("&")},
        {lit("GET /counterclear"), kNum, lit("?PW="), lit(pw), lit("&")},
        {lit("GET /errorclear?PW="), lit(pw), lit("&")},
    };
    const size_t counts[] = {3, 3, 5, 5, 5, 5, 3};
    bool partial = false;
    for (size_t i = 0; i < sizeof(counts) / sizeof(counts[0]); ++i) {
        size_t len = 0;
        Match m = matchSegments(buf, forms[i], counts[i], len);
        if (m == Match::Full) {
            length = len;
            return Match::Full;
        }
        if (m == Match::Partial) partial = true;
    }
    return partial ? Match::Partial : Match::No;
}

// "<prefix>N?PW=<password><suffix>": fills index and password; false if text has another shape.
bool parseIndexed(std::string_view text, std::string_view prefix, std::string_view suffix,
                  DigitalRequest& req) {
    if (!startsWith(text, prefix)) return false;
    text.remove_prefix(prefix.size());
    size_t digits = readIndex(text, req.index);
    if (digits == 0) return false;
    text.remove_prefix(digits);
    if (!startsWith(text, "?PW=")) return false;
    text.remove_prefix(4);
    if (!endsWith(text, suffix)) return false;
    req.password.assign(text.substr(0, text.size() - suffix.size()));
    return true;
}

// "<prefix><password>&"
bool parsePlain(std::string_view text, std::string_view prefix, DigitalRequest& req) {
    if (!startsWith(text, prefix)) return false;
    text.remove_prefix(prefix.size());
    if (!endsWith(text, "&")) return false;
    req.password.assign(text.substr(0, text.size() - 1));
    return true;
}

}  // namespace

std::string escapeBytes(std::string_view bytes, bool escapeSpace) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if ((c > 0x20 && c < 0x7F) || (c == 0x20 && !escapeSpace)) {
            out += ch;
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

bool unescapeBytes(std::string_view text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        if (text[i] != 'x') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;  // fewer than two hex digits after the "x"
        int hi = hexValue(text[i + 1]);
        int lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

DigitalRequest parseDigitalRequest(std::string_view text) {
    DigitalRequest req;
    if (parseIndexed(text, "GET /outputaccess", "&State=OFF&", req)) {
        req.op = DigitalOp::SwitchOutput;
        req.state = false;
    } else if (parseIndexed(text, "GET /outputaccess", "&State=ON&", req)) {
        req.op = DigitalOp::SwitchOutput;
        req.state = true;
    } else if (parseIndexed(text, "GET /counterclear", "&", req)) {
        req.op = DigitalOp::ClearCounter;
    } else if (parseIndexed(text, "GET /counter", "&", req)) {
        req.op = DigitalOp::ReadCounter;
    } else if (parsePlain(text, "GET /input?PW=", req)) {
        req.op = DigitalOp::ReadInputs;
    } else if (parsePlain(text, "GET /output?PW=", req)) {
        req.op = DigitalOp::ReadOutputs;
    } else if (parsePlain(text, "GET /errorclear?PW=", req)) {
        req.op = DigitalOp::ClearErrorLatch;
    } else {
        return DigitalRequest{};
    }
    return req;
}

bool RequestSplitter::next(std::string_view password, std::string& out) {
    if (buffer_.empty()) return false;
    size_t length = 0;
    switch (matchWithPassword(buffer_, password, length)) {
        case Match::Full:
            out.assign(buffer_, 0, length);
            buffer_.erase(0, length);
            return true;
        case Match::Partial:
            return false;  // may still become a request with the right password
        case Match::No:
            break;
    }
    size_t nextGet = buffer_.find(kGet, 1);
    if (nextGet != std::string::npos) {
        out.assign(buffer_, 0, nextGet);
        buffer_.erase(0, nextGet);
        return true;
    }
    if (buffer_.back() == '&' && parseDigitalRequest(buffer_).op != DigitalOp::Unknown) {
        out.swap(buffer_);
        buffer_.clear();
        return true;
    }
    return false;
}

bool RequestSplitter::flush(std::string& out) {
    if (buffer_.empty()) return false;
    out.swap(buffer_);
    buffer_.clear();
    return true;
}

std::string inputReply(uint32_t word, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "input;%0*X", digits, static_cast<unsigned>(word));
    return buf;
}

std::string outputReply(uint32_t word, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "output;%0*X", digits, static_cast<unsigned>(word));
    return buf;
}

std::string counterReply(long number, long long value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "counter%ld;%lld", number, value);
    return buf;
}

ThermoRequestState classifyThermoRequest(std::string_view buffered) {
    if (startsWith(buffered, kThermoRequest)) return ThermoRequestState::Single;
    if (startsWith(kThermoRequest, buffered)) return ThermoRequestState::Incomplete;
    return ThermoRequestState::Unknown;
}

std::string formatReading(std::optional<double> celsius, bool comma) {
    if (!celsius) return "----";
    char buf[64];
    std::snprintf(buf, sizeof buf,
                  "%.1f\xB0"
                  "C",
                  *celsius);
    // The C locale always writes a point; the devices write a comma in its place.
    if (comma) {
        for (char* p = buf; *p != '\0'; ++p) {
            if (*p == '.') *p = ',';
        }
    }
    return buf;
}

std::string thermoReply(std::string_view title, const std::vector<std::optional<double>>& readings,
                        bool comma) {
    std::string out(title);
    for (size_t i = 0; i < readings.size(); ++i) {
        if (i > 0 || !title.empty()) out += ';';
        out += formatReading(readings[i], comma);
    }
    return out;
}

std::string ioFrame(uint8_t subCommand, uint8_t value) {
    const char bytes[kFrameSize] = {
        static_cast<char>(kIac),       static_cast<char>(kSb),   static_cast<char>(kComPortOption),
        static_cast<char>(subCommand), static_cast<char>(value), static_cast<char>(kIac),
        static_cast<char>(kSe)};
    return std::string(bytes, kFrameSize);
}

bool FrameScanner::next(IoChunk& out) {
    if (buffer_.empty()) return false;
    // Positions 3 and 4 (sub-command and value) may hold any byte.
    static const int kPattern[kFrameSize] = {kIac, kSb, kComPortOption, -1, -1, kIac, kSe};
    size_t avail = buffer_.size() < kFrameSize ? buffer_.size() : kFrameSize;
    bool mismatch = false;
    for (size_t i = 0; i < avail && !mismatch; ++i) {
        if (kPattern[i] >= 0 && static_cast<uint8_t>(buffer_[i]) != kPattern[i]) mismatch = true;
    }
    if (!mismatch) {
        if (buffer_.size() < kFrameSize) return false;  // wait for the rest of the frame
        out.isFrame = true;
        out.subCommand = static_cast<uint8_t>(buffer_[3]);
        out.value = static_cast<uint8_t>(buffer_[4]);
        out.bytes.assign(buffer_, 0, kFrameSize);
        buffer_.erase(0, kFrameSize);
        return true;
    }
    // Junk: everything up to the next byte that could start a frame.
    size_t end = buffer_.find(static_cast<char>(kIac), 1);
    if (end == std::string::npos) end = buffer_.size();
    out.isFrame = false;
    out.subCommand = out.value = 0;
    out.bytes.assign(buffer_, 0, end);
    buffer_.erase(0, end);
    return true;
}

bool FrameScanner::flush(IoChunk& out) {
    if (buffer_.empty()) return false;
    out = IoChunk{};
    out.bytes.swap(buffer_);
    buffer_.clear();
    return true;
}

}  // namespace vexlor::sim
