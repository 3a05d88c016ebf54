// The only operating-system specific part of vexlorctl: loading the driver library by path,
// looking up its exports, finding the tool's own directory, reading the driver's settings file
// and sleeping.
#pragma once

#include <string>

namespace vexlorctl {

using LibraryHandle = void*;

// File name of the driver library on this platform.
const char* DefaultDriverName();

// Directory separator of this platform.
char PathSeparator();

// Directory (with its final separator) of the running executable; empty when unknown.
std::string ExecutableDirectory();

// The driver vexlorctl loads when no --driver is given: the one beside vexlorctl (a build tree,
// an unpacked Windows package); otherwise, on Linux, the installed driver in its private
// library directory relative to vexlorctl's own (PREFIX/bin -> PREFIX/lib/vexlor).
std::string DefaultDriverPath();

// Loads the library at path (dlopen / LoadLibraryA). Null and a message in error on failure.
LibraryHandle OpenLibrary(const std::string& path, std::string& error);

// Address of an exported symbol, or null (dlsym / GetProcAddress).
void* FindSymbol(LibraryHandle library, const char* name);

void CloseLibrary(LibraryHandle library);

void SleepMs(unsigned milliseconds);

// The settings file that the driver at driverPath reads: Vexlor.ini in the driver's directory,
// as an absolute path where it can be made one.
std::string SettingsFileOf(const std::string& driverPath);

bool FileExists(const std::string& path);

// The text of section/key in a settings file, read with the platform's profile-file reader as
// the driver reads it; false when the file, the section or the key is missing.
bool ReadSettingsText(const std::string& file, const std::string& section, const std::string& key,
                      std::string& value);

}  // namespace vexlorctl
