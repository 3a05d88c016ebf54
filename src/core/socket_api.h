// SocketApi: the table of Windows Sockets functions resolved by name from WSOCK32.DLL at
// start-up. The driver reaches the network only through this table.
#pragma once

#include "core/winsock_types.h"

namespace vexlor {

struct SocketApi {
    using WSAStartupFn = int(VEXLOR_WSAAPI*)(uint16_t version, ws::WsaData* data);
    using WSACleanupFn = int(VEXLOR_WSAAPI*)();
    using WSAGetLastErrorFn = int(VEXLOR_WSAAPI*)();
    using GenericFn = void (*)();  // looked up but never called
    using SocketFn = ws::SOCKET(VEXLOR_WSAAPI*)(int af, int type, int protocol);
    using ShutdownFn = int(VEXLOR_WSAAPI*)(ws::SOCKET s, int how);
    using CloseSocketFn = int(VEXLOR_WSAAPI*)(ws::SOCKET s);
    using SetSockOptFn = int(VEXLOR_WSAAPI*)(ws::SOCKET s, int level, int name, const char* value,
                                             int length);
    using ConnectFn = int(VEXLOR_WSAAPI*)(ws::SOCKET s, const ws::SockAddr* address, int length);
    using BindFn = int(VEXLOR_WSAAPI*)(ws::SOCKET s, const ws::SockAddr* address, int length);
    using InetAddrFn = uint32_t(VEXLOR_WSAAPI*)(const char* text);
    using HtonsFn = uint16_t(VEXLOR_WSAAPI*)(uint16_t value);
    using SendFn = int(VEXLOR_WSAAPI*)(ws::SOCKET s, const char* buffer, int length, int flags);
    using RecvFn = int(VEXLOR_WSAAPI*)(ws::SOCKET s, char* buffer, int length, int flags);
    using SelectFn = int(VEXLOR_WSAAPI*)(int nfds, ws::FdSet* readSet, ws::FdSet* writeSet,
                                         ws::FdSet* exceptSet, const ws::TimeVal* timeout);
    using SendToFn = int(VEXLOR_WSAAPI*)(ws::SOCKET s, const char* buffer, int length, int flags,
                                         const ws::SockAddr* to, int toLength);
    using RecvFromFn = int(VEXLOR_WSAAPI*)(ws::SOCKET s, char* buffer, int length, int flags,
                                           ws::SockAddr* from, int* fromLength);
    using GetSockNameFn = int(VEXLOR_WSAAPI*)(ws::SOCKET s, ws::SockAddr* address, int* length);
    using IoctlSocketFn = int(VEXLOR_WSAAPI*)(ws::SOCKET s, int32_t command, uint32_t* argument);
    using GetSockOptFn = int(VEXLOR_WSAAPI*)(ws::SOCKET s, int level, int name, char* value,
                                             int* length);

    WSAStartupFn WSAStartup;
    WSACleanupFn WSACleanup;
    WSAGetLastErrorFn WSAGetLastError;
    GenericFn WSAAsyncSelect;
    SocketFn socket;
    ShutdownFn shutdown;
    CloseSocketFn closesocket;
    SetSockOptFn setsockopt;
    ConnectFn connect;
    GenericFn accept;
    BindFn bind;
    GenericFn listen;
    GenericFn gethostbyname;
    GenericFn gethostname;
    InetAddrFn inet_addr;
    GenericFn inet_ntoa;
    HtonsFn htons;
    SendFn send;
    RecvFn recv;
    SendToFn sendto;
    RecvFromFn recvfrom;
    SelectFn select;
    IoctlSocketFn ioctlsocket;  // called only by a slot that reconnects by itself

    // Looked up beside the 23 names but not required: without it the receive threads have no
    // wake-up channel and fall back to polling their sockets every millisecond.
    GetSockNameFn getsockname;
    // Looked up beside the 23 names but not required: tells why a reconnect attempt failed;
    // without it a failed attempt counts as refused.
    GetSockOptFn getsockopt;
};

// The 23 names in the order of the table above; all must be found for the layer to be usable.
constexpr int kSocketApiNameCount = 23;
extern const char* const kSocketApiNames[kSocketApiNameCount];

}  // namespace vexlor
