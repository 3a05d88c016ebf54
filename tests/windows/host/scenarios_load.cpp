// Load: all 100 slots in use at once against a vexlor-sim of their own, every device family
// polled and switched from several host threads for a bounded time. Every request that a call
// sent reached its device and was answered, every slot ends up with its own device's state, and
// after DeInit of all slots no thread, no thread handle and no socket of the driver is left.
//
// The runner starts that simulator with one device per slot, named l0 .. l99, and passes its
// control port with --load-sim:
//
//   l0  .. l31  digital12           l64 .. l93  iocontroller
//   l32 .. l63  digital24           l94 .. l99  thermo1, thermo2, thermo8 (twice), drift=0,
//                                               temps=<slot>.5/1.5/.../7.5, fault=slow:1500
#include <winsock2.h>
// after winsock2.h
#include <windows.h>
// after windows.h
#include <winternl.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "calls.h"
#include "harness.h"

namespace wintest {
namespace {

constexpr int kSlots = 100;
constexpr int kHostThreads = 4;  // share the 94 persistent slots; each thermometer has its own
constexpr DWORD kLoadTimeMs = 4000;
constexpr DWORD kRoundPauseMs = 30;

enum class Family { kDigital12, kDigital24, kIoController, kThermo1, kThermo2, kThermo8 };

Family FamilyOf(int slot) {
    if (slot < 32) return Family::kDigital12;
    if (slot < 64) return Family::kDigital24;
    if (slot < 94) return Family::kIoController;
    static const Family kThermo[] = {Family::kThermo1, Family::kThermo2, Family::kThermo8};
    return kThermo[(slot - 94) % 3];
}

// A word of the device's own, so that no slot can show another device's values.
uint32_t InputsOf(int slot) {
    const uint32_t mask = FamilyOf(slot) == Family::kDigital12   ? 0xFFFu
                          : FamilyOf(slot) == Family::kDigital24 ? 0xFFFFFFu
                                                                 : 0xFFu;
    return (static_cast<uint32_t>(slot) * 2654435761u + 40503u) & mask;
}

// The simulator's control port: one command line, one reply line.
class SimControl {
  public:
    explicit SimControl(int port) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<u_short>(port));
        if (s != INVALID_SOCKET &&
            connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            socket_ = s;
        } else if (s != INVALID_SOCKET) {
            closesocket(s);
        }
    }
    ~SimControl() {
        if (socket_ != INVALID_SOCKET) closesocket(socket_);
    }
    bool ok() const { return socket_ != INVALID_SOCKET; }

    // The reply line without "OK " ("" for a bare OK); false on ERR or a broken connection.
    bool Command(const std::string& line, std::string* value = nullptr) {
        if (socket_ == INVALID_SOCKET) return false;
        const std::string text = line + "\n";
        if (send(socket_, text.data(), static_cast<int>(text.size()), 0) !=
            static_cast<int>(text.size())) {
            return false;
        }
        std::string reply;
        for (;;) {
            const size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                reply = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                break;
            }
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(socket_, &readable);
            timeval wait{10, 0};
            if (select(0, &readable, nullptr, nullptr, &wait) <= 0) return false;
            char buffer[4096];
            const int n = recv(socket_, buffer, sizeof buffer, 0);
            if (n <= 0) return false;
            pending_.append(buffer, static_cast<size_t>(n));
        }
        if (!reply.empty() && reply.back() == '\r') reply.pop_back();
        if (reply.compare(0, 2, "OK") != 0) return false;
        if (value != nullptr) *value = reply.size() > 3 ? reply.substr(3) : "";
        return true;
    }
    long Number(const std::string& line) {
        std::string value;
        return Command(line, &value) ? std::strtol(value.c_str(), nullptr, 0) : -1;
    }

  private:
    SOCKET socket_ = INVALID_SOCKET;
    std::string pending_;
};

// What the host's calls on one slot sent, and what the device answers to it.
struct Sent {
    long requests = 0;
    long replies = 0;
    int failures = 0;
};

// Threads of this process, and its thread and file handles (sockets are files), from the
// system's process and handle lists (-1: unknown). Other handles are left out: the system may
// create synchronisation objects of its own on first use and keep them.
struct ProcessCounts {
    int threads = -1;
    int threadHandles = -1;
    int fileHandles = -1;
    bool operator==(const ProcessCounts& o) const {
        return threads == o.threads && threadHandles == o.threadHandles &&
               fileHandles == o.fileHandles;
    }
};

// One entry of the system handle list (SystemHandleInformation).
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};

using QueryFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
using QueryObjectFn = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

