// The simulated devices: their configuration, their state and how they answer requests.
//
// Nothing here touches a socket; the server feeds requests in and sends what comes out.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"

namespace vexlor::sim {

enum class DeviceType { Digital12, Digital24, Thermo1, Thermo2, Thermo8, IoController };

const char* typeName(DeviceType type);
// Accepts the names typeName returns and the short forms 12x, 24x, 1x, 2x, 8x, ioc.
bool parseType(std::string_view text, DeviceType& type);

bool isDigital(DeviceType type);
bool isThermometer(DeviceType type);
// Inputs, outputs and counters of a digital device, inputs and outputs of the I/O Controller.
int channelCount(DeviceType type);
// Readings of a thermometer.
int sensorCount(DeviceType type);

constexpr int kMaxChannels = 24;
constexpr int kMaxSensors = 8;

// Defaults of the cut mode's pause, of the coalesce mode's longest hold and of the time a
// restarting device refuses connections.
constexpr int kDefaultCutPauseMs = 20;
constexpr int kDefaultCoalesceHoldMs = 500;
constexpr int kDefaultRestartMs = 1000;
// Defaults of the idle timers, the connection limits and the keep-alive interval.
constexpr int kWebIoIdleMs = 30000;
constexpr int kIoControllerIdleMs = 50000;
constexpr int kWebIoMaxConnections = 4;
constexpr int kIoControllerMaxConnections = 1;
constexpr int kDefaultKeepMs = 5000;

// Misbehaviours a device can be told to show. Several may be active at once.
struct Faults {
    int closeAfter = 0;    // close a connection after answering this many requests; 0 off
    bool garbage = false;  // replace every reply by bytes no decoder recognises
    int splitMs = -1;      // send every reply in two halves this many ms apart; <0 off
    int cutAt = 0;         // send every reply as its first cutAt bytes, a pause, the rest; 0 off
    int cutPauseMs = kDefaultCutPauseMs;  // the pause of the cut mode
    int coalesce = 0;  // hold replies until this many are pending, send them at once
    int coalesceHoldMs = kDefaultCoalesceHoldMs;  // but no longer than this after the first
    int slowMs = 0;                               // delay every reply this long
    bool silent = false;                          // never answer (requests are still logged)
    bool refuse = false;       // listening socket closed: connect fails with "refused"
    bool acceptClose = false;  // accept connections and close them at once
    long flood = 0;            // send this many filler bytes before every reply
    // restart: the device is down, its listening socket closed, until restartMs after the
    // restart began; the server clears the flag when the device listens again.
    bool restarting = false;
    int restartMs = kDefaultRestartMs;
    bool any() const;
    std::string describe() const;  // e.g. "slow=200 split=20", or "none"
};

// Sets one fault mode. mode is one of close-after, garbage, split, cut, coalesce, slow, silent,
// refuse, accept-close, flood, restart, or none (clears all); arg is the mode's number, empty for
// the default, or "off" to clear that mode. cut takes "OFFSET" or "OFFSET/MS", coalesce "N" or
// "N/MS".
bool applyFault(Faults& faults, std::string_view mode, std::string_view arg, std::string& error);

// Everything a device starts with. Values that do not apply to the type are ignored.
struct DeviceConfig {
    DeviceType type = DeviceType::Digital12;
    std::string name;      // label for control commands; the server defaults it to "dev<N>"
    uint16_t port = 0;     // 0 picks a free port
    std::string password;  // digital devices
    uint32_t inputs = 0;
    uint32_t outputs = 0;
    long long counters[kMaxChannels] = {};
    bool errorLatch = false;
    // Thermometers: the text before the readings. Digital devices: the name the header shows
    // (by default "Web-IO 12x Digital" or "Web-IO 24x Digital").
    std::string title = "Thermometer";
    double temps[kMaxSensors] = {21.0, 21.5, 22.0, 22.5, 23.0, 23.5, 24.0, 24.5};
    bool missing[kMaxSensors] = {};
    double driftAmplitude = 1.0;  // degrees; 0 keeps readings constant
    double driftPeriodS = 600.0;
    std::optional<bool> nul;  // per-device override of the NUL terminator
    // How the devices behave where the documentation leaves nothing to choose; -1 picks the
    // type's default when the device is made (see resolveDefaults).
    bool decimalComma = true;  // thermometers write "23,4"; false: "23.4"
    bool errorTexts = false;   // answer bad requests with "Error: ..." instead of closing
    int idleMs = -1;           // close a connection this long without a valid request; 0 off
    bool header = false;       // digital replies start with "<IP>;<title>;"
    int trigger = -1;          // send input changes unprompted (0/1)
    bool keep = false;         // I/O Controller: send a NOP after keepMs without a send
    int keepMs = kDefaultKeepMs;
    int maxConnections = -1;  // further connections are accepted and closed at once; 0 no limit
    Faults faults;
};

// Fills the settings left at -1 with the type's defaults: idle 30000 ms on the Web-IO and 50000
// on the I/O Controller, at most 4 connections on the Web-IO and 1 on the I/O Controller, input
// changes sent unprompted by the I/O Controller only.
void resolveDefaults(DeviceConfig& config);

// What a device does with one request.
struct Answer {
    std::optional<std::string> reply;  // bytes to send (without the NUL terminator)
    bool valid = false;                // a request the device takes: restarts the idle timer
    bool close = false;                // the device closes the connection instead of answering
};

// Parses "TYPE[,key=value]...". Values may use the escapes of unescapeBytes ("\," is a comma).
// Keys: port, name, pw, inputs, outputs, counterN, error, title, temps (readings separated by
// "/", "----" for a missing sensor), drift, period, nul, decimal (comma/point), errors
// (close/text), idle, header, trigger, keep, keepms, maxconn, fault (MODE or MODE:ARG;
// repeatable). The settings left out get the type's defaults (resolveDefaults).
bool parseDeviceDescription(std::string_view text, DeviceConfig& config, std::string& error);

// Number parsing shared with the control commands: strict, whole text, "0x" allowed.
bool parseUnsigned(std::string_view text, unsigned long long max, unsigned long long& value);
bool parseSigned(std::string_view text, long long& value);
bool parseDouble(std::string_view text, double& value);

class Device {
  public:
    Device(int index, DeviceConfig config, bool nulByDefault);

