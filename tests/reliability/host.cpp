#include "host.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vexlor.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace reliability {
namespace {

constexpr char kPasswordKey[] = "27183271832718327183271832718327183271832718327183";
constexpr char kIoControllerMarker[] = "I/O Controller";

// The stored (scrambled) form of a plain password of printable characters.
std::string Scrambled(const std::string& plain) {
    if (plain == kIoControllerMarker) return plain;
    std::string stored;
    for (size_t i = 0; i < plain.size(); ++i) {
        auto e = static_cast<uint8_t>(static_cast<uint8_t>(plain[i]) +
                                      static_cast<uint8_t>(kPasswordKey[i]));
        if (e < 33 || e > 126) e = static_cast<uint8_t>(e - 94);
        stored.push_back(static_cast<char>(e));
    }
    return stored;
}

bool CopyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (!in || !out) return false;
    out << in.rdbuf();
    return static_cast<bool>(out);
}

int CountEntries(const char* path) {
    int count = 0;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                ++count;
            }
        }
        closedir(dir);
    }
    return count;
}

}  // namespace

Host::Host() {
    if (!dir_.ok() || !CopyFile(VEXLOR_DRIVER_PATH, dir_.file("libvexlor.so")) ||
        !CopyFile(VEXLOR_WSOCK32_PATH, dir_.file("libwsock32.so"))) {
        error_ = "cannot install the driver into a temporary directory";
    }
}

Host::~Host() {
    Unload();
}

bool Host::Configure(const std::vector<SlotSetting>& slots) {
    std::ostringstream ini;
    ini << "[DEV]\r\nDevices=" << slots.size() << "\r\n";
    for (const SlotSetting& s : slots) {
        const std::string stored = Scrambled(s.password);
        // A stored value with blanks or quotes at its ends would need quoting: not used here.
        if (!stored.empty() && (stored.front() == '"' || stored.front() == '\'')) return false;
        ini << "[DEV" << s.slot << "]\r\nIP=127.0.0.1\r\nPort=" << s.port
            << "\r\nTiming=" << s.timing << "\r\nPassword=" << stored << "\r\n";
        if (!s.replyTimeout.empty()) ini << "Reply Timeout=" << s.replyTimeout << "\r\n";
        if (!s.reconnect.empty()) ini << "Reconnect=" << s.reconnect << "\r\n";
    }
    return dir_.write("Vexlor.ini", ini.str());
}

bool Host::Load() {
    if (!error_.empty()) return false;
    handle_ = dlopen(libraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) error_ = dlerror();
    return handle_ != nullptr;
}

int Host::Unload() {
    if (handle_ == nullptr) return 0;
    const int result = dlclose(handle_);
    handle_ = nullptr;
    return result;
}

void* Host::fn(const char* name) const {
    void* address = handle_ != nullptr ? dlsym(handle_, name) : nullptr;
    if (address == nullptr) {
        std::fprintf(stderr, "driver function %s not found\n", name);
        std::abort();
    }
    return address;
}

#define VEXLOR_FN(name) reinterpret_cast<decltype(&name)>(fn(#name))

int Host::Init(uint16_t slot, uint16_t language) const {
    return VEXLOR_FN(VexlorWeb_IO_Init)(language, slot);
}

int Host::DeInit(uint16_t slot, uint16_t language) const {
    return VEXLOR_FN(VexlorWeb_IO_DeInit)(language, slot);
}

int Host::ReadDI12(uint16_t slot, uint16_t* w, std::array<uint16_t, 12>& b) const {
    return VEXLOR_FN(VexlorWeb_IO_12xDigital_ReadDI)(1, slot, w, &b[0], &b[1], &b[2], &b[3], &b[4],
                                                     &b[5], &b[6], &b[7], &b[8], &b[9], &b[10],
                                                     &b[11]);
}

int Host::ReadDO12(uint16_t slot, uint16_t* w, std::array<uint16_t, 12>& b) const {
    return VEXLOR_FN(VexlorWeb_IO_12xDigital_ReadDO)(1, slot, w, &b[0], &b[1], &b[2], &b[3], &b[4],
                                                     &b[5], &b[6], &b[7], &b[8], &b[9], &b[10],
                                                     &b[11]);
}

int Host::WriteDO12(uint16_t slot, const std::array<uint16_t, 12>& o) const {
    return VEXLOR_FN(VexlorWeb_IO_12xDigital_WriteDO)(1, slot, o[0], o[1], o[2], o[3], o[4], o[5],
                                                      o[6], o[7], o[8], o[9], o[10], o[11]);
}

