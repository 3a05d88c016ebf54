// The fake platform: platform/platform.h in memory, scripted by the tests (fake_platform.h).
#include "fake_platform.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "config/settings.h"
#include "core/device_table.h"
#include "core/module.h"
#include "core/receive_thread.h"

namespace fake {
namespace {

namespace ws = vexlor::ws;
namespace platform = vexlor::platform;

constexpr int kWsaENotSock = 10038;
constexpr int kWsaEWouldBlock = 10035;
constexpr int kWsaENotConn = 10057;
constexpr int kWsaEAddrNotAvail = 10049;
constexpr uint32_t kDefaultTime = 1000000;
constexpr char kDefaultModulePath[] = "/fake/vexlor/libvexlor.so";

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

struct FakeSocket {
    bool open = true;
    bool connected = false;
    // A datagram socket: the driver's wake-up channels. Their calls are not recorded and not
    // scripted, so that the tests see the device connections' calls exactly as before.
    bool datagram = false;
    uint16_t port = 0;  // bound port, network order
    std::deque<std::string> datagrams;
    std::deque<std::string> chunks;
    bool peerClose = false;
    std::vector<std::string> sends;
    int selects = 0;
    int recvs = 0;
    int selectsWhenDrained = 0;
};

struct ProfileSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;
};
using ProfileFile = std::vector<ProfileSection>;

struct State {
    bool sleepAdvances = true;
    uint32_t realSleepMicros = 1000;
    int hostSleeps = 0;
    uint64_t hostSleepMs = 0;
    std::string modulePath = kDefaultModulePath;
    std::vector<std::string> loaded, freed;

    bool wsockPresent = true;
    std::set<std::string> omittedSocket;
    int wsaStartupResult = 0;
    int wsaStartupCalls = 0;
    uint16_t wsaStartupVersion = 0;
    int wsaCleanupCalls = 0;
    std::map<std::string, std::deque<std::pair<int, int>>> scripts;
    SOCKET nextSocket = 256;
    SOCKET nextDatagramSocket = 0x8000;
    uint16_t nextPort = 40000;
    std::vector<SOCKET> created;
    std::map<SOCKET, FakeSocket> sockets;
    int sendCalls = 0;
    std::vector<SocketCall> calls;

    bool tracePresent = true;
    std::set<std::string> omittedTrace;
    int startResult = 1;
    int traceLastError = 0;  // the last error every trace line leaves behind (0: untouched)
    int startCalls = 0, stopCalls = 0;
    int linesAtStop = -1;
    std::vector<TraceLine> lines;

    std::map<std::string, ProfileFile> profiles;
    bool writable = true;
    int writeCalls = 0;

    std::vector<ErrorBoxRecord> boxes;
    std::function<void(const std::string&, const std::string&)> boxHook;
    std::vector<WaitNoticeRecord> notices;
    bool noticeShown = true;
    int hookInstalls = 0, hookRemovals = 0;
    bool ending = false;

