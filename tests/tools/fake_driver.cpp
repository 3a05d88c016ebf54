// A stand-in for the driver with the same exports (except the configuration dialog), loaded by
// vexlorctl's tests in place of the real library. Every call is logged with its arguments, and
// the read functions return values derived from a call counter, so that the tests can check
// what vexlorctl passed and how it printed what came back.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vexlor.h"

namespace {

std::string g_log;
int g_result = 0;
unsigned g_calls = 0;
std::vector<int> g_readResults;  // scripted results of the digital reads, in call order
size_t g_nextReadResult = 0;

// Whether the next digital read takes its result from the script.
bool ReadScripted() {
    return g_nextReadResult < g_readResults.size();
}

// The result of the next digital read: the next scripted one, else the fixed result.
int NextReadResult() {
    return ReadScripted() ? g_readResults[g_nextReadResult++] : g_result;
}

void Log(const char* name, uint16_t language, uint16_t slot, const uint16_t* values, int count) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %u %u", name, language, slot);
    g_log += text;
    for (int i = 0; i < count; ++i) g_log += " " + std::to_string(values[i]);
    g_log += '\n';
}

// The word of a read: 0x5 on the first call, then one more bit set on every call.
uint32_t Word() {
    return 0x5u | ((1u << (g_calls % 24)) - 1u) << 4;
}

void Bits(uint32_t word, uint16_t* const* bits, int count) {
    for (int i = 0; i < count; ++i) *bits[i] = static_cast<uint16_t>((word >> i) & 1u);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) const char* FakeDriverLog() {
    return g_log.c_str();
}
__attribute__((visibility("default"))) void FakeDriverReset(int result) {
    g_log.clear();
    g_result = result;
    g_calls = 0;
    g_readResults.clear();
    g_nextReadResult = 0;
}
// The digital reads return these results one after the other, filling their values as the
// driver does for a stale slot; after the last one they return the fixed result again.
__attribute__((visibility("default"))) void FakeDriverScriptReads(const int* results, int count) {
    g_readResults.assign(results, results + count);
    g_nextReadResult = 0;
}

int VexlorWeb_IO_Init(uint16_t language, uint16_t slot) {
    Log("Init", language, slot, nullptr, 0);
    return slot > 99 ? 2 : g_result;
}

int VexlorWeb_IO_DeInit(uint16_t language, uint16_t slot) {
    Log("DeInit", language, slot, nullptr, 0);
    return slot > 99 ? 2 : 0;
}

