// The few platform functions the settings code needs besides the profile-file functions, for a
// process that is not the driver: the module path is the chosen directory + "/libvexlor.so".
#include "module_path.h"

#include <unistd.h>

#include <cstring>

#include "config/settings.h"
#include "core/device_table.h"
#include "platform/platform.h"

namespace vexlor {

// The settings code reads the module handle and the bare file name from the module state.
ModuleState g_module;

namespace platform {

namespace {
std::string g_modulePath;
char g_selfMarker;
}  // namespace

ModuleHandle SelfModule() {
    return &g_selfMarker;
}

uint32_t ModuleFileName(ModuleHandle module, char* buffer, uint32_t size) {
    if (module != &g_selfMarker || buffer == nullptr || size == 0 || g_modulePath.empty()) {
        return 0;
    }
    // As GetModuleFileNameA: at most size - 1 characters and a NUL; a cut path reports size.
    const size_t length = g_modulePath.size();
    const size_t copied = length < size ? length : size - 1;
    std::memcpy(buffer, g_modulePath.data(), copied);
    buffer[copied] = '\0';
    return length < size ? static_cast<uint32_t>(length) : size;
}

char PathSeparator() {
    return '/';
}

}  // namespace platform
}  // namespace vexlor

namespace vexlorconfig {

void SetSettingsDirectory(const std::string& directory) {
    std::string path = directory;
    if (path.empty() || path.back() != '/') path += '/';
    vexlor::platform::g_modulePath = path + "libvexlor.so";
    vexlor::g_module.moduleHandle = vexlor::platform::SelfModule();
    std::strcpy(vexlor::g_module.settingsFileName, vexlor::kSettingsFileName);
}

std::string SettingsFilePath() {
    char path[vexlor::kPathSize];
    vexlor::SettingsPath(path, vexlor::kSettingsFileName, sizeof path);
    return path;
}

std::string ExecutableDirectory() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::string();
    std::string text(path, static_cast<size_t>(length));
    const size_t cut = text.rfind('/');
    return cut == std::string::npos ? std::string() : text.substr(0, cut);
}

std::string DefaultSettingsDirectory() {
    const std::string here = ExecutableDirectory();
    if (here.empty() || access((here + "/libvexlor.so").c_str(), F_OK) == 0) return here;
#if defined(VEXLOR_INSTALLED_DRIVER_DIR) && defined(VEXLOR_INSTALLED_DRIVER_NAME)
    const std::string installed = here + "/" + VEXLOR_INSTALLED_DRIVER_DIR;
    if (access((installed + "/" + VEXLOR_INSTALLED_DRIVER_NAME).c_str(), F_OK) == 0) {
        return installed;
    }
#endif
    return here;
}

}  // namespace vexlorconfig