    ThreadMode threadMode = ThreadMode::kRun;
    uint32_t threadStartError = 8;  // ERROR_NOT_ENOUGH_MEMORY
    int priorityCalls = 0;
    bool moduleStarted = false;
};

std::mutex g_mu;
State g_state;
// Wakes selects that wait: bytes queued, a datagram sent, a socket closed, the clock moved, the
// threads being joined. A waiting select looks again whenever g_pokes changes.
std::condition_variable g_selectCv;
uint64_t g_pokes = 0;  // guarded by g_mu

// With g_mu held.
void Poke() {
    ++g_pokes;
    g_selectCv.notify_all();
}

void PokeSelects() {
    std::lock_guard<std::mutex> lock(g_mu);
    Poke();
}
std::atomic<uint32_t> g_time{kDefaultTime};
thread_local int t_lastError = 0;
thread_local bool t_platformThread = false;
thread_local void* t_threadArgument = nullptr;
thread_local uint32_t t_threadStartError = 0;

// Module handles of the fake libraries.
char g_selfTag, g_wsockTag, g_orvaneTag;

// --- Threads -------------------------------------------------------------------------------

struct FakeThread {
    std::thread thread;
    platform::ThreadRoutine routine = nullptr;
    void* argument = nullptr;
    int32_t value = 0;
    bool hold = false;      // guarded by g_threadMu
    bool finished = false;  // guarded by g_threadMu
    bool closed = false;    // guarded by g_threadMu
};

std::mutex g_threadMu;
std::condition_variable g_threadCv;
std::vector<std::unique_ptr<FakeThread>> g_threads;

FakeThread* FindThread(platform::ThreadHandle handle) {
    for (auto& thread : g_threads) {
        if (thread.get() == handle) return thread.get();
    }
    return nullptr;
}

// Releases held threads, waits for every thread to end and joins it. The driver's run flags are
// cleared first so that receive threads leave their loops.
void JoinAllThreads() {
    for (auto& slot : vexlor::g_devices) slot.runFlag.store(0);
    PokeSelects();
    std::vector<FakeThread*> threads;
    {
        std::lock_guard<std::mutex> lock(g_threadMu);
        for (auto& thread : g_threads) {
            thread->hold = false;
            threads.push_back(thread.get());
        }
    }
    g_threadCv.notify_all();
    for (FakeThread* thread : threads) {
        {
            std::unique_lock<std::mutex> lock(g_threadMu);
            if (!g_threadCv.wait_for(lock, std::chrono::seconds(20),
                                     [&] { return thread->finished; })) {
                std::fprintf(stderr, "fake platform: a driver thread did not end\n");
                std::abort();
            }
        }
        if (thread->thread.joinable()) thread->thread.join();
    }
    std::lock_guard<std::mutex> lock(g_threadMu);
    g_threads.clear();
}

struct ThreadJoinerAtExit {
    ~ThreadJoinerAtExit() { JoinAllThreads(); }
} g_joinAtExit;

// --- Socket layer --------------------------------------------------------------------------

// With g_mu held: takes the next scripted result of the function, if any.
bool TakeScript(const char* function, int* result) {
    auto it = g_state.scripts.find(function);
    if (it == g_state.scripts.end() || it->second.empty()) return false;
    const auto entry = it->second.front();
    it->second.pop_front();
    *result = entry.first;
    if (entry.second != 0) t_lastError = entry.second;
    return true;
}

// With g_mu held: the open socket, or null (and the last error 10038).
FakeSocket* OpenSocket(SOCKET socket) {
    auto it = g_state.sockets.find(socket);
    if (it == g_state.sockets.end() || !it->second.open) {
        t_lastError = kWsaENotSock;
        return nullptr;
    }
    return &it->second;
}

int Fail(int error) {
    t_lastError = error;
    return ws::kSocketError;
}

// With g_mu held: the open datagram socket, or null.
FakeSocket* Datagram(SOCKET socket) {
    auto it = g_state.sockets.find(socket);
    if (it == g_state.sockets.end() || !it->second.datagram) return nullptr;
    return &it->second;
}

int VEXLOR_WSAAPI FakeWSAStartup(uint16_t version, ws::WsaData* data) {
    std::lock_guard<std::mutex> lock(g_mu);
    ++g_state.wsaStartupCalls;
    g_state.wsaStartupVersion = version;
    if (data != nullptr) {
        data->wVersion = version;
        data->wHighVersion = version;
    }
    SocketCall call;
    call.function = "WSAStartup";
    call.result = g_state.wsaStartupResult;
    g_state.calls.push_back(call);
    return g_state.wsaStartupResult;
}

int VEXLOR_WSAAPI FakeWSACleanup() {
    std::lock_guard<std::mutex> lock(g_mu);
    ++g_state.wsaCleanupCalls;
    SocketCall call;
    call.function = "WSACleanup";
    g_state.calls.push_back(call);
    return 0;
}

int VEXLOR_WSAAPI FakeWSAGetLastError() {
    std::lock_guard<std::mutex> lock(g_mu);
    SocketCall call;
    call.function = "WSAGetLastError";
    call.result = t_lastError;
    g_state.calls.push_back(call);
    return t_lastError;
}

void FakeNotCalled() {}

ws::SOCKET VEXLOR_WSAAPI FakeSocketCreate(int, int type, int) {
    std::lock_guard<std::mutex> lock(g_mu);
    if (type == ws::kSockDgram) {
        const SOCKET result = g_state.nextDatagramSocket;
        g_state.nextDatagramSocket += 4;
        FakeSocket datagram;
        datagram.datagram = true;
        g_state.sockets[result] = datagram;
        return result;
    }
    SocketCall call;
    call.function = "socket";
    int scripted = 0;
    SOCKET result;
    if (TakeScript("socket", &scripted)) {
        result = scripted == -1 ? ws::kInvalidSocket : static_cast<SOCKET>(scripted);
    } else {
        result = g_state.nextSocket;
        g_state.nextSocket += 4;
        g_state.sockets[result] = FakeSocket{};
        g_state.created.push_back(result);
    }
    call.socket = result;
    call.result = static_cast<int>(result);
    g_state.calls.push_back(call);
    return result;
}

int VEXLOR_WSAAPI FakeShutdown(ws::SOCKET socket, int how) {
    std::lock_guard<std::mutex> lock(g_mu);
    SocketCall call;
    call.function = "shutdown";
    call.socket = socket;
    call.how = how;
    int result = 0;
    if (!TakeScript("shutdown", &result)) result = OpenSocket(socket) ? 0 : ws::kSocketError;
    call.result = result;
    g_state.calls.push_back(call);
    return result;
}

int VEXLOR_WSAAPI FakeCloseSocket(ws::SOCKET socket) {
    std::lock_guard<std::mutex> lock(g_mu);
    if (FakeSocket* datagram = Datagram(socket)) {
        if (!datagram->open) return Fail(kWsaENotSock);
        datagram->open = false;
        Poke();
        return 0;
    }
    SocketCall call;
    call.function = "closesocket";
    call.socket = socket;
    int result = 0;
    if (!TakeScript("closesocket", &result)) {
        FakeSocket* open = OpenSocket(socket);
        if (open != nullptr) {
            open->open = false;
            open->connected = false;
            Poke();
        } else {
            result = ws::kSocketError;
        }
    }
    call.result = result;
    g_state.calls.push_back(call);
    return result;
}

int VEXLOR_WSAAPI FakeSetSockOpt(ws::SOCKET socket, int level, int name, const char* value,
                                 int length) {
    std::lock_guard<std::mutex> lock(g_mu);
    SocketCall call;
    call.function = "setsockopt";
    call.socket = socket;
    call.level = level;
    call.option = name;
    call.length = length;
    if (value != nullptr && length > 0) call.data.assign(value, static_cast<size_t>(length));
    int result = 0;
    if (!TakeScript("setsockopt", &result)) result = OpenSocket(socket) ? 0 : ws::kSocketError;
    call.result = result;
    g_state.calls.push_back(call);
    return result;
}

void FillAddress(SocketCall& call, const ws::SockAddr* address, int length) {
    call.length = length;
    if (address == nullptr) return;
    ws::SockAddrIn in;
    std::memcpy(&in, address, sizeof in);
    call.family = in.sin_family;
    call.address = in.sin_addr.s_addr;
    call.port = in.sin_port;
}

int VEXLOR_WSAAPI FakeConnect(ws::SOCKET socket, const ws::SockAddr* address, int length) {
    std::lock_guard<std::mutex> lock(g_mu);
    SocketCall call;
    call.function = "connect";
    call.socket = socket;
    FillAddress(call, address, length);
    int result = 0;
    if (TakeScript("connect", &result)) {
        if (result == 0) {
            if (FakeSocket* open = OpenSocket(socket)) open->connected = true;
        }
    } else if (FakeSocket* open = OpenSocket(socket)) {
        if (call.address == 0 || call.address == 0xFFFFFFFFu || call.port == 0) {
            result = Fail(kWsaEAddrNotAvail);
        } else {
            open->connected = true;
        }
    } else {
        result = ws::kSocketError;
    }
    call.result = result;
    g_state.calls.push_back(call);
    return result;
}

int VEXLOR_WSAAPI FakeBind(ws::SOCKET socket, const ws::SockAddr* address, int length) {
    std::lock_guard<std::mutex> lock(g_mu);
    if (FakeSocket* datagram = Datagram(socket)) {
        if (!datagram->open) return Fail(kWsaENotSock);
        const uint16_t port = g_state.nextPort++;
        datagram->port = static_cast<uint16_t>((port >> 8) | (port << 8));
        return 0;
    }
    SocketCall call;
    call.function = "bind";
    call.socket = socket;
    FillAddress(call, address, length);
    int result = 0;
    if (!TakeScript("bind", &result)) result = OpenSocket(socket) ? 0 : ws::kSocketError;
    call.result = result;
    g_state.calls.push_back(call);
    return result;
}

uint32_t ParseDottedQuad(const char* text) {
    if (text == nullptr) return 0xFFFFFFFFu;
    uint32_t parts[4];
    int count = 0;
    const char* p = text;
    while (count < 4) {
        if (*p < '0' || *p > '9') return 0xFFFFFFFFu;
        uint32_t value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<uint32_t>(*p - '0');
            if (++digits > 3 || value > 255) return 0xFFFFFFFFu;
            ++p;
        }
        parts[count++] = value;
        if (count < 4) {
            if (*p != '.') return 0xFFFFFFFFu;
            ++p;
        }
    }
    if (*p != '\0') return 0xFFFFFFFFu;
    // Network order: the first part is the lowest-addressed byte.
    const uint8_t bytes[4] = {static_cast<uint8_t>(parts[0]), static_cast<uint8_t>(parts[1]),
                              static_cast<uint8_t>(parts[2]), static_cast<uint8_t>(parts[3])};
    uint32_t result;
    std::memcpy(&result, bytes, sizeof result);
    return result;
}

