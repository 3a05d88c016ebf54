// Windows Sockets 1.1 over BSD sockets: the functions behind the exports of libwsock32.so.
// They carry internal names; exports.cpp gives them their Windows Sockets names. Keeping the two
// apart means no call inside the library can land on one of its own exports in place of the C
// library's function of the same name.
#pragma once

#include <cstdint>

#include "core/winsock_types.h"

namespace vexlor::wsock {

// hostent in its Windows layout (address type and length are 16-bit there).
struct HostEnt {
    char* h_name;
    char** h_aliases;
    int16_t h_addrtype;
    int16_t h_length;
    char** h_addr_list;
};

// A blocking connect gives up after this long, as Windows does for an unanswered attempt.
constexpr int kConnectTimeoutMs = 21000;

int Startup(uint16_t version, ws::WsaData* data);
int Cleanup();
int GetLastError();
int AsyncSelect(ws::SOCKET s, void* window, uint32_t message, int32_t events);

ws::SOCKET Socket(int af, int type, int protocol);
int Shutdown(ws::SOCKET s, int how);
int CloseSocket(ws::SOCKET s);
int SetSockOpt(ws::SOCKET s, int level, int name, const char* value, int length);
int Connect(ws::SOCKET s, const ws::SockAddr* address, int length);
ws::SOCKET Accept(ws::SOCKET s, ws::SockAddr* address, int* length);
int Bind(ws::SOCKET s, const ws::SockAddr* address, int length);
int Listen(ws::SOCKET s, int backlog);
int GetSockName(ws::SOCKET s, ws::SockAddr* address, int* length);
// SO_ERROR at SOL_SOCKET only (as a 4-byte int holding a Windows Sockets number, 0 for none);
// other options fail with WSAENOPROTOOPT.
int GetSockOpt(ws::SOCKET s, int level, int name, char* value, int* length);

HostEnt* GetHostByName(const char* name);
int GetHostName(char* name, int length);
uint32_t InetAddr(const char* text);
char* InetNtoa(ws::InAddr address);
uint16_t Htons(uint16_t value);

int Send(ws::SOCKET s, const char* buffer, int length, int flags);
int Recv(ws::SOCKET s, char* buffer, int length, int flags);
int SendTo(ws::SOCKET s, const char* buffer, int length, int flags, const ws::SockAddr* to,
           int toLength);
int RecvFrom(ws::SOCKET s, char* buffer, int length, int flags, ws::SockAddr* from,
             int* fromLength);
int Select(int nfds, ws::FdSet* readSet, ws::FdSet* writeSet, ws::FdSet* exceptSet,
           const ws::TimeVal* timeout);
int IoctlSocket(ws::SOCKET s, int32_t command, uint32_t* argument);

// Connects the blocking socket fd, waiting at most timeoutMs; the socket's blocking mode is
// the same afterwards. Returns 0 or a Windows Sockets error number (10060 on time-out). The
// exported connect uses it with kConnectTimeoutMs.
int ConnectBounded(int fd, const ws::SockAddrIn& to, int timeoutMs);

// The Windows Sockets error number for a POSIX errno value.
int ErrorFromErrno(int error);

}  // namespace vexlor::wsock
