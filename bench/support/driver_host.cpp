#include "support/driver_host.h"

#include <dlfcn.h>
#include <ftw.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <type_traits>

namespace vexlor::bench {
namespace {

// Key of the password scrambling in the settings file: one digit per character position.
constexpr char kPasswordKey[] = "27183271832718327183271832718327183271832718327183";

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return std::remove(path);
}

}  // namespace

std::string StoredPassword(const std::string& plain) {
    std::string stored;
    for (size_t i = 0; i < plain.size() && i + 1 < sizeof kPasswordKey; ++i) {
        auto e = static_cast<uint8_t>(static_cast<uint8_t>(plain[i]) +
                                      static_cast<uint8_t>(kPasswordKey[i]));
        if (e < 33 || e > 126) e = static_cast<uint8_t>(e - 94);
        stored.push_back(static_cast<char>(e));
    }
    return stored;
}

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    std::string p(path);
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? "" : p.substr(0, slash);
}

void RemoveTree(const std::string& path) {
    if (path.empty()) return;
    nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

DriverHost::DriverHost(const std::string& driverPath, const std::string& wsockPath) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vexlor-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        fail("cannot create a temporary directory");
        return;
    }
    dir_ = pattern;
    if (!copyFile(driverPath, "libvexlor.so") || !copyFile(wsockPath, "libwsock32.so")) return;
    if (!writeSettings({})) return;
    const std::string lib = dir_ + "/libvexlor.so";
    handle_ = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        fail(why != nullptr ? why : "dlopen failed");
        return;
    }
    bool all = true;
    auto bind = [&](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle_, name));
        if (fn == nullptr) all = false;
    };
    bind(init, "VexlorWeb_IO_Init");
    bind(deinit, "VexlorWeb_IO_DeInit");
    bind(readDI12, "VexlorWeb_IO_12xDigital_ReadDI");
    bind(readDO12, "VexlorWeb_IO_12xDigital_ReadDO");
    bind(writeDO12, "VexlorWeb_IO_12xDigital_WriteDO");
    bind(readCI12, "VexlorWeb_IO_12xDigital_ReadCI");
    if (!all) {
        dlclose(handle_);
        handle_ = nullptr;
        fail("the driver library lacks an exported function");
    }
}

DriverHost::~DriverHost() {
    if (handle_ != nullptr) dlclose(handle_);
    RemoveTree(dir_);
}

void DriverHost::fail(const std::string& why) {
    if (error_.empty()) error_ = why;
}

bool DriverHost::copyFile(const std::string& from, const std::string& name) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(dir_ + "/" + name, std::ios::binary | std::ios::trunc);
    if (!in || !out) {
        fail("cannot copy " + from);
        return false;
    }
    out << in.rdbuf();
    out.close();
    if (!out) {
        fail("cannot copy " + from);
        return false;
    }
    return true;
}

bool DriverHost::writeSettings(const std::vector<SlotSettings>& slots) {
    std::ostringstream ini;
    ini << "[DEV]\nDevices=" << slots.size() << "\n";
    for (const auto& s : slots) {
        ini << "[DEV" << s.slot << "]\nIP=" << s.ip << "\nPort=" << s.port
            << "\nTiming=" << s.timing << "\nPassword=" << StoredPassword(s.password) << "\n";
    }
    // Written under another name and renamed, so that a reader never sees half a file.
    const std::string path = dir_ + "/Vexlor.ini";
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << ini.str();
        out.close();
        if (!out) {
            fail("cannot write Vexlor.ini");
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        fail("cannot write Vexlor.ini");
        return false;
    }
    return true;
}

int DriverHost::ReadDI(uint16_t slot, uint16_t* w, uint16_t (&b)[12]) const {
    return readDI12(1, slot, w, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &b[8],
                    &b[9], &b[10], &b[11]);
}

int DriverHost::ReadDO(uint16_t slot, uint16_t* w, uint16_t (&b)[12]) const {
    return readDO12(1, slot, w, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &b[8],
                    &b[9], &b[10], &b[11]);
}

int DriverHost::ReadCI(uint16_t slot, int32_t (&c)[12]) const {
    return readCI12(1, slot, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7], &c[8], &c[9],
                    &c[10], &c[11]);
}

int DriverHost::WriteDO(uint16_t slot, const uint16_t (&v)[12]) const {
    return writeDO12(1, slot, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10],
                     v[11]);
}

}  // namespace vexlor::bench
