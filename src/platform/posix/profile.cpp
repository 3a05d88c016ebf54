// The profile-file functions of platform.h on POSIX, with the behaviour of the Windows
// private-profile functions; the format itself is read and written by profile_file.cpp.
//
// A write never modifies the file in place: the new content goes into a temporary file in the
// same directory, which is flushed to disk and then renamed over the old file, so that a crash
// leaves either the old or the new file, never a mixture. A settings file that is a symbolic
// link (an installed driver's Vexlor.ini may lead to the system's configuration directory) is
// written where the link leads, and the link stays.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/profile_file.h"

namespace vexlor::platform {
namespace {

constexpr size_t kPathBufferSize = 4096;

std::atomic<unsigned> g_tempCounter{0};

}  // namespace

uint32_t ProfileGetString(const char* section, const char* key, const char* defaultValue,
                          char* buffer, uint32_t size, const char* path) {
    return profile::GetString(profile::LookupPath, section, key, defaultValue, buffer, size, path);
}

int ProfileGetInt(const char* section, const char* key, int defaultValue, const char* path) {
    return profile::GetInt(profile::LookupPath, section, key, defaultValue, path);
}

bool ProfileWriteString(const char* section, const char* key, const char* value, const char* path) {
    if (path == nullptr) return false;
    char target[kPathBufferSize];
    if (!profile::ResolveLinks(path, target, sizeof target)) return false;
    int old = profile::OpenForReading(target);
    if (old < 0 && errno != ENOENT) return false;
    profile::Edit edit;
    if (!profile::PlanEdit(old, section, key, value, &edit) || edit.splice.unchanged) {
        if (old >= 0) ::close(old);
        return edit.splice.unchanged;
    }

    char tempPath[kPathBufferSize];
    int out = -1;
    for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
        const int n = std::snprintf(tempPath, sizeof tempPath, "%s.%ld.%u.tmp", target,
                                    static_cast<long>(::getpid()), g_tempCounter.fetch_add(1));
        if (n < 0 || static_cast<size_t>(n) >= sizeof tempPath) break;
        out = ::open(tempPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (out < 0 && errno != EEXIST && errno != EINTR) break;
    }
    if (out < 0) {
        if (old >= 0) ::close(old);
        return false;
    }
    if (old >= 0) {
        struct stat info;
        if (::fstat(old, &info) == 0) (void)::fchmod(out, info.st_mode & 07777);
    }
    bool ok = profile::WriteEdit(old, out, edit);
    ok = ::fsync(out) == 0 && ok;
    ok = ::close(out) == 0 && ok;
    if (old >= 0) ::close(old);
    ok = ok && ::rename(tempPath, target) == 0;
    if (!ok) ::unlink(tempPath);
    return ok;
}

}  // namespace vexlor::platform