uint32_t VEXLOR_WSAAPI FakeInetAddr(const char* text) {
    const uint32_t result = ParseDottedQuad(text);
    std::lock_guard<std::mutex> lock(g_mu);
    SocketCall call;
    call.function = "inet_addr";
    call.result = static_cast<int>(result);
    call.data = text != nullptr ? text : "";
    g_state.calls.push_back(call);
    return result;
}

uint16_t VEXLOR_WSAAPI FakeHtons(uint16_t value) {
    const uint16_t result = static_cast<uint16_t>((value >> 8) | (value << 8));
    std::lock_guard<std::mutex> lock(g_mu);
    SocketCall call;
    call.function = "htons";
    call.result = result;
    g_state.calls.push_back(call);
    return result;
}

int VEXLOR_WSAAPI FakeSend(ws::SOCKET socket, const char* buffer, int length, int) {
    std::lock_guard<std::mutex> lock(g_mu);
    ++g_state.sendCalls;
    SocketCall call;
    call.function = "send";
    call.socket = socket;
    call.length = length;
    if (buffer != nullptr && length > 0) call.data.assign(buffer, static_cast<size_t>(length));
    int result = 0;
    if (!TakeScript("send", &result)) {
        FakeSocket* open = OpenSocket(socket);
        if (open == nullptr) {
            result = ws::kSocketError;
        } else if (!open->connected) {
            result = Fail(kWsaENotConn);
        } else {
            open->sends.push_back(call.data);
            result = length;
        }
    }
    call.result = result;
    g_state.calls.push_back(call);
    return result;
}

int VEXLOR_WSAAPI FakeRecv(ws::SOCKET socket, char* buffer, int length, int) {
    std::lock_guard<std::mutex> lock(g_mu);
    int result = 0;
    if (TakeScript("recv", &result)) return result;
    FakeSocket* open = OpenSocket(socket);
    if (open == nullptr) return ws::kSocketError;
    ++open->recvs;
    if (open->chunks.empty()) return open->peerClose ? 0 : Fail(kWsaEWouldBlock);
    std::string& chunk = open->chunks.front();
    const size_t n = std::min(chunk.size(), static_cast<size_t>(length < 0 ? 0 : length));
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty()) open->chunks.pop_front();
    if (open->chunks.empty()) open->selectsWhenDrained = open->selects;
    return static_cast<int>(n);
}

int VEXLOR_WSAAPI FakeGetSockName(ws::SOCKET socket, ws::SockAddr* address, int* length) {
    std::lock_guard<std::mutex> lock(g_mu);
    FakeSocket* datagram = Datagram(socket);
    if (datagram == nullptr || !datagram->open) return Fail(kWsaENotSock);
    if (address == nullptr || length == nullptr || *length < 16) return Fail(10014);
    ws::SockAddrIn in{};
    in.sin_family = ws::kAfInet;
    in.sin_port = datagram->port;
    const unsigned char loopback[4] = {127, 0, 0, 1};
    std::memcpy(&in.sin_addr.s_addr, loopback, sizeof loopback);
    std::memcpy(address, &in, sizeof in);
    *length = sizeof in;
    return 0;
}

