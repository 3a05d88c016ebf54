#include "device.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vexlor::sim {

namespace {

struct TypeEntry {
    DeviceType type;
    const char* name;
    const char* shortName;
};

const TypeEntry kTypes[] = {
    {DeviceType::Digital12, "digital12", "12x"}, {DeviceType::Digital24, "digital24", "24x"},
    {DeviceType::Thermo1, "thermo1", "1x"},      {DeviceType::Thermo2, "thermo2", "2x"},
    {DeviceType::Thermo8, "thermo8", "8x"},      {DeviceType::IoController, "iocontroller", "ioc"},
};

// Splits at commas that are not escaped with a backslash; escapes stay in the pieces.
std::vector<std::string_view> splitDescription(std::string_view text) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == ',') {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(text.substr(start));
    return parts;
}

bool parseBool(std::string_view text, bool& value) {
    if (text == "1" || text == "on" || text == "yes" || text == "true") {
        value = true;
    } else if (text == "0" || text == "off" || text == "no" || text == "false") {
        value = false;
    } else {
        return false;
    }
    return true;
}

// A triangle wave through 0 with period 1 and amplitude 1.
double triangle(double phase) {
    phase -= std::floor(phase);
    if (phase < 0.25) return 4 * phase;
    if (phase < 0.75) return 2 - 4 * phase;
    return 4 * phase - 4;
}

}  // namespace

const char* typeName(DeviceType type) {
    for (const auto& e : kTypes) {
        if (e.type == type) return e.name;
    }
    return "?";
}

bool parseType(std::string_view text, DeviceType& type) {
    for (const auto& e : kTypes) {
        if (text == e.name || text == e.shortName) {
            type = e.type;
            return true;
        }
    }
    return false;
}

bool isDigital(DeviceType t) {
    return t == DeviceType::Digital12 || t == DeviceType::Digital24;
}

bool isThermometer(DeviceType t) {
    return t == DeviceType::Thermo1 || t == DeviceType::Thermo2 || t == DeviceType::Thermo8;
}

int channelCount(DeviceType t) {
    switch (t) {
        case DeviceType::Digital12:
            return 12;
        case DeviceType::Digital24:
            return 24;
        case DeviceType::IoController:
            return 8;
        default:
            return 0;
    }
}

int sensorCount(DeviceType t) {
    switch (t) {
        case DeviceType::Thermo1:
            return 1;
        case DeviceType::Thermo2:
            return 2;
        case DeviceType::Thermo8:
            return 8;
        default:
            return 0;
    }
}

bool parseUnsigned(std::string_view text, unsigned long long max, unsigned long long& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    std::string s(text);
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max) return false;
    value = v;
    return true;
}

bool parseSigned(std::string_view text, long long& value) {
    if (text.empty() || text[0] == ' ') return false;
    std::string s(text);
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') return false;
    value = v;
    return true;
}

bool parseDouble(std::string_view text, double& value) {
    if (text.empty() || text[0] == ' ') return false;
    std::string s(text);
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
    value = v;
    return true;
}

bool Faults::any() const {
    return closeAfter > 0 || garbage || splitMs >= 0 || cutAt > 0 || coalesce > 1 || slowMs > 0 ||
           silent || refuse || acceptClose || flood > 0 || restarting;
}

std::string Faults::describe() const {
    std::string out;
    auto add = [&out](const std::string& s) {
        if (!out.empty()) out += ' ';
        out += s;
    };
    if (closeAfter > 0) add("close-after=" + std::to_string(closeAfter));
    if (garbage) add("garbage");
    if (splitMs >= 0) add("split=" + std::to_string(splitMs));
    if (cutAt > 0) add("cut=" + std::to_string(cutAt) + "/" + std::to_string(cutPauseMs));
    if (coalesce > 1) {
        add("coalesce=" + std::to_string(coalesce) +
            (coalesceHoldMs != kDefaultCoalesceHoldMs ? "/" + std::to_string(coalesceHoldMs) : ""));
    }
    if (slowMs > 0) add("slow=" + std::to_string(slowMs));
    if (silent) add("silent");
    if (refuse) add("refuse");
    if (acceptClose) add("accept-close");
    if (flood > 0) add("flood=" + std::to_string(flood));
    if (restarting) add("restart=" + std::to_string(restartMs));
    return out.empty() ? "none" : out;
}

