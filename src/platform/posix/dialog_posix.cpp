// The configuration dialog on POSIX: there is no window system to show it on, so the exported
// function returns at once (the settings are edited with the vexlor-config tool instead).
#include "platform/platform.h"

namespace vexlor::platform {

int RunConfigDialog(ConfigDialogTemplate) {
    return -1;
}

}  // namespace vexlor::platform