int VEXLOR_WSAAPI FakeSendTo(ws::SOCKET socket, const char* buffer, int length, int,
                             const ws::SockAddr* to, int) {
    std::lock_guard<std::mutex> lock(g_mu);
    FakeSocket* from = Datagram(socket);
    if (from == nullptr || !from->open || to == nullptr) return Fail(kWsaENotSock);
    ws::SockAddrIn target;
    std::memcpy(&target, to, sizeof target);
    for (auto& entry : g_state.sockets) {
        FakeSocket& s = entry.second;
        if (s.datagram && s.open && s.port == target.sin_port) {
            s.datagrams.emplace_back(buffer, static_cast<size_t>(length < 0 ? 0 : length));
            Poke();
            break;
        }
    }
    return length;
}

int VEXLOR_WSAAPI FakeRecvFrom(ws::SOCKET socket, char* buffer, int length, int, ws::SockAddr*,
                               int*) {
    std::lock_guard<std::mutex> lock(g_mu);
    FakeSocket* datagram = Datagram(socket);
    if (datagram == nullptr || !datagram->open) return Fail(kWsaENotSock);
    if (datagram->datagrams.empty()) return Fail(kWsaEWouldBlock);
    const std::string bytes = datagram->datagrams.front();
    datagram->datagrams.pop_front();
    const size_t n = std::min(bytes.size(), static_cast<size_t>(length < 0 ? 0 : length));
    std::memcpy(buffer, bytes.data(), n);
    return static_cast<int>(n);
}

// A select that waits like the real one: until a socket of the read set is readable or the
// time-out (in real time) has passed. It also returns, with 0, when the fake is poked (the
// clock moved, the threads are being joined), so that waiting threads look again.
int VEXLOR_WSAAPI FakeSelect(int, ws::FdSet* readSet, ws::FdSet* writeSet, ws::FdSet*,
                             const ws::TimeVal* timeout) {
    std::unique_lock<std::mutex> lock(g_mu);
    // A look whether sends would block (the keep-alive's): an open fake socket always takes
    // data. Scripted results are meant for the receive loop's selects.
    if (readSet == nullptr && writeSet != nullptr) {
        const uint32_t count = std::min<uint32_t>(writeSet->fd_count, ws::kFdSetSize);
        for (uint32_t i = 0; i < count; ++i) {
            if (OpenSocket(writeSet->fd_array[i]) == nullptr) return ws::kSocketError;
        }
        return static_cast<int>(count);
    }
    int result = 0;
    if (TakeScript("select", &result)) return result;
    if (readSet == nullptr) return 0;
    const uint32_t count = std::min<uint32_t>(readSet->fd_count, ws::kFdSetSize);
    for (uint32_t i = 0; i < count; ++i) {
        FakeSocket* open = OpenSocket(readSet->fd_array[i]);
        if (open == nullptr) return ws::kSocketError;
        ++open->selects;
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          (timeout == nullptr ? std::chrono::hours(1)
                                              : std::chrono::seconds(timeout->tv_sec) +
                                                    std::chrono::microseconds(timeout->tv_usec));
    const uint64_t pokes = g_pokes;
    for (;;) {
        uint32_t ready = 0;
        SOCKET readable[ws::kFdSetSize];
        for (uint32_t i = 0; i < count; ++i) {
            FakeSocket* open = OpenSocket(readSet->fd_array[i]);
            if (open == nullptr) return ws::kSocketError;  // closed while waiting
            const bool has = open->datagram ? !open->datagrams.empty()
                                            : !open->chunks.empty() || open->peerClose;
            if (has) readable[ready++] = readSet->fd_array[i];
        }
        if (ready > 0 || g_pokes != pokes || std::chrono::steady_clock::now() >= deadline) {
            for (uint32_t i = 0; i < ready; ++i) readSet->fd_array[i] = readable[i];
            readSet->fd_count = ready;
            return static_cast<int>(ready);
        }
        g_selectCv.wait_until(lock, deadline);
    }
}

struct NamedFunction {
    const char* name;
    void* address;
};

template <typename Fn>
void* Address(Fn function) {
    return reinterpret_cast<void*>(function);
}

const NamedFunction kSocketFunctions[] = {
    {"WSAStartup", Address(&FakeWSAStartup)},
    {"WSACleanup", Address(&FakeWSACleanup)},
    {"WSAGetLastError", Address(&FakeWSAGetLastError)},
    {"WSAAsyncSelect", Address(&FakeNotCalled)},
    {"socket", Address(&FakeSocketCreate)},
    {"shutdown", Address(&FakeShutdown)},
    {"closesocket", Address(&FakeCloseSocket)},
    {"setsockopt", Address(&FakeSetSockOpt)},
    {"connect", Address(&FakeConnect)},
    {"accept", Address(&FakeNotCalled)},
    {"bind", Address(&FakeBind)},
    {"listen", Address(&FakeNotCalled)},
    {"gethostbyname", Address(&FakeNotCalled)},
    {"gethostname", Address(&FakeNotCalled)},
    {"inet_addr", Address(&FakeInetAddr)},
    {"inet_ntoa", Address(&FakeNotCalled)},
    {"htons", Address(&FakeHtons)},
    {"send", Address(&FakeSend)},
    {"recv", Address(&FakeRecv)},
    {"sendto", Address(&FakeSendTo)},
    {"recvfrom", Address(&FakeRecvFrom)},
    {"select", Address(&FakeSelect)},
    {"ioctlsocket", Address(&FakeNotCalled)},
    {"getsockname", Address(&FakeGetSockName)},
};

// --- Trace library -------------------------------------------------------------------------

int FakeOrvane(int32_t channel, const char* text) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.lines.push_back({channel, text != nullptr ? text : ""});
    if (g_state.traceLastError != 0) t_lastError = g_state.traceLastError;
    return 1;
}

int32_t FakeStartTraceOutput() {
    std::lock_guard<std::mutex> lock(g_mu);
    ++g_state.startCalls;
    return g_state.startResult;
}

