// The fake platform for unit tests: a complete implementation of platform/platform.h that keeps
// everything in memory and under the test's control.
//
// Link a test against `vexlor_fake_platform` (it brings the driver's core objects along) and
// drive the driver through its real entry points (InitSlot, the exported functions, the
// parsers) while the fake plays the operating system:
//
// - Clock: TimeMs() is a virtual 32-bit millisecond counter (SetTime / AdvanceTime). Sleep()
//   called on a test ("host") thread advances it by the requested milliseconds; Sleep() on a
//   thread that the driver created (a receive thread) never moves it, so receive threads do not
//   disturb throttling tests. Every Sleep() also really sleeps a little (SetRealSleepMicros) so
//   that real threads make progress.
// - Socket layer: LoadLibrary("WSOCK32.DLL") gives a fake socket library whose 23 functions are
//   scripted by the test (see "Socket layer" below). Socket numbers are handed out from 256 in
//   steps of 4. The last error (WSAGetLastError) is kept per thread, as in Windows Sockets.
// - Trace library: LoadLibrary("ORVANE.DLL") gives a fake trace library that records every line
//   with its channel. StartTraceOutput returns 1 unless told otherwise, so tracing is on.
// - Profile files: kept in memory, keyed by path; section and key names match without regard to
//   ASCII case. The driver module's own path is "/fake/vexlor/libvexlor.so" unless changed, so
//   the settings file is "/fake/vexlor/Vexlor.ini" (SettingsFilePath()).
// - User interface: error boxes and wait notices are recorded; error boxes never block unless
//   the test installs a hook that does.
// - Threads: real threads. CreateThread can also hold new threads back until released, or fail.
//
// Every function here is safe to call from any thread. Call Reset() at the start (and end) of
// every test: it stops the driver module if it runs, releases held threads, joins every thread
// the driver created, clears all recorded state, restores every default below and puts the
// driver's static state (device table, settings, module state) back to what a freshly loaded
// library holds. Reset() does not start the module: call StartModule() for that.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/winsock_types.h"
#include "platform/platform.h"

