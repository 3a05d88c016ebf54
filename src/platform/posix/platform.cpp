// The platform interface on POSIX: the driver library's own file, libraries loaded by their
// Windows names, time, the error box on standard error. Threads are in threads.cpp and profile
// files in profile.cpp.
#include <dlfcn.h>
#include <link.h>
#include <sched.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/receive_thread.h"
#include "platform/platform.h"

namespace vexlor::platform {
namespace {

constexpr size_t kPathBufferSize = 4096;

// The driver library's absolute file path, taken once when the module is first looked up (the
// host may change the working directory later, and dladdr reports a relative path as loaded).
char g_selfPath[kPathBufferSize];

// The error lines' destination other than standard error: a host that wants them apart (the
// Python package logs them) names a pipe as "PID:FD" in VEXLOR_ERROR_PIPE before it loads the
// library. The variable is read once, at load, and used only by the process PID, so a child that
// inherits it and not the descriptor keeps its lines on standard error. The host opens the pipe
// non-blocking, so that a reader that falls behind never holds a receive thread.
int ErrorPipeFromEnvironment() {
    const char* value = std::getenv("VEXLOR_ERROR_PIPE");
    if (value == nullptr) return -1;
    char* end = nullptr;
    const long pid = std::strtol(value, &end, 10);
    if (end == value || *end != ':' || pid != static_cast<long>(getpid())) return -1;
    const char* fdText = end + 1;
    const long fd = std::strtol(fdText, &end, 10);
    if (end == fdText || *end != '\0' || fd < 0 || fd > 1 << 20) return -1;
    struct stat info {};
    if (fstat(static_cast<int>(fd), &info) != 0 || !S_ISFIFO(info.st_mode)) return -1;
    return static_cast<int>(fd);
}
const int g_errorPipe = ErrorPipeFromEnvironment();
void* g_selfBase = nullptr;

// Any function of the driver serves to find the library that holds it.
void AnchorFunction() {}

bool CopyText(char* buffer, size_t size, const char* text) {
    const size_t length = std::strlen(text);
    if (length + 1 > size) return false;
    std::memcpy(buffer, text, length + 1);
    return true;
}

void FindSelf() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&AnchorFunction), &info) == 0 || info.dli_fname == nullptr) {
        return;
    }
    g_selfBase = info.dli_fbase;
    if (info.dli_fname[0] == '/') {
        CopyText(g_selfPath, sizeof g_selfPath, info.dli_fname);
        return;
    }
    char directory[kPathBufferSize];
    if (getcwd(directory, sizeof directory) == nullptr) {
        CopyText(g_selfPath, sizeof g_selfPath, info.dli_fname);
        return;
    }
    const char* name = info.dli_fname;
    while (name[0] == '.' && name[1] == '/') name += 2;
    const size_t dirLength = std::strlen(directory);
    const size_t nameLength = std::strlen(name);
    if (dirLength + 1 + nameLength + 1 > sizeof g_selfPath) {
        CopyText(g_selfPath, sizeof g_selfPath, info.dli_fname);
        return;
    }
    std::memcpy(g_selfPath, directory, dirLength);
    g_selfPath[dirLength] = '/';
    std::memcpy(g_selfPath + dirLength + 1, name, nameLength + 1);
}

// Copies at most size - 1 characters of text and a NUL; returns the number copied.
uint32_t CopyCut(char* buffer, uint32_t size, const char* text) {
    if (buffer == nullptr || size == 0) return 0;
    uint32_t n = 0;
    while (text[n] != '\0' && n + 1 < size) {
        buffer[n] = text[n];
        ++n;
    }
    buffer[n] = '\0';
    return n;
}

// "WSOCK32.DLL" -> "libwsock32.so". False when the name does not fit.
bool SharedObjectName(const char* windowsName, char* buffer, size_t size) {
    size_t length = std::strlen(windowsName);
    if (length >= 4 && windowsName[length - 4] == '.' && (windowsName[length - 3] | 0x20) == 'd' &&
        (windowsName[length - 2] | 0x20) == 'l' && (windowsName[length - 1] | 0x20) == 'l') {
        length -= 4;
    }
    if (length == 0 || 3 + length + 3 + 1 > size) return false;
    std::memcpy(buffer, "lib", 3);
    for (size_t i = 0; i < length; ++i) {
        char c = windowsName[i];
        if (c == '/') return false;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        buffer[3 + i] = c;
    }
    std::memcpy(buffer + 3 + length, ".so", 4);
    return true;
}

}  // namespace

ModuleHandle SelfModule() {
    if (g_selfBase == nullptr) FindSelf();
    return g_selfBase;
}

