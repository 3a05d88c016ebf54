// DriverHost: the built driver library loaded the way a host application loads it, for the
// benchmarks.
//
// Installing and loading are the test helper's (tests/support/driver_host.h): the library and its
// socket layer (libwsock32.so) are copied into a private temporary directory, a Vexlor.ini is
// written beside them, and the copy is loaded with dlopen. The exported functions the benchmarks
// time are looked up once at load, so a timed call is a plain call through a pointer. The
// directory is removed when the host is destroyed (after dlclose).
//
// Only one DriverHost should exist per process: the driver keeps all its state in static storage
// of the loaded library, so a second copy would be a second, independent driver.
#pragma once

#include <vexlor.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/driver_host.h"

namespace vexlor::bench {

// One slot of Vexlor.ini; the password is plain text, stored scrambled as the configuration
// dialog stores it.
using SlotSettings = vexlor::testing::SlotSettings;

class DriverHost {
  public:
    DriverHost(const std::string& driverPath, const std::string& wsockPath);
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    // Loaded with every function below found.
    bool ok() const { return ok_; }
    // dlclose of the driver (the process-wide shut-down of the library runs in it); returns its
    // result. The function pointers must not be called until reload() succeeded.
    int unload();
    // Loads the installed copy again and looks the functions up afresh; a no-op while loaded.
    bool reload();
    const std::string& error() const { return host_.error(); }
    const std::string& directory() const { return host_.dir().path(); }

    // Rewrites Vexlor.ini. Init reads a slot's settings from the file, so the new values apply
    // to every slot initialised afterwards.
    bool writeSettings(const std::vector<SlotSettings>& slots) { return host_.WriteSlots(slots); }
    // The same with the connection-health keys of every slot: "Reply Timeout" (milliseconds,
    // "0" off) and "Reconnect" ("1" on, "0" off).
    bool writeSettings(const std::vector<SlotSettings>& slots, const std::string& replyTimeout,
                       const std::string& reconnect);

    // Exported functions, resolved by name at load.
    decltype(&VexlorWeb_IO_Init) init = nullptr;
    decltype(&VexlorWeb_IO_DeInit) deinit = nullptr;
    decltype(&VexlorWeb_IO_12xDigital_ReadDI) readDI12 = nullptr;
    decltype(&VexlorWeb_IO_12xDigital_ReadDO) readDO12 = nullptr;
    decltype(&VexlorWeb_IO_12xDigital_WriteDO) writeDO12 = nullptr;
    decltype(&VexlorWeb_IO_12xDigital_ReadCI) readCI12 = nullptr;

    // Convenience wrappers over the 12xDigital functions with arrays for the many pointers.
    int ReadDI(uint16_t slot, uint16_t* word, uint16_t (&bits)[12]) const;
    int ReadDO(uint16_t slot, uint16_t* word, uint16_t (&bits)[12]) const;
    int ReadCI(uint16_t slot, int32_t (&counters)[12]) const;
    int WriteDO(uint16_t slot, const uint16_t (&values)[12]) const;

  private:
    vexlor::testing::DriverHost host_;
    bool ok_ = false;
};

// Directory of the running executable ("" when unknown).
std::string ExecutableDirectory();

}  // namespace vexlor::bench
