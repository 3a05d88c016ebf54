// A stand-in trace library for the Windows test host, built as ORVANE.DLL into a folder of its
// own (bin/trace-probe) and loaded by the host before the driver, which then binds it under its
// usual name. It keeps every line it is handed in memory (TraceProbeTake hands them to the
// host), and every line ends with a Win32 call that fails, as the file or console calls of a
// real trace library may: the writing thread's last error is then that call's error, not the
// one the driver's socket call left behind.
#include <windows.h>

#include <cstdio>
#include <cstring>

#define PROBE_API extern "C" __declspec(dllexport)

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
char g_lines[1 << 16];
size_t g_length = 0;

void Append(const char* text) {
    const size_t length = std::strlen(text);
    if (g_length + length + 1 < sizeof g_lines) {
        std::memcpy(g_lines + g_length, text, length);
        g_length += length;
        g_lines[g_length] = '\0';
    }
}

}  // namespace

// Records "C<channel> <text>" and a line end, then fails a call of its own.
PROBE_API int __cdecl Orvane(int channel, const char* text) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "C%d ", channel);
    AcquireSRWLockExclusive(&g_lock);
    Append(prefix);
    Append(text != nullptr ? text : "");
    Append("\n");
    ReleaseSRWLockExclusive(&g_lock);
    GetFileAttributesA("C:\\no such folder\\no such file");  // ERROR_PATH_NOT_FOUND
    return 1;
}

PROBE_API int __cdecl SetTraceIDColor(int, unsigned int) {
    return 1;
}
PROBE_API int __cdecl SetTraceIDMedium(int, int) {
    return 1;
}
PROBE_API int __cdecl SetTraceIDFile(const char*) {
    return 1;
}
PROBE_API int __cdecl StartTraceOutput() {
    return 1;
}
PROBE_API void __cdecl StopTraceOutput() {}

// Copies the lines recorded so far into buffer (cut to size - 1 characters), forgets them and
// returns the length copied.
PROBE_API int __cdecl TraceProbeTake(char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return 0;
    AcquireSRWLockExclusive(&g_lock);
    size_t length = g_length < static_cast<size_t>(size - 1) ? g_length : size - 1;
    std::memcpy(buffer, g_lines, length);
    buffer[length] = '\0';
    g_length = 0;
    ReleaseSRWLockExclusive(&g_lock);
    return static_cast<int>(length);
}