bool applyFault(Faults& f, std::string_view mode, std::string_view arg, std::string& error) {
    const bool off = arg == "off";
    auto number = [&](long long dflt, long long min, long long max, long long& out) {
        if (arg.empty()) {
            if (dflt < 0) {
                error = std::string(mode) + " needs a number";
                return false;
            }
            out = dflt;
            return true;
        }
        unsigned long long v = 0;
        if (!parseUnsigned(arg, static_cast<unsigned long long>(max), v) ||
            static_cast<long long>(v) < min) {
            error = "bad number for " + std::string(mode) + ": " + std::string(arg);
            return false;
        }
        out = static_cast<long long>(v);
        return true;
    };
    // "A" or "A/B": a number and, after a slash, a second one that keeps its default when left
    // out. A has no default.
    auto pair = [&](long long minA, long long maxA, long long maxB, long long& a, long long& b) {
        const size_t slash = arg.find('/');
        unsigned long long x = 0, y = static_cast<unsigned long long>(b);
        const bool good =
            !arg.empty() &&
            parseUnsigned(arg.substr(0, slash), static_cast<unsigned long long>(maxA), x) &&
            static_cast<long long>(x) >= minA &&
            (slash == std::string_view::npos ||
             parseUnsigned(arg.substr(slash + 1), static_cast<unsigned long long>(maxB), y));
        if (!good) {
            error = arg.empty() ? std::string(mode) + " needs a number"
                                : "bad number for " + std::string(mode) + ": " + std::string(arg);
            return false;
        }
        a = static_cast<long long>(x);
        b = static_cast<long long>(y);
        return true;
    };
    auto flag = [&](bool& target) {
        if (!arg.empty() && !off && arg != "on") {
            error = std::string(mode) + " takes no number";
            return false;
        }
        target = !off;
        return true;
    };
    long long v = 0;
    if (mode == "none") {
        f = Faults{};
    } else if (mode == "close-after") {
        if (off) {
            f.closeAfter = 0;
            return true;
        }
        if (!number(-1, 1, 1000000, v)) return false;
        f.closeAfter = static_cast<int>(v);
    } else if (mode == "garbage") {
        return flag(f.garbage);
    } else if (mode == "split") {
        if (off) {
            f.splitMs = -1;
            return true;
        }
        if (!number(20, 0, 60000, v)) return false;
        f.splitMs = static_cast<int>(v);
    } else if (mode == "cut") {
        if (off) {
            f.cutAt = 0;
            return true;
        }
        // OFFSET or OFFSET/MS: the number of bytes of the first part and the pause after it.
        long long at = 0, pause = kDefaultCutPauseMs;
        if (!pair(1, 1000000, 60000, at, pause)) return false;
        f.cutAt = static_cast<int>(at);
        f.cutPauseMs = static_cast<int>(pause);
    } else if (mode == "coalesce") {
        if (off) {
            f.coalesce = 0;
            return true;
        }
        // N or N/MS: how many replies make a burst, and how long the first may wait for the rest.
        long long hold = kDefaultCoalesceHoldMs;
        if (arg.empty()) {
            v = 2;
        } else if (!pair(2, 1000, 600000, v, hold)) {
            return false;
        }
        f.coalesce = static_cast<int>(v);
        f.coalesceHoldMs = static_cast<int>(hold);
    } else if (mode == "slow") {
        if (off) {
            f.slowMs = 0;
            return true;
        }
        if (!number(-1, 0, 600000, v)) return false;
        f.slowMs = static_cast<int>(v);
    } else if (mode == "silent") {
        return flag(f.silent);
    } else if (mode == "refuse") {
        return flag(f.refuse);
    } else if (mode == "accept-close") {
        return flag(f.acceptClose);
    } else if (mode == "restart") {
        if (off) {
            f.restarting = false;
            return true;
        }
        if (!number(kDefaultRestartMs, 0, 3600000, v)) return false;
        f.restarting = true;
        f.restartMs = static_cast<int>(v);
    } else if (mode == "flood") {
        if (off) {
            f.flood = 0;
            return true;
        }
        if (!number(-1, 1, 100000000, v)) return false;
        f.flood = static_cast<long>(v);
    } else {
        error = "unknown fault mode: " + std::string(mode);
        return false;
    }
    return true;
}

void resolveDefaults(DeviceConfig& cfg) {
    const bool ioc = cfg.type == DeviceType::IoController;
    if (cfg.idleMs < 0) cfg.idleMs = ioc ? kIoControllerIdleMs : kWebIoIdleMs;
    if (cfg.maxConnections < 0) {
        cfg.maxConnections = ioc ? kIoControllerMaxConnections : kWebIoMaxConnections;
    }
    if (cfg.trigger < 0) cfg.trigger = ioc ? 1 : 0;
}

