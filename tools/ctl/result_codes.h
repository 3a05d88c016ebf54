// Meanings of the result codes that the driver's exported functions return: the driver's own
// codes and the Windows Sockets error numbers of failed socket calls.
#pragma once

#include <string>

namespace vexlorctl {

// What Init returns for a slot whose settings give no address (empty or 0.0.0.0).
constexpr int kAddressNotAvailable = 10049;

struct ResultInfo {
    int code;
    const char* name;     // e.g. "OK", "WSAECONNREFUSED"
    const char* meaning;  // e.g. "connection refused"
};

// The entry for code, or null when the code is not in the table.
const ResultInfo* FindResult(int code);

// "0 OK: success", "10061 WSAECONNREFUSED: connection refused", "12345 (unknown result code)".
std::string DescribeResult(int code);

// Whether code says that the slot's connection is gone or could not be made (reset, aborted,
// refused, unreachable, ...). A slot returns to 0 after one of these only through a new
// connection. 10060 (the device does not answer) is not among them.
bool IsConnectionLoss(int code);

// The whole table, ascending by code; count receives the number of entries.
const ResultInfo* ResultTable(int& count);

}  // namespace vexlorctl
