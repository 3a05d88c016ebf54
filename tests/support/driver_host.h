// DriverHost: the built driver library as a host application uses it.
//
//     vexlor::testing::DriverHost driver(vexlor::testing::BuiltDriverFiles(), "vexlor-digital");
//     ASSERT_TRUE(driver.WriteSlots({{1, sim.port(0), "0", "secret"}}));
//     ASSERT_TRUE(driver.Load()) << driver.error();
//     EXPECT_EQ(driver.Init(1), 0);
//     auto readDI = driver.fn<decltype(VexlorWeb_IO_12xDigital_ReadDI)>(
//         "VexlorWeb_IO_12xDigital_ReadDI");
//
// The constructor copies libvexlor.so and the chosen companion libraries (the socket layer
// libwsock32.so, the trace library liborvane.so) into a fresh private directory, where the
// driver looks for them and for its Vexlor.ini. Load() opens that copy with dlopen, exports are
// looked up by name, Unload() closes it again; the destructor unloads and removes the directory.
//
// The driver keeps its state in static storage of the loaded library: each DriverHost is an
// independent driver, and a test that loads one gets a fresh driver.
//
// Nothing here throws. Failures show as false results with a description in error().
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include <vexlor.h>

#include "support/temp_dir.h"

namespace vexlor::testing {

// The files installed into the driver's directory. Empty companion paths are left out.
struct DriverFiles {
    std::string driver;        // installed as libvexlor.so
    std::string socketLayer;   // installed as libwsock32.so
    std::string traceLibrary;  // installed as liborvane.so
};

#ifdef VEXLOR_DRIVER_PATH
// The libraries of this build, as the test target was given them (vexlor_add_integration_test
// defines VEXLOR_DRIVER_PATH, VEXLOR_WSOCK32_PATH and, where the trace library is built,
// VEXLOR_ORVANE_PATH).
inline DriverFiles BuiltDriverFiles(bool withSocketLayer = true, bool withTraceLibrary = false) {
    DriverFiles files;
    files.driver = VEXLOR_DRIVER_PATH;
    if (withSocketLayer) files.socketLayer = VEXLOR_WSOCK32_PATH;
#ifdef VEXLOR_ORVANE_PATH
    if (withTraceLibrary) files.traceLibrary = VEXLOR_ORVANE_PATH;
#else
    (void)withTraceLibrary;
#endif
    return files;
}
#endif

// One slot of Vexlor.ini as the configuration dialog writes it.
struct SlotSettings {
    int slot = 0;
    uint16_t port = 0;
    std::string timing = "0";
    std::string password;  // plain text; the I/O Controller marker is stored as it is
    std::string ip = "127.0.0.1";
};

// The text Vexlor.ini holds for a plain password: scrambled position by position with the
// driver's fixed key of digits, as the configuration dialog stores it; Init unscrambles it.
// Characters the dialog's scrambling would not bring back (a space comes back as "~") are
// stored as the byte that unscrambles to them, as a settings file written by other means may
// hold. "I/O Controller" marks an I/O Controller slot and is stored unchanged.
std::string StoredPassword(const std::string& plain);

// "[DEV]" with Devices=<count>, then one "[DEV<slot>]" section per slot, lines ended by "\n".
// False when a stored password would start with a quote (reading would strip it).
bool SettingsText(const std::vector<SlotSettings>& slots, std::string* text);

class DriverHost {
  public:
    explicit DriverHost(const DriverFiles& files, const std::string& prefix = "vexlor-driver");
    ~DriverHost();
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    // The directory exists and every file was copied into it.
    bool installed() const { return installed_; }
    bool loaded() const { return handle_ != nullptr; }
    // The last failure, for test messages.
    const std::string& error() const { return error_; }
    const TempDir& dir() const { return dir_; }
    std::string libraryPath() const { return dir_.file("libvexlor.so"); }

    // Replaces Vexlor.ini (written under another name and renamed, so that the driver never
    // reads half a file). Init reads a slot's settings from the file each time.
    bool WriteSettings(const std::string& text);
    bool WriteSlots(const std::vector<SlotSettings>& slots);

    // dlopen of the installed copy (RTLD_NOW | RTLD_LOCAL); false with dlerror() in error().
    bool Load();
    // dlclose; returns its result (0 also when nothing was loaded).
    int Unload();
    // Whether the dynamic loader still holds a file of the directory (RTLD_NOLOAD finds only
    // loaded objects).
    bool StillMapped(const std::string& name) const;

    // An exported symbol of the loaded driver; nullptr when missing or nothing is loaded.
    void* Symbol(const char* name) const;
    // An exported function, for calling right away: ends the test program with a message when
    // the driver lacks it (calling nullptr would only crash less clearly).
    template <typename Fn>
    Fn* fn(const char* name) const {
        return reinterpret_cast<Fn*>(Require(name));
    }
    // Looks an exported function up into a pointer; false (and error()) when it is missing.
    template <typename Pointer>
    bool Bind(Pointer& pointer, const char* name) {
        static_assert(std::is_pointer_v<Pointer>, "Bind takes a function pointer");
        pointer = reinterpret_cast<Pointer>(Symbol(name));
        if (pointer == nullptr) Fail(std::string("the driver library lacks ") + name);
        return pointer != nullptr;
    }

    // VexlorWeb_IO_Init and VexlorWeb_IO_DeInit of the loaded driver.
    int Init(uint16_t slot, uint16_t language = 1) const;
    int DeInit(uint16_t slot, uint16_t language = 1) const;

  private:
    bool Copy(const std::string& from, const char* name);
    void* Require(const char* name) const;
    void Fail(const std::string& why);

    TempDir dir_;
    bool installed_ = false;
    void* handle_ = nullptr;
    std::string error_;
};

}  // namespace vexlor::testing