uint32_t ModuleFileName(ModuleHandle module, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return 0;
    if (module != nullptr && module == SelfModule()) {
        return CopyCut(buffer, size, g_selfPath);
    }
    // Another library loaded through LoadLibrary: its path as the dynamic loader knows it.
    link_map* map = nullptr;
    if (module != nullptr && dlinfo(module, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr &&
        map->l_name != nullptr) {
        return CopyCut(buffer, size, map->l_name);
    }
    buffer[0] = '\0';
    return 0;
}

char PathSeparator() {
    return '/';
}

ModuleHandle LoadLibrary(const char* windowsName) {
    if (windowsName == nullptr) return nullptr;
    char file[256];
    if (!SharedObjectName(windowsName, file, sizeof file)) return nullptr;
    const int flags = RTLD_NOW | RTLD_LOCAL;

    // First beside the driver library.
    SelfModule();
    const char* slash = std::strrchr(g_selfPath, '/');
    if (slash != nullptr) {
        char path[kPathBufferSize];
        const size_t dirLength = static_cast<size_t>(slash - g_selfPath) + 1;
        const size_t fileLength = std::strlen(file);
        if (dirLength + fileLength + 1 <= sizeof path) {
            std::memcpy(path, g_selfPath, dirLength);
            std::memcpy(path + dirLength, file, fileLength + 1);
            if (void* handle = dlopen(path, flags)) return handle;
        }
    }
    // Then by the dynamic loader's normal search.
    return dlopen(file, flags);
}

void* GetProcAddress(ModuleHandle module, const char* name) {
    if (module == nullptr || name == nullptr) return nullptr;
    return dlsym(module, name);
}

void FreeLibrary(ModuleHandle module) {
    if (module != nullptr) dlclose(module);
}

void Sleep(uint32_t milliseconds) {
    timespec delay{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

void YieldThread() {
    sched_yield();
}

uint32_t TimeMs() {
    timespec now{};
#if defined(CLOCK_BOOTTIME)
    if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) clock_gettime(CLOCK_MONOTONIC, &now);
#else
    clock_gettime(CLOCK_MONOTONIC, &now);
#endif
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

bool ProcessEnding() {
    // Threads keep running while a POSIX process runs its exit handlers, so shut-down's bounded
    // wait works the same whether the library is unloaded or the process ends.
    return false;
}

WaitNoticeHandle WaitNoticeCreate(WaitNoticeTemplate) {
    return nullptr;
}

void WaitNoticeDestroy(WaitNoticeHandle) {}

void ErrorBox(const char* caption, const char* text) {
    // One line, written with a single write() so that lines of several receive threads do not
    // interleave: "caption: slot N: text" from a receive thread, "caption: text" elsewhere.
    // Control bytes are escaped so that the line stays one line.
    char line[8192];
    size_t n = 0;
    auto put = [&](char c) {
        if (n < sizeof line - 1) line[n++] = c;
    };
    auto putEscaped = [&](const char* s) {
        static const char kHex[] = "0123456789ABCDEF";
        for (; s != nullptr && *s != '\0'; ++s) {
            const auto c = static_cast<unsigned char>(*s);
            if (n + 4 >= sizeof line - 1) break;
            if (c == '\n') {
                put('\\');
                put('n');
            } else if (c == '\r') {
                put('\\');
                put('r');
            } else if (c == '\t') {
                put('\\');
                put('t');
            } else if (c < 0x20 || c == 0x7F) {
                put('\\');
                put('x');
                put(kHex[c >> 4]);
                put(kHex[c & 0xF]);
            } else {
                put(static_cast<char>(c));
            }
        }
    };
    putEscaped(caption);
    put(':');
    put(' ');
    void* argument = nullptr;
    if (CurrentThreadArgument(&argument)) {
        char slot[16];
        const int length = std::snprintf(
            slot, sizeof slot, "slot %u: ", static_cast<unsigned>(ArgumentSlot(argument)));
        for (int i = 0; i < length; ++i) put(slot[i]);
    }
    putEscaped(text);
    // A pipe writes up to PIPE_BUF bytes in one piece; a longer line could be torn and run into
    // the next one, so it is cut to that length.
    constexpr size_t kPipeLine = PIPE_BUF;
    if (g_errorPipe >= 0 && n > kPipeLine - 1) n = kPipeLine - 1;
    line[n++] = '\n';
    // A full or closed pipe loses nothing: the line goes to standard error instead.
    if (g_errorPipe < 0 || write(g_errorPipe, line, n) != static_cast<ssize_t>(n)) {
        const ssize_t written = write(STDERR_FILENO, line, n);
        (void)written;
    }
}

void InstallMessageHook() {}

void RemoveMessageHook() {}

}  // namespace vexlor::platform
