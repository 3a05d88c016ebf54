#include "fake_dialog.h"

#include <mutex>

namespace fake {
namespace {

std::mutex g_dialogMu;
ConfigDialogRunner g_runner;
std::vector<vexlor::platform::ConfigDialogTemplate> g_runs;

}  // namespace

void SetConfigDialogRunner(ConfigDialogRunner runner) {
    std::lock_guard<std::mutex> lock(g_dialogMu);
    g_runner = std::move(runner);
}

std::vector<vexlor::platform::ConfigDialogTemplate> ConfigDialogRuns() {
    std::lock_guard<std::mutex> lock(g_dialogMu);
    return g_runs;
}

void ClearConfigDialogRuns() {
    std::lock_guard<std::mutex> lock(g_dialogMu);
    g_runs.clear();
}

}  // namespace fake

namespace vexlor::platform {

int RunConfigDialog(ConfigDialogTemplate which) {
    fake::ConfigDialogRunner runner;
    {
        std::lock_guard<std::mutex> lock(fake::g_dialogMu);
        fake::g_runs.push_back(which);
        runner = fake::g_runner;
    }
    // The runner runs without the lock: a modal dialog calls back into the driver.
    return runner ? runner(which) : -1;
}

}  // namespace vexlor::platform
