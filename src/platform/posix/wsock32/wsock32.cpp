// Windows Sockets 1.1 semantics over BSD sockets. A SOCKET is the file descriptor itself; data
// records are translated between their Windows layouts and the native ones; errors are kept per
// thread as Windows Sockets numbers.
#include "platform/posix/wsock32/wsock32.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gnu/lib-names.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vexlor::wsock {
namespace {

using ws::kInvalidSocket;
using ws::kSocketError;
using ws::SOCKET;

// Windows Sockets error numbers.
constexpr int WSAEINTR = 10004, WSAEACCES = 10013, WSAEFAULT = 10014, WSAEINVAL = 10022,
              WSAEMFILE = 10024, WSAEWOULDBLOCK = 10035, WSAEINPROGRESS = 10036,
              WSAEALREADY = 10037, WSAENOTSOCK = 10038, WSAEDESTADDRREQ = 10039,
              WSAEMSGSIZE = 10040, WSAEPROTOTYPE = 10041, WSAENOPROTOOPT = 10042,
              WSAEPROTONOSUPPORT = 10043, WSAESOCKTNOSUPPORT = 10044, WSAEOPNOTSUPP = 10045,
              WSAEPFNOSUPPORT = 10046, WSAEAFNOSUPPORT = 10047, WSAEADDRINUSE = 10048,
              WSAEADDRNOTAVAIL = 10049, WSAENETDOWN = 10050, WSAENETUNREACH = 10051,
              WSAENETRESET = 10052, WSAECONNABORTED = 10053, WSAECONNRESET = 10054,
              WSAENOBUFS = 10055, WSAEISCONN = 10056, WSAENOTCONN = 10057, WSAESHUTDOWN = 10058,
              WSAETOOMANYREFS = 10059, WSAETIMEDOUT = 10060, WSAECONNREFUSED = 10061,
              WSAELOOP = 10062, WSAENAMETOOLONG = 10063, WSAEHOSTDOWN = 10064,
              WSAEHOSTUNREACH = 10065, WSAENOTEMPTY = 10066, WSAEUSERS = 10068, WSAEDQUOT = 10069,
              WSAESTALE = 10070, WSAEREMOTE = 10071, WSAVERNOTSUPPORTED = 10092,
              WSANOTINITIALISED = 10093, WSASYSCALLFAILURE = 10107, WSAHOST_NOT_FOUND = 11001,
              WSATRY_AGAIN = 11002, WSANO_RECOVERY = 11003, WSANO_DATA = 11004;

// Option numbers as Windows defines them.
constexpr int kSoDontLinger = ~ws::kSoLinger;
constexpr int kSoSndTimeo = 0x1005;
constexpr int kSoRcvTimeo = 0x1006;
constexpr int kIpProtoTcp = 6;
constexpr int kTcpNoDelay = 1;
constexpr uint32_t kFionbio = 0x8004667Eu;                     // _IOW('f', 126, u_long)
constexpr uint32_t kFionread = 0x4004667Fu;                    // _IOR('f', 127, u_long)
constexpr int kMsgFlags = MSG_OOB | MSG_PEEK | MSG_DONTROUTE;  // same values on Windows

// Windows SOL_SOCKET options that take an int and have a direct native counterpart.
struct IntOption {
    int windows;
    int native;
};
constexpr IntOption kIntOptions[] = {
    {0x0001, SO_DEBUG},     {0x0004, SO_REUSEADDR}, {0x0008, SO_KEEPALIVE}, {0x0010, SO_DONTROUTE},
    {0x0020, SO_BROADCAST}, {0x0100, SO_OOBINLINE}, {0x1001, SO_SNDBUF},    {0x1002, SO_RCVBUF},
    {0x1003, SO_SNDLOWAT},  {0x1004, SO_RCVLOWAT},
};

// The C library's versions of the names this library exports. They are looked up past this
// library in the lookup order, so no internal call can land on one of our own exports even if
// the library is loaded into the global scope.
struct Libc {
    int (*socket)(int, int, int);
    int (*shutdown)(int, int);
    int (*setsockopt)(int, int, int, const void*, socklen_t);
    int (*connect)(int, const sockaddr*, socklen_t);
    int (*bind)(int, const sockaddr*, socklen_t);
    int (*listen)(int, int);
    int (*gethostname)(char*, size_t);
    ssize_t (*sendto)(int, const void*, size_t, int, const sockaddr*, socklen_t);
    ssize_t (*recvfrom)(int, void*, size_t, int, sockaddr*, socklen_t*);
};

template <typename Fn>
void Resolve(Fn*& slot, const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    Dl_info foundInfo{}, selfInfo{};
    if (found == nullptr || (dladdr(found, &foundInfo) != 0 &&
                             dladdr(reinterpret_cast<void*>(&ErrorFromErrno), &selfInfo) != 0 &&
                             foundInfo.dli_fbase == selfInfo.dli_fbase)) {
        static void* const libc = dlopen(LIBC_SO, RTLD_LAZY | RTLD_NOLOAD);
        found = libc != nullptr ? dlsym(libc, name) : nullptr;
    }
    slot = reinterpret_cast<Fn*>(found);
}

const Libc& C() {
    static const Libc libc = [] {
        Libc l{};
        Resolve(l.socket, "socket");
        Resolve(l.shutdown, "shutdown");
        Resolve(l.setsockopt, "setsockopt");
        Resolve(l.connect, "connect");
        Resolve(l.bind, "bind");
        Resolve(l.listen, "listen");
        Resolve(l.gethostname, "gethostname");
        Resolve(l.sendto, "sendto");
        Resolve(l.recvfrom, "recvfrom");
        return l;
    }();
    return libc;
}

thread_local int lastError = 0;
std::atomic<int> startups{0};

int Fail(int error) {
    lastError = error;
    return kSocketError;
}
int FailErrno() {
    return Fail(ErrorFromErrno(errno));
}
int Checked(int result) {
    return result < 0 ? FailErrno() : result;
}

// Sockets created through this layer and not yet closed. When the last session ends, WSACleanup
// releases them as Windows Sockets does (each is reset and closed as if closesocket had been
// called), so that a program that ends its session with sockets still open leaks none.
constexpr int kTrackedSockets = 65536;
std::atomic<uint64_t> openSockets[kTrackedSockets / 64];

// Sockets that have sent a datagram, for the test option below.
std::atomic<uint64_t> sentDatagram[kTrackedSockets / 64];

void Track(int fd) {
    if (fd < 0 || fd >= kTrackedSockets) return;
    openSockets[fd / 64].fetch_or(uint64_t{1} << (fd % 64));
    sentDatagram[fd / 64].fetch_and(~(uint64_t{1} << (fd % 64)));
}

void Untrack(int fd) {
    if (fd >= 0 && fd < kTrackedSockets)
        openSockets[fd / 64].fetch_and(~(uint64_t{1} << (fd % 64)));
}

// Test option: VEXLOR_WSOCK32_DROP_DATAGRAMS plays a filter that drops loopback datagrams, as
// endpoint security or a firewall rule on the loopback interface can. "all" drops every
// datagram, "after-first" every one but the first that each socket sends. A dropped datagram is
// reported as sent, as such a filter does. Unset (the default), nothing is dropped.
enum class DatagramDrop { kNone, kAll, kAfterFirst };

DatagramDrop DropMode() {
    static const DatagramDrop mode = [] {
        const char* value = std::getenv("VEXLOR_WSOCK32_DROP_DATAGRAMS");
        if (value == nullptr) return DatagramDrop::kNone;
        if (std::strcmp(value, "all") == 0) return DatagramDrop::kAll;
        if (std::strcmp(value, "after-first") == 0) return DatagramDrop::kAfterFirst;
        return DatagramDrop::kNone;
    }();
    return mode;
}

bool DropDatagram(int fd) {
    const DatagramDrop mode = DropMode();
    if (mode == DatagramDrop::kNone) return false;
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_DGRAM) {
        return false;
    }
    if (mode == DatagramDrop::kAll || fd < 0 || fd >= kTrackedSockets) return true;
    const uint64_t bit = uint64_t{1} << (fd % 64);
    return (sentDatagram[fd / 64].fetch_or(bit) & bit) != 0;
}

