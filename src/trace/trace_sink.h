// TraceSink: the optional trace library ORVANE.DLL and the exact text of every trace line.
// Callers test IsOn() before composing anything, so with tracing off a traced call costs two
// comparisons. Each line is composed in a buffer on the caller's stack.
#pragma once

#include <cstdint>

namespace vexlor::trace {

// A socket or address as trace lines show it: cut to 32 bits, in signed decimal.
template <typename T>
int32_t Shown(T value) {
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

enum Channel : int32_t {
    kThreadsAndLibraries = 1,
    kSockets = 2,
    kRequests = 3,
};

constexpr int kLineSize = 260;  // a line holds at most 259 characters

// Loads ORVANE.DLL, looks up its six entry points and starts trace output (module start-up).
void Bind();
// Stops trace output and unloads the library (module shut-down). From its start no new line is
// handed to the library, and it waits (bounded) for lines in flight before unloading, so a
// receive thread that outlived shut-down's wait never calls into an unloaded library.
void Unbind();

bool IsOn();
void Write(Channel channel, const char* line);

// One function per trace line; each writes nothing when tracing is off.
void ThreadPriority(int32_t priority);                       // channel 1
void ThreadExit();                                           // channel 1
void CreateThreadLine(int32_t threadHandle, int32_t slot);   // channel 1
void CloseHandleLine(int32_t result, int32_t threadHandle);  // channel 1
void LoadSocketLibrary(int32_t libraryHandle);               // channel 1
void InetAddr(int32_t address, const char* ip);              // channel 2
void SocketLine(int32_t socket);                             // channel 2
void BindLine(int32_t result, int32_t socket);               // channel 2
void Htons(int32_t networkPort, int32_t port);               // channel 2
void Connect(int32_t result, int32_t socket);                // channel 2
void WsaGetLastError(int32_t error);                         // channel 2
void Shutdown(int32_t result, int32_t socket);               // channel 2
void SetSockOptLinger(int32_t result, int32_t socket);       // channel 2
void CloseSocket(int32_t result, int32_t socket);            // channel 2
// Send line (channel 3). The request is shown as `shown` bytes (a text request whole; an I/O
// Controller frame up to its first zero byte, at most 7), `length` is what was handed to send.
void Send(int32_t result, int32_t socket, const char* request, int shown, int32_t length);
// A receive thread met a reply it does not recognise while a box of its slot was already open,
// and showed none (channel 1).
void ErrorBoxNotShown(int32_t slot, const char* caption, const char* text);

}  // namespace vexlor::trace
