#include "result_codes.h"

namespace vexlorctl {

namespace {

// Ascending by code. The driver's own codes come first; every other value is the error number
// that WSAGetLastError reported for the socket call that failed.
constexpr ResultInfo kResults[] = {
    {0, "OK", "success"},
    {2, "BAD_SLOT", "slot number above 99"},
    {3, "NO_SOCKET_LAYER",
     "socket layer not available (WSOCK32 missing, incomplete or not started)"},
    {6, "SLOT_IN_USE", "slot already in use (initialised twice)"},
    {10004, "WSAEINTR", "interrupted function call"},
    {10009, "WSAEBADF", "file handle is not valid"},
    {10013, "WSAEACCES", "permission denied"},
    {10014, "WSAEFAULT", "bad address"},
    {10022, "WSAEINVAL", "invalid argument"},
    {10024, "WSAEMFILE", "too many open sockets"},
    {10035, "WSAEWOULDBLOCK", "resource temporarily unavailable"},
    {10036, "WSAEINPROGRESS", "operation now in progress"},
    {10037, "WSAEALREADY", "operation already in progress"},
    {10038, "WSAENOTSOCK", "not a socket: the slot is not open"},
    {10039, "WSAEDESTADDRREQ", "destination address required"},
    {10040, "WSAEMSGSIZE", "message too long"},
    {10041, "WSAEPROTOTYPE", "protocol wrong type for socket"},
    {10042, "WSAENOPROTOOPT", "bad protocol option"},
    {10043, "WSAEPROTONOSUPPORT", "protocol not supported"},
    {10044, "WSAESOCKTNOSUPPORT", "socket type not supported"},
    {10045, "WSAEOPNOTSUPP", "operation not supported"},
    {10046, "WSAEPFNOSUPPORT", "protocol family not supported"},
    {10047, "WSAEAFNOSUPPORT", "address family not supported by protocol family"},
    {10048, "WSAEADDRINUSE", "address already in use"},
    {10049, "WSAEADDRNOTAVAIL", "cannot assign requested address"},
    {10050, "WSAENETDOWN", "network is down"},
    {10051, "WSAENETUNREACH", "network is unreachable"},
    {10052, "WSAENETRESET", "network dropped connection on reset"},
    {10053, "WSAECONNABORTED", "software caused connection abort"},
    {10054, "WSAECONNRESET", "connection reset by peer"},
    {10055, "WSAENOBUFS", "no buffer space available"},
    {10056, "WSAEISCONN", "socket is already connected"},
    {10057, "WSAENOTCONN", "socket is not connected"},
    {10058, "WSAESHUTDOWN", "cannot send after socket shutdown"},
    {10059, "WSAETOOMANYREFS", "too many references"},
    {10060, "WSAETIMEDOUT", "the device does not answer"},
    {10061, "WSAECONNREFUSED", "connection refused"},
    {10062, "WSAELOOP", "cannot translate name"},
    {10063, "WSAENAMETOOLONG", "name too long"},
    {10064, "WSAEHOSTDOWN", "host is down"},
    {10065, "WSAEHOSTUNREACH", "no route to host"},
    {10066, "WSAENOTEMPTY", "directory not empty"},
    {10067, "WSAEPROCLIM", "too many processes"},
    {10068, "WSAEUSERS", "user quota exceeded"},
    {10069, "WSAEDQUOT", "disk quota exceeded"},
    {10070, "WSAESTALE", "stale file handle reference"},
    {10071, "WSAEREMOTE", "item is remote"},
    {10091, "WSASYSNOTREADY", "network subsystem is unavailable"},
    {10092, "WSAVERNOTSUPPORTED", "Windows Sockets version out of range"},
    {10093, "WSANOTINITIALISED", "WSAStartup not yet performed successfully"},
    {10101, "WSAEDISCON", "graceful shutdown in progress"},
    {10107, "WSASYSCALLFAILURE", "a send failed without an error number"},
    {10109, "WSATYPE_NOT_FOUND", "class type not found"},
    {11001, "WSAHOST_NOT_FOUND", "host not found"},
    {11002, "WSATRY_AGAIN", "non-authoritative host not found"},
    {11003, "WSANO_RECOVERY", "non-recoverable error"},
    {11004, "WSANO_DATA", "valid name, no data record of the requested type"},
};

constexpr int kResultCount = static_cast<int>(sizeof kResults / sizeof kResults[0]);

}  // namespace

const ResultInfo* FindResult(int code) {
    for (const ResultInfo& info : kResults) {
        if (info.code == code) return &info;
    }
    return nullptr;
}

std::string DescribeResult(int code) {
    const ResultInfo* info = FindResult(code);
    std::string text = std::to_string(code);
    if (info == nullptr) return text + " (unknown result code)";
    return text + " " + info->name + ": " + info->meaning;
}

bool IsConnectionLoss(int code) {
    switch (code) {
        case 10050:  // network down
        case 10051:  // network unreachable
        case 10052:  // dropped on reset
        case 10053:  // aborted
        case 10054:  // reset by the device
        case 10057:  // not connected
        case 10058:  // shut down
        case 10061:  // refused
        case 10064:  // host down
        case 10065:  // no route
        case 10101:  // closed by the device
        case 10107:  // send failed
            return true;
        default:
            return false;
    }
}

const ResultInfo* ResultTable(int& count) {
    count = kResultCount;
    return kResults;
}

}  // namespace vexlorctl
