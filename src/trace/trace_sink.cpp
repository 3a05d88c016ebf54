// TraceSink: binds the optional trace library and composes every trace line.
#include "trace/trace_sink.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace vexlor::trace {
namespace {

using OrvaneFn = int (*)(int32_t channel, const char* text);
using StartFn = int32_t (*)();
using StopFn = void (*)();

constexpr const char* kEntryNames[6] = {"Orvane",         "SetTraceIDColor",  "SetTraceIDMedium",
                                        "SetTraceIDFile", "StartTraceOutput", "StopTraceOutput"};

platform::ModuleHandle g_library = nullptr;
std::atomic<int32_t> g_enabled{0};  // lines are written only while this is exactly 1
std::atomic<int32_t> g_writers{0};  // lines being handed to the library right now
std::atomic<OrvaneFn> g_orvane{nullptr};
StopFn g_stop = nullptr;

// Appends text to a line buffer, never beyond the 259 characters a line may hold.
class Line {
  public:
    Line& Text(const char* text) { return Bytes(text, static_cast<int>(std::strlen(text))); }
    Line& Bytes(const char* bytes, int count) {
        for (int i = 0; i < count && length_ < kLineSize - 1; ++i) buffer_[length_++] = bytes[i];
        buffer_[length_] = '\0';
        return *this;
    }
    Line& Number(int32_t value) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%d", static_cast<int>(value));
        return Text(digits);
    }
    Line& Ret(int32_t value) { return Text("Ret=").Number(value); }
    const char* c_str() const { return buffer_; }

  private:
    char buffer_[kLineSize] = {};
    int length_ = 0;
};

void Emit(Channel channel, const Line& line) {
    Write(channel, line.c_str());
}

}  // namespace

void Bind() {
    g_library = nullptr;
    g_enabled.store(1);
    g_library = platform::LoadLibrary("ORVANE.DLL");
    if (g_library == nullptr) {
        g_enabled.store(0);
        return;
    }
    void* entries[6];
    for (int i = 0; i < 6; ++i) {
        entries[i] = platform::GetProcAddress(g_library, kEntryNames[i]);
        if (entries[i] == nullptr) g_enabled.store(0);
    }
    if (g_enabled.load() != 1) return;
    g_orvane.store(reinterpret_cast<OrvaneFn>(entries[0]));
    g_stop = reinterpret_cast<StopFn>(entries[5]);
    g_enabled.store(reinterpret_cast<StartFn>(entries[4])());
}

void Unbind() {
    const bool wasOn = IsOn();
    // From here no new line is handed to the library; wait (bounded) for lines in flight.
    g_enabled.store(0);
    int waited = 0;
    while (g_writers.load() != 0 && waited < 1000) {
        platform::Sleep(1);
        ++waited;
    }
    const bool idle = g_writers.load() == 0;
    if (wasOn && idle && g_stop != nullptr) g_stop();
    // A receive thread that outlived shut-down's bounded wait cannot start a new line any more
    // (the flag is off), so the library may go once no line is in flight. If one is stuck
    // inside the library, leave it loaded rather than unload code that is running.
    if (g_library != nullptr && idle) platform::FreeLibrary(g_library);
    g_library = nullptr;
    g_orvane.store(nullptr);
    g_stop = nullptr;
}

bool IsOn() {
    return g_enabled.load(std::memory_order_acquire) == 1;
}

void Write(Channel channel, const char* line) {
    // Announce the writer before testing the flag, so that Unbind, which clears the flag before
    // counting writers, either sees this writer or this writer sees the cleared flag.
    g_writers.fetch_add(1);
    if (g_enabled.load() == 1) {
        OrvaneFn orvane = g_orvane.load();
        if (orvane != nullptr) orvane(channel, line);
    }
    g_writers.fetch_sub(1);
}

void ThreadPriority(int32_t priority) {
    if (!IsOn()) return;
    Emit(kThreadsAndLibraries, Line()
                                   .Text("SetThreadPriority (")
                                   .Text("GetCurrentThread (), ")
                                   .Number(priority)
                                   .Text(")"));
}

