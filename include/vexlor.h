/*
 * vexlor.h - exported interface of the Vexlor device driver.
 *
 * The driver is loaded as a dynamic library (Vexlor.dll on Windows, libvexlor.so on Linux).
 * Every device function takes the user-interface language first (0 German, any other value
 * English) and the slot number 0..99 second, then its own arguments, and returns a result code:
 * one of the VEXLOR_RESULT_* values below or a Windows Sockets error number (for example 10061
 * when the device refused the connection).
 *
 * Calling convention: cdecl on Windows (the caller removes the arguments). All names are exported
 * undecorated; VexlorWeb_IO_24xDigital_ReadDO is additionally exported by the Windows DLL under
 * its decorated name VEXLOR_24XDIGITAL_READDO_DECORATED_NAME.
 */
#ifndef VEXLOR_H
#define VEXLOR_H

#include <stdint.h>

#if defined(_WIN32)
#define VEXLOR_CALL __cdecl
#else
#define VEXLOR_CALL
#endif

#if defined(VEXLOR_BUILDING_DRIVER)
#if defined(_WIN32)
#define VEXLOR_API
#else
#define VEXLOR_API __attribute__((visibility("default")))
#endif
#else
#define VEXLOR_API
#endif

/* Result codes. Any other value is the Windows Sockets error number of the failed socket call. */
#define VEXLOR_RESULT_OK 0
#define VEXLOR_RESULT_BAD_SLOT 2 /* slot number 100 or above */
#define VEXLOR_RESULT_NO_SOCKET_LAYER                                                        \
    3                               /* WSOCK32.DLL missing, incomplete, or WSAStartup failed \
                                     */
#define VEXLOR_RESULT_SLOT_IN_USE 6 /* VexlorWeb_IO_Init on a slot that is already open */

/* Number of device slots; valid slot numbers are 0 .. VEXLOR_SLOT_COUNT - 1. */
#define VEXLOR_SLOT_COUNT 100

/* Name under which the Windows DLL also exports VexlorWeb_IO_24xDigital_ReadDO. */
#define VEXLOR_24XDIGITAL_READDO_DECORATED_NAME \
    "?VexlorWeb_IO_24xDigital_ReadDO@@YAHGGPAKPAG11111111111111111111111@Z"

