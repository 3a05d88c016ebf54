// Wire formats of the simulated devices: request splitting and parsing, reply texts and frames.
//
// Everything here is pure (no sockets, no clock) so that it can be unit-tested on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexlor::sim {

// ---------------------------------------------------------------------------------------------
// Byte escaping used by the request log, the verbose trace and the control commands.
//
// Printable ASCII (0x21..0x7E) stays as it is, a backslash becomes "\\" and every other byte
// "\xHH" (upper-case hex). A space stays a space unless escapeSpace is set, in which case it is
// written "\x20" so that escaped texts can be separated by spaces.
std::string escapeBytes(std::string_view bytes, bool escapeSpace);

// Reverses escapeBytes: "\xHH" is one byte, a backslash followed by any other character is that
// character. Returns false (out is then left partly written) on a dangling backslash or bad hex.
bool unescapeBytes(std::string_view text, std::string& out);

// ---------------------------------------------------------------------------------------------
// Web-IO digital requests.

enum class DigitalOp {
    Unknown,
    ReadInputs,      // "GET /input?PW=" P "&"
    ReadOutputs,     // "GET /output?PW=" P "&"
    SwitchOutput,    // "GET /outputaccess" N "?PW=" P "&State=ON&" / "&State=OFF&"
    ReadCounter,     // "GET /counter" N "?PW=" P "&"
    ClearCounter,    // "GET /counterclear" N "?PW=" P "&"
    ClearErrorLatch  // "GET /errorclear?PW=" P "&"
};

struct DigitalRequest {
    DigitalOp op = DigitalOp::Unknown;
    long index = -1;       // output or counter number, -1 when the form has none
    std::string password;  // exactly the bytes between the known prefix and suffix
    bool state = false;    // SwitchOutput: true for "State=ON&"
};

// Parses one complete request text. The forms are fixed, so the password is whatever lies
// between the form's prefix and its suffix; it may itself contain "&", "?", spaces or any byte.
// N must be one or more decimal digits (at most 9).
DigitalRequest parseDigitalRequest(std::string_view text);

// Splits the byte stream of a digital device's connection into requests. The driver's requests
// have no line end, so a request ends where the next "GET /" begins, or at the end of the
// buffered text when that text ends in "&" and forms a complete request.
//
// The device's password resolves the ambiguous cases: a request that carries exactly the
// device's password is recognised with its full length even when that password contains "&" or
// "GET /", and a buffered text that could still grow into such a request is held back. Text that
// never completes (a fragment, junk, a request without its final "&") is handed out by flush(),
// which the caller invokes when the connection has been idle for a while.
class RequestSplitter {
  public:
    void feed(std::string_view bytes) { buffer_.append(bytes.data(), bytes.size()); }

    // Takes the next complete request off the front of the buffer.
    bool next(std::string_view password, std::string& out);

    // Takes everything still buffered as one request (nothing when the buffer is empty).
    bool flush(std::string& out);

    bool empty() const { return buffer_.empty(); }
    const std::string& buffered() const { return buffer_; }

  private:
    std::string buffer_;
};

// Reply texts (without the terminating NUL the device appends by default). The words are
// upper-case hexadecimal with at least `digits` digits ("input;0A5F" with 4).
std::string inputReply(uint32_t word, int digits = 0);   // "input;" + word
std::string outputReply(uint32_t word, int digits = 0);  // "output;" + word
std::string counterReply(long number, long long value);  // "counter" N ";" value
constexpr std::string_view kWrongPasswordReply = "Error: wrong password";
constexpr std::string_view kUnknownRequestReply = "Error: unknown request";
constexpr std::string_view kNoSuchChannelReply = "Error: no such channel";

// ---------------------------------------------------------------------------------------------
// Web-IO thermometers.

constexpr std::string_view kThermoRequest = "GET /Single";

enum class ThermoRequestState { Incomplete, Single, Unknown };

// Classifies what a thermometer connection has received so far: a text starting with
// "GET /Single" is the one request; a proper prefix of it may still become one.
ThermoRequestState classifyThermoRequest(std::string_view buffered);

// One reading as sent: one decimal after a decimal comma ("23,4", the devices' own form) or a
// point, the degree sign (byte 0xB0) and "C", or "----" for a sensor that is missing (nullopt).
std::string formatReading(std::optional<double> celsius, bool comma = false);

// The reply: the title, then one ";"-separated segment per reading.
std::string thermoReply(std::string_view title, const std::vector<std::optional<double>>& readings,
                        bool comma = false);

// ---------------------------------------------------------------------------------------------
// I/O Controller frames: IAC SB 44 <sub-command> <byte> IAC SE.

constexpr uint8_t kIac = 0xFF, kSb = 0xFA, kSe = 0xF0, kComPortOption = 0x2C;
// 0x96 answers a read-inputs frame; 0x97 acknowledges a set-outputs frame with the mask set. An
// input change is sent to the peer as a set-outputs frame carrying the input state.
constexpr uint8_t kSubReadInputs = 0x32, kSubSetOutputs = 0x33, kSubInputState = 0x96,
                  kSubOutputsSet = 0x97;
constexpr size_t kFrameSize = 7;
// Telnet no-operation (IAC NOP), sent by a device that keeps its connection.
constexpr std::string_view kTelnetNop = "\xFF\xF1";

std::string ioFrame(uint8_t subCommand, uint8_t value);
inline std::string inputStateFrame(uint8_t state) {
    return ioFrame(kSubInputState, state);
}

struct IoChunk {
    bool isFrame = false;  // a complete 7-byte frame IAC SB 44 x y IAC SE
    uint8_t subCommand = 0;
    uint8_t value = 0;
    std::string bytes;  // the bytes of the frame, or of the junk that was skipped
};

// Cuts an I/O Controller byte stream into frames. Bytes that cannot start a frame are handed out
// as junk chunks, so nothing the device receives goes unlogged.
class FrameScanner {
  public:
    void feed(std::string_view bytes) { buffer_.append(bytes.data(), bytes.size()); }
    bool next(IoChunk& out);
    // Hands out the buffered rest (an incomplete frame) as junk.
    bool flush(IoChunk& out);
    bool empty() const { return buffer_.empty(); }

  private:
    std::string buffer_;
};

}  // namespace vexlor::sim
