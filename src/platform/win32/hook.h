// The function-key message filter installed for the thread that loads the driver. It posts
// WM_USER + 5 .. WM_USER + 8 for F5 .. F8 pressed in a dialog box or message box of that thread
// to the window recorded here (the configuration dialog records itself when it opens).
#pragma once

namespace vexlor::platform {

// Records the window that receives the filter's messages; null (the start value) makes the
// system place them in the posting thread's own queue.
void SetHookTargetWindow(void* hwnd);

}  // namespace vexlor::platform
