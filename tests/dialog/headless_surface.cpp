#include "headless_surface.h"

#include <cstring>

namespace dialogtest {

using vexlor::ConfigDialog;
namespace id = vexlor::dialog_id;

HeadlessSurface::HeadlessSurface(const DialogTemplate& dialogTemplate) {
    title_ = dialogTemplate.caption;
    for (const TemplateControl& source : dialogTemplate.controls) {
        Control control;
        control.source = source;
        control.text =
            source.className == "Static" && source.HasStyle("SS_BITMAP") ? "" : source.text;
        control.enabled = !source.HasStyle("WS_DISABLED");
        order_.push_back(source.id);
        controls_[source.id] = control;
    }
}

HeadlessSurface::Control* HeadlessSurface::Find(int controlId) {
    auto found = controls_.find(controlId);
    return found == controls_.end() ? nullptr : &found->second;
}

const HeadlessSurface::Control* HeadlessSurface::Find(int controlId) const {
    auto found = controls_.find(controlId);
    return found == controls_.end() ? nullptr : &found->second;
}

bool HeadlessSurface::IsEdit(int controlId) const {
    const Control* c = Find(controlId);
    return c != nullptr && c->source.className == "Edit";
}

bool HeadlessSurface::Open() {
    ConfigDialog dialog(*this);
    const bool answer = dialog.OnInitDialog();
    if (answer && !ended_) {
        // The platform's default focus: the first enabled tab stop in template order.
        for (int controlId : order_) {
            const Control& c = controls_[controlId];
            if (c.enabled && c.source.HasStyle("WS_TABSTOP")) {
                MoveFocus(controlId);
                break;
            }
        }
    }
    DestroyIfEnded();
    return answer;
}

void HeadlessSurface::MoveFocus(int controlId) {
    if (controlId == focus_) return;
    const int previous = focus_;
    focus_ = controlId;
    ConfigDialog dialog(*this);
    if (IsEdit(previous)) dialog.OnCommand(previous, vexlor::kNotifyEditKillFocus);
    if (previous == id::kCountBox) dialog.OnCommand(previous, vexlor::kNotifyComboKillFocus);
}

void HeadlessSurface::DestroyIfEnded() {
    if (!ended_ || destroyed_) return;
    destroyed_ = true;
    MoveFocus(0);  // the dialog's controls go, and the one with the focus reports its loss
}

bool HeadlessSurface::Focus(int controlId) {
    const Control* c = Find(controlId);
    if (c == nullptr || !c->enabled || destroyed_) return false;
    MoveFocus(controlId);
    return true;
}

bool HeadlessSurface::Type(int controlId, const std::string& text) {
    if (!Focus(controlId)) return false;
    Find(controlId)->text = text;
    return true;
}

void HeadlessSurface::SetText(int controlId, const std::string& text) {
    if (Control* c = Find(controlId)) c->text = text;
}

void HeadlessSurface::ClickTab(int index) {
    if (destroyed_) return;
    MoveFocus(id::kTabControl);
    if (index < 0 || index >= static_cast<int>(tabs_.size())) return;
    selection_ = index;
    Notify(id::kTabControl, vexlor::kNotifyTabSelChange);
}

void HeadlessSurface::ClickButton(int controlId) {
    if (!Focus(controlId)) return;
    Command(controlId, 0);
}

void HeadlessSurface::PressEnter() {
    Command(id::kOk, 0);
}

void HeadlessSurface::PressEscape() {
    Command(id::kCancel, 0);
}

bool HeadlessSurface::Command(int controlId, int code) {
    if (destroyed_) return false;
    ConfigDialog dialog(*this);
    const bool answer = dialog.OnCommand(controlId, code);
    DestroyIfEnded();
    return answer;
}

bool HeadlessSurface::Notify(int controlId, int code) {
    if (destroyed_) return false;
    ConfigDialog dialog(*this);
    return dialog.OnNotify(controlId, code);
}

std::string HeadlessSurface::Text(int controlId) const {
    const Control* c = Find(controlId);
    return c != nullptr ? c->text : std::string();
}

bool HeadlessSurface::Enabled(int controlId) const {
    const Control* c = Find(controlId);
    return c != nullptr && c->enabled;
}

bool HeadlessSurface::Exists(int controlId) const {
    return Find(controlId) != nullptr;
}

// --- DialogSurface ------------------------------------------------------------------------

namespace {

uint32_t CopyOut(const std::string& text, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return 0;
    const uint32_t n = static_cast<uint32_t>(text.size() < size - 1 ? text.size() : size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return n;
}

}  // namespace

void HeadlessSurface::RecordHookTarget() {
    log_.push_back("RecordHookTarget");
}

uint32_t HeadlessSurface::GetTitle(char* buffer, uint32_t size) {
    return CopyOut(title_, buffer, size);
}

void HeadlessSurface::SetTitle(const char* text) {
    log_.push_back("SetTitle");
    title_ = text;
}

uint32_t HeadlessSurface::GetControlText(int controlId, char* buffer, uint32_t size) {
    const Control* c = Find(controlId);
    if (c == nullptr) {
        unknownIds_.push_back(controlId);
        return CopyOut("", buffer, size);
    }
    return CopyOut(c->text, buffer, size);
}

void HeadlessSurface::SetControlText(int controlId, const char* text) {
    Control* c = Find(controlId);
    if (c == nullptr) {
        unknownIds_.push_back(controlId);
        return;
    }
    c->text = text;
}

void HeadlessSurface::EnableControl(int controlId, bool enable) {
    Control* c = Find(controlId);
    if (c == nullptr) {
        unknownIds_.push_back(controlId);
        return;
    }
    c->enabled = enable;
    // A control that is disabled while it has the focus loses it (and reports so).
    if (!enable && focus_ == controlId) MoveFocus(0);
}

void HeadlessSurface::SetFocus(int controlId) {
    log_.push_back("SetFocus " + std::to_string(controlId));
    const Control* c = Find(controlId);
    if (c == nullptr) {
        unknownIds_.push_back(controlId);
        return;
    }
    if (!c->enabled) return;
    MoveFocus(controlId);
}

void HeadlessSurface::TabDeleteAll() {
    log_.push_back("TabDeleteAll");
    tabs_.clear();
    selection_ = -1;
}

void HeadlessSurface::TabInsert(int index, const char* text) {
    log_.push_back("TabInsert " + std::to_string(index) + " " + text);
    if (index < 0) index = 0;
    if (index > static_cast<int>(tabs_.size())) index = static_cast<int>(tabs_.size());
    tabs_.insert(tabs_.begin() + index, text);
    // The first tab of an empty tab control becomes the selected one.
    if (tabs_.size() == 1)
        selection_ = 0;
    else if (selection_ >= index)
        ++selection_;
}

int HeadlessSurface::TabCurrentSelection() {
    return selection_;
}

void HeadlessSurface::ComboReset() {
    log_.push_back("ComboReset");
    comboItems_.clear();
}

void HeadlessSurface::ComboAddString(const char* text) {
    comboItems_.push_back(text);
}

vexlor::WindowRect HeadlessSurface::GetWindowRect() {
    return rect_;
}

void HeadlessSurface::MoveWindow(int32_t left, int32_t top, int32_t width, int32_t height,
                                 bool repaint) {
    log_.push_back(std::string("MoveWindow") + (repaint ? " repaint" : ""));
    ++moveCalls_;
    rect_ = vexlor::WindowRect{left, top, left + width, top + height};
}

void HeadlessSurface::EndDialog(int result) {
    log_.push_back("EndDialog " + std::to_string(result));
    ended_ = true;
    result_ = result;
}

}  // namespace dialogtest
