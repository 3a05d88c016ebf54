// DriverHost: loads the built driver library the way a host application does.
//
// The library and its socket layer (libwsock32.so) are copied into a private temporary directory,
// a Vexlor.ini is written beside them, and the copy is loaded with dlopen. The exported functions
// are looked up by name. The directory is removed when the host is destroyed (after dlclose).
//
// Only one DriverHost should exist per process: the driver keeps all its state in static storage
// of the loaded library, so a second copy would be a second, independent driver.
#pragma once

#include <vexlor.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vexlor::bench {

struct SlotSettings {
    int slot = 0;
    std::string ip = "127.0.0.1";
    uint16_t port = 0;
    std::string timing = "0";
    std::string password;  // plain text; stored scrambled as the configuration dialog stores it
};

class DriverHost {
  public:
    DriverHost(const std::string& driverPath, const std::string& wsockPath);
    ~DriverHost();
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    bool ok() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    const std::string& directory() const { return dir_; }

    // Rewrites Vexlor.ini. Init reads a slot's settings from the file, so the new values apply
    // to every slot initialised afterwards.
    bool writeSettings(const std::vector<SlotSettings>& slots);

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
    bool copyFile(const std::string& from, const std::string& name);
    void fail(const std::string& why);

    std::string dir_;
    void* handle_ = nullptr;
    std::string error_;
};

// The text Vexlor.ini holds for a plain password (the driver unscrambles it in Init).
std::string StoredPassword(const std::string& plain);

// Directory of the running executable ("" when unknown).
std::string ExecutableDirectory();

// Removes a directory tree (symbolic links are removed, not followed).
void RemoveTree(const std::string& path);

}  // namespace vexlor::bench
