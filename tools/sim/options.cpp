#include "options.h"

#include <fstream>

namespace vexlor::sim {

namespace {

bool takesValue(const std::string& opt) {
    return opt == "--device" || opt == "-d" || opt == "--config" || opt == "-c" ||
           opt == "--listen" || opt == "-l" || opt == "--control-port" || opt == "-p" ||
           opt == "--idle-flush-ms";
}

bool apply(const std::string& opt, const std::string& value, Options& o, std::string& error,
           bool inConfigFile) {
    if (opt == "--device" || opt == "-d") {
        DeviceConfig cfg;
        if (!parseDeviceDescription(value, cfg, error)) return false;
        o.devices.push_back(std::move(cfg));
    } else if (opt == "--config" || opt == "-c") {
        if (inConfigFile) {
            error = "a configuration file cannot name another one";
            return false;
        }
        return loadConfigFile(value, o, error);
    } else if (opt == "--listen" || opt == "-l") {
        o.listen = value;
    } else if (opt == "--control-port" || opt == "-p") {
        if (value == "off") {
            o.controlPort = -1;
        } else {
            unsigned long long port = 0;
            if (!parseUnsigned(value, 65535, port)) {
                error = "bad control port: " + value;
                return false;
            }
            o.controlPort = static_cast<int>(port);
        }
    } else if (opt == "--idle-flush-ms") {
        unsigned long long ms = 0;
        if (!parseUnsigned(value, 3600000, ms) || ms == 0) {
            error = "bad idle time: " + value;
            return false;
        }
        o.idleFlushMs = static_cast<int>(ms);
    } else if (opt == "--no-nul") {
        o.nul = false;
    } else if (opt == "--no-stdin") {
        o.readStdin = false;
    } else if (opt == "--exit-on-stdin-eof") {
        o.exitOnStdinEof = true;
    } else if (opt == "--verbose" || opt == "-v") {
        o.verbose = true;
    } else if (opt == "--help" || opt == "-h") {
        o.help = true;
    } else {
        error = "unknown option: " + opt;
        return false;
    }
    return true;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

}  // namespace

bool parseArguments(const std::vector<std::string>& args, Options& o, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.empty() || a[0] != '-') {
            // A bare argument is a device description.
            if (!apply("--device", a, o, error, false)) return false;
            continue;
        }
        std::string value;
        if (takesValue(a)) {
            if (i + 1 == args.size()) {
                error = "missing value for " + a;
                return false;
            }
            value = args[++i];
        }
        if (!apply(a, value, o, error, false)) return false;
    }
    return true;
}

bool loadConfigFile(const std::string& path, Options& o, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        size_t space = line.find_first_of(" \t");
        std::string opt = "--" + line.substr(0, space);
        std::string value = space == std::string::npos ? std::string() : trim(line.substr(space));
        if (takesValue(opt) == value.empty()) {
            error = path + ":" + std::to_string(number) +
                    (value.empty() ? ": missing value" : ": unexpected value");
            return false;
        }
        if (!apply(opt, value, o, error, true)) {
            error = path + ":" + std::to_string(number) + ": " + error;
            return false;
        }
    }
    return true;
}

const char* usageText() {
    return R"(usage: vexlor-sim [options] [DEVICE...]

Plays simulated I/O devices on TCP ports of one local address.

options:
  -d, --device DEVICE     add a device (a bare DEVICE argument does the same)
  -c, --config FILE       read options from FILE, one per line without "--"
  -l, --listen ADDR       IPv4 address for every socket (default 127.0.0.1)
  -p, --control-port N    control port (default 0: any free port; "off": none)
      --no-nul            send replies without the terminating NUL byte
      --idle-flush-ms N   unfinished request text is taken as a request after
                          N ms without new bytes (default 200)
      --no-stdin          do not read control commands from standard input
      --exit-on-stdin-eof exit when standard input closes
  -v, --verbose           trace every received and sent byte on standard error
  -h, --help              show this text

DEVICE is TYPE[,key=value]... with TYPE one of digital12 (12x), digital24 (24x),
thermo1 (1x), thermo2 (2x), thermo8 (8x), iocontroller (ioc). Keys: port, name,
pw, inputs, outputs, counterN, error, title, temps (a/b/..., ---- = missing),
drift, period, nul, decimal (comma|point), errors (close|text), idle (ms, 0 off),
maxconn (0 no limit), header, trigger, keep, keepms, fault (MODE or MODE:ARG,
repeatable). In values "\xHH" is a byte and "\," a comma.

On start one line "DEVICE <index> <type> <port> <name>" per device, then
"CONTROL <port>" and "READY" are printed. See README.md for the commands.
)";
}

}  // namespace vexlor::sim
