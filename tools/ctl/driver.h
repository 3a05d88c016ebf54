// The driver as a host sees it: a library loaded by path at run time whose exports are bound
// by name, each on first use, so that a missing export only fails the command that needs it.
#pragma once

#include <string>

#include "vexlor.h"

namespace vexlorctl {

enum class Export {
    kInit,
    kDeInit,
    k12ReadDI,
    k12ReadDO,
    k12WriteDO,
    k12ReadCI,
    k12ResetCI,
    k12ErrorClear,
    k24ReadDI,
    k24ReadDO,
    k24WriteDO,
    k24ReadCI,
    k24ResetCI,
    k24ErrorClear,
    kThermo1Read,
    kThermo2Read,
    kThermo8Read,
    kIocReadDI,
    kIocWriteDO,
    kConfigDialog,
    kCount
};

constexpr int kExportCount = static_cast<int>(Export::kCount);

// The plain (undecorated) name of an export, as used in messages.
const char* ExportName(Export which);

// The names under which a host looks the export up, in order of preference; null-terminated
// list. On Windows VexlorWeb_IO_24xDigital_ReadDO is bound by its decorated name.
const char* const* ExportLookupNames(Export which);

// Function pointer types, taken from the declarations in vexlor.h (calling convention included).
using InitFn = decltype(&VexlorWeb_IO_Init);
using DeInitFn = decltype(&VexlorWeb_IO_DeInit);
using Read12Fn = decltype(&VexlorWeb_IO_12xDigital_ReadDI);
using Write12Fn = decltype(&VexlorWeb_IO_12xDigital_WriteDO);
using ReadCI12Fn = decltype(&VexlorWeb_IO_12xDigital_ReadCI);
using ResetCI12Fn = decltype(&VexlorWeb_IO_12xDigital_ResetCI);
using ErrorClearFn = decltype(&VexlorWeb_IO_12xDigital_ErrorClear);
using Read24Fn = decltype(&VexlorWeb_IO_24xDigital_ReadDI);
using Write24Fn = decltype(&VexlorWeb_IO_24xDigital_WriteDO);
using ReadCI24Fn = decltype(&VexlorWeb_IO_24xDigital_ReadCI);
using ResetCI24Fn = decltype(&VexlorWeb_IO_24xDigital_ResetCI);
using Thermo1Fn = decltype(&VexlorWeb_IO_1xThermometer_Read);
using Thermo2Fn = decltype(&VexlorWeb_IO_2xThermometer_Read);
using Thermo8Fn = decltype(&VexlorWeb_IO_8xThermometer_Read);
using IocReadFn = decltype(&HWgroup_IOController_ReadDI);
using IocWriteFn = decltype(&HWgroup_IOController_WriteDO);
using ConfigFn = decltype(&VexlorDlgWeb_IO_ConfigHardware);

class Driver {
  public:
    explicit Driver(std::string path) : path_(std::move(path)) {}
    ~Driver() { Unload(); }
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    const std::string& path() const { return path_; }
    bool loaded() const { return library_ != nullptr; }

    // Loads the library once; later calls return the first outcome.
    bool Load(std::string& error);

    // Binds the export on first use (loading the library if needed). Null with a message when
    // the library cannot be loaded or has no such export.
    void* Bind(Export which, std::string& error);

    // The name the export was found under, or null when it is not bound (yet).
    const char* BoundName(Export which) const { return boundNames_[static_cast<int>(which)]; }

    template <typename Fn>
    Fn Get(Export which, std::string& error) {
        return reinterpret_cast<Fn>(Bind(which, error));
    }

    // Unloads the library; the driver then stops its threads and closes its sockets.
    void Unload();

  private:
    std::string path_;
    void* library_ = nullptr;
    bool loadTried_ = false;
    std::string loadError_;
    void* bound_[kExportCount] = {};
    const char* boundNames_[kExportCount] = {};
};

}  // namespace vexlorctl
