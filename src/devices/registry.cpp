// Registers the ResponseParser of every device family with the receive thread, and the input
// request that an idle connection of each family sends to keep itself open.
#include <cstring>

#include "core/keep_alive.h"
#include "core/receive_thread.h"
#include "devices/digital_functions.h"
#include "devices/digital_protocol.h"
#include "devices/io_controller.h"
#include "devices/thermometer.h"

namespace vexlor {
namespace {

// "GET /input?PW=" with the slot's password and "&", as ReadDI sends it.
void DigitalInputRequest(uint16_t slot, KeepAliveRequest& request) {
    request.length =
        BuildSlotRequest(slot, DigitalRequest::kReadInputs, 0, request.bytes, sizeof request.bytes);
    request.shown = request.length;
}

// The read-inputs frame, as HWgroup_IOController_ReadDI sends it.
void IoControllerInputRequest(uint16_t /*slot*/, KeepAliveRequest& request) {
    unsigned char frame[kIoFrameSize];
    request.length = BuildIoReadInputsFrame(frame);
    std::memcpy(request.bytes, frame, static_cast<size_t>(request.length));
    request.shown = IoFrameShownLength(frame);
}

}  // namespace

void RegisterDeviceParsers() {
    RegisterDigitalParsers();
    RegisterThermometerParsers();
    RegisterIoControllerParser();
    RegisterKeepAliveRequest(kKindDigital12, DigitalInputRequest);
    RegisterKeepAliveRequest(kKindDigital24, DigitalInputRequest);
    RegisterKeepAliveRequest(kKindIoController, IoControllerInputRequest);
}

}  // namespace vexlor
