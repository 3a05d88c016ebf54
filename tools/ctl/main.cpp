// vexlorctl: loads the Vexlor driver by name at run time, exactly as a host application does,
// and calls its exported functions from the command line or from a script.
#include <iostream>
#include <string>
#include <vector>

#include "command.h"
#include "driver.h"
#include "loader.h"
#include "runner.h"

int main(int argc, char** argv) {
    using namespace vexlorctl;
    std::vector<std::string> args(argv + 1, argv + argc);
    GlobalOptions options;
    std::vector<std::string> words;
    std::string error;
    if (!ParseGlobalOptions(args, options, words, error)) {
        std::cerr << "vexlorctl: " << error << "\n(try 'vexlorctl help')\n";
        return kStatusUsage;
    }
    if (options.version) {
        std::cout << "vexlorctl " << VEXLOR_VERSION << '\n';
        return 0;
    }
    if (words.empty()) {
        std::cerr << UsageText();
        return kStatusUsage;
    }
    Command command;
    if (!ParseCommand(words, command, error)) {
        std::cerr << "vexlorctl: " << error << '\n';
        return kStatusUsage;
    }

    std::string driverPath = options.driverPath;
    if (driverPath.empty()) driverPath = DefaultDriverPath();
    Driver driver(driverPath);

    const bool autoOpen = options.autoOpen >= 0 ? options.autoOpen == 1 : command.op != Op::kScript;
    Runner runner(driver, options, autoOpen, std::cout, std::cerr);
    const int status = runner.Execute(command);
    runner.CloseAutoOpened();
    // Unloading runs the driver's shut-down: receive threads stopped, sockets closed.
    driver.Unload();
    std::cout.flush();
    return status;
}