void ReleaseOpenSockets() {
    for (int word = 0; word < kTrackedSockets / 64; ++word) {
        uint64_t bits = openSockets[word].exchange(0);
        for (int bit = 0; bits != 0; ++bit, bits >>= 1) {
            if ((bits & 1) == 0) continue;
            const int fd = word * 64 + bit;
            const linger reset{1, 0};
            C().setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            close(fd);
        }
    }
}

bool Started() {
    if (startups.load() > 0) return true;
    lastError = WSANOTINITIALISED;
    return false;
}

// The descriptor behind s, or -1 with the error set. With mustBeSocket the descriptor is also
// checked to be a socket, for calls that would otherwise act on any open file.
int Fd(SOCKET s, bool mustBeSocket = false) {
    if (!Started()) return -1;
    struct stat st;
    if (s > INT_MAX ||
        (mustBeSocket && (fstat(static_cast<int>(s), &st) != 0 || !S_ISSOCK(st.st_mode)))) {
        lastError = WSAENOTSOCK;
        return -1;
    }
    return static_cast<int>(s);
}

sockaddr_in ToNative(const ws::SockAddrIn& in) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = in.sin_port;
    out.sin_addr.s_addr = in.sin_addr.s_addr;
    return out;
}

// Reads an AF_INET address record of the caller's; false with the error set when unusable.
bool ReadAddress(const ws::SockAddr* address, int length, ws::SockAddrIn& out) {
    if (address == nullptr || length < static_cast<int>(sizeof(ws::SockAddrIn))) {
        return Fail(WSAEFAULT), false;
    }
    std::memcpy(&out, address, sizeof out);
    if (out.sin_family != ws::kAfInet) return Fail(WSAEAFNOSUPPORT), false;
    return true;
}

