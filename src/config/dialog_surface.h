// The window that the configuration dialog draws on, reduced to the operations the dialog needs.
// The Win32 implementation works on the real dialog window (platform/win32/dialog_win32.cpp);
// unit tests use an in-memory model of the same controls. Controls are addressed by their
// identifiers in the dialog templates.
//
// A surface delivers the dialog's events to ConfigDialog (config_dialog.h) the way the platform
// does: in particular, moving the focus away from an edit reports EN_KILLFOCUS and away from the
// count box CBN_KILLFOCUS, synchronously, from inside SetFocus.
#pragma once

#include <cstdint>

#include "config/settings.h"

namespace vexlor {

class DialogSurface {
  public:
    // Records the dialog window as the target of the function-key filter's messages.
    virtual void RecordHookTarget() = 0;

    // The dialog's title (GetWindowTextA / SetWindowTextA of the dialog window): copies at most
    // size - 1 characters and a NUL; returns the number of characters copied.
    virtual uint32_t GetTitle(char* buffer, uint32_t size) = 0;
    virtual void SetTitle(const char* text) = 0;

    // Text of a control (GetWindowTextA of GetDlgItem / SetDlgItemTextA), same contract.
    virtual uint32_t GetControlText(int id, char* buffer, uint32_t size) = 0;
    virtual void SetControlText(int id, const char* text) = 0;
    virtual void EnableControl(int id, bool enable) = 0;
    // Gives the focus to a control; the control that loses it reports its focus-loss
    // notification to the dialog before this returns.
    virtual void SetFocus(int id) = 0;

    // The tab control: delete every tab, insert a text-only tab at index, the current selection
    // (-1 when none).
    virtual void TabDeleteAll() = 0;
    virtual void TabInsert(int index, const char* text) = 0;
    virtual int TabCurrentSelection() = 0;

    // The count box's list: empty it, append an entry.
    virtual void ComboReset() = 0;
    virtual void ComboAddString(const char* text) = 0;

    // The dialog window's rectangle in screen coordinates, and moving it (MoveWindow).
    virtual WindowRect GetWindowRect() = 0;
    virtual void MoveWindow(int32_t left, int32_t top, int32_t width, int32_t height,
                            bool repaint) = 0;

    // Ends the modal dialog with the given result.
    virtual void EndDialog(int result) = 0;

  protected:
    ~DialogSurface() = default;
};

}  // namespace vexlor
