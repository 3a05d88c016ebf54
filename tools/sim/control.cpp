// The control commands: one line in, one line out ("OK ..." or "ERR ...").
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "server.h"

namespace vexlor::sim {

namespace {

constexpr const char* kHelp =
    "OK commands: help ping list quit verbose inputs input outputs output counter pulse error "
    "password set-password temp drift thermo-reply nul send log clear-log requests conns "
    "connected accepts sends drop restart listening fault faults";

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

// The text after the first `count` words and the single blank that follows them.
std::string_view restAfter(std::string_view line, size_t count) {
    size_t i = 0;
    for (size_t w = 0; w < count; ++w) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    }
    if (i < line.size()) ++i;
    return line.substr(i);
}

std::string hexWord(uint32_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "OK 0x%X", static_cast<unsigned>(v));
    return buf;
}

std::string ok(const std::string& s = {}) {
    return s.empty() ? "OK" : "OK " + s;
}
std::string err(const std::string& s) {
    return "ERR " + s;
}

bool parseBit(std::string_view s, bool& v) {
    if (s == "1" || s == "on") {
        v = true;
    } else if (s == "0" || s == "off") {
        v = false;
    } else {
        return false;
    }
    return true;
}

}  // namespace

Device* Server::findDevice(std::string_view ref) {
    for (auto& d : devices_) {
        if (d->name() == ref) return d.get();
    }
    unsigned long long index = 0;
    if (parseUnsigned(ref, 1000000, index) && index < devices_.size()) return devices_[index].get();
    return nullptr;
}