void FakeStopTraceOutput() {
    std::lock_guard<std::mutex> lock(g_mu);
    ++g_state.stopCalls;
    g_state.linesAtStop = static_cast<int>(g_state.lines.size());
}

const NamedFunction kTraceFunctions[] = {
    {"Orvane", Address(&FakeOrvane)},
    {"SetTraceIDColor", Address(&FakeNotCalled)},
    {"SetTraceIDMedium", Address(&FakeNotCalled)},
    {"SetTraceIDFile", Address(&FakeNotCalled)},
    {"StartTraceOutput", Address(&FakeStartTraceOutput)},
    {"StopTraceOutput", Address(&FakeStopTraceOutput)},
};

// --- Profiles ------------------------------------------------------------------------------

ProfileSection* FindSection(ProfileFile& file, const std::string& section) {
    for (auto& s : file) {
        if (EqualNoCase(s.name, section)) return &s;
    }
    return nullptr;
}

// With g_mu held.
const std::string* FindValue(const std::string& path, const std::string& section,
                             const std::string& key) {
    auto file = g_state.profiles.find(path);
    if (file == g_state.profiles.end()) return nullptr;
    ProfileSection* s = FindSection(file->second, section);
    if (s == nullptr) return nullptr;
    for (auto& entry : s->keys) {
        if (EqualNoCase(entry.first, key)) return &entry.second;
    }
    return nullptr;
}

// With g_mu held. A null key removes the section, a null value the key.
void WriteValue(const std::string& path, const char* section, const char* key, const char* value) {
    ProfileFile& file = g_state.profiles[path];
    ProfileSection* s = FindSection(file, section);
    if (key == nullptr) {
        for (auto it = file.begin(); it != file.end(); ++it) {
            if (EqualNoCase(it->name, section)) {
                file.erase(it);
                break;
            }
        }
        return;
    }
    if (s == nullptr) {
        if (value == nullptr) return;
        file.push_back(ProfileSection{section, {}});
        s = &file.back();
    }
    for (auto it = s->keys.begin(); it != s->keys.end(); ++it) {
        if (EqualNoCase(it->first, key)) {
            if (value == nullptr) {
                s->keys.erase(it);
            } else {
                it->second = value;
            }
            return;
        }
    }
    if (value != nullptr) s->keys.emplace_back(key, value);
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

void ResetDriverState() {
    using vexlor::Set;
    vexlor::CloseWakeChannels(false);
    for (auto& slot : vexlor::g_devices) {
        Set(slot.inUse, 0);
        Set(slot.socket, ws::kInvalidSocket);
        Set(slot.threadHandle, nullptr);
        Set(slot.threadId, 0);
        Set(slot.runFlag, 0);
        Set(slot.threadAlive, 0);
        Set(slot.replyValid, 0);
        Set(slot.now, 0.0);
        Set(slot.lastThermoPoll, 0.0);
        Set(slot.lastInputPoll, 0.0);
        Set(slot.lastOutputPoll, 0.0);
        Set(slot.lastCounterPoll, 0.0);
        Set(slot.kind, 0);
        Set(slot.inputWord12, 0);
        Set(slot.inputWord24, 0);
        for (auto& v : slot.inputBits) Set(v, 0);
        Set(slot.outputWord12, 0);
        Set(slot.outputWord24, 0);
        for (auto& v : slot.outputBits) Set(v, 0);
        for (auto& v : slot.outputShadow) Set(v, 0);
        for (auto& v : slot.counters) Set(v, 0);
        for (auto& v : slot.counterClearShadow) Set(v, 0);
        Set(slot.lastErrorClear, 0);
        for (auto& v : slot.temperatures) Set(v, 0.0);
        Set(slot.controllerInputs, 0);
        Set(slot.threadGeneration, 0);
        Set(slot.socketUsers, 0);
        Set(slot.hostSenders, 0);
        Set(slot.thermoDeadlinePassed, 0);
        Set(slot.thermoHeldBytes, 0);
        Set(slot.digitalTerminates, 0);
        Set(slot.replyTimeoutMs, 0);
        Set(slot.reconnects, 0);
        Set(slot.awaiting, 0);
        Set(slot.linkError, 0);
        Set(slot.staleUntilReply, 0);
        Set(slot.connection, 0);
        Set(slot.failedSend, 0);
        Set(slot.timingMs, 0.0);
        for (auto& c : slot.password) Set(c, '\0');
        Set(slot.thermoUnanswered, 0);
        Set(slot.errorBoxOwner, 0);
    }
    std::memset(&vexlor::g_settings, 0, sizeof vexlor::g_settings);
    vexlor::g_module.moduleHandle = nullptr;
    vexlor::g_module.uiLanguage.store(0);
    vexlor::g_module.socketLibrary = nullptr;
    vexlor::g_module.socketLayerFailed = 0;
    vexlor::g_module.sockets = vexlor::SocketApi{};
    std::memset(vexlor::g_module.settingsFileName, 0, sizeof vexlor::g_module.settingsFileName);
    for (int kind = 1; kind <= 6; ++kind) vexlor::RegisterResponseParser(kind, nullptr);
}

}  // namespace

// --- Whole fake ----------------------------------------------------------------------------

void Reset() {
    bool started;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        started = g_state.moduleStarted;
    }
    ReleaseHeldThreads();
    if (started) StopModule();
    JoinAllThreads();
    ResetDriverState();
    std::function<void(const std::string&, const std::string&)> oldHook;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        oldHook = std::move(g_state.boxHook);
        g_state = State{};
    }
    g_time.store(kDefaultTime);
    t_lastError = 0;
}

void StartModule() {
    vexlor::ModuleStartup();
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.moduleStarted = true;
}

void StopModule() {
    vexlor::ModuleShutdown();
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.moduleStarted = false;
}

