// Unit tests of the simulator's wire formats: splitting, parsing, replies, frames, escaping.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol.h"

using namespace vexlor::sim;
using namespace std::string_literals;

namespace {

// Feeds the stream in the given pieces and collects every request the splitter hands out,
// finishing with a flush (as the idle timer would).
std::vector<std::string> splitPieces(const std::vector<std::string>& pieces,
                                     const std::string& password, bool flushAtEnd = true) {
    RequestSplitter splitter;
    std::vector<std::string> out;
    std::string request;
    for (const auto& piece : pieces) {
        splitter.feed(piece);
        while (splitter.next(password, request)) out.push_back(request);
    }
    if (flushAtEnd && splitter.flush(request)) out.push_back(request);
    return out;
}

std::vector<std::string> bytewise(const std::string& stream) {
    std::vector<std::string> pieces;
    for (char c : stream) pieces.emplace_back(1, c);
    return pieces;
}

}  // namespace

TEST(RequestSplitter, SplitsConcatenatedRequestsOfEveryForm) {
    const std::vector<std::string> requests = {
        "GET /input?PW=pw&",
        "GET /output?PW=pw&",
        "GET /outputaccess3?PW=pw&State=ON&",
        "GET /outputaccess11?PW=pw&State=OFF&",
        "GET /counter12?PW=pw&",
        "GET /counterclear0?PW=pw&",
        "GET /errorclear?PW=pw&",
    };
    std::string stream;
    for (const auto& r : requests) stream += r;
    EXPECT_EQ(splitPieces({stream}, "pw", false), requests);
}

TEST(RequestSplitter, RequestSplitAtAnyByteIsReassembled) {
    // Passwords that are awkward for a splitter: empty, with "&", with "GET /" and spaces.
    for (const std::string& pw : {""s, "a&b"s, "x GET /input?PW=&"s, "&State=ON&"s}) {
        const std::vector<std::string> requests = {
            "GET /input?PW=" + pw + "&",
            "GET /outputaccess7?PW=" + pw + "&State=ON&",
            "GET /counter10?PW=" + pw + "&",
            "GET /errorclear?PW=" + pw + "&",
        };
        std::string stream;
        for (const auto& r : requests) stream += r;
        // Every single cut point, then one byte per piece.
        for (size_t cut = 1; cut < stream.size(); ++cut) {
            ASSERT_EQ(splitPieces({stream.substr(0, cut), stream.substr(cut)}, pw, false), requests)
                << "password '" << pw << "', cut at " << cut;
        }
        EXPECT_EQ(splitPieces(bytewise(stream), pw, false), requests) << "password '" << pw << "'";
    }
}

TEST(RequestSplitter, LastRequestEndingInAmpersandIsCompleteAtOnce) {
    RequestSplitter s;
    std::string r;
    s.feed("GET /input?PW=wrong&");
    ASSERT_TRUE(s.next("right", r));  // a complete form, even with another password
    EXPECT_EQ(r, "GET /input?PW=wrong&");
    EXPECT_TRUE(s.empty());

    s.feed("GET /outputaccess2?PW=x&State=O");
    EXPECT_FALSE(s.next("y", r));  // not yet a complete form
    s.feed("N&");
    ASSERT_TRUE(s.next("y", r));
    EXPECT_EQ(r, "GET /outputaccess2?PW=x&State=ON&");
}

TEST(RequestSplitter, HoldsBackTextThatCanStillBecomeTheDevicePassword) {
    RequestSplitter s;
    std::string r;
    s.feed("GET /input?PW=a&");
    EXPECT_FALSE(s.next("a&b", r));  // might be the start of "a&b&"
    // If nothing follows, the idle flush hands it out as it is (a wrong password).
    ASSERT_TRUE(s.flush(r));
    EXPECT_EQ(r, "GET /input?PW=a&");

    // When the next request begins instead, the first one ends there.
    s.feed("GET /input?PW=a&");
    EXPECT_FALSE(s.next("a&b", r));
    s.feed("GET /output?PW=a&b&");
    ASSERT_TRUE(s.next("a&b", r));
    EXPECT_EQ(r, "GET /input?PW=a&");
    ASSERT_TRUE(s.next("a&b", r));
    EXPECT_EQ(r, "GET /output?PW=a&b&");
}

