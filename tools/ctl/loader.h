// The only operating-system specific part of vexlorctl: loading the driver library by path,
// looking up its exports, finding the tool's own directory and sleeping.
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

}  // namespace vexlorctl
