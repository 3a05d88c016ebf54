// vexlor-config's profile functions: the settings code reads and writes a copy of Vexlor.ini in
// memory, and the file is replaced once at the end, so that a run either changes the file as a
// whole or not at all (a killed run leaves the old or the new file and at most one temporary
// file beside it, "Vexlor.ini.tmp", which the next run that writes removes).
//
// The copy is read and written with the driver's own profile-file format code; only the way the
// file is replaced differs from the driver's writer, which replaces the file on every key.
#pragma once

#include <string>

namespace vexlorconfig {

struct EditResult {
    bool ok = true;
    std::string error;  // what failed and where, without the program name
};

// Reads the file at path (as the settings code names it) into a copy that all profile reads and
// writes of the settings code then use. With forWriting, concurrent runs are kept apart (a lock
// on the file's directory until EndEdit) and only sections given to AllowSection are written.
EditResult BeginEdit(const std::string& path, bool forWriting);

// Whether the file existed when BeginEdit read it.
bool FileExisted();

// The file that a write replaces: the path itself or where its symbolic links lead.
std::string ResolvedFile();

// Lets the settings code write to section (a section name as it writes it, e.g. "DEV5"); writes
// to any other section are dropped, so that one save changes only the slots it was given.
void AllowSection(const std::string& section);

// Replaces the file with the copy: a temporary file beside it, flushed, renamed over it. Fails
// without touching the file when a write to the copy failed or the file cannot be written.
EditResult CommitEdit();

// Drops the copy and the lock; later profile calls use the files themselves again.
void EndEdit();

}  // namespace vexlorconfig
