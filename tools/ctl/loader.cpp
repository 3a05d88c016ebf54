#include "loader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/posix/profile_file.h"
#endif

namespace vexlorctl {

#if defined(_WIN32)

const char* DefaultDriverName() {
    return "Vexlor.dll";
}
char PathSeparator() {
    return '\\';
}

std::string ExecutableDirectory() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return std::string();
    std::string text(path, length);
    const size_t cut = text.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : text.substr(0, cut + 1);
}

std::string DefaultDriverPath() {
    return ExecutableDirectory() + DefaultDriverName();
}

LibraryHandle OpenLibrary(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "LoadLibraryA failed with error " + std::to_string(GetLastError());
    }
    return reinterpret_cast<LibraryHandle>(module);
}

void* FindSymbol(LibraryHandle library, const char* name) {
    FARPROC address = GetProcAddress(reinterpret_cast<HMODULE>(library), name);
    return reinterpret_cast<void*>(address);
}

void CloseLibrary(LibraryHandle library) {
    if (library != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(library));
}

void SleepMs(unsigned milliseconds) {
    Sleep(milliseconds);
}

std::string SettingsFileOf(const std::string& driverPath) {
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(driverPath.c_str(), sizeof full, full, nullptr);
    std::string path = length > 0 && length < sizeof full ? std::string(full, length) : driverPath;
    const size_t cut = path.find_last_of("\\/");
    return (cut == std::string::npos ? std::string() : path.substr(0, cut + 1)) + "Vexlor.ini";
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ReadSettingsText(const std::string& file, const std::string& section, const std::string& key,
                      std::string& value) {
    // A default that no stored value can be tells a missing key from an empty one.
    const char kMissing[] = "\x01";
    char text[256];
    GetPrivateProfileStringA(section.c_str(), key.c_str(), kMissing, text, sizeof text,
                             file.c_str());
    if (std::string(text) == kMissing) return false;
    value = text;
    return true;
}

#else

const char* DefaultDriverName() {
    return "libvexlor.so";
}
char PathSeparator() {
    return '/';
}

std::string ExecutableDirectory() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::string();
    std::string text(path, static_cast<size_t>(length));
    const size_t cut = text.rfind('/');
    return cut == std::string::npos ? std::string() : text.substr(0, cut + 1);
}

std::string DefaultDriverPath() {
    const std::string here = ExecutableDirectory();
    const std::string beside = here + DefaultDriverName();
    if (here.empty() || access(beside.c_str(), F_OK) == 0) return beside;
#if defined(VEXLOR_INSTALLED_DRIVER_DIR) && defined(VEXLOR_INSTALLED_DRIVER_NAME)
    // The directory is resolved so that the driver sees (and finds Vexlor.ini by) a plain path.
    char resolved[PATH_MAX];
    const std::string installed = here + VEXLOR_INSTALLED_DRIVER_DIR;
    if (realpath(installed.c_str(), resolved) != nullptr) {
        const std::string path = std::string(resolved) + "/" + VEXLOR_INSTALLED_DRIVER_NAME;
        if (access(path.c_str(), F_OK) == 0) return path;
    }
#endif
    return beside;
}

LibraryHandle OpenLibrary(const std::string& path, std::string& error) {
    // A name without a directory would be searched on the library path; the tool means a file.
    const std::string name = path.find('/') == std::string::npos ? "./" + path : path;
    void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* message = dlerror();
        error = message != nullptr ? message : "dlopen failed";
    }
    return library;
}

void* FindSymbol(LibraryHandle library, const char* name) {
    return dlsym(library, name);
}

void CloseLibrary(LibraryHandle library) {
    if (library != nullptr) dlclose(library);
}

void SleepMs(unsigned milliseconds) {
    timespec wait{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

std::string SettingsFileOf(const std::string& driverPath) {
    const size_t cut = driverPath.rfind('/');
    std::string directory = cut == std::string::npos ? "." : driverPath.substr(0, cut);
    if (directory.empty()) directory = "/";
    char resolved[PATH_MAX];
    if (realpath(directory.c_str(), resolved) != nullptr) directory = resolved;
    return directory + (directory.back() == '/' ? "" : "/") + "Vexlor.ini";
}

bool FileExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

bool ReadSettingsText(const std::string& file, const std::string& section, const std::string& key,
                      std::string& value) {
    char text[256];
    uint32_t length = 0;
    const bool found = vexlor::platform::profile::LookupPath(
        file.c_str(), section.c_str(), key.c_str(), text, sizeof text, &length);
    if (found) value.assign(text, length);
    return found;
}

#endif

}  // namespace vexlorctl
