// The profile-file format on open files: looking a key up and writing a copy of a file with one
// key set. The profile functions of platform.h open the named file and call these; vexlor-config
// calls them on a working copy in memory, so that a whole save replaces the file once, and
// vexlorctl to read the driver's settings file as the driver reads it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace vexlor::platform::profile {

// Copies the value of section/key in the open file fd (read from its start with pread, the
// file offset is not used) into buffer, cut to size - 1 characters. False when the section or
// the key is missing or the file cannot be read.
bool Lookup(int fd, const char* section, const char* key, char* buffer, uint32_t size,
            uint32_t* length);

// Opens path for reading, trying again when a signal interrupts the open.
int OpenForReading(const char* path);

// Lookup on the file that path names (opened and closed again here). False also when path is
// null or the file cannot be opened.
bool LookupPath(const char* path, const char* section, const char* key, char* buffer, uint32_t size,
                uint32_t* length);

// How a profile reader finds section/key in the file that path names: LookupPath, or a reader
// that holds some files elsewhere (vexlor-config's working copy).
using LookupFunction = bool (*)(const char* path, const char* section, const char* key,
                                char* buffer, uint32_t size, uint32_t* length);

// ProfileGetString and ProfileGetInt of platform.h over lookup: the value found, else the
// default (a string default cut to size - 1 characters, and it may lie inside buffer; an integer
// key whose value is empty also gives the default).
uint32_t GetString(LookupFunction lookup, const char* section, const char* key,
                   const char* defaultValue, char* buffer, uint32_t size, const char* path);
int GetInt(LookupFunction lookup, const char* section, const char* key, int defaultValue,
           const char* path);

// The leading decimal number of a value text as the profile-integer reader takes it: optional
// sign, digits, held at the limits of int; no digits gives 0.
int LeadingNumber(const char* text);

// Where a write changes the old file: bytes [start, end) give way to the new text.
struct Splice {
    off_t start = 0;
    off_t end = 0;
    bool sectionFound = false;
    bool lineBreakBefore = false;  // the line before start has no line end yet
    bool replacesKey = false;
    size_t keepPrefix = 0;   // replaced key: bytes of its old line kept before the value
    bool terminated = true;  // replaced key: its old line had a line end
    bool crlf = true;        // replaced key: that line end was CRLF
    bool unchanged = false;  // replaced key: the value is already the one to write
};

// One key to write: the names, the value up to its first line break, and where it goes.
struct Edit {
    const char* section = nullptr;
    const char* key = nullptr;
    const char* value = nullptr;
    size_t valueLength = 0;
    Splice splice;
};

// Works out how old (fd < 0: there is no file yet) changes when section/key is set to value.
// False when the format cannot hold the names or the value, or old cannot be read. When
// edit->splice.unchanged is set, the file already holds the value and nothing is to be written.
bool PlanEdit(int old, const char* section, const char* key, const char* value, Edit* edit);

// Writes all size bytes to fd, going on after interrupted and partial writes.
bool WriteAll(int fd, const char* data, size_t size);

// Copies bytes [from, to) of in (read with pread) to out at out's offset; to < 0 copies up to
// the end of the file. A file that ends before to is an error.
bool CopyRange(int in, int out, off_t from, off_t to);

// Writes the new file into out (from its current offset): old with the planned edit applied.
bool WriteEdit(int old, int out, const Edit& edit);

// The file that a write to path must replace: path itself, or the file its symbolic links lead
// to (relative links taken from the link's directory), so that renaming a new file over it
// keeps the links. Paths longer than size - 1 and loops of links give false.
bool ResolveLinks(const char* path, char* resolved, size_t size);

}  // namespace vexlor::platform::profile