std::string Server::execute(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    std::vector<std::string_view> w = words(line);
    if (w.empty()) return err("empty command");
    const std::string_view cmd = w[0];
    const size_t argc = w.size() - 1;

    if (cmd == "help") return kHelp;
    if (cmd == "ping") return ok("pong");
    if (cmd == "quit") {
        running_ = false;
        return ok("bye");
    }
    if (cmd == "verbose") {
        if (argc == 0) return ok(opts_.verbose ? "1" : "0");
        bool v = false;
        if (!parseBit(w[1], v)) return err("expected 0 or 1");
        opts_.verbose = v;
        return ok();
    }
    if (cmd == "list") {
        std::string s = std::to_string(devices_.size());
        for (auto& d : devices_) {
            s += ' ' + d->name() + '=' + typeName(d->type()) + ':' +
                 std::to_string(ports_[d->index()]);
        }
        return ok(s);
    }

    // Everything else names a device first.
    if (argc == 0) return err("missing device");
    Device* dp = findDevice(w[1]);
    if (!dp) return err("no device " + std::string(w[1]));
    Device& d = *dp;
    DeviceConfig& cfg = d.config();
    const bool digital = isDigital(d.type());
    const bool ioc = d.type() == DeviceType::IoController;
    const bool thermo = isThermometer(d.type());
    const int channels = channelCount(d.type());
    unsigned long long u = 0;

    // Reads a channel number argument; returns false with the error reply set.
    auto channelArg = [&](size_t at, int limit, int& n, std::string& reply) {
        if (argc < at) {
            reply = err("missing number");
            return false;
        }
        if (!parseUnsigned(w[at], 1000, u) || u >= static_cast<unsigned long long>(limit)) {
            reply = err("no channel " + std::string(w[at]));
            return false;
        }
        n = static_cast<int>(u);
        return true;
    };
    auto needs = [&](bool kind, const char* what) {
        return kind ? std::string() : err(std::string(cmd) + " needs " + what);
    };
    std::string reply;

    if (cmd == "inputs" || cmd == "outputs") {
        if (!(reply = needs(digital || ioc, "a digital device or the I/O Controller")).empty()) {
            return reply;
        }
        uint32_t& word = cmd == "inputs" ? cfg.inputs : cfg.outputs;
        if (argc == 1) return hexWord(word);
        if (!parseUnsigned(w[2], d.wordMask(), u)) return err("bad or too wide value");
        const bool changed = word != u;
        word = static_cast<uint32_t>(u);
        if (cmd == "inputs" && changed) sendInputState(d);
        return ok();
    }
    if (cmd == "input" || cmd == "output") {
        if (!(reply = needs(digital || ioc, "a digital device or the I/O Controller")).empty()) {
            return reply;
        }
        int n = 0;
        if (!channelArg(2, channels, n, reply)) return reply;
        uint32_t& word = cmd == "input" ? cfg.inputs : cfg.outputs;
        if (argc == 2) return ok((word >> n) & 1 ? "1" : "0");
        bool v = false;
        if (!parseBit(w[3], v)) return err("expected 0 or 1");
        uint32_t updated = v ? (word | (1u << n)) : (word & ~(1u << n));
        const bool changed = updated != word;
        word = updated;
        if (cmd == "input" && changed) sendInputState(d);
        return ok();
    }
    if (cmd == "counter" || cmd == "pulse") {
        if (!(reply = needs(digital, "a digital device")).empty()) return reply;
        int n = 0;
        if (!channelArg(2, channels, n, reply)) return reply;
        long long v = 1;
        if (argc >= 3 && !parseSigned(w[3], v)) return err("bad number");
        if (cmd == "pulse") {
            cfg.counters[n] += v;
        } else if (argc == 2) {
            return ok(std::to_string(cfg.counters[n]));
        } else {
            cfg.counters[n] = v;
        }
        return ok(std::to_string(cfg.counters[n]));
    }
    if (cmd == "error") {
        if (!(reply = needs(digital, "a digital device")).empty()) return reply;
        if (argc == 1) return ok(cfg.errorLatch ? "1" : "0");
        if (!parseBit(w[2], cfg.errorLatch)) return err("expected 0 or 1");
        return ok();
    }
    if (cmd == "password") {
        return ok(escapeBytes(cfg.password, true));
    }
    if (cmd == "set-password") {
        std::string pw;
        if (!unescapeBytes(restAfter(line, 2), pw)) return err("bad escape");
        cfg.password = pw;
        return ok();
    }
    if (cmd == "temp") {
        if (!(reply = needs(thermo, "a thermometer")).empty()) return reply;
        int n = 0;
        if (!channelArg(2, sensorCount(d.type()), n, reply)) return reply;
        if (argc == 2) {
            auto r = d.reading(n, static_cast<double>(now() - startMs_) / 1000.0);
            if (!r) return ok("----");
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.1f", *r);
            return ok(buf);
        }
        if (w[3] == "----") {
            cfg.missing[n] = true;
            return ok();
        }
        double v = 0;
        if (!parseDouble(w[3], v)) return err("bad number");
        cfg.temps[n] = v;
        cfg.missing[n] = false;
        return ok();
    }
    if (cmd == "drift") {
        if (!(reply = needs(thermo, "a thermometer")).empty()) return reply;
        double amp = 0, period = cfg.driftPeriodS;
        if (argc < 2 || !parseDouble(w[2], amp) || amp < 0) return err("bad amplitude");
        if (argc >= 3 && (!parseDouble(w[3], period) || period <= 0)) return err("bad period");
        cfg.driftAmplitude = amp;
        cfg.driftPeriodS = period;
        return ok();
    }
    if (cmd == "thermo-reply") {
        if (!(reply = needs(thermo, "a thermometer")).empty()) return reply;
        std::string_view rest = restAfter(line, 2);
        if (rest == "off") {
            d.thermoOverride.reset();
            return ok();
        }
        std::string text;
        if (!unescapeBytes(rest, text)) return err("bad escape");
        d.thermoOverride = text;
        return ok();
    }
    if (cmd == "nul") {
        if (argc == 1) return ok(d.nul() ? "1" : "0");
        bool v = false;
        if (!parseBit(w[2], v)) return err("expected 0 or 1");
        d.setNul(v);
        return ok();
    }
    if (cmd == "send") {
        std::string bytes;
        if (!unescapeBytes(restAfter(line, 2), bytes)) return err("bad escape");
        int n = 0;
        for (auto& c : conns_) {
            if (c->device == &d && !c->dead && !c->closing) {
                c->out.push_back(OutItem{bytes, 0, std::max(now(), c->lastDue)});
                flushOut(*c);
                ++n;
            }
        }
        return ok(std::to_string(n));
    }
    if (cmd == "log") {
        std::string s = std::to_string(d.log().size());
        for (const auto& entry : d.log()) {
            s += ' ';
            s += escapeBytes(entry, true);
        }
        return ok(s);
    }
    if (cmd == "clear-log") {
        d.clearLog();
        return ok();
    }
    if (cmd == "requests") return ok(std::to_string(d.requests));
    if (cmd == "conns") return ok(std::to_string(openConnections(d)));
    if (cmd == "connected") return ok(openConnections(d) > 0 ? "1" : "0");
    if (cmd == "accepts") return ok(std::to_string(d.accepts));
    if (cmd == "sends") return ok(std::to_string(d.sends));
    if (cmd == "drop") return ok(std::to_string(dropConnections(d)));
    if (cmd == "restart") {
        long long ms = kDefaultRestartMs;
        if (argc >= 2 && (!parseSigned(w[2], ms) || ms < 0 || ms > 3600000)) {
            return err("restart takes a time of 0..3600000 ms");
        }
        return ok(std::to_string(restartDevice(d, static_cast<int>(ms))));
    }
    if (cmd == "listening") return ok(listenFds_[d.index()] >= 0 ? "1" : "0");
    if (cmd == "faults") return ok(d.faults().describe());
    if (cmd == "fault") {
        if (argc < 2) return err("missing fault mode");
        std::string error;
        std::string_view arg = argc >= 3 ? w[3] : std::string_view();
        Faults updated = d.faults();
        if (!applyFault(updated, w[2], arg, error)) return err(error);
        const bool restart = w[2] == "restart" && updated.restarting;
        d.faults() = updated;
        if (restart) restartDevice(d, updated.restartMs);
        std::string listenError = syncListener(d);
        if (!listenError.empty()) return err(listenError);
        return ok(d.faults().describe());
    }
    return err("unknown command " + std::string(cmd));
}

}  // namespace vexlor::sim