// The list the system gives for one information class, in a buffer grown as needed.
bool QuerySystem(QueryFn query, ULONG informationClass, std::vector<char>& buffer) {
    for (buffer.resize(1 << 20); buffer.size() <= (64u << 20); buffer.resize(buffer.size() * 2)) {
        ULONG needed = 0;
        if (query(informationClass, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) ==
            0) {
            return true;
        }
    }
    return false;
}

// The type name of one of this process's handles ("Thread", "File", ...).
std::wstring TypeOf(QueryObjectFn queryObject, HANDLE handle) {
    alignas(8) char buffer[1024];
    ULONG needed = 0;
    if (queryObject(handle, ObjectTypeInformation, buffer, sizeof buffer, &needed) != 0) return L"";
    const auto* info = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(buffer);
    return std::wstring(info->TypeName.Buffer, info->TypeName.Length / sizeof(wchar_t));
}

ProcessCounts CountsOfThisProcess() {
    constexpr ULONG kProcessList = 5, kHandleList = 16;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    const auto queryObject = reinterpret_cast<QueryObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryObject")));
    ProcessCounts counts;
    std::vector<char> buffer;
    const DWORD self = GetCurrentProcessId();
    if (query == nullptr || queryObject == nullptr) return counts;
    if (QuerySystem(query, kProcessList, buffer)) {
        for (size_t at = 0;;) {
            const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(&buffer[at]);
            if (reinterpret_cast<uintptr_t>(entry->UniqueProcessId) == self) {
                counts.threads = static_cast<int>(entry->NumberOfThreads);
                break;
            }
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
    if (QuerySystem(query, kHandleList, buffer)) {
        const ULONG total = *reinterpret_cast<const ULONG*>(buffer.data());
        // The entries follow the count, aligned for a pointer.
        const auto* entries =
            reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
        counts.threadHandles = counts.fileHandles = 0;
        for (ULONG i = 0; i < total; ++i) {
            if (entries[i].ownerPid != self) continue;
            const std::wstring type = TypeOf(
                queryObject, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(entries[i].value)));
            counts.threadHandles += type == L"Thread";
            counts.fileHandles += type == L"File";
        }
    }
    return counts;
}

// One round of calls on a slot; counts what was sent. Outputs change one per round; the first
// write after Init sends every output (nothing requested yet).
void Poll(Driver& d, int slot, int round, std::array<uint16_t, 24>& last, Sent& sent) {
    const auto s = static_cast<uint16_t>(slot);
    auto count = [&](int result, long requests, long replies) {
        if (result == 0) {
            sent.requests += requests;
            sent.replies += replies;
        } else {
            ++sent.failures;
        }
    };
    auto nextOutputs = [&](int n, uint16_t* out) {
        long changed = 0;
        for (int i = 0; i < n; ++i) out[i] = last[i] == 5 ? 0 : last[i];
        out[round % n] = static_cast<uint16_t>((round / n) % 2 == 0);
        for (int i = 0; i < n; ++i) changed += out[i] != last[i];
        return changed;
    };
    switch (FamilyOf(slot)) {
        case Family::kDigital12: {
            // The twelve counter replies get a round of their own, so that what is in flight
            // stays below one receive block of 256 bytes.
            if (round % 10 == 5) {
                int32_t c[12];
                count(ReadCI12(d, s, c), 12, 12);
                break;
            }
            Digital12 v;
            count(ReadDI12(d, s, v), 1, 1);
            count(ReadDO12(d, s, v), 1, 1);
            uint16_t out[12];
            const long changed = nextOutputs(12, out);
            const int r = WriteDO12(d, s, out);
            count(r, changed, changed);
            if (r == 0) std::copy(out, out + 12, last.begin());
            break;
        }
        case Family::kDigital24: {
            Digital24 v;
            count(Read24(d.D24ReadDI, s, v), 1, 1);
            count(Read24(d.D24ReadDO, s, v), 1, 1);
            uint16_t out[24];
            const long changed = nextOutputs(24, out);
            const int r = WriteDO24(d, s, out);
            count(r, changed, changed);
            if (r == 0) std::copy(out, out + 24, last.begin());
            if (round % 10 == 0) {
                int32_t c[24];
                count(ReadCI24(d, s, c), 24, 24);
            }
            break;
        }
        case Family::kIoController: {
            uint16_t value = 0, in[8];
            count(IocReadDI(d, s, value, in), 1, 1);
            uint16_t out[8];
            const long changed = nextOutputs(8, out);
            const int r = IocWriteDO(d, s, out);
            count(r, changed, changed);  // the device acknowledges every set-outputs frame
            if (r == 0) std::copy(out, out + 8, last.begin());
            break;
        }
        default: {
            // Only the first read polls (at most every 50 s); later ones return its readings.
            double t[8] = {};
            const Family f = FamilyOf(slot);
            const int r = f == Family::kThermo1   ? d.T1Read(0, s, t)
                          : f == Family::kThermo2 ? d.T2Read(0, s, t, t + 1)
                                                  : Thermo8(d, 0, s, t);
            count(r, round == 0 ? 1 : 0, round == 0 ? 1 : 0);
            if (round > 0 && t[0] != slot + 0.5) ++sent.failures;
            break;
        }
    }
}

// Closes error boxes of the digital parsers while the load runs and counts them: a box would
// otherwise hold its receive thread until the end.
std::atomic<int> g_boxes{0};
std::atomic<bool> g_watchBoxes{false};
DWORD WINAPI WatchBoxes(LPVOID) {
    while (g_watchBoxes.load()) {
        for (const char* caption : {"Web-IO 12xDigital", "Web-IO 24xDigital"}) {
            if (HWND box = FindProcessWindow("#32770", caption)) {
                std::printf("    error box: %s\n", StaticTexts(box).c_str());
                PostMessageA(box, WM_COMMAND, IDOK, 0);
                g_boxes.fetch_add(1);
                Sleep(50);
            }
        }
        Sleep(20);
    }
    return 0;
}

}  // namespace

