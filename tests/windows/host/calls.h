// Convenience wrappers that call the driver's wide-argument functions with arrays.
#pragma once

#include <cstdint>

#include "harness.h"

namespace wintest {

struct Digital12 {
    uint16_t word = 0;
    uint16_t bits[12] = {};
};
struct Digital24 {
    uint32_t word = 0;
    uint16_t bits[24] = {};
};

inline int ReadDI12(Driver& d, uint16_t slot, Digital12& v) {
    uint16_t* b = v.bits;
    return d.D12ReadDI(0, slot, &v.word, b, b + 1, b + 2, b + 3, b + 4, b + 5, b + 6, b + 7, b + 8,
                       b + 9, b + 10, b + 11);
}
inline int ReadDO12(Driver& d, uint16_t slot, Digital12& v) {
    uint16_t* b = v.bits;
    return d.D12ReadDO(0, slot, &v.word, b, b + 1, b + 2, b + 3, b + 4, b + 5, b + 6, b + 7, b + 8,
                       b + 9, b + 10, b + 11);
}
inline int WriteDO12(Driver& d, uint16_t slot, const uint16_t (&o)[12]) {
    return d.D12WriteDO(0, slot, o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7], o[8], o[9], o[10],
                        o[11]);
}
inline int ReadCI12(Driver& d, uint16_t slot, int32_t (&c)[12]) {
    return d.D12ReadCI(0, slot, c, c + 1, c + 2, c + 3, c + 4, c + 5, c + 6, c + 7, c + 8, c + 9,
                       c + 10, c + 11);
}
inline int ResetCI12(Driver& d, uint16_t slot, const uint16_t (&r)[12]) {
    return d.D12ResetCI(0, slot, r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10],
                        r[11]);
}

using ReadDO24Fn = decltype(&VexlorWeb_IO_24xDigital_ReadDO);
inline int Read24(decltype(&VexlorWeb_IO_24xDigital_ReadDI) fn, uint16_t slot, Digital24& v) {
    uint16_t* b = v.bits;
    return fn(0, slot, &v.word, b, b + 1, b + 2, b + 3, b + 4, b + 5, b + 6, b + 7, b + 8, b + 9,
              b + 10, b + 11, b + 12, b + 13, b + 14, b + 15, b + 16, b + 17, b + 18, b + 19,
              b + 20, b + 21, b + 22, b + 23);
}
inline int WriteDO24(Driver& d, uint16_t slot, const uint16_t (&o)[24]) {
    return d.D24WriteDO(0, slot, o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7], o[8], o[9], o[10],
                        o[11], o[12], o[13], o[14], o[15], o[16], o[17], o[18], o[19], o[20], o[21],
                        o[22], o[23]);
}
inline int ReadCI24(Driver& d, uint16_t slot, int32_t (&c)[24]) {
    return d.D24ReadCI(0, slot, c, c + 1, c + 2, c + 3, c + 4, c + 5, c + 6, c + 7, c + 8, c + 9,
                       c + 10, c + 11, c + 12, c + 13, c + 14, c + 15, c + 16, c + 17, c + 18,
                       c + 19, c + 20, c + 21, c + 22, c + 23);
}
inline int ResetCI24(Driver& d, uint16_t slot, const uint16_t (&r)[24]) {
    return d.D24ResetCI(0, slot, r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10],
                        r[11], r[12], r[13], r[14], r[15], r[16], r[17], r[18], r[19], r[20], r[21],
                        r[22], r[23]);
}
inline int Thermo8(Driver& d, uint16_t language, uint16_t slot, double (&t)[8]) {
    return d.T8Read(language, slot, t, t + 1, t + 2, t + 3, t + 4, t + 5, t + 6, t + 7);
}
inline int IocReadDI(Driver& d, uint16_t slot, uint16_t& value, uint16_t (&in)[8]) {
    return d.IocReadDI(0, slot, &value, in, in + 1, in + 2, in + 3, in + 4, in + 5, in + 6, in + 7);
}
inline int IocWriteDO(Driver& d, uint16_t slot, const uint16_t (&o)[8]) {
    return d.IocWriteDO(0, slot, o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7]);
}

}  // namespace wintest
