// Connection lifecycle: the bodies of VexlorWeb_IO_Init and VexlorWeb_IO_DeInit, callable from
// inside the driver (the thermometer reads open and close their slot themselves).
#pragma once

#include <cstdint>

namespace vexlor {

int InitSlot(uint16_t language, uint16_t slot);
int DeInitSlot(uint16_t language, uint16_t slot);

}  // namespace vexlor