void WriteAddress(const sockaddr_in& native, ws::SockAddr* address, int* length) {
    ws::SockAddrIn out{};
    out.sin_family = ws::kAfInet;
    out.sin_port = native.sin_port;
    out.sin_addr.s_addr = native.sin_addr.s_addr;
    std::memcpy(address, &out, sizeof out);
    *length = sizeof out;
}

int64_t NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// poll() that resumes after signals until timeoutMs (-1: no limit) has run out, since Windows
// calls are not cut short by signals.
int PollFor(pollfd* fds, nfds_t count, int timeoutMs) {
    const int64_t deadline = NowMs() + std::max(timeoutMs, 0);
    for (;;) {
        int wait = timeoutMs < 0 ? -1 : static_cast<int>(std::max<int64_t>(deadline - NowMs(), 0));
        int ready = poll(fds, count, wait);
        if (ready >= 0 || errno != EINTR) return ready;
    }
}

// Linux reports EPIPE both after the send side was shut down here and after the peer reset the
// connection; Windows tells the two apart.
int PipeError(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
        info.tcpi_state == TCP_CLOSE) {
        return WSAECONNRESET;
    }
    return WSAESHUTDOWN;
}

int HostError(int error) {
    switch (error) {
        case HOST_NOT_FOUND:
            return WSAHOST_NOT_FOUND;
        case TRY_AGAIN:
            return WSATRY_AGAIN;
        case NO_RECOVERY:
            return WSANO_RECOVERY;
        case NO_DATA:
            return WSANO_DATA;
        default:
            return ErrorFromErrno(errno);
    }
}

// Readiness as Windows select reports it, from poll's result for one socket and set.
bool Ready(int set, short events) {
    switch (set) {
        case 0:
            return events & (POLLIN | POLLERR);
        // A stream socket that is neither connected nor connecting shows POLLOUT with POLLHUP
        // but no POLLIN; Windows does not count it as writable.
        case 1:
            return (events & POLLOUT) && !((events & POLLHUP) && !(events & POLLIN));
        default:
            return events & (POLLPRI | POLLERR);
    }
}

}  // namespace

