// Module start-up and shut-down: run by the platform's library entry point when the host
// process loads and unloads the driver (and called directly by unit tests).
#pragma once

namespace vexlor {

void ModuleStartup();
void ModuleShutdown();

}  // namespace vexlor