bool parseDeviceDescription(std::string_view text, DeviceConfig& cfg, std::string& error) {
    std::vector<std::string_view> parts = splitDescription(text);
    if (!parseType(parts[0], cfg.type)) {
        error = "unknown device type: " + std::string(parts[0]);
        return false;
    }
    if (isDigital(cfg.type)) {
        cfg.title = cfg.type == DeviceType::Digital12 ? "Web-IO 12x Digital" : "Web-IO 24x Digital";
    }
    // A number of milliseconds for one of the timer keys.
    auto millis = [](const std::string& value, int& out) {
        unsigned long long ms = 0;
        if (!parseUnsigned(value, 3600000, ms)) return false;
        out = static_cast<int>(ms);
        return true;
    };
    for (size_t i = 1; i < parts.size(); ++i) {
        std::string_view part = parts[i];
        size_t eq = part.find('=');
        if (eq == std::string_view::npos) {
            error = "expected key=value: " + std::string(part);
            return false;
        }
        std::string_view key = part.substr(0, eq);
        std::string value;
        if (!unescapeBytes(part.substr(eq + 1), value)) {
            error = "bad escape in: " + std::string(part);
            return false;
        }
        unsigned long long u = 0;
        long long s = 0;
        bool ok = true;
        if (key == "port") {
            ok = parseUnsigned(value, 65535, u);
            cfg.port = static_cast<uint16_t>(u);
        } else if (key == "name") {
            ok = !value.empty() && value.find_first_of(" \t") == std::string::npos;
            cfg.name = value;
        } else if (key == "pw") {
            cfg.password = value;
        } else if (key == "inputs") {
            ok = parseUnsigned(value, 0xFFFFFFFFull, u);
            cfg.inputs = static_cast<uint32_t>(u);
        } else if (key == "outputs") {
            ok = parseUnsigned(value, 0xFFFFFFFFull, u);
            cfg.outputs = static_cast<uint32_t>(u);
        } else if (key.substr(0, 7) == "counter" && key.size() > 7) {
            ok = parseUnsigned(key.substr(7), kMaxChannels - 1, u) && parseSigned(value, s);
            if (ok) cfg.counters[u] = s;
        } else if (key == "error") {
            ok = parseBool(value, cfg.errorLatch);
        } else if (key == "title") {
            cfg.title = value;
        } else if (key == "temps") {
            std::string_view rest = value;
            for (int n = 0; ok && n < kMaxSensors && !rest.empty(); ++n) {
                size_t slash = rest.find('/');
                std::string_view one = rest.substr(0, slash);
                cfg.missing[n] = one == "----";
                if (!cfg.missing[n]) ok = parseDouble(one, cfg.temps[n]);
                rest =
                    slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
            }
            ok = ok && rest.empty();
        } else if (key == "drift") {
            ok = parseDouble(value, cfg.driftAmplitude) && cfg.driftAmplitude >= 0;
        } else if (key == "period") {
            ok = parseDouble(value, cfg.driftPeriodS) && cfg.driftPeriodS > 0;
        } else if (key == "nul") {
            bool b = true;
            ok = parseBool(value, b);
            cfg.nul = b;
        } else if (key == "decimal") {
            ok = value == "comma" || value == "point";
            cfg.decimalComma = value == "comma";
        } else if (key == "errors") {
            ok = value == "close" || value == "text";
            cfg.errorTexts = value == "text";
        } else if (key == "idle") {
            ok = millis(value, cfg.idleMs);
        } else if (key == "header") {
            ok = parseBool(value, cfg.header);
        } else if (key == "trigger") {
            bool b = false;
            ok = parseBool(value, b);
            cfg.trigger = b ? 1 : 0;
        } else if (key == "keep") {
            ok = parseBool(value, cfg.keep);
        } else if (key == "keepms") {
            ok = millis(value, cfg.keepMs) && cfg.keepMs > 0;
        } else if (key == "maxconn") {
            ok = parseUnsigned(value, 100000, u);
            cfg.maxConnections = static_cast<int>(u);
        } else if (key == "fault") {
            size_t colon = value.find(':');
            std::string_view v = value;
            std::string_view mode = v.substr(0, colon);
            std::string_view arg =
                colon == std::string::npos ? std::string_view() : v.substr(colon + 1);
            if (!applyFault(cfg.faults, mode, arg, error)) return false;
        } else {
            error = "unknown key: " + std::string(key);
            return false;
        }
        if (!ok) {
            error = "bad value for " + std::string(key) + ": " + escapeBytes(value, false);
            return false;
        }
    }
    return true;
}

Device::Device(int index, DeviceConfig config, bool nulByDefault)
    : index_(index), cfg_(std::move(config)), nul_(cfg_.nul.value_or(nulByDefault)) {
    if (cfg_.name.empty()) cfg_.name = "dev" + std::to_string(index);
    cfg_.inputs &= wordMask();
    cfg_.outputs &= wordMask();
    resolveDefaults(cfg_);
}

