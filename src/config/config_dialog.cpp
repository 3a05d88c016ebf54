// ConfigDialog: the hardware configuration dialog, independent of the window system.
#include "config/config_dialog.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/device_table.h"

#ifndef VEXLOR_VERSION_MAJOR
#define VEXLOR_VERSION_MAJOR 0
#endif
#ifndef VEXLOR_VERSION_MINOR
#define VEXLOR_VERSION_MINOR 5
#endif

namespace vexlor {

SettingsBlock g_workingSettings{};
int32_t g_currentPage = 1;

namespace {

constexpr int kTextSize = 260;  // window texts are read with at most 259 characters

// Whether the dialog is between its initialisation and its end. Focus-loss notifications that
// the platform sends while it takes an ended dialog down are not acted on.
bool g_dialogOpen = false;

const char* BareName() {
    return g_module.settingsFileName[0] != '\0' ? g_module.settingsFileName : kSettingsFileName;
}

bool German() {
    return g_module.uiLanguage.load(std::memory_order_relaxed) == 0;
}

// The WorkingSettings field of a slot's column, and the field's size.
char* WorkingField(int slot, int column, uint32_t* size) {
    switch (column) {
        case kColumnIp:
            *size = kShortFieldSize;
            return g_workingSettings.ip[slot];
        case kColumnPort:
            *size = kShortFieldSize;
            return g_workingSettings.port[slot];
        case kColumnTiming:
            *size = kShortFieldSize;
            return g_workingSettings.timing[slot];
        default:
            *size = kPasswordFieldSize;
            return g_workingSettings.password[slot];
    }
}

// The slot that row r shows on page (1-based); -1 outside the 100 slots.
int PageSlot(int32_t page, int row) {
    const int64_t slot = (static_cast<int64_t>(page) - 1) * kDialogRows + row;
    return slot >= 0 && slot < kSettingsSlots ? static_cast<int>(slot) : -1;
}

// The working device count, limited to 1..100 so that no page beyond the tenth, and no slot
// above 99, is ever addressed.
int32_t WorkingDeviceCount() {
    ClampInt(&g_workingSettings.deviceCount, kMinDeviceCount, kMaxDeviceCount);
    return g_workingSettings.deviceCount;
}

}  // namespace

const int kRowEditList[3 * kDialogRows + 1] = {
    1000, 1002, 1003, 1004, 1006, 1007, 1008, 1010, 1011, 1012, 1014, 1015, 1016, 1018, 1019, 1020,
    1022, 1023, 1024, 1026, 1027, 1028, 1030, 1031, 1032, 1034, 1035, 1036, 1038, 1039, 0};

void ClampInt(int32_t* value, int32_t low, int32_t high) {
    if (value == nullptr) return;
    if (*value > high) *value = high;
    if (*value < low) *value = low;
}

int32_t DevicePageCount(int32_t deviceCount) {
    return deviceCount / kDialogRows + (deviceCount % kDialogRows != 0 ? 1 : 0);
}

void PageLabel(char* buffer, uint32_t size, int32_t page) {
    const unsigned first = static_cast<unsigned>(page) * kDialogRows;
    std::snprintf(buffer, size, German() ? "Ger\xE4t %u...%u" : "Device %u...%u", first,
                  first + kDialogRows - 1);
}

const char* RowLabelPrefix() {
    return German() ? "Ger\xE4t " : "Device ";
}

void ConfigDialog::EnableControlList(DialogSurface& surface, const int* list) {
    for (; *list != 0; ++list) surface.EnableControl(*list, true);
}

void ConfigDialog::DisableControlList(DialogSurface& surface, const int* list) {
    for (; *list != 0; ++list) surface.EnableControl(*list, false);
}

bool ConfigDialog::OnInitDialog() {
    g_dialogOpen = true;
    surface_.RecordHookTarget();
    SetTitle();
    RestorePosition();
    FillCountList();
    LoadAllSettings();
    g_workingSettings = g_settings;
    BuildDevicePages();
    surface_.SetFocus(dialog_id::kOk);
    return true;
}

// The template's title, the version text ", Version: %d.%02d " and the build date " (%s)".
void ConfigDialog::SetTitle() {
    char title[kTextSize] = "";
    surface_.GetTitle(title, sizeof title);
    char text[kTextSize + 64];
    std::snprintf(text, sizeof text, "%s, Version: %d.%02d  (%s)", title,
                  static_cast<int>(VEXLOR_VERSION_MAJOR), static_cast<int>(VEXLOR_VERSION_MINOR),
                  __DATE__);
    surface_.SetTitle(text);
}

// The saved position applies when any of the four saved edges is not 0; the size stays.
void ConfigDialog::RestorePosition() {
    int32_t bottom = 0, left = 0, right = 0, top = 0;
    SettingsReadInt(BareName(), "WINDOW", "Window Bottom", &bottom);
    SettingsReadInt(BareName(), "WINDOW", "Window Left", &left);
    SettingsReadInt(BareName(), "WINDOW", "Window Right", &right);
    SettingsReadInt(BareName(), "WINDOW", "Window Top", &top);
    const WindowRect current = surface_.GetWindowRect();
    if (bottom != 0 || left != 0 || right != 0 || top != 0) {
        surface_.MoveWindow(left, top, current.right - current.left, current.bottom - current.top,
                            true);
    }
}

void ConfigDialog::FillCountList() {
    surface_.ComboReset();
    for (unsigned count = kMinDeviceCount; count <= kMaxDeviceCount; ++count) {
        char text[16];
        std::snprintf(text, sizeof text, "%u", count);
        surface_.ComboAddString(text);
    }
}

void ConfigDialog::BuildDevicePages() {
    const int32_t count = WorkingDeviceCount();
    char text[kTextSize];
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(count));
    surface_.SetControlText(dialog_id::kCountBox, text);

