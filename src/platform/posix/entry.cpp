// The library's load and unload notification on POSIX: the dynamic loader runs the constructor
// when the host loads libvexlor.so and the destructor when it unloads it (dlclose) or the
// process ends.
#include "core/module.h"
#include "platform/posix/threads.h"

namespace {

// Bound for the final wait for receive threads that were released while still running.
constexpr unsigned kReleasedThreadWaitMs = 1000;

__attribute__((constructor)) void VexlorLibraryLoaded() {
    vexlor::ModuleStartup();
}

__attribute__((destructor)) void VexlorLibraryUnloaded() {
    vexlor::ModuleShutdown();
    vexlor::platform::posix::JoinReleasedThreads(kReleasedThreadWaitMs);
}

}  // namespace