int Host::ReadCI12(uint16_t slot, std::array<int32_t, 12>& c) const {
    return VEXLOR_FN(VexlorWeb_IO_12xDigital_ReadCI)(1, slot, &c[0], &c[1], &c[2], &c[3], &c[4],
                                                     &c[5], &c[6], &c[7], &c[8], &c[9], &c[10],
                                                     &c[11]);
}

int Host::ResetCI12(uint16_t slot, const std::array<uint16_t, 12>& c) const {
    return VEXLOR_FN(VexlorWeb_IO_12xDigital_ResetCI)(1, slot, c[0], c[1], c[2], c[3], c[4], c[5],
                                                      c[6], c[7], c[8], c[9], c[10], c[11]);
}

int Host::ReadDI24(uint16_t slot, uint32_t* w, std::array<uint16_t, 24>& b) const {
    return VEXLOR_FN(VexlorWeb_IO_24xDigital_ReadDI)(
        1, slot, w, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &b[8], &b[9], &b[10],
        &b[11], &b[12], &b[13], &b[14], &b[15], &b[16], &b[17], &b[18], &b[19], &b[20], &b[21],
        &b[22], &b[23]);
}

int Host::ReadDO24(uint16_t slot, uint32_t* w, std::array<uint16_t, 24>& b) const {
    return VEXLOR_FN(VexlorWeb_IO_24xDigital_ReadDO)(
        1, slot, w, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &b[8], &b[9], &b[10],
        &b[11], &b[12], &b[13], &b[14], &b[15], &b[16], &b[17], &b[18], &b[19], &b[20], &b[21],
        &b[22], &b[23]);
}

int Host::WriteDO24(uint16_t slot, const std::array<uint16_t, 24>& o) const {
    return VEXLOR_FN(VexlorWeb_IO_24xDigital_WriteDO)(
        1, slot, o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7], o[8], o[9], o[10], o[11], o[12],
        o[13], o[14], o[15], o[16], o[17], o[18], o[19], o[20], o[21], o[22], o[23]);
}

int Host::ReadCI24(uint16_t slot, std::array<int32_t, 24>& c) const {
    return VEXLOR_FN(VexlorWeb_IO_24xDigital_ReadCI)(
        1, slot, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7], &c[8], &c[9], &c[10],
        &c[11], &c[12], &c[13], &c[14], &c[15], &c[16], &c[17], &c[18], &c[19], &c[20], &c[21],
        &c[22], &c[23]);
}

int Host::ReadThermo(int readings, uint16_t slot, double* t) const {
    switch (readings) {
        case 1:
            return VEXLOR_FN(VexlorWeb_IO_1xThermometer_Read)(1, slot, &t[0]);
        case 2:
            return VEXLOR_FN(VexlorWeb_IO_2xThermometer_Read)(1, slot, &t[0], &t[1]);
        default:
            return VEXLOR_FN(VexlorWeb_IO_8xThermometer_Read)(1, slot, &t[0], &t[1], &t[2], &t[3],
                                                              &t[4], &t[5], &t[6], &t[7]);
    }
}

int Host::IocReadDI(uint16_t slot, uint16_t* value, std::array<uint16_t, 8>& in) const {
    return VEXLOR_FN(HWgroup_IOController_ReadDI)(1, slot, value, &in[0], &in[1], &in[2], &in[3],
                                                  &in[4], &in[5], &in[6], &in[7]);
}

int Host::IocWriteDO(uint16_t slot, const std::array<uint16_t, 8>& o) const {
    return VEXLOR_FN(HWgroup_IOController_WriteDO)(1, slot, o[0], o[1], o[2], o[3], o[4], o[5],
                                                   o[6], o[7]);
}

#undef VEXLOR_FN

int OpenDescriptors() {
    return CountEntries("/proc/self/fd") - 1;  // without the one reading the directory
}

std::string DescribeDescriptors() {
    std::string text;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            char target[512] = "";
            const std::string link = std::string("/proc/self/fd/") + entry->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0) target[n] = '\0';
            text += std::string(entry->d_name) + " -> " + target + "\n";
        }
        closedir(dir);
    }
    return text;
}

int Threads() {
    return CountEntries("/proc/self/task");
}

bool Mapped(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(path) != std::string::npos) return true;
    }
    return false;
}

bool Eventually(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool UpLongEnoughForThermometers() {
    timespec up{};
    clock_gettime(CLOCK_BOOTTIME, &up);
    return up.tv_sec > 60;
}

}  // namespace reliability