int ErrorFromErrno(int error) {
    struct Pair {
        int posix;
        int windows;
    };
    // A closed handle (EBADF) is "not a socket" on Windows; EPIPE is told apart by send().
    // clang-format off
    static constexpr Pair kTable[] = {
        {EINTR, WSAEINTR},                       {EBADF, WSAENOTSOCK},
        {ENOTSOCK, WSAENOTSOCK},                 {EACCES, WSAEACCES},
        {EPERM, WSAEACCES},                      {EFAULT, WSAEFAULT},
        {EINVAL, WSAEINVAL},                     {EMFILE, WSAEMFILE},
        {ENFILE, WSAEMFILE},                     {EWOULDBLOCK, WSAEWOULDBLOCK},
        {EAGAIN, WSAEWOULDBLOCK},                {EINPROGRESS, WSAEINPROGRESS},
        {EALREADY, WSAEALREADY},                 {EDESTADDRREQ, WSAEDESTADDRREQ},
        {EMSGSIZE, WSAEMSGSIZE},                 {EPROTOTYPE, WSAEPROTOTYPE},
        {ENOPROTOOPT, WSAENOPROTOOPT},           {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
        {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},   {EOPNOTSUPP, WSAEOPNOTSUPP},
        {EPFNOSUPPORT, WSAEPFNOSUPPORT},         {EAFNOSUPPORT, WSAEAFNOSUPPORT},
        {EADDRINUSE, WSAEADDRINUSE},             {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
        {ENETDOWN, WSAENETDOWN},                 {ENETUNREACH, WSAENETUNREACH},
        {ENETRESET, WSAENETRESET},               {ECONNABORTED, WSAECONNABORTED},
        {ECONNRESET, WSAECONNRESET},             {ENOBUFS, WSAENOBUFS},
        {ENOMEM, WSAENOBUFS},                    {EISCONN, WSAEISCONN},
        {ENOTCONN, WSAENOTCONN},                 {ESHUTDOWN, WSAESHUTDOWN},
        {EPIPE, WSAESHUTDOWN},                   {ETOOMANYREFS, WSAETOOMANYREFS},
        {ETIMEDOUT, WSAETIMEDOUT},               {ECONNREFUSED, WSAECONNREFUSED},
        {ELOOP, WSAELOOP},                       {ENAMETOOLONG, WSAENAMETOOLONG},
        {EHOSTDOWN, WSAEHOSTDOWN},               {EHOSTUNREACH, WSAEHOSTUNREACH},
        {ENOTEMPTY, WSAENOTEMPTY},               {EUSERS, WSAEUSERS},
        {EDQUOT, WSAEDQUOT},                     {ESTALE, WSAESTALE},
        {EREMOTE, WSAEREMOTE},
    };
    // clang-format on
    for (const Pair& pair : kTable) {
        if (pair.posix == error) return pair.windows;
    }
    return WSASYSCALLFAILURE;
}

int Startup(uint16_t version, ws::WsaData* data) {
    if (data == nullptr) return WSAEFAULT;
    const int major = version & 0xFF, minor = version >> 8;
    *data = ws::WsaData{};
    data->wVersion = ws::kVersion11;
    data->wHighVersion = ws::kVersion11;
    std::snprintf(data->szDescription, sizeof data->szDescription,
                  "Windows Sockets 1.1 over BSD sockets");
    std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = 65467;
    if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
    startups.fetch_add(1);
    return 0;
}

int Cleanup() {
    int count = startups.load();
    do {
        if (count == 0) return Fail(WSANOTINITIALISED);
    } while (!startups.compare_exchange_weak(count, count - 1));
    if (count == 1) ReleaseOpenSockets();
    return 0;
}

int GetLastError() {
    return lastError;
}

int AsyncSelect(SOCKET s, void*, uint32_t, int32_t) {
    // Window messages need a window system, which this platform does not have.
    return Fd(s) < 0 ? kSocketError : Fail(WSAEOPNOTSUPP);
}

SOCKET Socket(int af, int type, int protocol) {
    if (!Started()) return kInvalidSocket;
    if (af != ws::kAfInet) return Fail(WSAEAFNOSUPPORT), kInvalidSocket;
    // SOCK_STREAM 1 to SOCK_SEQPACKET 5 have the same numbers on both systems.
    if (type < 1 || type > 5) return Fail(WSAESOCKTNOSUPPORT), kInvalidSocket;
    int fd = C().socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) return FailErrno(), kInvalidSocket;
    Track(fd);
    return static_cast<SOCKET>(fd);
}

int Shutdown(SOCKET s, int how) {
    int fd = Fd(s);
    if (fd < 0) return kSocketError;
    if (how < 0 || how > 2) return Fail(WSAEINVAL);  // SD_RECEIVE, SD_SEND, SD_BOTH = SHUT_*
    return Checked(C().shutdown(fd, how));
}

int CloseSocket(SOCKET s) {
    int fd = Fd(s, true);
    if (fd < 0) return kSocketError;
    Untrack(fd);
    // After EINTR the descriptor is closed all the same on Linux.
    return close(fd) == 0 || errno == EINTR ? 0 : FailErrno();
}

int SetSockOpt(SOCKET s, int level, int name, const char* value, int length) {
    int fd = Fd(s);
    if (fd < 0) return kSocketError;
    if (value == nullptr || length < 0) return Fail(WSAEFAULT);
    int number = 0;
    if (name != ws::kSoLinger || level != ws::kSolSocket) {
        if (length < static_cast<int>(sizeof number)) return Fail(WSAEFAULT);
        std::memcpy(&number, value, sizeof number);
    }
    auto set = [fd](int nativeLevel, int nativeName, const void* v, socklen_t size) {
        return Checked(C().setsockopt(fd, nativeLevel, nativeName, v, size));
    };
    if (level == kIpProtoTcp) {
        return name == kTcpNoDelay ? set(IPPROTO_TCP, TCP_NODELAY, &number, sizeof number)
                                   : Fail(WSAENOPROTOOPT);
    }
    if (level != ws::kSolSocket) return Fail(level == IPPROTO_IP ? WSAENOPROTOOPT : WSAEINVAL);

    linger native{};
    switch (name) {
        case ws::kSoLinger: {
            ws::Linger l;
            if (length < static_cast<int>(sizeof l)) return Fail(WSAEFAULT);
            std::memcpy(&l, value, sizeof l);
            native = {l.l_onoff != 0, l.l_linger};
            return set(SOL_SOCKET, SO_LINGER, &native, sizeof native);
        }
        case kSoDontLinger: {  // switches lingering off or on, keeping its time
            socklen_t size = sizeof native;
            if (getsockopt(fd, SOL_SOCKET, SO_LINGER, &native, &size) != 0) return FailErrno();
            native.l_onoff = number == 0;
            return set(SOL_SOCKET, SO_LINGER, &native, sizeof native);
        }
        case kSoSndTimeo:
        case kSoRcvTimeo: {  // Windows gives milliseconds as a DWORD
            const uint32_t ms = static_cast<uint32_t>(number);
            timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
            return set(SOL_SOCKET, name == kSoSndTimeo ? SO_SNDTIMEO : SO_RCVTIMEO, &tv, sizeof tv);
        }
    }
    for (const IntOption& option : kIntOptions) {
        if (option.windows == name) return set(SOL_SOCKET, option.native, &number, sizeof number);
    }
    return Fail(WSAENOPROTOOPT);
}

int ConnectBounded(int fd, const ws::SockAddrIn& to, int timeoutMs) {
    const sockaddr_in native = ToNative(to);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return ErrorFromErrno(errno);
    int error = 0;
    if (C().connect(fd, reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0) {
        error = errno;
    }
    if (error == EINPROGRESS) {
        pollfd entry{fd, POLLOUT, 0};
        int ready = PollFor(&entry, 1, timeoutMs);
        socklen_t size = sizeof error;
        if (ready < 0) {
            error = errno;
        } else if (ready == 0) {
            // Abandon the attempt so the system stops trying to reach the address.
            error = ETIMEDOUT;
            sockaddr unspecified{};
            unspecified.sa_family = AF_UNSPEC;
            C().connect(fd, &unspecified, sizeof unspecified);
        } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
            error = errno;
        }
    }
    fcntl(fd, F_SETFL, flags);
    return error == 0 ? 0 : ErrorFromErrno(error);
}

int Connect(SOCKET s, const ws::SockAddr* address, int length) {
    int fd = Fd(s, true);
    ws::SockAddrIn to;
    if (fd < 0 || !ReadAddress(address, length, to)) return kSocketError;
    // Windows refuses to connect to "any" address or port 0; Linux would use the local host.
    if (to.sin_addr.s_addr == 0 || to.sin_port == 0) return Fail(WSAEADDRNOTAVAIL);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return FailErrno();
    if (flags & O_NONBLOCK) {
        const sockaddr_in native = ToNative(to);
        if (C().connect(fd, reinterpret_cast<const sockaddr*>(&native), sizeof native) == 0) {
            return 0;
        }
        // A non-blocking connect under way is WSAEWOULDBLOCK on Windows.
        return Fail(errno == EINPROGRESS ? WSAEWOULDBLOCK : ErrorFromErrno(errno));
    }
    const int error = ConnectBounded(fd, to, kConnectTimeoutMs);
    return error == 0 ? 0 : Fail(error);
}

SOCKET Accept(SOCKET s, ws::SockAddr* address, int* length) {
    int fd = Fd(s);
    if (fd < 0) return kInvalidSocket;
    if (address != nullptr && (length == nullptr || *length < int{sizeof(ws::SockAddrIn)})) {
        return Fail(WSAEFAULT), kInvalidSocket;
    }
    // The accepted socket inherits the listening socket's blocking mode, as on Windows.
    const int flags = fcntl(fd, F_GETFL);
    const int mode = SOCK_CLOEXEC | (flags >= 0 && (flags & O_NONBLOCK) ? SOCK_NONBLOCK : 0);
    sockaddr_in from{};
    socklen_t size = sizeof from;
    int client;
    do {
        client = accept4(fd, reinterpret_cast<sockaddr*>(&from), &size, mode);
    } while (client < 0 && errno == EINTR);
    if (client < 0) return FailErrno(), kInvalidSocket;
    Track(client);
    if (address != nullptr) WriteAddress(from, address, length);
    return static_cast<SOCKET>(client);
}

int Bind(SOCKET s, const ws::SockAddr* address, int length) {
    int fd = Fd(s);
    ws::SockAddrIn at;
    if (fd < 0 || !ReadAddress(address, length, at)) return kSocketError;
    const sockaddr_in native = ToNative(at);
    return Checked(C().bind(fd, reinterpret_cast<const sockaddr*>(&native), sizeof native));
}

int GetSockName(SOCKET s, ws::SockAddr* address, int* length) {
    int fd = Fd(s, true);
    if (fd < 0) return kSocketError;
    if (address == nullptr || length == nullptr || *length < int{sizeof(ws::SockAddrIn)}) {
        return Fail(WSAEFAULT);
    }
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) return FailErrno();
    // Windows reports an unbound socket as an error rather than as the "any" address.
    if (local.sin_family != AF_INET || local.sin_port == 0) return Fail(WSAEINVAL);
    WriteAddress(local, address, length);
    return 0;
}

