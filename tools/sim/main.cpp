// vexlor-sim: plays Web-IO digital devices, Web-IO thermometers and I/O Controllers on local TCP
// ports, with a control port to script their state and misbehaviour.
#include <cstdio>
#include <string>
#include <vector>

#include "options.h"
#include "server.h"

int main(int argc, char** argv) {
    using namespace vexlor::sim;
    std::vector<std::string> args(argv + 1, argv + argc);
    Options options;
    std::string error;
    if (!parseArguments(args, options, error)) {
        // One line: the whole usage would hide the error.
        std::fprintf(stderr, "vexlor-sim: %s\n(try 'vexlor-sim --help')\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("vexlor-sim %s\n", VEXLOR_VERSION);
        return 0;
    }
    if (!Server::installSignalHandlers(error)) {
        std::fprintf(stderr, "vexlor-sim: %s\n", error.c_str());
        return 1;
    }
    Server server(std::move(options));
    if (!server.start(error)) {
        std::fprintf(stderr, "vexlor-sim: %s\n", error.c_str());
        return 1;
    }
    server.printStartup(stdout);
    return server.run();
}
