// Stand-in for the platform functions that the settings code needs besides the profile
// functions, and the module state that it reads.
#include "fake_module.h"

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "core/device_table.h"
#include "platform/platform.h"

namespace vexlor {
ModuleState g_module;
}  // namespace vexlor

namespace vexlor::platform {

ModuleHandle SelfModule() {
    return g_module.moduleHandle;
}

uint32_t ModuleFileName(ModuleHandle, char* buffer, uint32_t size) {
    if (fake::g_modulePath.empty() || size == 0) return 0;
    const size_t n = std::min<size_t>(fake::g_modulePath.size(), size - 1);
    std::memcpy(buffer, fake::g_modulePath.data(), n);
    buffer[n] = '\0';
    return static_cast<uint32_t>(n);
}

char PathSeparator() {
    return '/';
}

}  // namespace vexlor::platform

namespace fake {

std::string g_modulePath;

TempDir::TempDir() {
    char pattern[] = "/tmp/vexlor-config-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    if (DIR* dir = opendir(path_.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                unlink((path_ + "/" + entry->d_name).c_str());
            }
        }
        closedir(dir);
    }
    rmdir(path_.c_str());
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ListDir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                names.push_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : " ") + name;
    return list;
}

}  // namespace fake