int GetSockOpt(SOCKET s, int level, int name, char* value, int* length) {
    int fd = Fd(s, true);
    if (fd < 0) return kSocketError;
    if (value == nullptr || length == nullptr || *length < int{sizeof(int)}) {
        return Fail(WSAEFAULT);
    }
    if (level != ws::kSolSocket || name != ws::kSoError) return Fail(WSAENOPROTOOPT);
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return FailErrno();
    const int number = error == 0 ? 0 : ErrorFromErrno(error);
    std::memcpy(value, &number, sizeof number);
    *length = sizeof number;
    return 0;
}

int Listen(SOCKET s, int backlog) {
    int fd = Fd(s);
    if (fd < 0) return kSocketError;
    // Windows requires a bound socket; Linux would bind one to a free port by itself.
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) return FailErrno();
    if (local.sin_port == 0) return Fail(WSAEINVAL);
    return Checked(C().listen(fd, backlog));
}

HostEnt* GetHostByName(const char* name) {
    if (!Started()) return nullptr;
    if (name == nullptr) return Fail(WSAEFAULT), nullptr;
    // One result per thread, valid until the thread's next call, as on Windows.
    thread_local char buffer[4096];
    thread_local hostent native;
    thread_local HostEnt result;
    hostent* found = nullptr;
    int error = 0;
    int status = gethostbyname_r(name, &native, buffer, sizeof buffer, &found, &error);
    if (status == ERANGE) return Fail(WSAENOBUFS), nullptr;
    if (found == nullptr) return Fail(HostError(error)), nullptr;
    result = {native.h_name, native.h_aliases, static_cast<int16_t>(native.h_addrtype),
              static_cast<int16_t>(native.h_length), native.h_addr_list};
    return &result;
}

