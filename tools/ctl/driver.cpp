#include "driver.h"

#include "loader.h"

namespace vexlorctl {

namespace {

struct ExportEntry {
    const char* plain;
    const char* lookup[3];  // names tried in order, null-terminated
};

#if defined(_WIN32)
// The DLL exports this one function under the compiler-decorated form of its signature; a host
// binds it by that name. The plain name is tried after it for builds that also export it.
#define VEXLORCTL_24_READDO_NAMES \
    { VEXLOR_24XDIGITAL_READDO_DECORATED_NAME, "VexlorWeb_IO_24xDigital_ReadDO", nullptr }
#else
#define VEXLORCTL_24_READDO_NAMES \
    { "VexlorWeb_IO_24xDigital_ReadDO", nullptr, nullptr }
#endif

#define VEXLORCTL_PLAIN(name)      \
    {                              \
        name, {                    \
            name, nullptr, nullptr \
        }                          \
    }

const ExportEntry kExports[kExportCount] = {
    VEXLORCTL_PLAIN("VexlorWeb_IO_Init"),
    VEXLORCTL_PLAIN("VexlorWeb_IO_DeInit"),
    VEXLORCTL_PLAIN("VexlorWeb_IO_12xDigital_ReadDI"),
    VEXLORCTL_PLAIN("VexlorWeb_IO_12xDigital_ReadDO"),
    VEXLORCTL_PLAIN("VexlorWeb_IO_12xDigital_WriteDO"),
    VEXLORCTL_PLAIN("VexlorWeb_IO_12xDigital_ReadCI"),
    VEXLORCTL_PLAIN("VexlorWeb_IO_12xDigital_ResetCI"),
    VEXLORCTL_PLAIN("VexlorWeb_IO_12xDigital_ErrorClear"),
    VEXLORCTL_PLAIN("VexlorWeb_IO_24xDigital_ReadDI"),
    {"VexlorWeb_IO_24xDigital_ReadDO", VEXLORCTL_24_READDO_NAMES},
    VEXLORCTL_PLAIN("VexlorWeb_IO_24xDigital_WriteDO"),
    VEXLORCTL_PLAIN("VexlorWeb_IO_24xDigital_ReadCI"),
    VEXLORCTL_PLAIN("VexlorWeb_IO_24xDigital_ResetCI"),
    VEXLORCTL_PLAIN("VexlorWeb_IO_24xDigital_ErrorClear"),
    VEXLORCTL_PLAIN("VexlorWeb_IO_1xThermometer_Read"),
    VEXLORCTL_PLAIN("VexlorWeb_IO_2xThermometer_Read"),
    VEXLORCTL_PLAIN("VexlorWeb_IO_8xThermometer_Read"),
    VEXLORCTL_PLAIN("HWgroup_IOController_ReadDI"),
    VEXLORCTL_PLAIN("HWgroup_IOController_WriteDO"),
    VEXLORCTL_PLAIN("VexlorDlgWeb_IO_ConfigHardware"),
};

#undef VEXLORCTL_PLAIN
#undef VEXLORCTL_24_READDO_NAMES

}  // namespace

const char* ExportName(Export which) {
    return kExports[static_cast<int>(which)].plain;
}

const char* const* ExportLookupNames(Export which) {
    return kExports[static_cast<int>(which)].lookup;
}

bool Driver::Load(std::string& error) {
    if (!loadTried_) {
        loadTried_ = true;
        library_ = OpenLibrary(path_, loadError_);
    }
    if (library_ == nullptr) {
        error = "cannot load the driver " + path_ + ": " + loadError_;
        return false;
    }
    return true;
}

void* Driver::Bind(Export which, std::string& error) {
    const int index = static_cast<int>(which);
    if (bound_[index] != nullptr) return bound_[index];
    if (!Load(error)) return nullptr;
    for (const char* const* name = ExportLookupNames(which); *name != nullptr; ++name) {
        void* address = FindSymbol(library_, *name);
        if (address != nullptr) {
            bound_[index] = address;
            boundNames_[index] = *name;
            return address;
        }
    }
    error = std::string("the driver ") + path_ + " has no export " + ExportName(which);
    return nullptr;
}

void Driver::Unload() {
    if (library_ != nullptr) CloseLibrary(library_);
    library_ = nullptr;
    loadTried_ = false;
    loadError_.clear();
    for (int i = 0; i < kExportCount; ++i) {
        bound_[i] = nullptr;
        boundNames_[i] = nullptr;
    }
}

}  // namespace vexlorctl