#define FAKE_READ12(NAME)                                                                        \
    int NAME(uint16_t language, uint16_t slot, uint16_t* word, uint16_t* b0, uint16_t* b1,       \
             uint16_t* b2, uint16_t* b3, uint16_t* b4, uint16_t* b5, uint16_t* b6, uint16_t* b7, \
             uint16_t* b8, uint16_t* b9, uint16_t* b10, uint16_t* b11) {                         \
        Log(#NAME, language, slot, nullptr, 0);                                                  \
        const bool scripted = ReadScripted();                                                    \
        const int result = NextReadResult();                                                     \
        if (result != 0 && !scripted) return result;                                             \
        const uint32_t value = Word() & 0xFFFu;                                                  \
        ++g_calls;                                                                               \
        *word = static_cast<uint16_t>(value);                                                    \
        uint16_t* const bits[] = {b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11};             \
        Bits(value, bits, 12);                                                                   \
        return result;                                                                           \
    }
FAKE_READ12(VexlorWeb_IO_12xDigital_ReadDI)
FAKE_READ12(VexlorWeb_IO_12xDigital_ReadDO)

#define FAKE_READ24(NAME)                                                                        \
    int NAME(uint16_t language, uint16_t slot, uint32_t* word, uint16_t* b0, uint16_t* b1,       \
             uint16_t* b2, uint16_t* b3, uint16_t* b4, uint16_t* b5, uint16_t* b6, uint16_t* b7, \
             uint16_t* b8, uint16_t* b9, uint16_t* b10, uint16_t* b11, uint16_t* b12,            \
             uint16_t* b13, uint16_t* b14, uint16_t* b15, uint16_t* b16, uint16_t* b17,          \
             uint16_t* b18, uint16_t* b19, uint16_t* b20, uint16_t* b21, uint16_t* b22,          \
             uint16_t* b23) {                                                                    \
        Log(#NAME, language, slot, nullptr, 0);                                                  \
        const bool scripted = ReadScripted();                                                    \
        const int result = NextReadResult();                                                     \
        if (result != 0 && !scripted) return result;                                             \
        const uint32_t value = 0x800000u | Word();                                               \
        ++g_calls;                                                                               \
        *word = value;                                                                           \
        uint16_t* const bits[] = {b0,  b1,  b2,  b3,  b4,  b5,  b6,  b7,  b8,  b9,  b10, b11,    \
                                  b12, b13, b14, b15, b16, b17, b18, b19, b20, b21, b22, b23};   \
        Bits(value, bits, 24);                                                                   \
        return result;                                                                           \
    }
FAKE_READ24(VexlorWeb_IO_24xDigital_ReadDI)
FAKE_READ24(VexlorWeb_IO_24xDigital_ReadDO)

int VexlorWeb_IO_12xDigital_WriteDO(uint16_t language, uint16_t slot, uint16_t o0, uint16_t o1,
                                    uint16_t o2, uint16_t o3, uint16_t o4, uint16_t o5, uint16_t o6,
                                    uint16_t o7, uint16_t o8, uint16_t o9, uint16_t o10,
                                    uint16_t o11) {
    const uint16_t values[] = {o0, o1, o2, o3, o4, o5, o6, o7, o8, o9, o10, o11};
    Log("WriteDO12", language, slot, values, 12);
    return g_result;
}

int VexlorWeb_IO_12xDigital_ResetCI(uint16_t language, uint16_t slot, uint16_t c0, uint16_t c1,
                                    uint16_t c2, uint16_t c3, uint16_t c4, uint16_t c5, uint16_t c6,
                                    uint16_t c7, uint16_t c8, uint16_t c9, uint16_t c10,
                                    uint16_t c11) {
    const uint16_t values[] = {c0, c1, c2, c3, c4, c5, c6, c7, c8, c9, c10, c11};
    Log("ResetCI12", language, slot, values, 12);
    return g_result;
}

int VexlorWeb_IO_12xDigital_ReadCI(uint16_t language, uint16_t slot, int32_t* c0, int32_t* c1,
                                   int32_t* c2, int32_t* c3, int32_t* c4, int32_t* c5, int32_t* c6,
                                   int32_t* c7, int32_t* c8, int32_t* c9, int32_t* c10,
                                   int32_t* c11) {
    Log("ReadCI12", language, slot, nullptr, 0);
    int32_t* const counters[] = {c0, c1, c2, c3, c4, c5, c6, c7, c8, c9, c10, c11};
    for (int i = 0; i < 12; ++i) *counters[i] = 100 + i;
    return g_result;
}

int VexlorWeb_IO_12xDigital_ErrorClear(uint16_t language, uint16_t slot, uint16_t value) {
    Log("ErrorClear12", language, slot, &value, 1);
    return g_result;
}

int VexlorWeb_IO_24xDigital_WriteDO(uint16_t language, uint16_t slot, uint16_t o0, uint16_t o1,
                                    uint16_t o2, uint16_t o3, uint16_t o4, uint16_t o5, uint16_t o6,
                                    uint16_t o7, uint16_t o8, uint16_t o9, uint16_t o10,
                                    uint16_t o11, uint16_t o12, uint16_t o13, uint16_t o14,
                                    uint16_t o15, uint16_t o16, uint16_t o17, uint16_t o18,
                                    uint16_t o19, uint16_t o20, uint16_t o21, uint16_t o22,
                                    uint16_t o23) {
    const uint16_t values[] = {o0,  o1,  o2,  o3,  o4,  o5,  o6,  o7,  o8,  o9,  o10, o11,
                               o12, o13, o14, o15, o16, o17, o18, o19, o20, o21, o22, o23};
    Log("WriteDO24", language, slot, values, 24);
    return g_result;
}

int VexlorWeb_IO_24xDigital_ResetCI(uint16_t language, uint16_t slot, uint16_t c0, uint16_t c1,
                                    uint16_t c2, uint16_t c3, uint16_t c4, uint16_t c5, uint16_t c6,
                                    uint16_t c7, uint16_t c8, uint16_t c9, uint16_t c10,
                                    uint16_t c11, uint16_t c12, uint16_t c13, uint16_t c14,
                                    uint16_t c15, uint16_t c16, uint16_t c17, uint16_t c18,
                                    uint16_t c19, uint16_t c20, uint16_t c21, uint16_t c22,
                                    uint16_t c23) {
    const uint16_t values[] = {c0,  c1,  c2,  c3,  c4,  c5,  c6,  c7,  c8,  c9,  c10, c11,
                               c12, c13, c14, c15, c16, c17, c18, c19, c20, c21, c22, c23};
    Log("ResetCI24", language, slot, values, 24);
    return g_result;
}

int VexlorWeb_IO_24xDigital_ReadCI(uint16_t language, uint16_t slot, int32_t* c0, int32_t* c1,
                                   int32_t* c2, int32_t* c3, int32_t* c4, int32_t* c5, int32_t* c6,
                                   int32_t* c7, int32_t* c8, int32_t* c9, int32_t* c10,
                                   int32_t* c11, int32_t* c12, int32_t* c13, int32_t* c14,
                                   int32_t* c15, int32_t* c16, int32_t* c17, int32_t* c18,
                                   int32_t* c19, int32_t* c20, int32_t* c21, int32_t* c22,
                                   int32_t* c23) {
    Log("ReadCI24", language, slot, nullptr, 0);
    int32_t* const counters[] = {c0,  c1,  c2,  c3,  c4,  c5,  c6,  c7,  c8,  c9,  c10, c11,
                                 c12, c13, c14, c15, c16, c17, c18, c19, c20, c21, c22, c23};
    for (int i = 0; i < 24; ++i) *counters[i] = 200 + i;
    return g_result;
}

int VexlorWeb_IO_24xDigital_ErrorClear(uint16_t language, uint16_t slot, uint16_t value) {
    Log("ErrorClear24", language, slot, &value, 1);
    return g_result;
}

int VexlorWeb_IO_1xThermometer_Read(uint16_t language, uint16_t slot, double* t1) {
    Log("Thermo1", language, slot, nullptr, 0);
    *t1 = 21.5;
    return g_result;
}

int VexlorWeb_IO_2xThermometer_Read(uint16_t language, uint16_t slot, double* t1, double* t2) {
    Log("Thermo2", language, slot, nullptr, 0);
    *t1 = 18.5;
    *t2 = -999.0;
    return g_result;
}

int VexlorWeb_IO_8xThermometer_Read(uint16_t language, uint16_t slot, double* t1, double* t2,
                                    double* t3, double* t4, double* t5, double* t6, double* t7,
                                    double* t8) {
    Log("Thermo8", language, slot, nullptr, 0);
    double* const t[] = {t1, t2, t3, t4, t5, t6, t7, t8};
    for (int i = 0; i < 8; ++i) *t[i] = 20.0 + i * 0.25;
    return g_result;
}

int HWgroup_IOController_ReadDI(uint16_t language, uint16_t slot, uint16_t* value, uint16_t* in1,
                                uint16_t* in2, uint16_t* in3, uint16_t* in4, uint16_t* in5,
                                uint16_t* in6, uint16_t* in7, uint16_t* in8) {
    Log("IocReadDI", language, slot, nullptr, 0);
    *value = 0x81;
    uint16_t* const bits[] = {in1, in2, in3, in4, in5, in6, in7, in8};
    Bits(0x81, bits, 8);
    return g_result;
}

int HWgroup_IOController_WriteDO(uint16_t language, uint16_t slot, uint16_t o1, uint16_t o2,
                                 uint16_t o3, uint16_t o4, uint16_t o5, uint16_t o6, uint16_t o7,
                                 uint16_t o8) {
    const uint16_t values[] = {o1, o2, o3, o4, o5, o6, o7, o8};
    Log("IocWriteDO", language, slot, values, 8);
    return g_result;
}

// VexlorDlgWeb_IO_ConfigHardware is left out on purpose: only "config" may fail for it.

}  // extern "C"
