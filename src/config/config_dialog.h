// ConfigDialog: the hardware configuration dialog's behaviour, written once for every platform.
// The platform runs the modal dialog from template 100 (German) or 101 (English) and hands its
// initialisation, the tab control's notifications and the commands of the controls to the
// handlers below, which work on the dialog through a DialogSurface.
//
// The dialog edits WorkingSettings, a private copy of the live settings: opening reloads the
// live settings from the file and copies them, OK makes the copy live and saves everything,
// Cancel discards it. WorkingSettings and CurrentPage are module-level and outlive the dialog.
#pragma once

#include <cstdint>

#include "config/dialog_surface.h"
#include "config/settings.h"

namespace vexlor {

// Control identifiers of the dialog templates.
namespace dialog_id {
constexpr int kOk = 1;
constexpr int kCancel = 2;
constexpr int kFirstRowEdit = 1000;  // row r, column c: 1000 + 4r + c
constexpr int kCountBox = 1100;
constexpr int kTabControl = 1101;
constexpr int kFirstRowLabel = 2100;  // row r: 2100 + r
constexpr int kDeviceCountGroup = 2111;
constexpr int kCountLabel = 2112;
constexpr int kConfigurationGroup = 2113;
constexpr int kPicture = 3100;
constexpr int kTemplateGerman = 100;
constexpr int kTemplateEnglish = 101;
constexpr int kBitmap = 3100;
}  // namespace dialog_id

// Notification codes the dialog acts on.
constexpr int kNotifyEditKillFocus = 512;  // EN_KILLFOCUS
constexpr int kNotifyComboKillFocus = 4;   // CBN_KILLFOCUS
constexpr int kNotifyTabSelChange = -551;  // TCN_SELCHANGE

constexpr int kDialogRows = 10;    // device rows on a page
constexpr int kDialogColumns = 4;  // IP, Port, Timing, Password
constexpr int kColumnIp = 0;
constexpr int kColumnPort = 1;
constexpr int kColumnTiming = 2;
constexpr int kColumnPassword = 3;
constexpr int32_t kMinDeviceCount = 1;
constexpr int32_t kMaxDeviceCount = kSettingsSlots;

inline int RowEditId(int row, int column) {
    return dialog_id::kFirstRowEdit + 4 * row + column;
}

// The dialog's private copy of the settings, and the 1-based page whose slots the rows show.
extern SettingsBlock g_workingSettings;
extern int32_t g_currentPage;

// RowEditList: the IP, Timing and Password edits of rows 0..9, zero-terminated.
extern const int kRowEditList[3 * kDialogRows + 1];

// If *value is above high it becomes high; then, if it is below low, it becomes low.
void ClampInt(int32_t* value, int32_t low, int32_t high);

// Pages for a device count: one per started ten.
int32_t DevicePageCount(int32_t deviceCount);

// "Gerät %u...%u" / "Device %u...%u" for the 0-based page, and the row label prefix, by the
// current user-interface language.
void PageLabel(char* buffer, uint32_t size, int32_t page);
const char* RowLabelPrefix();

class ConfigDialog {
  public:
    explicit ConfigDialog(DialogSurface& surface) : surface_(surface) {}

    // The platform's messages. Each returns what the dialog procedure answers (true: handled).
    bool OnInitDialog();
    bool OnNotify(int controlId, int code);
    bool OnCommand(int controlId, int code);

    // Sets the count box, inserts one tab per page, shows page 1 and enables its rows.
    void BuildDevicePages();
    // Row labels and edits of page (1-based) from WorkingSettings.
    void ShowPage(int32_t page);
    // Copies column c of rows 0..9 into WorkingSettings at the slots of CurrentPage.
    void StoreColumn(int column);
    // Enables the rows of page (1-based) that hold configured devices.
    void ApplyEditableRows(int32_t page);

    static void EnableControlList(DialogSurface& surface, const int* list);
    static void DisableControlList(DialogSurface& surface, const int* list);

  private:
    void SetTitle();
    void RestorePosition();
    void FillCountList();
    void ChangePage();
    void ChangeDeviceCount();
    bool Ok();
    void End(int result);

    DialogSurface& surface_;
};

}  // namespace vexlor
