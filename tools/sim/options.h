// Command line and configuration file of the simulator.
#pragma once

#include <string>
#include <vector>

#include "device.h"

namespace vexlor::sim {

struct Options {
    std::string listen = "127.0.0.1";  // the only address anything listens on
    int controlPort = 0;               // 0 picks a free port, -1 disables the control port
    bool nul = true;                   // replies end with a NUL byte
    bool readStdin = true;             // accept control commands on standard input
    bool exitOnStdinEof = false;       // stop when standard input closes
    bool verbose = false;              // trace received and sent bytes on standard error
    int idleFlushMs = 200;             // unfinished request text counts as a request after this
    bool help = false;
    bool version = false;
    std::vector<DeviceConfig> devices;
};

// Parses the arguments after the program name. A configuration file named with --config is read
// where it appears; its lines are options without the leading "--" ("device digital12,pw=x").
bool parseArguments(const std::vector<std::string>& args, Options& options, std::string& error);

bool loadConfigFile(const std::string& path, Options& options, std::string& error);

const char* usageText();

}  // namespace vexlor::sim