int GetHostName(char* name, int length) {
    if (!Started()) return kSocketError;
    if (name == nullptr || length <= 0) return Fail(WSAEFAULT);
    if (C().gethostname(name, static_cast<size_t>(length)) != 0) {
        // A buffer too small for the name is a fault on Windows.
        return Fail(errno == ENAMETOOLONG || errno == EINVAL ? WSAEFAULT : ErrorFromErrno(errno));
    }
    return 0;
}

uint32_t InetAddr(const char* text) {
    // Accepts "a.b.c.d", "a.b.c" (c 16-bit), "a.b" (b 24-bit) and "a" (32-bit); each part
    // decimal, octal with a leading 0 or hexadecimal with 0x; text may end in white space
    // followed by anything. Everything else is INADDR_NONE.
    constexpr uint32_t kNone = 0xFFFFFFFFu;
    if (text == nullptr) return kNone;
    uint32_t parts[4];
    int count = 0;
    const char* p = text;
    for (;;) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return kNone;
        unsigned base = 10;
        if (*p == '0') {
            base = 8;
            if (p[1] == 'x' || p[1] == 'X') {
                base = 16;
                p += 2;
                if (!std::isxdigit(static_cast<unsigned char>(*p))) return kNone;
            }
        }
        uint64_t value = 0;
        for (;; ++p) {
            const unsigned char c = static_cast<unsigned char>(*p);
            unsigned digit;
            if (std::isdigit(c)) {
                digit = c - '0';
            } else if (base == 16 && std::isxdigit(c)) {
                digit = std::tolower(c) - 'a' + 10;
            } else {
                break;
            }
            if (digit >= base) return kNone;
            value = value * base + digit;
            if (value > 0xFFFFFFFFu) return kNone;
        }
        parts[count++] = static_cast<uint32_t>(value);
        if (*p != '.') break;
        if (count == 4) return kNone;
        ++p;
    }
    if (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) return kNone;
    // The last part fills the bytes the earlier ones leave; the earlier ones are one byte each.
    const uint32_t lastMax = 0xFFFFFFFFu >> (8 * (count - 1));
    if (parts[count - 1] > lastMax) return kNone;
    uint32_t host = parts[count - 1];
    for (int i = 0; i < count - 1; ++i) {
        if (parts[i] > 0xFF) return kNone;
        host |= parts[i] << (24 - 8 * i);
    }
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(host >> 24), static_cast<unsigned char>(host >> 16),
        static_cast<unsigned char>(host >> 8), static_cast<unsigned char>(host)};
    uint32_t network;
    std::memcpy(&network, bytes, sizeof network);
    return network;
}

