// The function-key filter (WH_MSGFILTER) of the configuration dialog: F5 to F8 pressed in a
// dialog box or message box of the thread that loaded the driver are consumed and turned into
// WM_USER + 5 .. + 8 posted to the recorded dialog window.
#include <windows.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/win32/hook.h"

namespace vexlor::platform {
namespace {

std::atomic<HHOOK> g_hook{nullptr};
std::atomic<HWND> g_target{nullptr};

LRESULT CALLBACK KeyboardHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code < 0)
        return CallNextHookEx(g_hook.load(std::memory_order_acquire), code, wParam, lParam);
    const MSG* message = reinterpret_cast<const MSG*>(lParam);
    if (code == MSGF_DIALOGBOX && message != nullptr && message->message == WM_KEYDOWN &&
        message->wParam >= VK_F5 && message->wParam <= VK_F8) {
        const UINT posted = WM_USER + 5 + static_cast<UINT>(message->wParam - VK_F5);
        PostMessageA(g_target.load(std::memory_order_acquire), posted, 0, 0);
        return 1;
    }
    return 0;
}

}  // namespace

void SetHookTargetWindow(void* hwnd) {
    g_target.store(static_cast<HWND>(hwnd), std::memory_order_release);
}

void InstallMessageHook() {
    if (g_hook.load(std::memory_order_acquire) != nullptr) return;
    g_hook.store(SetWindowsHookExA(WH_MSGFILTER, KeyboardHook, nullptr, GetCurrentThreadId()),
                 std::memory_order_release);
}

void RemoveMessageHook() {
    HHOOK hook = g_hook.exchange(nullptr, std::memory_order_acq_rel);
    if (hook != nullptr) UnhookWindowsHookEx(hook);
}

}  // namespace vexlor::platform
