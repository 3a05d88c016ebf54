// vexlor-config: edits Vexlor.ini through the driver's own settings code (LoadAllSettings,
// changes, SaveAllSettings), so the file it writes is the file the configuration dialog writes.
#pragma once

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace vexlorconfig {

struct SlotEdit {
    int slot = 0;
    bool reset = false;  // back to the defaults before the other changes
    // Option of `set` ("--ip", "--password", ...) and the checked value, in the order given; a
    // password is plain text or the I/O Controller marker.
    std::vector<std::pair<std::string, std::string>> values;
};

struct Request {
    std::string directory;  // empty: the directory of the executable
    bool show = false;
    bool showAll = false;
    bool showPath = false;
    bool version = false;
    bool setDevices = false;
    int devices = 1;
    std::vector<SlotEdit> edits;
};

// Parses the arguments after the program name. A request without any command shows the file.
bool ParseArguments(const std::vector<std::string>& args, Request& request, std::string& error);

// Checks of values before they are stored; each returns an empty text or the reason for refusal.
// Values are refused where the file could not give them back unchanged.
std::string CheckIp(const std::string& ip);
std::string CheckPort(const std::string& port);
std::string CheckTiming(const std::string& timing);
std::string CheckPassword(const std::string& password);
std::string CheckReplyTimeout(const std::string& milliseconds);
std::string CheckReconnect(const std::string& value);
std::string CheckKeepAlive(const std::string& milliseconds);

// Loads, applies the edits, saves (keeping the dialog's window rectangle), verifies by loading
// again and prints what was asked. Returns the exit status: 0, 1 failure, 2 usage.
int Run(const Request& request, std::ostream& out, std::ostream& err);

const char* UsageText();

}  // namespace vexlorconfig