char* InetNtoa(ws::InAddr address) {
    thread_local char text[16];  // per thread, as on Windows
    unsigned char b[4];
    std::memcpy(b, &address.s_addr, sizeof b);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

uint16_t Htons(uint16_t value) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value)};
    uint16_t network;
    std::memcpy(&network, bytes, sizeof network);
    return network;
}

int SendTo(SOCKET s, const char* buffer, int length, int flags, const ws::SockAddr* to,
           int toLength) {
    int fd = Fd(s);
    if (fd < 0) return kSocketError;
    if (length < 0 || (buffer == nullptr && length > 0)) return Fail(WSAEFAULT);
    if (flags & ~kMsgFlags) return Fail(WSAEOPNOTSUPP);
    ws::SockAddrIn target;
    sockaddr_in native{};
    if (to != nullptr) {
        if (!ReadAddress(to, toLength, target)) return kSocketError;
        native = ToNative(target);
    }
    if (to != nullptr && DropDatagram(fd)) return length;
    ssize_t sent;
    do {  // MSG_NOSIGNAL: a closed peer gives an error, never SIGPIPE
        sent = C().sendto(fd, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL,
                          to != nullptr ? reinterpret_cast<const sockaddr*>(&native) : nullptr,
                          to != nullptr ? sizeof native : 0);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) return static_cast<int>(sent);
    return Fail(errno == EPIPE ? PipeError(fd) : ErrorFromErrno(errno));
}

int Send(SOCKET s, const char* buffer, int length, int flags) {
    return SendTo(s, buffer, length, flags, nullptr, 0);
}

