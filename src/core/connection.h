// Connection lifecycle: the bodies of VexlorWeb_IO_Init and VexlorWeb_IO_DeInit, callable from
// inside the driver (the thermometer reads open and close their slot themselves).
#pragma once

#include <cstdint>

#include "core/winsock_types.h"

namespace vexlor {

int InitSlot(uint16_t language, uint16_t slot);
int DeInitSlot(uint16_t language, uint16_t slot);

// Closes a connection that has been taken out of its slot, as DeInit does (shutdown, SO_LINGER
// {1, 0}, closesocket, each with its trace line). A host thread that loaded the socket before it
// was taken out may still be sending on it: after the shutdown its send ends at once, and the
// socket is closed only when it has, so that its number cannot go to another connection while a
// request can still be handed to it.
void CloseSlotConnection(uint16_t slot, ws::SOCKET socket);

}  // namespace vexlor