    int index() const { return index_; }
    DeviceType type() const { return cfg_.type; }
    const std::string& name() const { return cfg_.name; }
    DeviceConfig& config() { return cfg_; }
    const DeviceConfig& config() const { return cfg_; }
    Faults& faults() { return cfg_.faults; }
    bool nul() const { return nul_; }
    void setNul(bool on) { nul_ = on; }

    // Width mask of the input/output words (12, 24 or 8 bits; 0 for thermometers).
    uint32_t wordMask() const;

    // Digital devices: the reply to one request, none for "GET /errorclear". Wrong passwords,
    // unknown requests and channels the device lacks set the error latch and close the
    // connection, or get an error text with errorTexts.
    Answer handleDigital(std::string_view request);

    // I/O Controller: applies a frame; read-inputs is answered with the input state, set-outputs
    // acknowledged with the mask. Anything else is ignored.
    Answer handleIoChunk(const IoChunk& chunk);

    // The frame or text that reports the current input word unprompted.
    std::string inputChange() const;

    // Thermometers: the current reading of sensor i (nullopt when missing) at elapsedS seconds
    // after the simulator started, and the whole reply text.
    std::optional<double> reading(int sensor, double elapsedS) const;
    std::string thermoReplyText(double elapsedS) const;
    // A fixed reply text that replaces the generated one (for odd replies in tests).
    std::optional<std::string> thermoOverride;

    // What a restart loses: outputs off, counters 0, error latch cleared. Inputs, password,
    // readings and the simulator's statistics stay.
    void powerCycle();

    // Log of the requests received, byte-exact, oldest first. Bounded: the oldest go first.
    void record(std::string_view request);
    const std::deque<std::string>& log() const { return log_; }
    void clearLog() { log_.clear(); }

    // Statistics the control port reports.
    uint64_t accepts = 0;   // connections accepted
    uint64_t sends = 0;     // send calls made on this device's connections
    uint64_t requests = 0;  // requests received

  private:
    int index_;
    DeviceConfig cfg_;
    bool nul_;
    std::deque<std::string> log_;
};

constexpr size_t kMaxLogEntries = 10000;

}  // namespace vexlor::sim