uint32_t Device::wordMask() const {
    int n = channelCount(cfg_.type);
    return n == 0 ? 0 : static_cast<uint32_t>((1ull << n) - 1);
}

namespace {

// Hexadecimal digits of a digital device's words: four on a 12x ("0A5F"), six on a 24x.
int wordDigits(DeviceType type) {
    return type == DeviceType::Digital24 ? 6 : 4;
}

}  // namespace

Answer Device::handleDigital(std::string_view text) {
    Answer answer;
    // A request the device does not take: the error latch is set and the connection closed,
    // or the error text sent.
    auto refuse = [&](std::string_view errorText) {
        if (errorText != kNoSuchChannelReply) cfg_.errorLatch = true;
        if (cfg_.errorTexts) {
            answer.reply = std::string(errorText);
        } else {
            answer.close = true;
        }
        return answer;
    };
    DigitalRequest req = parseDigitalRequest(text);
    if (req.op == DigitalOp::Unknown) return refuse(kUnknownRequestReply);
    if (req.password != cfg_.password) return refuse(kWrongPasswordReply);
    const int channels = channelCount(cfg_.type);
    const bool indexed = req.op == DigitalOp::SwitchOutput || req.op == DigitalOp::ReadCounter ||
                         req.op == DigitalOp::ClearCounter;
    if (indexed && (req.index < 0 || req.index >= channels)) return refuse(kNoSuchChannelReply);
    answer.valid = true;
    const int digits = wordDigits(cfg_.type);
    switch (req.op) {
        case DigitalOp::ReadInputs:
            answer.reply = inputReply(cfg_.inputs, digits);
            break;
        case DigitalOp::ReadOutputs:
            answer.reply = outputReply(cfg_.outputs, digits);
            break;
        case DigitalOp::SwitchOutput:
            if (req.state) {
                cfg_.outputs |= 1u << req.index;
            } else {
                cfg_.outputs &= ~(1u << req.index);
            }
            answer.reply = outputReply(cfg_.outputs, digits);
            break;
        case DigitalOp::ReadCounter:
            answer.reply = counterReply(req.index, cfg_.counters[req.index]);
            break;
        case DigitalOp::ClearCounter:
            cfg_.counters[req.index] = 0;
            answer.reply = counterReply(req.index, 0);
            break;
        case DigitalOp::ClearErrorLatch:
            cfg_.errorLatch = false;
            break;
        case DigitalOp::Unknown:
            break;
    }
    return answer;
}

Answer Device::handleIoChunk(const IoChunk& chunk) {
    Answer answer;
    if (!chunk.isFrame) return answer;
    if (chunk.subCommand == kSubReadInputs) {
        answer.valid = true;
        answer.reply = inputStateFrame(static_cast<uint8_t>(cfg_.inputs));
    } else if (chunk.subCommand == kSubSetOutputs) {
        answer.valid = true;
        cfg_.outputs = chunk.value;
        answer.reply = ioFrame(kSubOutputsSet, chunk.value);
    }
    return answer;
}

std::string Device::inputChange() const {
    if (cfg_.type == DeviceType::IoController) {
        return ioFrame(kSubSetOutputs, static_cast<uint8_t>(cfg_.inputs));
    }
    return inputReply(cfg_.inputs, wordDigits(cfg_.type));
}

std::optional<double> Device::reading(int sensor, double elapsedS) const {
    if (sensor < 0 || sensor >= kMaxSensors || cfg_.missing[sensor]) return std::nullopt;
    double value = cfg_.temps[sensor];
    if (cfg_.driftAmplitude > 0) {
        // Every reading starts at its set value; each sensor swings a little slower than the
        // one before it, so they do not move in step.
        double phase = elapsedS / (cfg_.driftPeriodS * (1.0 + 0.25 * sensor));
        value += cfg_.driftAmplitude * triangle(phase);
    }
    return value;
}

std::string Device::thermoReplyText(double elapsedS) const {
    if (thermoOverride) return *thermoOverride;
    std::vector<std::optional<double>> readings;
    for (int i = 0; i < sensorCount(cfg_.type); ++i) readings.push_back(reading(i, elapsedS));
    return thermoReply(cfg_.title, readings, cfg_.decimalComma);
}

void Device::powerCycle() {
    cfg_.outputs = 0;
    for (long long& counter : cfg_.counters) counter = 0;
    cfg_.errorLatch = false;
}

void Device::record(std::string_view request) {
    ++requests;
    if (log_.size() == kMaxLogEntries) log_.pop_front();
    log_.emplace_back(request);
}

}  // namespace vexlor::sim