bool ModuleStarted() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.moduleStarted;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// --- Clock ---------------------------------------------------------------------------------

void SetTime(uint32_t ms) {
    g_time.store(ms);
    PokeSelects();
}
void AdvanceTime(uint32_t ms) {
    g_time.fetch_add(ms);
    PokeSelects();
}
uint32_t Time() {
    return g_time.load();
}
void SetSleepAdvancesClock(bool advances) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.sleepAdvances = advances;
}
void SetRealSleepMicros(uint32_t micros) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.realSleepMicros = micros;
}
int HostSleepCount() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.hostSleeps;
}
uint64_t HostSleepMs() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.hostSleepMs;
}
void ResetSleepCount() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.hostSleeps = 0;
    g_state.hostSleepMs = 0;
}

// --- Module and libraries ------------------------------------------------------------------

void SetModulePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.modulePath = path;
}
std::vector<std::string> LoadedLibraries() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.loaded;
}
std::vector<std::string> FreedLibraries() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.freed;
}

// --- Socket layer --------------------------------------------------------------------------

void SetSocketLibraryPresent(bool present) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.wsockPresent = present;
}
void OmitSocketFunction(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.omittedSocket.insert(name);
}
void SetWsaStartupResult(int result) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.wsaStartupResult = result;
}
int WsaStartupCalls() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.wsaStartupCalls;
}
uint16_t WsaStartupVersion() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.wsaStartupVersion;
}
int WsaCleanupCalls() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.wsaCleanupCalls;
}
void ScriptResult(const std::string& function, int result, int error) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.scripts[function].emplace_back(result, error);
}
void SetLastError(int error) {
    t_lastError = error;
}
SOCKET SetNextSocket(SOCKET next) {
    std::lock_guard<std::mutex> lock(g_mu);
    const SOCKET previous = g_state.nextSocket;
    g_state.nextSocket = next;
    return previous;
}
std::vector<SOCKET> CreatedSockets() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.created;
}
bool IsOpen(SOCKET socket) {
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_state.sockets.find(socket);
    return it != g_state.sockets.end() && it->second.open;
}
bool IsConnected(SOCKET socket) {
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_state.sockets.find(socket);
    return it != g_state.sockets.end() && it->second.open && it->second.connected;
}
std::vector<std::string> Sends(SOCKET socket) {
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_state.sockets.find(socket);
    return it == g_state.sockets.end() ? std::vector<std::string>{} : it->second.sends;
}
std::string SentBytes(SOCKET socket) {
    std::string all;
    for (const auto& send : Sends(socket)) all += send;
    return all;
}
void ClearSends(SOCKET socket) {
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_state.sockets.find(socket);
    if (it != g_state.sockets.end()) it->second.sends.clear();
}
int SendCalls() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.sendCalls;
}
void QueueReceive(SOCKET socket, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(g_mu);
    auto& s = g_state.sockets[socket];
    if (!bytes.empty()) s.chunks.push_back(bytes);
    s.selectsWhenDrained = s.chunks.empty() ? s.selects : -1;
    Poke();
}
void QueuePeerClose(SOCKET socket) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.sockets[socket].peerClose = true;
    Poke();
}
bool WaitUntilReceived(SOCKET socket, int timeoutMs) {
    return WaitFor(
        [socket] {
            std::lock_guard<std::mutex> lock(g_mu);
            auto it = g_state.sockets.find(socket);
            if (it == g_state.sockets.end()) return false;
            const FakeSocket& s = it->second;
            return s.chunks.empty() && s.selectsWhenDrained >= 0 &&
                   s.selects > s.selectsWhenDrained;
        },
        timeoutMs);
}
int SelectCalls(SOCKET socket) {
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_state.sockets.find(socket);
    return it == g_state.sockets.end() ? 0 : it->second.selects;
}
int RecvCalls(SOCKET socket) {
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_state.sockets.find(socket);
    return it == g_state.sockets.end() ? 0 : it->second.recvs;
}
std::vector<SocketCall> SocketCalls() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.calls;
}
std::vector<std::string> SocketCallNames() {
    std::vector<std::string> names;
    for (const auto& call : SocketCalls()) names.push_back(call.function);
    return names;
}
void ClearSocketCalls() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.calls.clear();
}

// --- Trace library -------------------------------------------------------------------------

void SetTraceLibraryPresent(bool present) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.tracePresent = present;
}
void OmitTraceFunction(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.omittedTrace.insert(name);
}
void SetStartTraceOutputResult(int result) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.startResult = result;
}
void SetTraceLineLastError(int error) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.traceLastError = error;
}
int TraceStartCalls() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.startCalls;
}
int TraceStopCalls() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.stopCalls;
}
int TraceLineCountAtStop() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.linesAtStop;
}
std::vector<TraceLine> TraceLines() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.lines;
}
std::vector<std::string> TraceTexts(int channel) {
    std::vector<std::string> texts;
    for (const auto& line : TraceLines()) {
        if (channel == 0 || line.channel == channel) texts.push_back(line.text);
    }
    return texts;
}
void ClearTrace() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.lines.clear();
}

// --- Profile files -------------------------------------------------------------------------