WSCENARIO(sim_load_100_slots_every_family, kNeedsLoadSimulator) {
    SimControl sim(Env().loadSimControlPort);
    WCHECK(sim.ok());
    std::string listing;
    WCHECK(sim.Command("list", &listing));
    // "100 l0=digital12:PORT l1=..."
    std::vector<int> ports(kSlots, 0);
    for (size_t at = listing.find(" l"); at != std::string::npos; at = listing.find(" l", at + 1)) {
        const int slot = std::atoi(listing.c_str() + at + 2);
        const size_t colon = listing.find(':', at);
        if (slot >= 0 && slot < kSlots && colon != std::string::npos)
            ports[slot] = std::atoi(listing.c_str() + colon + 1);
    }
    for (int slot = 0; slot < kSlots; ++slot) {
        if (ports[slot] == 0) {
            RecordFailure(__FILE__, __LINE__, "no simulator device l" + std::to_string(slot));
            return;
        }
        const Family f = FamilyOf(slot);
        const bool thermometer = slot >= 94;
        WriteSlot(slot, "127.0.0.1", std::to_string(ports[slot]).c_str(),
                  thermometer ? "30000" : "0", f == Family::kIoController ? "I/O Controller" : "");
        if (f == Family::kDigital12 || f == Family::kDigital24) {
            sim.Command("counter l" + std::to_string(slot) +
                        (f == Family::kDigital12 ? " 3 " : " 20 ") + std::to_string(slot * 10));
        }
    }

    Driver& d = Load();
    if (d.Init == nullptr || d.T1Read == nullptr || d.IocWriteDO == nullptr) return;
    // Cycles first, so that the socket layer's own threads and handles exist before counting.
    // The thread record of a cycle whose thread was still ending at DeInit keeps its handle until
    // the next cycle: the smallest count of a few cycles is the one without such a record.
    ProcessCounts before;
    for (int cycle = 0; cycle < 3; ++cycle) {
        WCHECK_EQ(d.Init(1, 0), 0);
        WCHECK_EQ(d.DeInit(1, 0), 0);
        Sleep(100);
        const ProcessCounts counts = CountsOfThisProcess();
        if (cycle == 0 || counts.threadHandles < before.threadHandles) before = counts;
    }
    WCHECK(before.threads > 0);
    WCHECK(before.threadHandles >= 0 && before.fileHandles > 0);

    for (int slot = 0; slot < 94; ++slot) {
        const int result = d.Init(1, static_cast<uint16_t>(slot));
        if (result != 0) {
            RecordFailure(__FILE__, __LINE__,
                          "Init of slot " + std::to_string(slot) + ": " + std::to_string(result));
        }
    }
    // The counts see the driver's threads and sockets: one thread and one socket per open slot,
    // and two handles of each thread (the slot's and the one its thread record keeps).
    const ProcessCounts open = CountsOfThisProcess();
    WCHECK(open.threads >= before.threads + 94);
    WCHECK(open.threadHandles >= before.threadHandles + 2 * 94);
    WCHECK(open.fileHandles >= before.fileHandles + 94);
    g_boxes = 0;
    g_watchBoxes = true;
    HANDLE watcher = CreateThread(nullptr, 0, WatchBoxes, nullptr, 0, nullptr);

    std::vector<Sent> sent(kSlots);
    std::atomic<bool> stop{false};
    std::atomic<long> calls{0};
    auto pollLoop = [&](std::vector<int> slots) {
        std::vector<std::array<uint16_t, 24>> last(slots.size());
        for (auto& w : last) w.fill(5);
        for (int round = 0; !stop.load(); ++round) {
            for (size_t i = 0; i < slots.size(); ++i) {
                Poll(d, slots[i], round, last[i], sent[slots[i]]);
                calls.fetch_add(1);
            }
            Sleep(kRoundPauseMs);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kHostThreads; ++t) {
        std::vector<int> slots;
        for (int slot = t; slot < 94; slot += kHostThreads) slots.push_back(slot);
        threads.emplace_back(pollLoop, slots);
    }
    for (int slot = 94; slot < kSlots; ++slot)
        threads.emplace_back(pollLoop, std::vector<int>{slot});
    Sleep(kLoadTimeMs);
    stop = true;
    for (auto& thread : threads) thread.join();

    // Every request arrived as sent and was answered.
    long requests = 0, replies = 0;
    for (int slot = 0; slot < kSlots; ++slot) {
        if (sent[slot].failures != 0) {
            RecordFailure(__FILE__, __LINE__,
                          "slot " + std::to_string(slot) + ": " +
                              std::to_string(sent[slot].failures) + " calls failed");
        }
        requests += sent[slot].requests;
        replies += sent[slot].replies;
    }
    const auto received = [&] {
        long total = 0;
        for (int slot = 0; slot < kSlots; ++slot)
            total += sim.Number("requests l" + std::to_string(slot));
        return total;
    };
    WCHECK(WaitFor([&] { return received() == requests; }, 30000));
    for (int slot = 0; slot < kSlots; ++slot) {
        const std::string device = "l" + std::to_string(slot);
        if (sim.Number("requests " + device) != sent[slot].requests ||
            sim.Number("sends " + device) != sent[slot].replies) {
            RecordFailure(__FILE__, __LINE__,
                          "slot " + std::to_string(slot) + ": sent " +
                              std::to_string(sent[slot].requests) + " requests, device got " +
                              std::to_string(sim.Number("requests " + device)) + " and sent " +
                              std::to_string(sim.Number("sends " + device)) + " replies of " +
                              std::to_string(sent[slot].replies));
        }
    }

    // New device states, read until every slot shows its own.
    for (int slot = 0; slot < 94; ++slot) {
        WCHECK(
            sim.Command("inputs l" + std::to_string(slot) + " " + std::to_string(InputsOf(slot))));
    }
    for (int slot = 0; slot < 94; ++slot) {
        const auto s = static_cast<uint16_t>(slot);
        const uint32_t want = InputsOf(slot);
        const bool own = WaitFor(
            [&] {
                switch (FamilyOf(slot)) {
                    case Family::kDigital12: {
                        Digital12 v;
                        int32_t c[12];
                        return ReadDI12(d, s, v) == 0 && v.word == want && ReadCI12(d, s, c) == 0 &&
                               c[3] == slot * 10;
                    }
                    case Family::kDigital24: {
                        Digital24 v;
                        int32_t c[24];
                        return Read24(d.D24ReadDI, s, v) == 0 && v.word == want &&
                               ReadCI24(d, s, c) == 0 && c[20] == slot * 10;
                    }
                    default: {
                        uint16_t value = 0, in[8];
                        return IocReadDI(d, s, value, in) == 0 && value == want;
                    }
                }
            },
            kEventWaitMs);
        if (!own)
            RecordFailure(__FILE__, __LINE__, "slot " + std::to_string(slot) + " not its own");
    }
    g_watchBoxes = false;
    WaitForSingleObject(watcher, 5000);
    CloseHandle(watcher);
    WCHECK_EQ(g_boxes.load(), 0);

    for (int slot = 0; slot < kSlots; ++slot)
        WCHECK_EQ(d.DeInit(1, static_cast<uint16_t>(slot)), 0);
    // The box watcher's and the host threads' handles are closed; the driver's threads end, and
    // their records with them: a record whose thread was still ending when its slot closed is
    // reclaimed by the next thread start or handle close, here one more cycle of slot 0.
    ProcessCounts after;
    WCHECK(WaitFor(
        [&] {
            if (d.Init(1, 0) != 0 || d.DeInit(1, 0) != 0) return false;
            Sleep(50);
            after = CountsOfThisProcess();
            return after == before;
        },
        kEventWaitMs));
    std::printf(
        "    %d slots, %d host threads, %ld calls, %ld requests, %ld replies; threads %d -> "
        "%d, thread handles %d -> %d, file handles %d -> %d\n",
        kSlots, kHostThreads + 6, calls.load(), requests, replies, before.threads, after.threads,
        before.threadHandles, after.threadHandles, before.fileHandles, after.fileHandles);
}

}  // namespace wintest