namespace fake {

using vexlor::ws::SOCKET;

// --- Whole fake ----------------------------------------------------------------------------

void Reset();
// Runs the driver's module start-up / shut-down (what loading / unloading the library does).
void StartModule();
void StopModule();
bool ModuleStarted();

// Polls condition (every 200 microseconds of real time) until it holds or timeoutMs of real time
// have passed; returns the condition's last value. For waiting on real threads in tests.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000);

// --- Clock ---------------------------------------------------------------------------------

// Default after Reset(): 1'000'000 ms (the system has been up for a while).
void SetTime(uint32_t ms);
void AdvanceTime(uint32_t ms);  // wraps at 2^32 like the real counter
uint32_t Time();
// Whether Sleep() on a host thread advances the clock (default true).
void SetSleepAdvancesClock(bool advances);
// Real time each Sleep() call spends, in microseconds (default 1000).
void SetRealSleepMicros(uint32_t micros);
// Sleep() calls made on host threads (not on threads created through CreateThread) since
// Reset() or ResetSleepCount(), and the milliseconds they asked for.
int HostSleepCount();
uint64_t HostSleepMs();
void ResetSleepCount();

// --- Module and libraries ------------------------------------------------------------------

// The driver's own module path as ModuleFileName reports it.
void SetModulePath(const std::string& path);
// Names passed to LoadLibrary / FreeLibrary, in order ("WSOCK32.DLL", "ORVANE.DLL", ...).
std::vector<std::string> LoadedLibraries();
std::vector<std::string> FreedLibraries();

// --- Socket layer ("WSOCK32.DLL") ----------------------------------------------------------

// Whether LoadLibrary("WSOCK32.DLL") succeeds (default true).
void SetSocketLibraryPresent(bool present);
// Makes GetProcAddress fail for one of the 23 names (may be called for several).
void OmitSocketFunction(const std::string& name);
// Result of WSAStartup (default 0).
void SetWsaStartupResult(int result);
int WsaStartupCalls();
uint16_t WsaStartupVersion();  // version word of the last WSAStartup call
int WsaCleanupCalls();

// Scripts the next call of the named function (FIFO per function; each entry is used once):
// the call returns `result` and, when error is nonzero, sets the calling thread's last error.
// For "socket" a result of -1 gives INVALID_SOCKET. A scripted call has no other effect (a
// scripted "socket" creates no socket, a scripted "send" records nothing), except that a
// scripted "connect" with result 0 connects the socket.
void ScriptResult(const std::string& function, int result, int error = 0);
// The value WSAGetLastError returns on the calling thread next (it is also set by every failing
// fake call).
void SetLastError(int error);

// Defaults, unless scripted:
// - socket: a new socket (256, 260, ...); bind, shutdown, setsockopt: 0 on an open socket.
// - connect: 0 on an open socket (the socket counts as connected), except for the address 0 or
//   255.255.255.255 or port 0, which fail with 10049 (WSAEADDRNOTAVAIL); refused ports can be
//   scripted with ScriptResult("connect", -1, 10061).
// - send on a connected socket: records the bytes and returns the length; on a socket that was
//   created but not connected: -1 / 10057; on a closed, unknown or INVALID socket: -1 / 10038.
// - select: counts a socket as readable when bytes or a peer close are queued for it, rewrites
//   the read set to the readable sockets and returns their number; an unknown or closed socket
//   in the set: -1 / 10038. With none readable it waits, in real time, up to its time-out, and
//   returns early (with 0) whenever the fake is poked: the clock moves, bytes are queued, a
//   socket closes or the threads are being joined.
// - Datagram sockets (the driver's wake-up channels): socket, bind, getsockname (127.0.0.1 and a
//   port of their own), sendto, recvfrom and closesocket work on them, unscripted and
//   unrecorded, so that SocketCalls() and CreatedSockets() show the device connections only.
// - recv: up to len bytes of the first queued chunk (a chunk is never merged with the next one),
//   0 once a queued peer close is reached, -1 / 10035 when nothing is queued, -1 / 10038 on a
//   closed or unknown socket.
// - closesocket: 0 and the socket is closed; -1 / 10038 when it was not open.
// - inet_addr: dotted-quad text to network order, 0xFFFFFFFF for anything else.
// - htons: byte swap. WSAGetLastError: the calling thread's last error.

SOCKET SetNextSocket(SOCKET next);  // number that the next socket() call returns
std::vector<SOCKET> CreatedSockets();
bool IsOpen(SOCKET socket);
bool IsConnected(SOCKET socket);

// Every send on the socket, each as the bytes handed over (byte-exact), and all of them
// concatenated.
std::vector<std::string> Sends(SOCKET socket);
std::string SentBytes(SOCKET socket);
void ClearSends(SOCKET socket);
// Total number of send calls on any socket (scripted ones included).
int SendCalls();

// Bytes the device "sends": queued as one chunk for recv.
void QueueReceive(SOCKET socket, const std::string& bytes);
// The device closes the connection once the queued chunks have been received.
void QueuePeerClose(SOCKET socket);
// True once every queued chunk of the socket has been received and a later select on the socket
// has begun (that is, the receive step that took the last bytes has finished), within timeoutMs
// of real time.
bool WaitUntilReceived(SOCKET socket, int timeoutMs = 5000);
int SelectCalls(SOCKET socket);
int RecvCalls(SOCKET socket);

// One call of a socket function other than select and recv (those are counted per socket
// instead, they come from the receive threads).
struct SocketCall {
    std::string function;  // "socket", "bind", "connect", "send", "WSAGetLastError", ...
    SOCKET socket = vexlor::ws::kInvalidSocket;  // the socket argument or result, if any
    int result = 0;
    int level = 0, option = 0;  // setsockopt
    int how = 0;                // shutdown
    int family = 0;             // bind and connect: sin_family
    uint32_t address = 0;       // bind and connect: sin_addr, network order
    uint16_t port = 0;          // bind and connect: sin_port, network order
    int length = 0;             // bind, connect, setsockopt, send: the length argument
    std::string data;           // send: the bytes; setsockopt: the option bytes
};
std::vector<SocketCall> SocketCalls();
// Just the function names of SocketCalls(), in order.
std::vector<std::string> SocketCallNames();
void ClearSocketCalls();

// --- Trace library ("ORVANE.DLL") ----------------------------------------------------------

// Whether LoadLibrary("ORVANE.DLL") succeeds (default true).
void SetTraceLibraryPresent(bool present);
// Makes GetProcAddress fail for one of the six entry points.
void OmitTraceFunction(const std::string& name);
// Result of StartTraceOutput (default 1).
void SetStartTraceOutputResult(int result);
// Makes every trace line set the writing thread's last error to `error`, as a trace library does
// on Windows whose own calls fail (0, the default: lines leave it alone).
void SetTraceLineLastError(int error);
int TraceStartCalls();
int TraceStopCalls();
// Number of lines recorded when StopTraceOutput was last called (-1: never called).
int TraceLineCountAtStop();

struct TraceLine {
    int channel;
    std::string text;
};
std::vector<TraceLine> TraceLines();
// The texts of the lines on one channel (0: all channels), in order.
std::vector<std::string> TraceTexts(int channel = 0);
void ClearTrace();

// --- Profile files -------------------------------------------------------------------------

// Path of the settings file the driver composes from the module path.
std::string SettingsFilePath();
// Values in the settings file (SettingsFilePath()).
void SetProfileString(const std::string& section, const std::string& key, const std::string& value);
void RemoveProfileKey(const std::string& section, const std::string& key);
bool HasProfileKey(const std::string& section, const std::string& key);
std::string ProfileString(const std::string& section, const std::string& key);
// The same for any path.
void SetProfileStringAt(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value);
std::string ProfileStringAt(const std::string& path, const std::string& section,
                            const std::string& key);
// Sections of a file in the order they were first written, and keys of one section.
std::vector<std::string> ProfileSections(const std::string& path);
std::vector<std::string> ProfileKeys(const std::string& path, const std::string& section);
// Whether ProfileWriteString succeeds (default true); a failing write changes nothing.
void SetProfileWritable(bool writable);
int ProfileWriteCalls();
void ClearProfiles();

// --- User interface ------------------------------------------------------------------------

struct ErrorBoxRecord {
    std::string caption;
    std::string text;
};
std::vector<ErrorBoxRecord> ErrorBoxes();
// Called inside ErrorBox (on the calling thread) after the box has been recorded; a hook that
// blocks makes the box block, like a box the user has not closed yet. Empty to remove.
void SetErrorBoxHook(std::function<void(const std::string& caption, const std::string& text)>);

struct WaitNoticeRecord {
    vexlor::platform::WaitNoticeTemplate which;
    bool destroyed;
};
std::vector<WaitNoticeRecord> WaitNotices();
// Whether WaitNoticeCreate returns a window (default true) or null (not shown).
void SetWaitNoticeShown(bool shown);

int MessageHookInstalls();
int MessageHookRemovals();

void SetProcessEnding(bool ending);  // default false

// --- Threads -------------------------------------------------------------------------------

enum class ThreadMode {
    kRun,   // CreateThread starts the routine at once (default)
    kHold,  // the thread exists but waits before the routine until ReleaseHeldThreads()
    kFail,  // CreateThread fails (returns null)
};
void SetThreadMode(ThreadMode mode);
// What ThreadStartError() reports after a failed CreateThread (default 8).
void SetThreadStartError(uint32_t error);
void ReleaseHeldThreads();
int ThreadsCreated();
// Threads created through CreateThread whose routine has not returned yet.
int ThreadsRunning();
// The value ThreadHandleValue shows for the n-th thread created since Reset() (0-based).
int32_t ThreadHandleValueOf(int n);
// Whether the handle of the n-th thread has been closed, and whether that thread has ended.
bool ThreadClosed(int n);
bool ThreadEnded(int n);
// True on a thread created through CreateThread.
bool OnPlatformThread();
// Calls made to SetCurrentThreadPriorityNormal.
int PriorityCalls();

}  // namespace fake
