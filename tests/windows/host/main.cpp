// The Windows test host: runs the registered scenarios against Vexlor.dll and prints
// "N passed, N failed". Run under Wine by scripts/test-windows.
//
//   vexlor_wintest.exe [--sim NAME=PORT]... [--trace-file PATH] [--ini-from-linux DIR]
//                      [--ini-to-linux DIR] [--load-sim CONTROL_PORT] [--only NAME]... [--list]
//   vexlor_wintest.exe --child MODE     (helper process for the scenarios that end a process)
#include <winsock2.h>
// after winsock2.h
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"

namespace wintest {
namespace {

std::string WithFinalBackslash(std::string dir) {
    if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
    return dir;
}

std::vector<Scenario>& Scenarios() {
    static std::vector<Scenario> scenarios;
    return scenarios;
}

int g_failures = 0;

}  // namespace

Register::Register(const char* name, void (*run)(), unsigned needs) {
    Scenarios().push_back({name, run, needs});
}

void RecordFailure(const char* file, int line, const std::string& message) {
    ++g_failures;
    const char* base = std::strrchr(file, '/');
    std::printf("    FAILED %s:%d: %s\n", base != nullptr ? base + 1 : file, line, message.c_str());
    std::fflush(stdout);
}

int RunChild(const char* mode);  // scenarios_process.cpp

}  // namespace wintest

int main(int argc, char** argv) {
    using namespace wintest;
    setvbuf(stdout, nullptr, _IONBF, 0);

    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir = path;
    dir.erase(dir.find_last_of('\\') + 1);
    Env().hostDir = dir;
    // Vexlor.dll is loaded from the host's directory.
    SetCurrentDirectoryA(dir.c_str());

    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);

    std::vector<std::string> only;
    bool list = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--child" && hasValue) {
            return RunChild(argv[++i]);
        } else if (arg == "--sim" && hasValue) {
            const std::string assignment = argv[++i];
            const size_t eq = assignment.find('=');
            if (eq == std::string::npos) {
                std::fprintf(stderr, "bad --sim %s (want NAME=PORT)\n", assignment.c_str());
                return 2;
            }
            Env().simDevices.push_back(
                {assignment.substr(0, eq), std::atoi(assignment.c_str() + eq + 1)});
        } else if (arg == "--trace-file" && hasValue) {
            Env().traceFile = argv[++i];
        } else if (arg == "--ini-from-linux" && hasValue) {
            Env().iniFromLinuxDir = WithFinalBackslash(argv[++i]);
        } else if (arg == "--ini-to-linux" && hasValue) {
            Env().iniToLinuxDir = WithFinalBackslash(argv[++i]);
        } else if (arg == "--load-sim" && hasValue) {
            Env().loadSimControlPort = std::atoi(argv[++i]);
        } else if (arg == "--only" && hasValue) {
            only.push_back(argv[++i]);
        } else if (arg == "--list") {
            list = true;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
            return 2;
        }
    }

    int passed = 0, failed = 0, skipped = 0;
    for (const Scenario& scenario : Scenarios()) {
        if (!only.empty()) {
            bool wanted = false;
            for (const std::string& name : only) wanted = wanted || name == scenario.name;
            if (!wanted) continue;
        }
        if (list) {
            std::printf("%s\n", scenario.name);
            continue;
        }
        std::string missing;
        if ((scenario.needs & kNeedsSimulator) && Env().simDevices.empty()) {
            missing = "no simulator devices given (--sim)";
        }
        if ((scenario.needs & kNeedsTraceLibrary) && Env().traceFile.empty()) {
            missing = "no trace file given (--trace-file)";
        }
        if ((scenario.needs & kNeedsIniFromLinux) && Env().iniFromLinuxDir.empty()) {
            missing = "no settings file from Linux given (--ini-from-linux)";
        }
        if ((scenario.needs & kNeedsIniToLinux) && Env().iniToLinuxDir.empty()) {
            missing = "no directory for a settings file to Linux given (--ini-to-linux)";
        }
        if ((scenario.needs & kNeedsLoadSimulator) && Env().loadSimControlPort == 0) {
            missing = "no simulator for the load given (--load-sim)";
        }
        if (!missing.empty()) {
            std::printf("[ SKIP ] %s: %s\n", scenario.name, missing.c_str());
            ++skipped;
            continue;
        }
        std::printf("[ RUN  ] %s\n", scenario.name);
        const int before = g_failures;
        RemoveIni();
        scenario.run();
        Unload();
        RemoveIni();
        if (g_failures == before) {
            std::printf("[   OK ] %s\n", scenario.name);
            ++passed;
        } else {
            std::printf("[ FAIL ] %s\n", scenario.name);
            ++failed;
        }
    }
    if (!list) std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    WSACleanup();
    return failed == 0 ? 0 : 1;
}
