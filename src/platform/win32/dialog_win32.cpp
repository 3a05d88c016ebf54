// The configuration dialog on Windows: the modal dialog from template 100 or 101 of the driver's
// resources, whose dialog procedure hands initialisation, the tab control's notifications and
// the controls' commands to ConfigDialog, and the DialogSurface over the real dialog window.
//
// The tab control's window class ("SysTabControl32") must already be registered in the process,
// as the common-controls library does when the host initialises it; the driver does not
// register it. Without it the dialog cannot be created.
#include <windows.h>
// after <windows.h>, which it needs
#include <commctrl.h>

#include "config/config_dialog.h"
#include "platform/platform.h"
#include "platform/win32/hook.h"

namespace vexlor::platform {
namespace {

class Win32DialogSurface final : public DialogSurface {
  public:
    explicit Win32DialogSurface(HWND window) : window_(window) {}

    void RecordHookTarget() override { SetHookTargetWindow(window_); }

    uint32_t GetTitle(char* buffer, uint32_t size) override {
        return ReadText(window_, buffer, size);
    }
    void SetTitle(const char* text) override { SetWindowTextA(window_, text); }

    uint32_t GetControlText(int id, char* buffer, uint32_t size) override {
        return ReadText(GetDlgItem(window_, id), buffer, size);
    }
    void SetControlText(int id, const char* text) override { SetDlgItemTextA(window_, id, text); }
    void EnableControl(int id, bool enable) override {
        EnableWindow(GetDlgItem(window_, id), enable ? TRUE : FALSE);
    }
    void SetFocus(int id) override { ::SetFocus(GetDlgItem(window_, id)); }

    void TabDeleteAll() override { SendMessageA(Tab(), TCM_DELETEALLITEMS, 0, 0); }
    void TabInsert(int index, const char* text) override {
        TCITEMA item{};
        item.mask = TCIF_TEXT;  // text only, no image
        item.pszText = const_cast<char*>(text);
        SendMessageA(Tab(), TCM_INSERTITEMA, static_cast<WPARAM>(index),
                     reinterpret_cast<LPARAM>(&item));
    }
    int TabCurrentSelection() override {
        return static_cast<int>(SendMessageA(Tab(), TCM_GETCURSEL, 0, 0));
    }

    void ComboReset() override {
        SendDlgItemMessageA(window_, dialog_id::kCountBox, CB_RESETCONTENT, 0, 0);
    }
    void ComboAddString(const char* text) override {
        SendDlgItemMessageA(window_, dialog_id::kCountBox, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(text));
    }

    WindowRect GetWindowRect() override {
        RECT rect{};
        ::GetWindowRect(window_, &rect);
        return WindowRect{static_cast<int32_t>(rect.left), static_cast<int32_t>(rect.top),
                          static_cast<int32_t>(rect.right), static_cast<int32_t>(rect.bottom)};
    }
    void MoveWindow(int32_t left, int32_t top, int32_t width, int32_t height,
                    bool repaint) override {
        ::MoveWindow(window_, left, top, width, height, repaint ? TRUE : FALSE);
    }

    void EndDialog(int result) override { ::EndDialog(window_, result); }

  private:
    // The tab control, looked up each time the dialog works on it.
    HWND Tab() const { return GetDlgItem(window_, dialog_id::kTabControl); }

    static uint32_t ReadText(HWND window, char* buffer, uint32_t size) {
        if (buffer == nullptr || size == 0) return 0;
        buffer[0] = '\0';
        if (window == nullptr) return 0;
        const int length = GetWindowTextA(window, buffer, static_cast<int>(size));
        return length > 0 ? static_cast<uint32_t>(length) : 0;
    }

    HWND window_;
};

INT_PTR CALLBACK ConfigDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Win32DialogSurface surface(window);
    ConfigDialog dialog(surface);
    switch (message) {
        case WM_INITDIALOG:
            return dialog.OnInitDialog() ? TRUE : FALSE;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header == nullptr) return TRUE;
            return dialog.OnNotify(static_cast<int>(header->idFrom), static_cast<int>(header->code))
                       ? TRUE
                       : FALSE;
        }
        case WM_COMMAND:
            return dialog.OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
        default:
            return FALSE;  // left to the platform
    }
}

}  // namespace

int RunConfigDialog(ConfigDialogTemplate which) {
    const int templateId = which == ConfigDialogTemplate::kGerman ? dialog_id::kTemplateGerman
                                                                  : dialog_id::kTemplateEnglish;
    const INT_PTR result =
        DialogBoxParamA(static_cast<HINSTANCE>(SelfModule()), MAKEINTRESOURCEA(templateId), nullptr,
                        ConfigDialogProc, 0);
    return result == -1 ? -1 : static_cast<int>(result);
}

}  // namespace vexlor::platform
