// vexlor-config links the driver's own settings code. That code finds Vexlor.ini beside the
// driver module; here the "module" is a libvexlor.so path in the directory being edited.
#pragma once

#include <string>

namespace vexlorconfig {

// Makes the settings code use DIR/Vexlor.ini (the module path becomes DIR/libvexlor.so).
void SetSettingsDirectory(const std::string& directory);

// The full path of the settings file for the current directory, as the settings code forms it.
std::string SettingsFilePath();

// Directory of the running executable (without a final separator); empty when unknown.
std::string ExecutableDirectory();

// The directory whose Vexlor.ini is edited when no --dir is given: the executable's own when the
// driver lies there (a build tree, a copied directory); otherwise the installed driver's private
// directory relative to it (PREFIX/bin -> PREFIX/lib/vexlor) when that holds the driver; else the
// executable's own.
std::string DefaultSettingsDirectory();

}  // namespace vexlorconfig
