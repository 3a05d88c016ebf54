#include "support/driver_host.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vexlor::testing {
namespace {

// The key of the password scrambling: one digit per character position.
constexpr char kPasswordKey[] = "27183271832718327183271832718327183271832718327183";
constexpr char kIoControllerMarker[] = "I/O Controller";

uint8_t ScrambleChar(uint8_t c, size_t i) {
    auto e = static_cast<uint8_t>(c + static_cast<uint8_t>(kPasswordKey[i]));
    if (e < 33 || e > 126) e = static_cast<uint8_t>(e - 94);
    return e;
}

uint8_t UnscrambleChar(uint8_t c, size_t i) {
    auto d = static_cast<uint8_t>(c - static_cast<uint8_t>(kPasswordKey[i]));
    if (d < 33 || d > 126) d = static_cast<uint8_t>(d + 94);
    return d;
}

}  // namespace

std::string StoredPassword(const std::string& plain) {
    if (plain == kIoControllerMarker) return plain;
    std::string stored;
    for (size_t i = 0; i < plain.size() && i + 1 < sizeof kPasswordKey; ++i) {
        const auto p = static_cast<uint8_t>(plain[i]);
        uint8_t c = ScrambleChar(p, i);
        if (UnscrambleChar(c, i) != p) {
            for (int candidate = 1; candidate < 256; ++candidate) {
                if (UnscrambleChar(static_cast<uint8_t>(candidate), i) == p) {
                    c = static_cast<uint8_t>(candidate);
                    break;
                }
            }
        }
        stored.push_back(static_cast<char>(c));
    }
    return stored;
}

bool SettingsText(const std::vector<SlotSettings>& slots, std::string* text) {
    std::ostringstream ini;
    ini << "[DEV]\nDevices=" << slots.size() << "\n";
    for (const SlotSettings& s : slots) {
        const std::string stored = StoredPassword(s.password);
        // The profile reader would strip blanks or quotes at the ends of a value.
        if (!stored.empty() && (stored.front() == '"' || stored.front() == '\'')) return false;
        ini << "[DEV" << s.slot << "]\nIP=" << s.ip << "\nPort=" << s.port
            << "\nTiming=" << s.timing << "\nPassword=" << stored << "\n";
    }
    *text = ini.str();
    return true;
}

DriverHost::DriverHost(const DriverFiles& files, const std::string& prefix) : dir_(prefix) {
    if (!dir_.ok()) {
        Fail("no temporary directory");
        return;
    }
    installed_ = Copy(files.driver, "libvexlor.so") &&
                 (files.socketLayer.empty() || Copy(files.socketLayer, "libwsock32.so")) &&
                 (files.traceLibrary.empty() || Copy(files.traceLibrary, "liborvane.so"));
}

DriverHost::~DriverHost() {
    Unload();
}

void DriverHost::Fail(const std::string& why) {
    error_ = why;
}

bool DriverHost::Copy(const std::string& from, const char* name) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(dir_.file(name), std::ios::binary | std::ios::trunc);
    if (in && out) {
        out << in.rdbuf();
        out.close();
        if (out) return true;
    }
    Fail("cannot copy " + from);
    return false;
}

bool DriverHost::WriteSettings(const std::string& text) {
    const std::string path = dir_.file("Vexlor.ini");
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            Fail("cannot write Vexlor.ini");
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        Fail("cannot write Vexlor.ini");
        return false;
    }
    return true;
}

bool DriverHost::WriteSlots(const std::vector<SlotSettings>& slots) {
    std::string text;
    if (!SettingsText(slots, &text)) {
        Fail("stored password needs quoting");
        return false;
    }
    return WriteSettings(text);
}

bool DriverHost::Load() {
    if (!installed_) return false;
    if (handle_ != nullptr) return true;
    handle_ = dlopen(libraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        Fail(why != nullptr ? why : "dlopen failed");
    }
    return handle_ != nullptr;
}

int DriverHost::Unload() {
    if (handle_ == nullptr) return 0;
    const int result = dlclose(handle_);
    handle_ = nullptr;
    return result;
}

bool DriverHost::StillMapped(const std::string& name) const {
    void* handle = dlopen(dir_.file(name).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

void* DriverHost::Symbol(const char* name) const {
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

void* DriverHost::Require(const char* name) const {
    void* address = Symbol(name);
    if (address == nullptr) {
        std::fprintf(stderr, "driver function %s not found\n", name);
        std::abort();
    }
    return address;
}

int DriverHost::Init(uint16_t slot, uint16_t language) const {
    return fn<decltype(VexlorWeb_IO_Init)>("VexlorWeb_IO_Init")(language, slot);
}

int DriverHost::DeInit(uint16_t slot, uint16_t language) const {
    return fn<decltype(VexlorWeb_IO_DeInit)>("VexlorWeb_IO_DeInit")(language, slot);
}

}  // namespace vexlor::testing
