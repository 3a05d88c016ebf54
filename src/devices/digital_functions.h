// The Web-IO 12xDigital and 24xDigital device functions: the bodies behind the twelve exported
// functions, the two ResponseParsers and their registration.
#pragma once

#include <cstdint>

#include "devices/digital_protocol.h"

namespace vexlor {

// Registers the ResponseParsers of DeviceKind 1 and 2 with the receive thread.
void RegisterDigitalParsers();

// Builds a digital request with the slot's password into buffer; returns its length.
int BuildSlotRequest(uint16_t slot, DigitalRequest request, int index, char* buffer, int size);

// The receive steps of DeviceKind 1 (12xDigital) and 2 (24xDigital).
void Digital12Parser(ReceiveStep& step);
void Digital24Parser(ReceiveStep& step);

// Bodies of the exported functions for either model. Pointers that are null are skipped; the
// others receive the word (word16 for the 12xDigital, word32 for the 24xDigital) and then
// model.channels bit or counter entries.
int DigitalReadInputs(const DigitalModel& model, uint16_t slot, uint16_t* word16, uint32_t* word32,
                      uint16_t* const* bits);
int DigitalReadOutputs(const DigitalModel& model, uint16_t slot, uint16_t* word16, uint32_t* word32,
                       uint16_t* const* bits);
int DigitalReadCounters(const DigitalModel& model, uint16_t slot, int32_t* const* counters);
int DigitalWriteOutputs(const DigitalModel& model, uint16_t slot, const uint16_t* values);
int DigitalClearCounters(const DigitalModel& model, uint16_t slot, const uint16_t* values);
int DigitalErrorClear(const DigitalModel& model, uint16_t slot, uint16_t value);

}  // namespace vexlor