TEST(RequestSplitter, JunkAndUnfinishedTextComeOutAsTheirOwnRequests) {
    EXPECT_EQ(splitPieces({"hello GET /input?PW=&"}, ""),
              (std::vector<std::string>{"hello ", "GET /input?PW=&"}));
    // Bytes after a complete request stay until the idle flush.
    EXPECT_EQ(splitPieces({"GET /input?PW=&junk"}, "", false),
              (std::vector<std::string>{"GET /input?PW=&"}));
    EXPECT_EQ(splitPieces({"GET /input?PW=&junk"}, ""),
              (std::vector<std::string>{"GET /input?PW=&", "junk"}));
    // A request without its final "&" is only handed out by the flush.
    EXPECT_EQ(splitPieces({"GET /input?PW=x"}, "x", false), std::vector<std::string>{});
    EXPECT_EQ(splitPieces({"GET /input?PW=x"}, "x"), std::vector<std::string>{"GET /input?PW=x"});
}

TEST(DigitalRequestParser, ReadsEveryForm) {
    DigitalRequest r = parseDigitalRequest("GET /input?PW=secret&");
    EXPECT_EQ(r.op, DigitalOp::ReadInputs);
    EXPECT_EQ(r.password, "secret");
    EXPECT_EQ(r.index, -1);

    r = parseDigitalRequest("GET /output?PW=&");
    EXPECT_EQ(r.op, DigitalOp::ReadOutputs);
    EXPECT_EQ(r.password, "");

    r = parseDigitalRequest("GET /outputaccess23?PW=p&State=ON&");
    EXPECT_EQ(r.op, DigitalOp::SwitchOutput);
    EXPECT_EQ(r.index, 23);
    EXPECT_TRUE(r.state);
    EXPECT_EQ(r.password, "p");

    r = parseDigitalRequest("GET /outputaccess0?PW=&State=OFF&");
    EXPECT_EQ(r.op, DigitalOp::SwitchOutput);
    EXPECT_EQ(r.index, 0);
    EXPECT_FALSE(r.state);

    r = parseDigitalRequest("GET /counter12?PW=p&");
    EXPECT_EQ(r.op, DigitalOp::ReadCounter);
    EXPECT_EQ(r.index, 12);

    r = parseDigitalRequest("GET /counterclear5?PW=p&");
    EXPECT_EQ(r.op, DigitalOp::ClearCounter);
    EXPECT_EQ(r.index, 5);

    r = parseDigitalRequest("GET /errorclear?PW=p&");
    EXPECT_EQ(r.op, DigitalOp::ClearErrorLatch);
    EXPECT_EQ(r.password, "p");
}

TEST(DigitalRequestParser, PasswordIsEverythingBetweenPrefixAndSuffix) {
    // "&", "?", spaces, "State=ON&" and high bytes all belong to the password.
    EXPECT_EQ(parseDigitalRequest("GET /input?PW=a&b c?&").password, "a&b c?");
    DigitalRequest r = parseDigitalRequest("GET /outputaccess1?PW=x&State=ON&State=OFF&");
    EXPECT_EQ(r.op, DigitalOp::SwitchOutput);
    EXPECT_FALSE(r.state);
    EXPECT_EQ(r.password, "x&State=ON");
    EXPECT_EQ(parseDigitalRequest("GET /counter3?PW=\xB0\x01&").password, "\xB0\x01");
    EXPECT_EQ(parseDigitalRequest("GET /counter3?PW=&&").password, "&");
}

TEST(DigitalRequestParser, RejectsMalformedRequests) {
    for (const char* text :
         {"", "GET /input?PW=", "GET /input?PW=x", "get /input?PW=&", "GET /Input?PW=&",
          "GET /outputaccess?PW=&State=ON&", "GET /outputaccess1?PW=&State=on&",
          "GET /outputaccess1?PW=&", "GET /counter?PW=&", "GET /counter-1?PW=&",
          "GET /counter1234567890?PW=&", "GET /counterclear?PW=&", "GET /input&",
          "GET /input?PW=&\r\n", "GET /Single"}) {
        EXPECT_EQ(parseDigitalRequest(text).op, DigitalOp::Unknown) << text;
    }
}

TEST(Replies, DigitalReplyTexts) {
    EXPECT_EQ(inputReply(0xFFF), "input;FFF");
    EXPECT_EQ(inputReply(0), "input;0");
    EXPECT_EQ(outputReply(0xABCDEF), "output;ABCDEF");
    EXPECT_EQ(counterReply(5, 123), "counter5;123");
    EXPECT_EQ(counterReply(23, 4294967296LL), "counter23;4294967296");
}

