#include "working_copy.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/profile_file.h"

namespace vexlorconfig {

namespace {

namespace profile = vexlor::platform::profile;

struct Copy {
    bool active = false;
    bool forWriting = false;
    bool allowAll = false;
    bool existed = false;
    bool failed = false;     // a write to the copy was refused or failed
    bool changed = false;    // a write changed the copy
    std::string path;        // as the settings code names the file
    std::string resolved;    // the file a commit replaces
    struct stat info = {};   // of the file, when it existed
    int fd = -1;             // the copy
    int spare = -1;          // where the next write builds the next copy
    int directoryLock = -1;  // the file's directory, locked while writing
    std::set<std::string> allowed;
};

Copy g_copy;

std::string SystemError(const std::string& what, int error) {
    if (error == EACCES || error == EPERM || error == EROFS) return "permission denied: " + what;
    return what + ": " + std::strerror(error);
}

std::string DirectoryOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

int MemoryFile() {
    return memfd_create("vexlor-config", MFD_CLOEXEC);
}

bool IsCopy(const char* path) {
    return g_copy.active && path != nullptr && g_copy.path == path;
}

bool WriteToCopy(const char* section, const char* key, const char* value) {
    if (!g_copy.forWriting || section == nullptr) return false;
    if (!g_copy.allowAll && g_copy.allowed.count(section) == 0) return true;  // another slot
    profile::Edit edit;
    if (!profile::PlanEdit(g_copy.fd, section, key, value, &edit)) {
        g_copy.failed = true;
        return false;
    }
    if (edit.splice.unchanged) return true;
    if (::ftruncate(g_copy.spare, 0) != 0 || ::lseek(g_copy.spare, 0, SEEK_SET) != 0 ||
        !profile::WriteEdit(g_copy.fd, g_copy.spare, edit)) {
        g_copy.failed = true;
        return false;
    }
    std::swap(g_copy.fd, g_copy.spare);
    g_copy.changed = true;
    return true;
}

// The copy for its own path, the file itself for any other.
bool Lookup(const char* path, const char* section, const char* key, char* buffer, uint32_t size,
            uint32_t* length) {
    if (IsCopy(path)) return profile::Lookup(g_copy.fd, section, key, buffer, size, length);
    return profile::LookupPath(path, section, key, buffer, size, length);
}

}  // namespace

EditResult BeginEdit(const std::string& path, bool forWriting) {
    EndEdit();
    EditResult result;
    char resolved[4096];
    if (!profile::ResolveLinks(path.c_str(), resolved, sizeof resolved)) {
        return {false, path + ": the symbolic links it is made of cannot be followed"};
    }
    Copy& copy = g_copy;
    copy.path = path;
    copy.resolved = resolved;
    // Shown to the user: the directory without the ".." of relative links.
    char directory[PATH_MAX];
    if (copy.resolved.find('/') != std::string::npos &&
        realpath(DirectoryOf(copy.resolved).c_str(), directory) != nullptr) {
        copy.resolved = std::string(directory) + copy.resolved.substr(copy.resolved.rfind('/'));
    }
    copy.forWriting = forWriting;
    copy.fd = MemoryFile();
    copy.spare = forWriting ? MemoryFile() : -1;
    if (copy.fd < 0 || (forWriting && copy.spare < 0)) {
        result = {false, SystemError("cannot hold a copy of the settings in memory", errno)};
        EndEdit();
        return result;
    }
    if (forWriting) {
        // One writer at a time: every run that writes reads the file only after the previous
        // one has replaced it. The lock goes with the process, also when it is killed.
        copy.directoryLock =
            ::open(DirectoryOf(copy.resolved).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (copy.directoryLock >= 0) {
            while (::flock(copy.directoryLock, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    const int file = profile::OpenForReading(copy.resolved.c_str());
    if (file < 0 && errno != ENOENT) {
        result = {false, SystemError("cannot read " + copy.resolved, errno)};
        EndEdit();
        return result;
    }
    if (file >= 0) {
        copy.existed = ::fstat(file, &copy.info) == 0;
        const bool read = copy.existed && profile::CopyRange(file, copy.fd, 0, -1);
        const int error = errno;
        ::close(file);
        if (!read) {
            result = {false, SystemError("cannot read " + copy.resolved, error)};
            EndEdit();
            return result;
        }
    }
    copy.active = true;
    return result;
}

bool FileExisted() {
    return g_copy.existed;
}

std::string ResolvedFile() {
    return g_copy.resolved;
}

void AllowSection(const std::string& section) {
    g_copy.allowed.insert(section);
}

EditResult CommitEdit() {
    Copy& copy = g_copy;
    if (!copy.active || !copy.forWriting) return {false, "no settings to save"};
    if (copy.failed)
        return {false, "a value could not be written; " + copy.resolved + " is unchanged"};
    const std::string& target = copy.resolved;
    // Renaming needs only the directory; a file that its owner made read-only stays as it is.
    if (copy.existed && ::access(target.c_str(), W_OK) != 0) {
        return {false, SystemError("cannot write " + target, errno)};
    }
    const std::string temp = target + ".tmp";
    // A temporary file left by a killed run is replaced, so that there is never more than one.
    if (::unlink(temp.c_str()) != 0 && errno != ENOENT) {
        return {false, SystemError("cannot replace " + temp, errno)};
    }
    if (copy.existed && !copy.changed) return {};  // the file holds every value already
    const mode_t mode = copy.existed ? (copy.info.st_mode & 07777) : 0644;
    const int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (out < 0) {
        return {false, SystemError("cannot create files in " + DirectoryOf(target), errno)};
    }
    if (copy.existed) {
        // The new file keeps the old one's permissions and, where this process may give them,
        // its owner and group (the settings file may be readable by one group only).
        (void)::fchmod(out, mode);
        if (::fchown(out, copy.info.st_uid, copy.info.st_gid) != 0) {
            (void)::fchown(out, static_cast<uid_t>(-1), copy.info.st_gid);
        }
    }
    bool ok = profile::CopyRange(copy.fd, out, 0, -1);
    int error = errno;
    ok = ok && ::fsync(out) == 0;
    if (::close(out) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return {false, SystemError("cannot write " + target, error)};
    }
    if (copy.directoryLock >= 0) (void)::fsync(copy.directoryLock);  // the rename itself
    return {};
}

void EndEdit() {
    Copy& copy = g_copy;
    for (int* fd : {&copy.fd, &copy.spare, &copy.directoryLock}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    copy = Copy{};
}

}  // namespace vexlorconfig

// The profile functions of the platform layer, for the settings code that vexlor-config links.
namespace vexlor::platform {

uint32_t ProfileGetString(const char* section, const char* key, const char* defaultValue,
                          char* buffer, uint32_t size, const char* path) {
    return profile::GetString(vexlorconfig::Lookup, section, key, defaultValue, buffer, size, path);
}

int ProfileGetInt(const char* section, const char* key, int defaultValue, const char* path) {
    return profile::GetInt(vexlorconfig::Lookup, section, key, defaultValue, path);
}

bool ProfileWriteString(const char* section, const char* key, const char* value, const char* path) {
    using namespace vexlorconfig;
    if (IsCopy(path)) return WriteToCopy(section, key, value);
    if (path == nullptr || g_copy.active) return false;
    // A write outside an edit is an edit of its own.
    if (!BeginEdit(path, true).ok) return false;
    g_copy.allowAll = true;
    const bool ok = WriteToCopy(section, key, value) && CommitEdit().ok;
    EndEdit();
    return ok;
}

}  // namespace vexlor::platform