    const int32_t pages = DevicePageCount(count);
    for (int32_t page = 0; page < pages; ++page) {
        PageLabel(text, sizeof text, page);
        surface_.TabInsert(page, text);
    }
    g_currentPage = 1;
    ShowPage(1);
    ApplyEditableRows(1);
}

void ConfigDialog::ShowPage(int32_t page) {
    for (int row = 0; row < kDialogRows; ++row) {
        const int slot = PageSlot(page, row);
        if (slot < 0) continue;
        char text[kTextSize];
        std::snprintf(text, sizeof text, "%s%u", RowLabelPrefix(), static_cast<unsigned>(slot));
        surface_.SetControlText(dialog_id::kFirstRowLabel + row, text);
        for (int column = 0; column < kDialogColumns; ++column) {
            uint32_t size = 0;
            const char* field = WorkingField(slot, column, &size);
            CopyField(text, size, field);  // never reads past the field
            surface_.SetControlText(RowEditId(row, column), text);
        }
    }
}

void ConfigDialog::StoreColumn(int column) {
    if (column < 0 || column >= kDialogColumns) return;
    for (int row = 0; row < kDialogRows; ++row) {
        const int slot = PageSlot(g_currentPage, row);
        if (slot < 0) continue;
        char text[kTextSize] = "";
        uint32_t size = 0;
        char* field = WorkingField(slot, column, &size);
        surface_.GetControlText(RowEditId(row, column), text, size);
        CopyField(field, size, text);  // 19 characters, 49 for a password
    }
}

void ConfigDialog::ApplyEditableRows(int32_t page) {
    const int32_t count = WorkingDeviceCount();
    const int32_t pages = DevicePageCount(count);
    if (page != pages) {
        EnableControlList(surface_, kRowEditList);
        return;
    }
    DisableControlList(surface_, kRowEditList);
    const int32_t rowsInUse = count - kDialogRows * (pages - 1);
    for (int row = 0; row < kDialogRows && row < rowsInUse; ++row) {
        surface_.EnableControl(RowEditId(row, kColumnIp), true);
        surface_.EnableControl(RowEditId(row, kColumnPort), false);
        surface_.EnableControl(RowEditId(row, kColumnTiming), true);
        surface_.EnableControl(RowEditId(row, kColumnPassword), true);
    }
}

bool ConfigDialog::OnNotify(int controlId, int code) {
    if (g_dialogOpen && controlId == dialog_id::kTabControl && code == kNotifyTabSelChange) {
        ChangePage();
    }
    return true;
}

void ConfigDialog::ChangePage() {
    const int selection = surface_.TabCurrentSelection();
    // Only a tab that exists names a page; anything else (no selection) changes nothing.
    if (selection < 0 || selection >= DevicePageCount(WorkingDeviceCount())) return;
    const int32_t page = selection + 1;
    if (page != g_currentPage) {
        for (int column = 0; column < kDialogColumns; ++column) StoreColumn(column);
    }
    ApplyEditableRows(page);
    ShowPage(page);
    g_currentPage = page;
}

bool ConfigDialog::OnCommand(int controlId, int code) {
    if (!g_dialogOpen) return false;
    if (controlId == dialog_id::kOk) return Ok();
    if (controlId == dialog_id::kCancel) {
        End(0);
        return true;
    }
    if (controlId == dialog_id::kCountBox) {
        if (code == kNotifyComboKillFocus) ChangeDeviceCount();
        return false;
    }
    const int offset = controlId - dialog_id::kFirstRowEdit;
    if (offset >= 0 && offset < kDialogRows * kDialogColumns && code == kNotifyEditKillFocus) {
        StoreColumn(offset % kDialogColumns);
    }
    return false;
}

void ConfigDialog::ChangeDeviceCount() {
    char text[kTextSize] = "";
    surface_.GetControlText(dialog_id::kCountBox, text, sizeof text);
    // The leading decimal number, as atol reads it (no number gives 0); numbers beyond the
    // 32-bit range saturate instead of wrapping.
    const long parsed = std::strtol(text, nullptr, 10);
    int32_t count = parsed > INT32_MAX   ? INT32_MAX
                    : parsed < INT32_MIN ? INT32_MIN
                                         : static_cast<int32_t>(parsed);
    ClampInt(&count, kMinDeviceCount, kMaxDeviceCount);
    g_workingSettings.deviceCount = count;
    surface_.TabDeleteAll();
    BuildDevicePages();
}

bool ConfigDialog::Ok() {
    // The control that has the focus reports its focus loss first, so that its text is stored
    // (or the count applied) before the copy is made live.
    surface_.SetFocus(dialog_id::kOk);
    g_settings = g_workingSettings;
    PublishAllSlotSettings();  // open slots go on with the new Timing and Password
    SaveAllSettings(surface_.GetWindowRect());
    End(1);
    return true;
}

void ConfigDialog::End(int result) {
    g_dialogOpen = false;
    surface_.EndDialog(result);
}

}  // namespace vexlor