TEST(Replies, ThermometerTexts) {
    EXPECT_EQ(formatReading(21.5),
              "21.5\xB0"
              "C");
    EXPECT_EQ(formatReading(-3.25),
              "-3.2\xB0"
              "C");  // one decimal, round-half-even of printf
    EXPECT_EQ(formatReading(std::nullopt), "----");
    EXPECT_EQ(thermoReply("Office", {21.5, std::nullopt}),
              "Office;21.5\xB0"
              "C;----");
    EXPECT_EQ(thermoReply("", {20.0}),
              "20.0\xB0"
              "C");

    EXPECT_EQ(classifyThermoRequest("GET /Single"), ThermoRequestState::Single);
    EXPECT_EQ(classifyThermoRequest("GET /Single\r\n\r\n"), ThermoRequestState::Single);
    EXPECT_EQ(classifyThermoRequest("GET /Si"), ThermoRequestState::Incomplete);
    EXPECT_EQ(classifyThermoRequest("GET /single"), ThermoRequestState::Unknown);
}

TEST(IoFrames, BuildAndScan) {
    EXPECT_EQ(inputStateFrame(0x05), "\xFF\xFA\x2C\x96\x05\xFF\xF0"s);
    EXPECT_EQ(ioFrame(kSubSetOutputs, 0xFF), "\xFF\xFA\x2C\x33\xFF\xFF\xF0"s);

    FrameScanner scanner;
    IoChunk chunk;
    // A frame in two pieces, with junk before it and a mask of FF inside the next one.
    scanner.feed("ab\xFF\xFA\x2C\x32"s);
    ASSERT_TRUE(scanner.next(chunk));
    EXPECT_FALSE(chunk.isFrame);
    EXPECT_EQ(chunk.bytes, "ab");
    EXPECT_FALSE(scanner.next(chunk));  // frame not complete yet
    scanner.feed("\x00\xFF\xF0\xFF\xFA\x2C\x33\xFF\xFF\xF0"s);
    ASSERT_TRUE(scanner.next(chunk));
    EXPECT_TRUE(chunk.isFrame);
    EXPECT_EQ(chunk.subCommand, kSubReadInputs);
    EXPECT_EQ(chunk.value, 0);
    ASSERT_TRUE(scanner.next(chunk));
    EXPECT_TRUE(chunk.isFrame);
    EXPECT_EQ(chunk.subCommand, kSubSetOutputs);
    EXPECT_EQ(chunk.value, 0xFF);
    EXPECT_TRUE(scanner.empty());

    // A broken frame is junk up to the next IAC, which may start a real frame.
    scanner.feed("\xFF\xFA\x2C\x32\x00\x00\xFF\xFA\x2C\x32\x00\xFF\xF0"s);
    ASSERT_TRUE(scanner.next(chunk));
    EXPECT_FALSE(chunk.isFrame);
    EXPECT_EQ(chunk.bytes, "\xFF\xFA\x2C\x32\x00\x00"s);
    ASSERT_TRUE(scanner.next(chunk));
    EXPECT_TRUE(chunk.isFrame);

    scanner.feed("\xFF\xFA"s);
    EXPECT_FALSE(scanner.next(chunk));
    ASSERT_TRUE(scanner.flush(chunk));
    EXPECT_FALSE(chunk.isFrame);
    EXPECT_EQ(chunk.bytes, "\xFF\xFA"s);
}

TEST(Escaping, RoundTripsEveryByte) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (bool escapeSpace : {false, true}) {
        std::string escaped = escapeBytes(all, escapeSpace);
        EXPECT_EQ(escaped.find(escapeSpace ? ' ' : '\n'), std::string::npos);
        std::string back;
        ASSERT_TRUE(unescapeBytes(escaped, back));
        EXPECT_EQ(back, all);
    }
    EXPECT_EQ(escapeBytes("GET /a\\b\xB0\x00"s, true), "GET\\x20/a\\\\b\\xB0\\x00");
    std::string out;
    EXPECT_TRUE(unescapeBytes("a\\,b\\x41", out));
    EXPECT_EQ(out, "a,bA");
    EXPECT_FALSE(unescapeBytes("abc\\", out));
    EXPECT_FALSE(unescapeBytes("\\x4", out));
    EXPECT_FALSE(unescapeBytes("\\xZZ", out));
}
