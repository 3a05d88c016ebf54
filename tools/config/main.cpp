// vexlor-config: edits Vexlor.ini where no configuration dialog is available.
#include <iostream>
#include <string>
#include <vector>

#include "config_tool.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    vexlorconfig::Request request;
    std::string error;
    if (!vexlorconfig::ParseArguments(args, request, error)) {
        if (error.empty()) {
            std::cout << vexlorconfig::UsageText();
            return 0;
        }
        std::cerr << "vexlor-config: " << error << "\n(try 'vexlor-config --help')\n";
        return 2;
    }
    if (request.version) {
        std::cout << "vexlor-config " << VEXLOR_VERSION << '\n';
        return 0;
    }
    return vexlorconfig::Run(request, std::cout, std::cerr);
}
