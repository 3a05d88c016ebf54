// Fuzzes the simulator's stream splitters (tools/sim protocol library): the Web-IO digital
// RequestSplitter and the I/O Controller FrameScanner. The first input byte picks one of four
// modes; the rest drives it through FuzzedDataProvider.
//
// Invariants checked:
// - any bytes, fed in any pieces, with idle flushes at any point: what comes out (requests or
//   chunks, flushes included) is exactly what went in, in order, nothing lost, duplicated or
//   empty; a frame chunk is 7 bytes IAC SB 44 x y IAC SE;
// - requests exactly as the driver builds them (its own request builder), carrying the device's
//   password (any bytes but NUL, "&", "?", "GET /" and spaces included), fed in any pieces,
//   come out one by one as sent, without any idle flush, and parse back to the operation,
//   number, password and state they were built from;
// - well-formed I/O Controller frames fed in any pieces come out as the same frames.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "devices/digital_protocol.h"
#include "fuzz_support.h"
#include "protocol.h"

namespace {

namespace sim = vexlor::sim;

// Feeds `stream` in pieces whose sizes come from the provider, calling drain after each.
template <typename Drain>
void FeedInPieces(FuzzedDataProvider& provider, const std::string& stream, Drain drain) {
    size_t pos = 0;
    while (pos < stream.size()) {
        const size_t piece = provider.ConsumeIntegralInRange<size_t>(
            1, stream.size() - pos < 64 ? stream.size() - pos : 64);
        drain(std::string_view(stream).substr(pos, piece));
        pos += piece;
    }
}

void SplitterConservation(FuzzedDataProvider& provider) {
    const std::string password = provider.ConsumeRandomLengthString(60);
    const std::string stream = provider.ConsumeRandomLengthString(4096);
    sim::RequestSplitter splitter;
    std::string joined;
    std::string request;
    FeedInPieces(provider, stream, [&](std::string_view piece) {
        splitter.feed(piece);
        while (splitter.next(password, request)) {
            FUZZ_CHECK(!request.empty());
            joined += request;
        }
        if (provider.ConsumeBool() && splitter.flush(request)) {  // the connection fell idle
            FUZZ_CHECK(!request.empty());
            joined += request;
        }
    });
    if (splitter.flush(request)) joined += request;
    FUZZ_CHECK(splitter.empty());
    FUZZ_CHECK(joined == stream);
}

struct Built {
    std::string text;
    sim::DigitalOp op;
    long index;
    bool state;
};

void SplitterRoundTrip(FuzzedDataProvider& provider) {
    // A password as the driver can hold it: no NUL, at most 49 characters.
    std::string password = provider.ConsumeRandomLengthString(vexlor::kMaxPasswordLength);
    password = password.substr(0, password.find('\0'));
    std::vector<Built> requests;
    std::string stream;
    const int count = provider.ConsumeIntegralInRange<int>(1, 16);
    for (int i = 0; i < count; ++i) {
        const auto which = provider.ConsumeIntegralInRange<int>(0, 6);
        const int index = provider.ConsumeIntegralInRange<int>(0, 999);
        static const vexlor::DigitalRequest kRequests[] = {
            vexlor::DigitalRequest::kReadInputs,  vexlor::DigitalRequest::kReadOutputs,
            vexlor::DigitalRequest::kSwitchOn,    vexlor::DigitalRequest::kSwitchOff,
            vexlor::DigitalRequest::kReadCounter, vexlor::DigitalRequest::kClearCounter,
            vexlor::DigitalRequest::kClearError};
        static const sim::DigitalOp kOps[] = {
            sim::DigitalOp::ReadInputs,     sim::DigitalOp::ReadOutputs,
            sim::DigitalOp::SwitchOutput,   sim::DigitalOp::SwitchOutput,
            sim::DigitalOp::ReadCounter,    sim::DigitalOp::ClearCounter,
            sim::DigitalOp::ClearErrorLatch};
        char buffer[vexlor::kDigitalRequestSize];
        const int length = vexlor::BuildDigitalRequest(buffer, sizeof buffer, kRequests[which],
                                                       index, password.c_str());
        const bool indexed = which >= 2 && which <= 5;
        requests.push_back({std::string(buffer, static_cast<size_t>(length)), kOps[which],
                            indexed ? index : -1, which == 2});
        stream += requests.back().text;
    }

    sim::RequestSplitter splitter;
    std::vector<std::string> got;
    std::string request;
    FeedInPieces(provider, stream, [&](std::string_view piece) {
        splitter.feed(piece);
        while (splitter.next(password, request)) got.push_back(request);
    });
    FUZZ_CHECK(splitter.empty());
    FUZZ_CHECK(got.size() == requests.size());
    for (size_t i = 0; i < got.size(); ++i) {
        FUZZ_CHECK(got[i] == requests[i].text);
        const sim::DigitalRequest parsed = sim::parseDigitalRequest(got[i]);
        FUZZ_CHECK(parsed.op == requests[i].op);
        FUZZ_CHECK(parsed.index == requests[i].index);
        FUZZ_CHECK(parsed.password == password);
        if (parsed.op == sim::DigitalOp::SwitchOutput)
            FUZZ_CHECK(parsed.state == requests[i].state);
    }
}

bool IsFrame(const std::string& bytes) {
    return bytes.size() == sim::kFrameSize && static_cast<uint8_t>(bytes[0]) == sim::kIac &&
           static_cast<uint8_t>(bytes[1]) == sim::kSb &&
           static_cast<uint8_t>(bytes[2]) == sim::kComPortOption &&
           static_cast<uint8_t>(bytes[5]) == sim::kIac &&
           static_cast<uint8_t>(bytes[6]) == sim::kSe;
}

void ScannerConservation(FuzzedDataProvider& provider) {
    const std::string stream = provider.ConsumeRandomLengthString(4096);
    sim::FrameScanner scanner;
    std::string joined;
    sim::IoChunk chunk;
    auto take = [&](const sim::IoChunk& c) {
        FUZZ_CHECK(!c.bytes.empty());
        if (c.isFrame) {
            FUZZ_CHECK(IsFrame(c.bytes));
            FUZZ_CHECK(c.subCommand == static_cast<uint8_t>(c.bytes[3]));
            FUZZ_CHECK(c.value == static_cast<uint8_t>(c.bytes[4]));
        }
        joined += c.bytes;
    };
    FeedInPieces(provider, stream, [&](std::string_view piece) {
        scanner.feed(piece);
        while (scanner.next(chunk)) take(chunk);
        if (provider.ConsumeBool() && scanner.flush(chunk)) take(chunk);
    });
    if (scanner.flush(chunk)) take(chunk);
    FUZZ_CHECK(scanner.empty());
    FUZZ_CHECK(joined == stream);
}

void ScannerRoundTrip(FuzzedDataProvider& provider) {
    std::vector<std::string> frames;
    std::string stream;
    const int count = provider.ConsumeIntegralInRange<int>(1, 32);
    for (int i = 0; i < count; ++i) {
        const auto sub = provider.ConsumeIntegral<uint8_t>();
        const auto value = provider.ConsumeIntegral<uint8_t>();
        frames.push_back(sim::ioFrame(sub, value));
        FUZZ_CHECK(IsFrame(frames.back()));
        stream += frames.back();
    }
    sim::FrameScanner scanner;
    std::vector<std::string> got;
    sim::IoChunk chunk;
    FeedInPieces(provider, stream, [&](std::string_view piece) {
        scanner.feed(piece);
        while (scanner.next(chunk)) {
            FUZZ_CHECK(chunk.isFrame);
            got.push_back(chunk.bytes);
        }
    });
    FUZZ_CHECK(scanner.empty());
    FUZZ_CHECK(got == frames);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return -1;
    FuzzedDataProvider provider(data + 1, size - 1);
    switch (data[0] & 3) {
        case 0:
            SplitterConservation(provider);
            break;
        case 1:
            SplitterRoundTrip(provider);
            break;
        case 2:
            ScannerConservation(provider);
            break;
        default:
            ScannerRoundTrip(provider);
            break;
    }
    return 0;
}
