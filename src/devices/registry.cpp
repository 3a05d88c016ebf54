// Registers the ResponseParser of every device family with the receive thread.
#include "core/receive_thread.h"
#include "devices/digital_functions.h"
#include "devices/io_controller.h"
#include "devices/thermometer.h"

namespace vexlor {

void RegisterDeviceParsers() {
    RegisterDigitalParsers();
    RegisterThermometerParsers();
    RegisterIoControllerParser();
}

}  // namespace vexlor
