// The exported entry of the hardware configuration dialog.
#include "core/device_table.h"
#include "platform/platform.h"
#include "vexlor.h"

extern "C" {

// Stores the language for the dialog (and the connection notices), runs the dialog in German
// for 0 and in English otherwise, and returns 0 however it ended or if it could not be shown.
VEXLOR_API int VEXLOR_CALL VexlorDlgWeb_IO_ConfigHardware(uint16_t language) {
    vexlor::g_module.uiLanguage.store(language);
    vexlor::platform::RunConfigDialog(language == 0
                                          ? vexlor::platform::ConfigDialogTemplate::kGerman
                                          : vexlor::platform::ConfigDialogTemplate::kEnglish);
    return 0;
}

}  // extern "C"