int RecvFrom(SOCKET s, char* buffer, int length, int flags, ws::SockAddr* from, int* fromLength) {
    int fd = Fd(s);
    if (fd < 0) return kSocketError;
    if (length < 0 || (buffer == nullptr && length > 0)) return Fail(WSAEFAULT);
    if (from != nullptr && (fromLength == nullptr || *fromLength < int{sizeof(ws::SockAddrIn)})) {
        return Fail(WSAEFAULT);
    }
    if (flags & ~kMsgFlags) return Fail(WSAEOPNOTSUPP);
    sockaddr_in source{};
    socklen_t size = sizeof source;
    ssize_t received;
    do {
        received = C().recvfrom(fd, buffer, static_cast<size_t>(length), flags,
                                reinterpret_cast<sockaddr*>(&source), &size);
    } while (received < 0 && errno == EINTR);
    if (received < 0) return FailErrno();
    if (from != nullptr && source.sin_family == AF_INET) WriteAddress(source, from, fromLength);
    return static_cast<int>(received);
}

int Recv(SOCKET s, char* buffer, int length, int flags) {
    return RecvFrom(s, buffer, length, flags, nullptr, nullptr);
}

int Select(int, ws::FdSet* readSet, ws::FdSet* writeSet, ws::FdSet* exceptSet,
           const ws::TimeVal* timeout) {
    // nfds is ignored, as on Windows. Each socket gets one poll entry for all its sets.
    if (!Started()) return kSocketError;
    ws::FdSet* const sets[3] = {readSet, writeSet, exceptSet};
    const short wanted[3] = {POLLIN, POLLOUT, POLLPRI};
    pollfd fds[3 * ws::kFdSetSize];
    int slot[3][ws::kFdSetSize];  // poll entry of each set member
    nfds_t count = 0;
    for (int k = 0; k < 3; ++k) {
        if (sets[k] == nullptr) continue;
        if (sets[k]->fd_count > ws::kFdSetSize) return Fail(WSAEINVAL);
        for (uint32_t i = 0; i < sets[k]->fd_count; ++i) {
            int fd = Fd(sets[k]->fd_array[i], true);
            if (fd < 0) return kSocketError;
            nfds_t j = 0;
            while (j < count && fds[j].fd != fd) ++j;
            if (j == count) fds[count++] = pollfd{fd, 0, 0};
            fds[j].events |= wanted[k];
            slot[k][i] = static_cast<int>(j);
        }
    }
    if (count == 0) return Fail(WSAEINVAL);  // Windows refuses to wait on nothing

    int timeoutMs = -1;  // no time-out record: wait as long as it takes
    if (timeout != nullptr) {
        const int64_t ms =
            int64_t{timeout->tv_sec} * 1000 + (int64_t{timeout->tv_usec} + 999) / 1000;
        timeoutMs = static_cast<int>(std::clamp<int64_t>(ms, 0, INT_MAX));
    }
    if (PollFor(fds, count, timeoutMs) < 0) return FailErrno();
    for (nfds_t j = 0; j < count; ++j) {
        if (fds[j].revents & POLLNVAL) return Fail(WSAENOTSOCK);  // closed meanwhile
    }
    int total = 0;
    for (int k = 0; k < 3; ++k) {
        if (sets[k] == nullptr) continue;
        uint32_t kept = 0;
        for (uint32_t i = 0; i < sets[k]->fd_count; ++i) {
            if (Ready(k, fds[slot[k][i]].revents)) sets[k]->fd_array[kept++] = sets[k]->fd_array[i];
        }
        sets[k]->fd_count = kept;
        total += static_cast<int>(kept);
    }
    return total;
}

int IoctlSocket(SOCKET s, int32_t command, uint32_t* argument) {
    int fd = Fd(s, true);
    if (fd < 0) return kSocketError;
    if (argument == nullptr) return Fail(WSAEFAULT);
    switch (static_cast<uint32_t>(command)) {
        case kFionbio: {
            const int flags = fcntl(fd, F_GETFL);
            if (flags < 0) return FailErrno();
            return Checked(
                fcntl(fd, F_SETFL, *argument != 0 ? flags | O_NONBLOCK : flags & ~O_NONBLOCK));
        }
        case kFionread: {
            int pending = 0;
            if (ioctl(fd, FIONREAD, &pending) != 0) return FailErrno();
            *argument = static_cast<uint32_t>(pending);
            return 0;
        }
        default:
            return Fail(WSAEINVAL);
    }
}

}  // namespace vexlor::wsock
