/*
 * vexlor_example.c - a small host program for the Vexlor driver.
 *
 * Uses the Web-IO 12xDigital configured for slot SLOT in Vexlor.ini, the settings file beside
 * the driver library (write it with vexlor-config or the configuration dialog): opens the slot,
 * reads the inputs, switches output 0 on, reads the pulse counters and closes the slot, printing
 * every result code by name.
 *
 *   vexlor-example [SLOT]        (slot 0 when none is given)
 *
 * A read returns at once with the values the device reported last; only a read that is due sends
 * a request, whose reply arrives a little later. So the program reads each kind of value once to
 * ask for it, waits a moment and reads again.
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L
#endif

#include <stdio.h>
#include <stdlib.h>

#include <vexlor.h>

#if defined(_WIN32)
#include <windows.h>
static void wait_ms(unsigned ms) {
    Sleep(ms);
}
#else
#include <time.h>
static void wait_ms(unsigned ms) {
    struct timespec delay = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&delay, NULL);
}
#endif

#define LANGUAGE 1 /* messages of the driver in English; 0 for German */
#define REPLY_WAIT_MS 300

/* The driver's own result codes, and the Windows Sockets error numbers seen most often. */
static const char* result_name(int result) {
    switch (result) {
        case VEXLOR_RESULT_OK:
            return "VEXLOR_RESULT_OK";
        case VEXLOR_RESULT_BAD_SLOT:
            return "VEXLOR_RESULT_BAD_SLOT";
        case VEXLOR_RESULT_NO_SOCKET_LAYER:
            return "VEXLOR_RESULT_NO_SOCKET_LAYER";
        case VEXLOR_RESULT_SLOT_IN_USE:
            return "VEXLOR_RESULT_SLOT_IN_USE";
        case 10038:
            return "WSAENOTSOCK";
        case 10053:
            return "WSAECONNABORTED";
        case 10054:
            return "WSAECONNRESET";
        case 10057:
            return "WSAENOTCONN";
        case 10060:
            return "WSAETIMEDOUT";
        case 10061:
            return "WSAECONNREFUSED";
        case 10065:
            return "WSAEHOSTUNREACH";
        case 10107:
            return "WSASYSCALLFAILURE";
        default:
            return "socket error";
    }
}

static int failures = 0;

/* Prints one call's result; returns it. */
static int report(const char* call, int result) {
    printf("%-32s %5d %s\n", call, result, result_name(result));
    if (result != VEXLOR_RESULT_OK) ++failures;
    return result;
}

int main(int argc, char** argv) {
    const uint16_t slot = (uint16_t)(argc > 1 ? atoi(argv[1]) : 0);
    uint16_t word = 0, bit[12];
    int32_t counter[12];
    int i;

    printf("Web-IO 12xDigital in slot %u\n", (unsigned)slot);
    if (report("VexlorWeb_IO_Init", VexlorWeb_IO_Init(LANGUAGE, slot)) != VEXLOR_RESULT_OK) {
        return 1;
    }

    /* Inputs: the first read asks the device, the second shows its answer. */
    VexlorWeb_IO_12xDigital_ReadDI(LANGUAGE, slot, &word, &bit[0], &bit[1], &bit[2], &bit[3],
                                   &bit[4], &bit[5], &bit[6], &bit[7], &bit[8], &bit[9], &bit[10],
                                   &bit[11]);
    wait_ms(REPLY_WAIT_MS);
    report("VexlorWeb_IO_12xDigital_ReadDI",
           VexlorWeb_IO_12xDigital_ReadDI(LANGUAGE, slot, &word, &bit[0], &bit[1], &bit[2], &bit[3],
                                          &bit[4], &bit[5], &bit[6], &bit[7], &bit[8], &bit[9],
                                          &bit[10], &bit[11]));
    printf("  inputs 0x%03X:", (unsigned)word);
    for (i = 0; i < 12; ++i) printf(" %u", (unsigned)bit[i]);
    printf("\n");

    /* Output 0 on, the others off; the driver sends only what changed. */
    report("VexlorWeb_IO_12xDigital_WriteDO",
           VexlorWeb_IO_12xDigital_WriteDO(LANGUAGE, slot, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));
    wait_ms(REPLY_WAIT_MS);
    VexlorWeb_IO_12xDigital_ReadDO(LANGUAGE, slot, &word, &bit[0], &bit[1], &bit[2], &bit[3],
                                   &bit[4], &bit[5], &bit[6], &bit[7], &bit[8], &bit[9], &bit[10],
                                   &bit[11]);
    wait_ms(REPLY_WAIT_MS);
    report("VexlorWeb_IO_12xDigital_ReadDO",
           VexlorWeb_IO_12xDigital_ReadDO(LANGUAGE, slot, &word, &bit[0], &bit[1], &bit[2], &bit[3],
                                          &bit[4], &bit[5], &bit[6], &bit[7], &bit[8], &bit[9],
                                          &bit[10], &bit[11]));
    printf("  outputs 0x%03X\n", (unsigned)word);

    /* Pulse counters, one request each. */
    VexlorWeb_IO_12xDigital_ReadCI(LANGUAGE, slot, &counter[0], &counter[1], &counter[2],
                                   &counter[3], &counter[4], &counter[5], &counter[6], &counter[7],
                                   &counter[8], &counter[9], &counter[10], &counter[11]);
    wait_ms(REPLY_WAIT_MS);
    report("VexlorWeb_IO_12xDigital_ReadCI",
           VexlorWeb_IO_12xDigital_ReadCI(LANGUAGE, slot, &counter[0], &counter[1], &counter[2],
                                          &counter[3], &counter[4], &counter[5], &counter[6],
                                          &counter[7], &counter[8], &counter[9], &counter[10],
                                          &counter[11]));
    printf("  counters");
    for (i = 0; i < 12; ++i) printf(" %ld", (long)counter[i]);
    printf("\n");

    report("VexlorWeb_IO_DeInit", VexlorWeb_IO_DeInit(LANGUAGE, slot));
    return failures == 0 ? 0 : 1;
}
