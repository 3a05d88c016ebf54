// The configuration dialog in the fake platform: RunConfigDialog calls a runner that the test
// installs (for example one that drives ConfigDialog on an in-memory surface) and records which
// template was asked for. Without a runner the dialog "cannot be created" (-1).
#pragma once

#include <functional>
#include <vector>

#include "platform/platform.h"

namespace fake {

using ConfigDialogRunner = std::function<int(vexlor::platform::ConfigDialogTemplate)>;

// Installs the runner (empty: none). Not cleared by Reset(); tests that install one remove it.
void SetConfigDialogRunner(ConfigDialogRunner runner);
// Templates of every RunConfigDialog call since the last ClearConfigDialogRuns().
std::vector<vexlor::platform::ConfigDialogTemplate> ConfigDialogRuns();
void ClearConfigDialogRuns();

}  // namespace fake