void ThreadExit() {
    if (!IsOn()) return;
    Emit(kThreadsAndLibraries, Line().Text("ExitThread (").Text("0)"));
}

void CreateThreadLine(int32_t threadHandle, int32_t slot) {
    if (!IsOn()) return;
    Emit(kThreadsAndLibraries, Line()
                                   .Ret(threadHandle)
                                   .Text("; CreateThread (")
                                   .Text("NULL, 0, ThreadDev, ")
                                   .Number(slot)
                                   .Text(", &...")
                                   .Text(")"));
}

void CloseHandleLine(int32_t result, int32_t threadHandle) {
    if (!IsOn()) return;
    Emit(kThreadsAndLibraries,
         Line().Ret(result).Text("; CloseHandle (").Number(threadHandle).Text(")"));
}

void LoadSocketLibrary(int32_t libraryHandle) {
    if (!IsOn()) return;
    Emit(kThreadsAndLibraries,
         Line().Ret(libraryHandle).Text("; LoadLibrary (").Text("WSOCK32.DLL").Text(")"));
}

void ErrorBoxNotShown(int32_t slot, const char* caption, const char* text) {
    if (!IsOn()) return;
    Emit(kThreadsAndLibraries, Line()
                                   .Text("MessageBoxA not shown (slot ")
                                   .Number(slot)
                                   .Text(" has a box open): ")
                                   .Text(caption)
                                   .Text(": ")
                                   .Text(text));
}

void InetAddr(int32_t address, const char* ip) {
    if (!IsOn()) return;
    Emit(kSockets, Line().Ret(address).Text("; inet_addr (").Text(ip).Text(")"));
}

void SocketLine(int32_t socket) {
    if (!IsOn()) return;
    Emit(kSockets, Line().Ret(socket).Text("; socket (").Text("AF_INET, SOCK_STREAM, 0").Text(")"));
}

void BindLine(int32_t result, int32_t socket) {
    if (!IsOn()) return;
    Emit(kSockets,
         Line().Ret(result).Text("; bind (").Number(socket).Text(", &..., sizeof(...)").Text(")"));
}

void Htons(int32_t networkPort, int32_t port) {
    if (!IsOn()) return;
    Emit(kSockets, Line().Ret(networkPort).Text("; htons (").Number(port).Text(")"));
}

void Connect(int32_t result, int32_t socket) {
    if (!IsOn()) return;
    Emit(kSockets, Line()
                       .Ret(result)
                       .Text("; connect (")
                       .Number(socket)
                       .Text(", &..., sizeof(...)")
                       .Text(")"));
}

void WsaGetLastError(int32_t error) {
    if (!IsOn()) return;
    Emit(kSockets, Line().Ret(error).Text("; WSAGetLastError (").Text(")"));
}

void Shutdown(int32_t result, int32_t socket) {
    if (!IsOn()) return;
    Emit(kSockets, Line().Ret(result).Text("; shutdown (").Number(socket).Text(", 2").Text(")"));
}

void SetSockOptLinger(int32_t result, int32_t socket) {
    if (!IsOn()) return;
    Emit(kSockets, Line()
                       .Ret(result)
                       .Text("; setsockopt (")
                       .Number(socket)
                       .Text(", SOL_SOCKET, SO_LINGER, &..., sizeof(...)")
                       .Text(")"));
}

void CloseSocket(int32_t result, int32_t socket) {
    if (!IsOn()) return;
    Emit(kSockets, Line().Ret(result).Text("; closesocket (").Number(socket).Text(")"));
}

void Send(int32_t result, int32_t socket, const char* request, int shown, int32_t length) {
    if (!IsOn()) return;
    Emit(kRequests, Line()
                        .Ret(result)
                        .Text("; send (")
                        .Number(socket)
                        .Text(", ")
                        .Bytes(request, shown)
                        .Text(", ")
                        .Number(length)
                        .Text(", 0")
                        .Text(")"));
}

}  // namespace vexlor::trace
