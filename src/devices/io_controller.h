// HW group I/O Controller: request frames, the input-state decoder (pure, callable without a
// platform), the exported read and write and the registration with the receive thread.
#pragma once

#include <cstdint>

#include "core/device_table.h"

namespace vexlor {

// Every frame is IAC SB option-44 <sub-command> <byte> IAC SE, exactly 7 bytes.
constexpr int kIoFrameSize = 7;
constexpr unsigned char kIoIac = 0xFF;
constexpr unsigned char kIoSb = 0xFA;
constexpr unsigned char kIoSe = 0xF0;
constexpr unsigned char kIoComPortOption = 0x2C;
constexpr unsigned char kIoReadInputs = 0x32;
constexpr unsigned char kIoSetOutputs = 0x33;
constexpr unsigned char kIoInputState = 0x96;

constexpr int kIoReceiveSize = 1024;
constexpr int kIoOutputCount = 8;

// Builds the read-inputs request into frame; returns its length (7).
int BuildIoReadInputsFrame(unsigned char* frame);
// Builds the set-outputs request carrying mask into frame; returns its length (7).
int BuildIoSetOutputsFrame(unsigned char* frame, unsigned char mask);

// The output mask of eight output values: bit i is set by value i (low 8 bits of each value,
// shifted left by i), cut to 8 bits.
unsigned char IoOutputMask(const uint16_t* values);

// How many bytes of a frame the send trace line shows: up to its first zero byte, at most 7.
int IoFrameShownLength(const unsigned char* frame);

// Whether a frame from the device with this sub-command carries the input state: 96 answers a
// read-inputs request, and the device reports an input change on its own with a set-outputs
// frame (33). Its acknowledgement of our set-outputs frame (97) carries the output mask.
bool IsIoStateSubCommand(unsigned char subCommand);

// Scans all n received bytes for input-state frames FF FA 2C 96 s or FF FA 2C 33 s and stores the
// last state found into controllerInputs and inputBits[0..11]. The frames are binary, so a zero
// byte is data like any other. Returns true when a state was found.
bool DecodeIoControllerBlock(DeviceSlot& slot, const unsigned char* block, int n);

// An input-state frame is found from its first five bytes (FF FA 2C 96 s or FF FA 2C 33 s).
constexpr int kIoFrameHead = 5;

// How many of the last bytes of block[0, n) are the beginning of an input-state frame whose
// state byte is not among them yet (0 to 4): the bytes to keep for the next receive.
int IoFrameHeadAtEnd(const unsigned char* block, int n);

// Registers the decoder for kind 6 with the receive thread.
void RegisterIoControllerParser();

}  // namespace vexlor