#ifdef __cplusplus
extern "C" {
#endif

/* Connection lifecycle. */
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_Init(uint16_t language, uint16_t slot);
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_DeInit(uint16_t language, uint16_t slot);

/* Web-IO 12xDigital: 12 inputs, 12 outputs, 12 pulse counters, an error latch. */
/* Returns the inputs word and the 12 input bits last reported by the device. */
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_12xDigital_ReadDI(
    uint16_t language, uint16_t slot, uint16_t* word, uint16_t* bit0, uint16_t* bit1,
    uint16_t* bit2, uint16_t* bit3, uint16_t* bit4, uint16_t* bit5, uint16_t* bit6, uint16_t* bit7,
    uint16_t* bit8, uint16_t* bit9, uint16_t* bit10, uint16_t* bit11);
/* Returns the outputs word and the 12 output bits last reported by the device. */
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_12xDigital_ReadDO(
    uint16_t language, uint16_t slot, uint16_t* word, uint16_t* bit0, uint16_t* bit1,
    uint16_t* bit2, uint16_t* bit3, uint16_t* bit4, uint16_t* bit5, uint16_t* bit6, uint16_t* bit7,
    uint16_t* bit8, uint16_t* bit9, uint16_t* bit10, uint16_t* bit11);
/* Switches output i off (0) or on (1) when its value changed since the previous call. */
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_12xDigital_WriteDO(
    uint16_t language, uint16_t slot, uint16_t out0, uint16_t out1, uint16_t out2, uint16_t out3,
    uint16_t out4, uint16_t out5, uint16_t out6, uint16_t out7, uint16_t out8, uint16_t out9,
    uint16_t out10, uint16_t out11);
/* Returns the 12 counter values last reported by the device. */
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_12xDigital_ReadCI(
    uint16_t language, uint16_t slot, int32_t* counter0, int32_t* counter1, int32_t* counter2,
    int32_t* counter3, int32_t* counter4, int32_t* counter5, int32_t* counter6, int32_t* counter7,
    int32_t* counter8, int32_t* counter9, int32_t* counter10, int32_t* counter11);
/* Clears counter i each time its argument becomes a new non-zero value. */
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_12xDigital_ResetCI(
    uint16_t language, uint16_t slot, uint16_t clear0, uint16_t clear1, uint16_t clear2,
    uint16_t clear3, uint16_t clear4, uint16_t clear5, uint16_t clear6, uint16_t clear7,
    uint16_t clear8, uint16_t clear9, uint16_t clear10, uint16_t clear11);
/* Clears the device's error latch each time the argument becomes a new non-zero value. */
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_12xDigital_ErrorClear(uint16_t language, uint16_t slot,
                                                              uint16_t value);

/* Web-IO 24xDigital: 24 inputs, 24 outputs, 24 pulse counters, an error latch. */
/* Returns the inputs word and the 24 input bits last reported by the device. */
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_24xDigital_ReadDI(
    uint16_t language, uint16_t slot, uint32_t* word, uint16_t* bit0, uint16_t* bit1,
    uint16_t* bit2, uint16_t* bit3, uint16_t* bit4, uint16_t* bit5, uint16_t* bit6, uint16_t* bit7,
    uint16_t* bit8, uint16_t* bit9, uint16_t* bit10, uint16_t* bit11, uint16_t* bit12,
    uint16_t* bit13, uint16_t* bit14, uint16_t* bit15, uint16_t* bit16, uint16_t* bit17,
    uint16_t* bit18, uint16_t* bit19, uint16_t* bit20, uint16_t* bit21, uint16_t* bit22,
    uint16_t* bit23);
/* Returns the outputs word and the 24 output bits last reported by the device. */
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_24xDigital_ReadDO(
    uint16_t language, uint16_t slot, uint32_t* word, uint16_t* bit0, uint16_t* bit1,
    uint16_t* bit2, uint16_t* bit3, uint16_t* bit4, uint16_t* bit5, uint16_t* bit6, uint16_t* bit7,
    uint16_t* bit8, uint16_t* bit9, uint16_t* bit10, uint16_t* bit11, uint16_t* bit12,
    uint16_t* bit13, uint16_t* bit14, uint16_t* bit15, uint16_t* bit16, uint16_t* bit17,
    uint16_t* bit18, uint16_t* bit19, uint16_t* bit20, uint16_t* bit21, uint16_t* bit22,
    uint16_t* bit23);
/* Switches output i off (0) or on (1) when its value changed since the previous call. */
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_24xDigital_WriteDO(
    uint16_t language, uint16_t slot, uint16_t out0, uint16_t out1, uint16_t out2, uint16_t out3,
    uint16_t out4, uint16_t out5, uint16_t out6, uint16_t out7, uint16_t out8, uint16_t out9,
    uint16_t out10, uint16_t out11, uint16_t out12, uint16_t out13, uint16_t out14, uint16_t out15,
    uint16_t out16, uint16_t out17, uint16_t out18, uint16_t out19, uint16_t out20, uint16_t out21,
    uint16_t out22, uint16_t out23);
/* Returns the 24 counter values last reported by the device. */
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_24xDigital_ReadCI(
    uint16_t language, uint16_t slot, int32_t* counter0, int32_t* counter1, int32_t* counter2,
    int32_t* counter3, int32_t* counter4, int32_t* counter5, int32_t* counter6, int32_t* counter7,
    int32_t* counter8, int32_t* counter9, int32_t* counter10, int32_t* counter11,
    int32_t* counter12, int32_t* counter13, int32_t* counter14, int32_t* counter15,
    int32_t* counter16, int32_t* counter17, int32_t* counter18, int32_t* counter19,
    int32_t* counter20, int32_t* counter21, int32_t* counter22, int32_t* counter23);
/* Clears counter i each time its argument becomes a new non-zero value. */
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_24xDigital_ResetCI(
    uint16_t language, uint16_t slot, uint16_t clear0, uint16_t clear1, uint16_t clear2,
    uint16_t clear3, uint16_t clear4, uint16_t clear5, uint16_t clear6, uint16_t clear7,
    uint16_t clear8, uint16_t clear9, uint16_t clear10, uint16_t clear11, uint16_t clear12,
    uint16_t clear13, uint16_t clear14, uint16_t clear15, uint16_t clear16, uint16_t clear17,
    uint16_t clear18, uint16_t clear19, uint16_t clear20, uint16_t clear21, uint16_t clear22,
    uint16_t clear23);
/* Clears the device's error latch each time the argument becomes a new non-zero value. */
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_24xDigital_ErrorClear(uint16_t language, uint16_t slot,
                                                              uint16_t value);

/* Web-IO thermometers: a read polls the device at most every 50 s and returns the readings
   (-999.0 for a missing sensor). The read opens and closes the slot's connection itself. */
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_1xThermometer_Read(uint16_t language, uint16_t slot,
                                                           double* t1);
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_2xThermometer_Read(uint16_t language, uint16_t slot,
                                                           double* t1, double* t2);
VEXLOR_API int VEXLOR_CALL VexlorWeb_IO_8xThermometer_Read(uint16_t language, uint16_t slot,
                                                           double* t1, double* t2, double* t3,
                                                           double* t4, double* t5, double* t6,
                                                           double* t7, double* t8);

/* I/O Controller: 8 inputs, 8 outputs. value receives the input state byte. */
VEXLOR_API int VEXLOR_CALL HWgroup_IOController_ReadDI(uint16_t language, uint16_t slot,
                                                       uint16_t* value, uint16_t* in1,
                                                       uint16_t* in2, uint16_t* in3, uint16_t* in4,
                                                       uint16_t* in5, uint16_t* in6, uint16_t* in7,
                                                       uint16_t* in8);
VEXLOR_API int VEXLOR_CALL HWgroup_IOController_WriteDO(uint16_t language, uint16_t slot,
                                                        uint16_t out1, uint16_t out2, uint16_t out3,
                                                        uint16_t out4, uint16_t out5, uint16_t out6,
                                                        uint16_t out7, uint16_t out8);

/* Runs the hardware configuration dialog (German for language 0, English otherwise). Returns 0. */
VEXLOR_API int VEXLOR_CALL VexlorDlgWeb_IO_ConfigHardware(uint16_t language);

#ifdef __cplusplus
}
#endif

#endif /* VEXLOR_H */