std::string SettingsFilePath() {
    std::lock_guard<std::mutex> lock(g_mu);
    return DirectoryOf(g_state.modulePath) + vexlor::kSettingsFileName;
}
void SetProfileString(const std::string& section, const std::string& key,
                      const std::string& value) {
    SetProfileStringAt(SettingsFilePath(), section, key, value);
}
void RemoveProfileKey(const std::string& section, const std::string& key) {
    const std::string path = SettingsFilePath();
    std::lock_guard<std::mutex> lock(g_mu);
    WriteValue(path, section.c_str(), key.c_str(), nullptr);
}
bool HasProfileKey(const std::string& section, const std::string& key) {
    const std::string path = SettingsFilePath();
    std::lock_guard<std::mutex> lock(g_mu);
    return FindValue(path, section, key) != nullptr;
}
std::string ProfileString(const std::string& section, const std::string& key) {
    return ProfileStringAt(SettingsFilePath(), section, key);
}
void SetProfileStringAt(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value) {
    std::lock_guard<std::mutex> lock(g_mu);
    WriteValue(path, section.c_str(), key.c_str(), value.c_str());
}
std::string ProfileStringAt(const std::string& path, const std::string& section,
                            const std::string& key) {
    std::lock_guard<std::mutex> lock(g_mu);
    const std::string* value = FindValue(path, section, key);
    return value != nullptr ? *value : std::string();
}
std::vector<std::string> ProfileSections(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_mu);
    std::vector<std::string> names;
    auto file = g_state.profiles.find(path);
    if (file != g_state.profiles.end()) {
        for (const auto& s : file->second) names.push_back(s.name);
    }
    return names;
}
std::vector<std::string> ProfileKeys(const std::string& path, const std::string& section) {
    std::lock_guard<std::mutex> lock(g_mu);
    std::vector<std::string> names;
    auto file = g_state.profiles.find(path);
    if (file != g_state.profiles.end()) {
        if (ProfileSection* s = FindSection(file->second, section)) {
            for (const auto& entry : s->keys) names.push_back(entry.first);
        }
    }
    return names;
}
void SetProfileWritable(bool writable) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.writable = writable;
}
int ProfileWriteCalls() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.writeCalls;
}
void ClearProfiles() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.profiles.clear();
}

// --- User interface ------------------------------------------------------------------------

std::vector<ErrorBoxRecord> ErrorBoxes() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.boxes;
}
void SetErrorBoxHook(std::function<void(const std::string&, const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.boxHook = std::move(hook);
}
std::vector<WaitNoticeRecord> WaitNotices() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.notices;
}
void SetWaitNoticeShown(bool shown) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.noticeShown = shown;
}
int MessageHookInstalls() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.hookInstalls;
}
int MessageHookRemovals() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.hookRemovals;
}
void SetProcessEnding(bool ending) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.ending = ending;
}

// --- Threads -------------------------------------------------------------------------------

void SetThreadMode(ThreadMode mode) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.threadMode = mode;
}
void SetThreadStartError(uint32_t error) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.threadStartError = error;
}
void ReleaseHeldThreads() {
    {
        std::lock_guard<std::mutex> lock(g_threadMu);
        for (auto& thread : g_threads) thread->hold = false;
    }
    g_threadCv.notify_all();
}
int ThreadsCreated() {
    std::lock_guard<std::mutex> lock(g_threadMu);
    return static_cast<int>(g_threads.size());
}
int ThreadsRunning() {
    std::lock_guard<std::mutex> lock(g_threadMu);
    int running = 0;
    for (auto& thread : g_threads) running += thread->finished ? 0 : 1;
    return running;
}
int32_t ThreadHandleValueOf(int n) {
    return 0x100 + 4 * n;
}
bool ThreadClosed(int n) {
    std::lock_guard<std::mutex> lock(g_threadMu);
    return n >= 0 && n < static_cast<int>(g_threads.size()) && g_threads[n]->closed;
}
bool ThreadEnded(int n) {
    std::lock_guard<std::mutex> lock(g_threadMu);
    return n >= 0 && n < static_cast<int>(g_threads.size()) && g_threads[n]->finished;
}
bool OnPlatformThread() {
    return t_platformThread;
}
int PriorityCalls() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.priorityCalls;
}

}  // namespace fake

// --- The platform interface ----------------------------------------------------------------

namespace vexlor::platform {

using fake::g_mu;
using fake::g_state;

ModuleHandle SelfModule() {
    return &fake::g_selfTag;
}

uint32_t ModuleFileName(ModuleHandle module, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return 0;
    std::string path;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (module == &fake::g_selfTag) path = g_state.modulePath;
    }
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(path.size(), size - 1));
    std::memcpy(buffer, path.data(), n);
    buffer[n] = '\0';
    return n;
}

char PathSeparator() {
    return '/';
}

ModuleHandle LoadLibrary(const char* windowsName) {
    std::lock_guard<std::mutex> lock(g_mu);
    const std::string name = windowsName != nullptr ? windowsName : "";
    g_state.loaded.push_back(name);
    if (fake::EqualNoCase(name, "WSOCK32.DLL") && g_state.wsockPresent) return &fake::g_wsockTag;
    if (fake::EqualNoCase(name, "ORVANE.DLL") && g_state.tracePresent) return &fake::g_orvaneTag;
    return nullptr;
}

