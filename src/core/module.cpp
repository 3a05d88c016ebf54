// Module start-up and shut-down: everything the driver needs for its whole life is set up when
// the host process loads the library and taken down when it unloads it.
#include "core/module.h"

#include <cstdint>
#include <cstring>

#include "config/settings.h"
#include "core/device_table.h"
#include "core/receive_thread.h"
#include "core/socket_api.h"
#include "platform/platform.h"
#include "trace/trace_sink.h"

namespace vexlor {

const char* const kSocketApiNames[kSocketApiNameCount] = {
    "WSAStartup",    "WSACleanup",  "WSAGetLastError", "WSAAsyncSelect", "socket",     "shutdown",
    "closesocket",   "setsockopt",  "connect",         "accept",         "bind",       "listen",
    "gethostbyname", "gethostname", "inet_addr",       "inet_ntoa",      "htons",      "send",
    "recv",          "sendto",      "recvfrom",        "select",         "ioctlsocket"};

namespace {

// Shut-down waits at most this long in total for the receive threads to end. A thread that does
// not end in time (one blocked in an error box) is left behind rather than hanging the host's
// unload forever.
constexpr int kShutdownWaitMs = 2000;

// Whether our own WSAStartup succeeded: only then is WSACleanup called, so that a failed
// start-up never ends a socket layer session that belongs to the host.
bool g_socketLayerStarted = false;

template <typename Fn>
void Resolve(Fn& field, void* address) {
    field = reinterpret_cast<Fn>(address);
}

// Looks up the 23 names in table order; false when any of them is missing.
bool ResolveSocketApi(platform::ModuleHandle library, SocketApi& api) {
    void* found[kSocketApiNameCount];
    bool complete = true;
    for (int i = 0; i < kSocketApiNameCount; ++i) {
        found[i] = platform::GetProcAddress(library, kSocketApiNames[i]);
        if (found[i] == nullptr) complete = false;
    }
    int i = 0;
    Resolve(api.WSAStartup, found[i++]);
    Resolve(api.WSACleanup, found[i++]);
    Resolve(api.WSAGetLastError, found[i++]);
    Resolve(api.WSAAsyncSelect, found[i++]);
    Resolve(api.socket, found[i++]);
    Resolve(api.shutdown, found[i++]);
    Resolve(api.closesocket, found[i++]);
    Resolve(api.setsockopt, found[i++]);
    Resolve(api.connect, found[i++]);
    Resolve(api.accept, found[i++]);
    Resolve(api.bind, found[i++]);
    Resolve(api.listen, found[i++]);
    Resolve(api.gethostbyname, found[i++]);
    Resolve(api.gethostname, found[i++]);
    Resolve(api.inet_addr, found[i++]);
    Resolve(api.inet_ntoa, found[i++]);
    Resolve(api.htons, found[i++]);
    Resolve(api.send, found[i++]);
    Resolve(api.recv, found[i++]);
    Resolve(api.sendto, found[i++]);
    Resolve(api.recvfrom, found[i++]);
    Resolve(api.select, found[i++]);
    Resolve(api.ioctlsocket, found[i++]);
    Resolve(api.getsockname, platform::GetProcAddress(library, "getsockname"));
    Resolve(api.getsockopt, platform::GetProcAddress(library, "getsockopt"));
    return complete;
}

int32_t HandleNumber(const void* handle) {
    return static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle)));
}

}  // namespace

void ModuleStartup() {
    g_module.moduleHandle = platform::SelfModule();

    trace::Bind();

    g_module.socketLibrary = nullptr;
    g_module.socketLayerFailed = 0;
    g_socketLayerStarted = false;
    g_module.sockets = SocketApi{};
    g_module.socketLibrary = platform::LoadLibrary("WSOCK32.DLL");
    trace::LoadSocketLibrary(HandleNumber(g_module.socketLibrary));

    if (g_module.socketLibrary != nullptr) {
        if (!ResolveSocketApi(g_module.socketLibrary, g_module.sockets)) {
            g_module.socketLayerFailed = 1;
        } else {
            ws::WsaData data;
            std::memset(&data, 0, sizeof data);
            if (g_module.sockets.WSAStartup(ws::kVersion11, &data) != 0) {
                g_module.socketLayerFailed = 1;
            } else {
                g_socketLayerStarted = true;
            }
        }
    }

    std::memset(g_module.settingsFileName, 0, sizeof g_module.settingsFileName);
    std::memcpy(g_module.settingsFileName, kSettingsFileName, sizeof kSettingsFileName);

    for (DeviceSlot& slot : g_devices) slot.inUse.store(0, std::memory_order_release);

    RegisterDeviceParsers();
    platform::InstallMessageHook();
}

void ModuleShutdown() {
    // When the process is ending the system may already have ended the threads without their
    // clearing threadAlive, so there is nothing to wake and nothing to wait for.
    const bool ending = platform::ProcessEnding();
    for (uint16_t slot = 0; slot < kSlotCount; ++slot) {
        g_devices[slot].runFlag.store(0);
        if (!ending) WakeReceiveThread(slot);
    }

    // Wait for every receive thread to leave its loop, within one budget for all slots. A
    // thread still in its pass after a millisecond may have lost its wake-up: it is woken
    // through its socket instead.
    int budgetMs = ending ? 0 : kShutdownWaitMs;
    for (uint16_t slot = 0; slot < kSlotCount; ++slot) {
        bool kicked = false;
        while (budgetMs > 0 && g_devices[slot].threadAlive.load(std::memory_order_acquire) != 0) {
            platform::Sleep(1);
            --budgetMs;
            if (!kicked) KickReceiveThread(slot);
            kicked = true;
        }
    }
    // Then wait for threads that a DeInit gave up on and whose handle it has closed.
    while (budgetMs > 0 && RunningReceiveThreads() != 0) {
        platform::Sleep(1);
        --budgetMs;
    }

    // Close every slot's thread handle. A thread that has left its loop is joined first, so
    // that no thread is still running the driver's code once the library is unmapped.
    for (DeviceSlot& slot : g_devices) {
        platform::ThreadHandle handle = slot.threadHandle.exchange(nullptr);
        if (handle == nullptr) continue;
        if (!ending && slot.threadAlive.load(std::memory_order_acquire) == 0) {
            const int waitMs = budgetMs < 100 ? 100 : budgetMs;
            if (!platform::WaitThread(handle, static_cast<uint32_t>(waitMs))) budgetMs = 0;
        }
        platform::CloseThreadHandle(handle);
        slot.threadId.store(0);
    }

    trace::Unbind();

    if (g_module.socketLibrary != nullptr) {
        CloseWakeChannels(!ending);
        if (g_socketLayerStarted && g_module.sockets.WSACleanup != nullptr) {
            g_module.sockets.WSACleanup();
        }
        platform::FreeLibrary(g_module.socketLibrary);
    }
    g_socketLayerStarted = false;
    g_module.socketLibrary = nullptr;

    platform::RemoveMessageHook();
}

}  // namespace vexlor
