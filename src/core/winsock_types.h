// Windows Sockets 1.1 data layouts as the driver sees them through the socket library it loads
// by name. On Windows these match WINSOCK.H for 32-bit code; the Linux socket layer
// (libwsock32.so) implements exactly these layouts over BSD sockets.
#pragma once

#include <cstdint>

namespace vexlor::ws {

// SOCKET is UINT_PTR: 32 bits, except on 64-bit Windows where it is 64 bits wide. Trace lines
// show it cut to 32 bits.
#if defined(_WIN64)
using SOCKET = uint64_t;
#else
using SOCKET = uint32_t;
#endif
constexpr SOCKET kInvalidSocket = ~SOCKET{0};  // INVALID_SOCKET
constexpr int kSocketError = -1;               // SOCKET_ERROR
constexpr int kWsaSysCallFailure = 10107;      // WSASYSCALLFAILURE
constexpr int kWsaEWouldBlock = 10035;         // WSAEWOULDBLOCK
constexpr int kWsaETimedOut = 10060;           // WSAETIMEDOUT
constexpr int kWsaEConnRefused = 10061;        // WSAECONNREFUSED
constexpr int kWsaEConnReset = 10054;          // WSAECONNRESET
constexpr uint32_t kFionbio = 0x8004667Eu;     // ioctlsocket: non-blocking mode on or off
constexpr int kSoError = 0x1007;               // SO_ERROR (Windows value)

constexpr int kAfInet = 2;          // AF_INET
constexpr int kSockStream = 1;      // SOCK_STREAM
constexpr int kSockDgram = 2;       // SOCK_DGRAM
constexpr int kSolSocket = 0xFFFF;  // SOL_SOCKET (Windows value)
constexpr int kSoLinger = 0x0080;   // SO_LINGER (Windows value)
constexpr int kSdReceive = 0;       // shutdown how = receive direction
constexpr int kSdBoth = 2;          // shutdown how = both directions
constexpr uint16_t kVersion11 = 0x0101;

constexpr int kFdSetSize = 64;
struct FdSet {
    uint32_t fd_count;
    SOCKET fd_array[kFdSetSize];
};

struct TimeVal {
    int32_t tv_sec;
    int32_t tv_usec;
};

struct InAddr {
    uint32_t s_addr;  // network byte order
};

struct SockAddrIn {
    int16_t sin_family;
    uint16_t sin_port;  // network byte order
    InAddr sin_addr;
    char sin_zero[8];
};
static_assert(sizeof(SockAddrIn) == 16, "sockaddr_in is 16 bytes");

struct SockAddr {
    uint16_t sa_family;
    char sa_data[14];
};

struct Linger {
    uint16_t l_onoff;
    uint16_t l_linger;
};
static_assert(sizeof(Linger) == 4, "linger is two u_short");

constexpr int kWsaDescriptionLen = 256;
constexpr int kWsaSysStatusLen = 128;
// WSADATA (the driver never reads the filled-in record). 64-bit Windows moves the two counts
// and the vendor pointer ahead of the texts.
#if defined(_WIN64)
struct WsaData {
    uint16_t wVersion;
    uint16_t wHighVersion;
    uint16_t iMaxSockets;
    uint16_t iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[kWsaDescriptionLen + 1];
    char szSystemStatus[kWsaSysStatusLen + 1];
};
#else
struct WsaData {
    uint16_t wVersion;
    uint16_t wHighVersion;
    char szDescription[kWsaDescriptionLen + 1];
    char szSystemStatus[kWsaSysStatusLen + 1];
    uint16_t iMaxSockets;
    uint16_t iMaxUdpDg;
    char* lpVendorInfo;
};
#endif

#if defined(_WIN64)
static_assert(sizeof(FdSet) == 520 && sizeof(WsaData) == 408, "Win64 fd_set and WSADATA");
#elif defined(_WIN32)
static_assert(sizeof(FdSet) == 260 && sizeof(WsaData) == 400, "Win32 fd_set and WSADATA");
#endif

// Calling convention of the socket library's functions: stdcall on 32-bit Windows (WINAPI),
// the platform default elsewhere.
#if defined(_WIN32) && !defined(_WIN64)
#define VEXLOR_WSAAPI __stdcall
#else
#define VEXLOR_WSAAPI
#endif

}  // namespace vexlor::ws