void* GetProcAddress(ModuleHandle module, const char* name) {
    if (name == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(g_mu);
    if (module == &fake::g_wsockTag) {
        if (g_state.omittedSocket.count(name) != 0) return nullptr;
        for (const auto& f : fake::kSocketFunctions) {
            if (std::strcmp(f.name, name) == 0) return f.address;
        }
    } else if (module == &fake::g_orvaneTag) {
        if (g_state.omittedTrace.count(name) != 0) return nullptr;
        for (const auto& f : fake::kTraceFunctions) {
            if (std::strcmp(f.name, name) == 0) return f.address;
        }
    }
    return nullptr;
}

void FreeLibrary(ModuleHandle module) {
    std::lock_guard<std::mutex> lock(g_mu);
    if (module == &fake::g_wsockTag) {
        g_state.freed.push_back("WSOCK32.DLL");
    } else if (module == &fake::g_orvaneTag) {
        g_state.freed.push_back("ORVANE.DLL");
    } else {
        g_state.freed.push_back("?");
    }
}

ThreadHandle CreateThread(ThreadRoutine routine, void* argument, uint32_t* threadId) {
    fake::ThreadMode mode;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        mode = g_state.threadMode;
        fake::t_threadStartError = g_state.threadStartError;
    }
    if (mode == fake::ThreadMode::kFail) return nullptr;
    std::lock_guard<std::mutex> lock(fake::g_threadMu);
    auto record = std::make_unique<fake::FakeThread>();
    fake::FakeThread* thread = record.get();
    const int index = static_cast<int>(fake::g_threads.size());
    thread->routine = routine;
    thread->argument = argument;
    thread->value = fake::ThreadHandleValueOf(index);
    thread->hold = mode == fake::ThreadMode::kHold;
    fake::g_threads.push_back(std::move(record));
    thread->thread = std::thread([thread] {
        fake::t_platformThread = true;
        fake::t_threadArgument = thread->argument;
        {
            std::unique_lock<std::mutex> lock(fake::g_threadMu);
            fake::g_threadCv.wait(lock, [thread] { return !thread->hold; });
        }
        thread->routine(thread->argument);
        {
            std::lock_guard<std::mutex> lock(fake::g_threadMu);
            thread->finished = true;
        }
        fake::g_threadCv.notify_all();
    });
    if (threadId != nullptr) *threadId = static_cast<uint32_t>(index + 1);
    return thread;
}

uint32_t ThreadStartError() {
    return fake::t_threadStartError;
}

bool CurrentThreadArgument(void** argument) {
    if (!fake::t_platformThread) return false;
    if (argument != nullptr) *argument = fake::t_threadArgument;
    return true;
}

int CloseThreadHandle(ThreadHandle handle) {
    std::lock_guard<std::mutex> lock(fake::g_threadMu);
    fake::FakeThread* thread = fake::FindThread(handle);
    if (thread == nullptr || thread->closed) return 0;
    thread->closed = true;
    return 1;
}

bool WaitThread(ThreadHandle handle, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(fake::g_threadMu);
    fake::FakeThread* thread = fake::FindThread(handle);
    if (thread == nullptr) return false;
    return fake::g_threadCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [thread] { return thread->finished; });
}

int SetCurrentThreadPriorityNormal() {
    std::lock_guard<std::mutex> lock(g_mu);
    ++g_state.priorityCalls;
    return 1;
}

int32_t ThreadHandleValue(ThreadHandle handle) {
    if (handle == nullptr) return 0;
    std::lock_guard<std::mutex> lock(fake::g_threadMu);
    fake::FakeThread* thread = fake::FindThread(handle);
    return thread != nullptr ? thread->value
                             : static_cast<int32_t>(reinterpret_cast<uintptr_t>(handle));
}

void Sleep(uint32_t milliseconds) {
    uint32_t micros;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (!fake::t_platformThread) {
            ++g_state.hostSleeps;
            g_state.hostSleepMs += milliseconds;
            if (g_state.sleepAdvances) {
                fake::g_time.fetch_add(milliseconds);
                fake::Poke();
            }
        }
        micros = g_state.realSleepMicros;
    }
    if (micros > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(micros));
    } else {
        std::this_thread::yield();
    }
}

void YieldThread() {
    std::this_thread::yield();
}

uint32_t TimeMs() {
    return fake::g_time.load();
}

bool ProcessEnding() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_state.ending;
}

uint32_t ProfileGetString(const char* section, const char* key, const char* defaultValue,
                          char* buffer, uint32_t size, const char* path) {
    if (buffer == nullptr || size == 0) return 0;
    std::string value;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        const std::string* found = (section != nullptr && key != nullptr && path != nullptr)
                                       ? fake::FindValue(path, section, key)
                                       : nullptr;
        value = found != nullptr ? *found : (defaultValue != nullptr ? defaultValue : "");
    }
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(value.size(), size - 1));
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return n;
}

int ProfileGetInt(const char* section, const char* key, int defaultValue, const char* path) {
    std::lock_guard<std::mutex> lock(g_mu);
    const std::string* found = (section != nullptr && key != nullptr && path != nullptr)
                                   ? fake::FindValue(path, section, key)
                                   : nullptr;
    if (found == nullptr) return defaultValue;
    return static_cast<int>(std::strtol(found->c_str(), nullptr, 10));
}

bool ProfileWriteString(const char* section, const char* key, const char* value, const char* path) {
    std::lock_guard<std::mutex> lock(g_mu);
    ++g_state.writeCalls;
    if (!g_state.writable || section == nullptr || path == nullptr) return false;
    fake::WriteValue(path, section, key, value);
    return true;
}

WaitNoticeHandle WaitNoticeCreate(WaitNoticeTemplate which) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.notices.push_back({which, false});
    if (!g_state.noticeShown) return nullptr;
    return reinterpret_cast<WaitNoticeHandle>(static_cast<uintptr_t>(g_state.notices.size()));
}

void WaitNoticeDestroy(WaitNoticeHandle notice) {
    std::lock_guard<std::mutex> lock(g_mu);
    const auto index = reinterpret_cast<uintptr_t>(notice);
    if (index >= 1 && index <= g_state.notices.size()) g_state.notices[index - 1].destroyed = true;
}

void ErrorBox(const char* caption, const char* text) {
    std::function<void(const std::string&, const std::string&)> hook;
    const std::string c = caption != nullptr ? caption : "";
    const std::string t = text != nullptr ? text : "";
    {
        std::lock_guard<std::mutex> lock(g_mu);
        g_state.boxes.push_back({c, t});
        hook = g_state.boxHook;
    }
    if (hook) hook(c, t);
}

void InstallMessageHook() {
    std::lock_guard<std::mutex> lock(g_mu);
    ++g_state.hookInstalls;
}

void RemoveMessageHook() {
    std::lock_guard<std::mutex> lock(g_mu);
    ++g_state.hookRemovals;
}

}  // namespace vexlor::platform
