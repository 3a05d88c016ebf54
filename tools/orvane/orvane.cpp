// The trace library: appends the driver's trace lines to a text file. See orvane.h for the
// interface and the line format. Everything lives in static storage; the one lock serialises
// the file state and keeps each line whole.
#include "orvane.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kPathSize = 4096;
constexpr size_t kLineBufferSize = 4096;
constexpr char kFileVariable[] = "ORVANE_TRACE_FILE";

// --- The few operating-system services used ------------------------------------------------

#ifdef _WIN32
using File = HANDLE;
const File kNoFile = INVALID_HANDLE_VALUE;
constexpr char kLineEnd[] = "\r\n";

SRWLOCK g_lock = SRWLOCK_INIT;
void Lock() {
    AcquireSRWLockExclusive(&g_lock);
}
void Unlock() {
    ReleaseSRWLockExclusive(&g_lock);
}

File OpenForAppending(const char* path) {
    return CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}
void CloseFile(File file) {
    CloseHandle(file);
}
bool WriteAll(File file, const char* data, size_t size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) || written == 0) {
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}
unsigned long CurrentThreadId() {
    return GetCurrentThreadId();
}
int FormatTime(char* buffer, size_t size) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return std::snprintf(buffer, size, "%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth,
                         now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}
#else
using File = int;
const File kNoFile = -1;
constexpr char kLineEnd[] = "\n";

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
void Lock() {
    pthread_mutex_lock(&g_lock);
}
void Unlock() {
    pthread_mutex_unlock(&g_lock);
}

File OpenForAppending(const char* path) {
    for (;;) {
        const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}
void CloseFile(File file) {
    close(file);
}
bool WriteAll(File file, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(file, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}
unsigned long CurrentThreadId() {
#ifdef SYS_gettid
    return static_cast<unsigned long>(syscall(SYS_gettid));
#else
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pthread_self()));
#endif
}
int FormatTime(char* buffer, size_t size) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    return std::snprintf(buffer, size, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", local.tm_year + 1900,
                         local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                         static_cast<long>(now.tv_nsec / 1000000));
}
#endif

// --- State, guarded by g_lock ------------------------------------------------------------------

File g_file = kNoFile;
char g_pathOverride[kPathSize] = "";
bool g_dropped[ORVANE_CHANNELS];  // channels set to ORVANE_MEDIUM_NONE
unsigned int g_color[ORVANE_CHANNELS];

bool ValidChannel(int channel) {
    return channel >= 0 && channel < ORVANE_CHANNELS;
}

bool Dropped(int channel) {
    return ValidChannel(channel) && g_dropped[channel];
}

// Collects one line and hands it to the file in as few writes as possible.
class LineWriter {
  public:
    explicit LineWriter(File file) : file_(file) {}

    void Append(const char* data, size_t size) {
        while (size > 0) {
            if (used_ == sizeof buffer_) Flush();
            size_t take = sizeof buffer_ - used_;
            if (take > size) take = size;
            std::memcpy(buffer_ + used_, data, take);
            used_ += take;
            data += take;
            size -= take;
        }
    }

    // Appends the text with control bytes and backslashes escaped.
    void AppendEscaped(const char* text) {
        static const char kHex[] = "0123456789ABCDEF";
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
            const unsigned char c = *p;
            if (c == '\\') {
                Append("\\\\", 2);
            } else if (c < 32 || c == 127) {
                const char escaped[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
                Append(escaped, sizeof escaped);
            } else {
                // Runs of plain bytes are copied as one piece.
                const unsigned char* end = p + 1;
                while (*end && *end != '\\' && *end >= 32 && *end != 127) ++end;
                Append(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p));
                p = end - 1;
            }
        }
    }

    bool Flush() {
        if (used_ > 0 && !WriteAll(file_, buffer_, used_)) ok_ = false;
        used_ = 0;
        return ok_;
    }

  private:
    File file_;
    char buffer_[kLineBufferSize];
    size_t used_ = 0;
    bool ok_ = true;
};

}  // namespace

extern "C" {

ORVANE_API int ORVANE_CALL Orvane(int channel, const char* text) {
    char prefix[96];
    const int timeLength = FormatTime(prefix, sizeof prefix);
    if (timeLength < 0 || static_cast<size_t>(timeLength) >= sizeof prefix) return 0;
    const int prefixLength =
        timeLength + std::snprintf(prefix + timeLength, sizeof prefix - timeLength, " T%lu C%d ",
                                   CurrentThreadId(), channel);
    if (prefixLength < timeLength || static_cast<size_t>(prefixLength) >= sizeof prefix) return 0;

    Lock();
    int written = 0;
    if (g_file != kNoFile && !Dropped(channel)) {
        LineWriter line(g_file);
        line.Append(prefix, static_cast<size_t>(prefixLength));
        line.AppendEscaped(text ? text : "");
        line.Append(kLineEnd, sizeof kLineEnd - 1);
        written = line.Flush() ? 1 : 0;
    }
    Unlock();
    return written;
}

ORVANE_API int ORVANE_CALL SetTraceIDColor(int channel, unsigned int rgb) {
    if (!ValidChannel(channel)) return 0;
    Lock();
    g_color[channel] = rgb & 0xFFFFFFu;
    Unlock();
    return 1;
}

ORVANE_API int ORVANE_CALL SetTraceIDMedium(int channel, int medium) {
    if (!ValidChannel(channel)) return 0;
    if (medium != ORVANE_MEDIUM_NONE && medium != ORVANE_MEDIUM_FILE) return 0;
    Lock();
    g_dropped[channel] = medium == ORVANE_MEDIUM_NONE;
    Unlock();
    return 1;
}

ORVANE_API int ORVANE_CALL SetTraceIDFile(const char* path) {
    if (path == nullptr) path = "";
    const size_t length = std::strlen(path);
    if (length >= kPathSize) return 0;
    Lock();
    std::memcpy(g_pathOverride, path, length + 1);
    Unlock();
    return 1;
}

ORVANE_API int ORVANE_CALL StartTraceOutput(void) {
    Lock();
    if (g_file == kNoFile) {
        const char* path = g_pathOverride;
        if (path[0] == '\0') path = std::getenv(kFileVariable);
        if (path != nullptr && path[0] != '\0') g_file = OpenForAppending(path);
    }
    const int on = g_file != kNoFile ? 1 : 0;
    Unlock();
    return on;
}

ORVANE_API void ORVANE_CALL StopTraceOutput(void) {
    Lock();
    if (g_file != kNoFile) CloseFile(g_file);
    g_file = kNoFile;
    Unlock();
}

}  // extern "C"
