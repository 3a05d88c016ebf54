// The entry points of libwsock32.so under their Windows Sockets names: the 23 the driver requires
// and getsockname and getsockopt. Each forwards to wsock32.cpp. This file includes no system socket
// header, so the names defined here cannot clash with the C library's declarations; the version
// script exports exactly these names.
#include <type_traits>

#include "core/socket_api.h"
#include "platform/posix/wsock32/wsock32.h"

#define WSOCK_EXPORT extern "C" __attribute__((visibility("default")))

using vexlor::ws::FdSet;
using vexlor::ws::InAddr;
using vexlor::ws::SockAddr;
using vexlor::ws::SOCKET;
using vexlor::ws::TimeVal;
using vexlor::ws::WsaData;
namespace impl = vexlor::wsock;

WSOCK_EXPORT int VEXLOR_WSAAPI WSAStartup(uint16_t version, WsaData* data) {
    return impl::Startup(version, data);
}
WSOCK_EXPORT int VEXLOR_WSAAPI WSACleanup() {
    return impl::Cleanup();
}
WSOCK_EXPORT int VEXLOR_WSAAPI WSAGetLastError() {
    return impl::GetLastError();
}
WSOCK_EXPORT int VEXLOR_WSAAPI WSAAsyncSelect(SOCKET s, void* window, uint32_t message,
                                              int32_t events) {
    return impl::AsyncSelect(s, window, message, events);
}
WSOCK_EXPORT SOCKET VEXLOR_WSAAPI socket(int af, int type, int protocol) {
    return impl::Socket(af, type, protocol);
}
WSOCK_EXPORT int VEXLOR_WSAAPI shutdown(SOCKET s, int how) {
    return impl::Shutdown(s, how);
}
WSOCK_EXPORT int VEXLOR_WSAAPI closesocket(SOCKET s) {
    return impl::CloseSocket(s);
}
WSOCK_EXPORT int VEXLOR_WSAAPI setsockopt(SOCKET s, int level, int name, const char* value,
                                          int length) {
    return impl::SetSockOpt(s, level, name, value, length);
}
WSOCK_EXPORT int VEXLOR_WSAAPI connect(SOCKET s, const SockAddr* address, int length) {
    return impl::Connect(s, address, length);
}
WSOCK_EXPORT SOCKET VEXLOR_WSAAPI accept(SOCKET s, SockAddr* address, int* length) {
    return impl::Accept(s, address, length);
}
WSOCK_EXPORT int VEXLOR_WSAAPI bind(SOCKET s, const SockAddr* address, int length) {
    return impl::Bind(s, address, length);
}
WSOCK_EXPORT int VEXLOR_WSAAPI listen(SOCKET s, int backlog) {
    return impl::Listen(s, backlog);
}
WSOCK_EXPORT impl::HostEnt* VEXLOR_WSAAPI gethostbyname(const char* name) {
    return impl::GetHostByName(name);
}
WSOCK_EXPORT int VEXLOR_WSAAPI gethostname(char* name, int length) {
    return impl::GetHostName(name, length);
}
WSOCK_EXPORT uint32_t VEXLOR_WSAAPI inet_addr(const char* text) {
    return impl::InetAddr(text);
}
WSOCK_EXPORT char* VEXLOR_WSAAPI inet_ntoa(InAddr address) {
    return impl::InetNtoa(address);
}
WSOCK_EXPORT uint16_t VEXLOR_WSAAPI htons(uint16_t value) {
    return impl::Htons(value);
}
WSOCK_EXPORT int VEXLOR_WSAAPI send(SOCKET s, const char* buffer, int length, int flags) {
    return impl::Send(s, buffer, length, flags);
}
WSOCK_EXPORT int VEXLOR_WSAAPI recv(SOCKET s, char* buffer, int length, int flags) {
    return impl::Recv(s, buffer, length, flags);
}
WSOCK_EXPORT int VEXLOR_WSAAPI sendto(SOCKET s, const char* buffer, int length, int flags,
                                      const SockAddr* to, int toLength) {
    return impl::SendTo(s, buffer, length, flags, to, toLength);
}
WSOCK_EXPORT int VEXLOR_WSAAPI recvfrom(SOCKET s, char* buffer, int length, int flags,
                                        SockAddr* from, int* fromLength) {
    return impl::RecvFrom(s, buffer, length, flags, from, fromLength);
}
WSOCK_EXPORT int VEXLOR_WSAAPI select(int nfds, FdSet* readSet, FdSet* writeSet, FdSet* exceptSet,
                                      const TimeVal* timeout) {
    return impl::Select(nfds, readSet, writeSet, exceptSet, timeout);
}
WSOCK_EXPORT int VEXLOR_WSAAPI getsockname(SOCKET s, SockAddr* address, int* length) {
    return impl::GetSockName(s, address, length);
}
WSOCK_EXPORT int VEXLOR_WSAAPI getsockopt(SOCKET s, int level, int name, char* value, int* length) {
    return impl::GetSockOpt(s, level, name, value, length);
}
WSOCK_EXPORT int VEXLOR_WSAAPI ioctlsocket(SOCKET s, int32_t command, uint32_t* argument) {
    return impl::IoctlSocket(s, command, argument);
}

// The driver calls these through SocketApi: their types must be exactly the table's.
using Api = vexlor::SocketApi;
static_assert(std::is_same_v<decltype(&WSAStartup), Api::WSAStartupFn>);
static_assert(std::is_same_v<decltype(&WSACleanup), Api::WSACleanupFn>);
static_assert(std::is_same_v<decltype(&WSAGetLastError), Api::WSAGetLastErrorFn>);
static_assert(std::is_same_v<decltype(&socket), Api::SocketFn>);
static_assert(std::is_same_v<decltype(&shutdown), Api::ShutdownFn>);
static_assert(std::is_same_v<decltype(&closesocket), Api::CloseSocketFn>);
static_assert(std::is_same_v<decltype(&setsockopt), Api::SetSockOptFn>);
static_assert(std::is_same_v<decltype(&connect), Api::ConnectFn>);
static_assert(std::is_same_v<decltype(&bind), Api::BindFn>);
static_assert(std::is_same_v<decltype(&inet_addr), Api::InetAddrFn>);
static_assert(std::is_same_v<decltype(&htons), Api::HtonsFn>);
static_assert(std::is_same_v<decltype(&send), Api::SendFn>);
static_assert(std::is_same_v<decltype(&recv), Api::RecvFn>);
static_assert(std::is_same_v<decltype(&select), Api::SelectFn>);
static_assert(std::is_same_v<decltype(&sendto), Api::SendToFn>);
static_assert(std::is_same_v<decltype(&recvfrom), Api::RecvFromFn>);
static_assert(std::is_same_v<decltype(&getsockname), Api::GetSockNameFn>);
static_assert(std::is_same_v<decltype(&getsockopt), Api::GetSockOptFn>);
static_assert(std::is_same_v<decltype(&ioctlsocket), Api::IoctlSocketFn>);
