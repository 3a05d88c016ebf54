// An in-memory stand-in for the dialog window: the controls of a dialog template, keyed by
// identifier, with their texts and enabled states, the tab control's tabs and selection, the
// count box's list, the window's rectangle and title, and the keyboard focus.
//
// It plays the platform's part as a real dialog box does: opening runs the initialisation and
// then gives the focus to the first enabled tab stop (the platform's rule when the
// initialisation answers true); moving the focus away from an edit reports EN_KILLFOCUS and away
// from the count box CBN_KILLFOCUS to the dialog at once; clicking a tab or a button first moves
// the focus there; an ended dialog is taken down, which again takes the focus from its control.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "config/config_dialog.h"
#include "config/dialog_surface.h"
#include "resource_script.h"

namespace dialogtest {

class HeadlessSurface final : public vexlor::DialogSurface {
  public:
    explicit HeadlessSurface(const DialogTemplate& dialogTemplate);

    // --- The platform's part ---
    // WM_INITDIALOG, then the default focus. Returns what the initialisation answered.
    bool Open();
    // Focus moves to the control (as by the mouse or the Tab key); false when it cannot take
    // the focus (missing or disabled).
    bool Focus(int id);
    // The user types into a control: it takes the focus, then its text is replaced.
    bool Type(int id, const std::string& text);
    // A text set without any focus change (as SetDlgItemText from outside).
    void SetText(int id, const std::string& text);
    // Clicking a tab: the tab control takes the focus, selects the tab and notifies.
    void ClickTab(int index);
    // Clicking a button: it takes the focus, then its command is sent.
    void ClickButton(int id);
    // The Enter key in the dialog: the default button's command, the focus stays.
    void PressEnter();
    // The Escape key: IDCANCEL, the focus stays.
    void PressEscape();
    // Sends a command or notification straight to the dialog procedure.
    bool Command(int id, int code);
    bool Notify(int id, int code);

    // --- What the dialog did ---
    std::string Text(int id) const;
    bool Enabled(int id) const;
    bool Exists(int id) const;
    int Focused() const { return focus_; }
    const std::vector<std::string>& Tabs() const { return tabs_; }
    int Selection() const { return selection_; }
    const std::vector<std::string>& ComboItems() const { return comboItems_; }
    const std::string& Title() const { return title_; }
    vexlor::WindowRect Rect() const { return rect_; }
    int MoveCalls() const { return moveCalls_; }
    bool Ended() const { return ended_; }
    int Result() const { return result_; }
    bool Destroyed() const { return destroyed_; }
    // Every surface call in order, e.g. "RecordHookTarget", "SetFocus 1", "TabInsert 0 ...".
    const std::vector<std::string>& Log() const { return log_; }
    void ClearLog() { log_.clear(); }
    // Identifiers the dialog addressed that the template does not have.
    const std::vector<int>& UnknownIds() const { return unknownIds_; }
    // Sets where the window stands (screen coordinates) before it is opened.
    void SetRect(const vexlor::WindowRect& rect) { rect_ = rect; }

    // --- DialogSurface ---
    void RecordHookTarget() override;
    uint32_t GetTitle(char* buffer, uint32_t size) override;
    void SetTitle(const char* text) override;
    uint32_t GetControlText(int id, char* buffer, uint32_t size) override;
    void SetControlText(int id, const char* text) override;
    void EnableControl(int id, bool enable) override;
    void SetFocus(int id) override;
    void TabDeleteAll() override;
    void TabInsert(int index, const char* text) override;
    int TabCurrentSelection() override;
    void ComboReset() override;
    void ComboAddString(const char* text) override;
    vexlor::WindowRect GetWindowRect() override;
    void MoveWindow(int32_t left, int32_t top, int32_t width, int32_t height,
                    bool repaint) override;
    void EndDialog(int result) override;

  private:
    struct Control {
        TemplateControl source;
        std::string text;
        bool enabled = true;
    };
    Control* Find(int id);
    const Control* Find(int id) const;
    bool IsEdit(int id) const;
    // Moves the focus, reporting the focus loss of the control that had it.
    void MoveFocus(int id);
    // After a command that ended the dialog: the window goes, and its focus with it.
    void DestroyIfEnded();

    std::vector<int> order_;  // identifiers in template order
    std::map<int, Control> controls_;
    std::string title_;
    std::vector<std::string> tabs_;
    int selection_ = -1;
    std::vector<std::string> comboItems_;
    vexlor::WindowRect rect_{100, 80, 100 + 650, 80 + 410};
    int moveCalls_ = 0;
    int focus_ = 0;
    bool ended_ = false;
    bool destroyed_ = false;
    int result_ = -1;
    std::vector<std::string> log_;
    std::vector<int> unknownIds_;
};

}  // namespace dialogtest
