// The exported connection functions of the driver.
#include "core/connection.h"
#include "vexlor.h"

extern "C" {

VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_Init(uint16_t language, uint16_t slot) {
    return vexlor::InitSlot(language, slot);
}

VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_DeInit(uint16_t language, uint16_t slot) {
    return vexlor::DeInitSlot(language, slot);
}

}  // extern "C"
