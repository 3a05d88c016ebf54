#include "support/bench_driver.h"

#include <unistd.h>

#include <climits>

namespace vexlor::bench {

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    std::string p(path);
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? "" : p.substr(0, slash);
}

DriverHost::DriverHost(const std::string& driverPath, const std::string& wsockPath)
    : host_({driverPath, wsockPath, ""}, "vexlor-bench") {
    if (!host_.installed() || !host_.WriteSlots({})) return;
    reload();
}

bool DriverHost::reload() {
    if (host_.loaded()) return ok_;
    if (!host_.Load()) return ok_ = false;
    ok_ = host_.Bind(init, "VexlorWeb_IO_Init") && host_.Bind(deinit, "VexlorWeb_IO_DeInit") &&
          host_.Bind(readDI12, "VexlorWeb_IO_12xDigital_ReadDI") &&
          host_.Bind(readDO12, "VexlorWeb_IO_12xDigital_ReadDO") &&
          host_.Bind(writeDO12, "VexlorWeb_IO_12xDigital_WriteDO") &&
          host_.Bind(readCI12, "VexlorWeb_IO_12xDigital_ReadCI");
    if (!ok_) host_.Unload();
    return ok_;
}

bool DriverHost::writeSettings(const std::vector<SlotSettings>& slots,
                               const std::string& replyTimeout, const std::string& reconnect) {
    std::string text;
    if (!vexlor::testing::SettingsText(slots, &text)) return false;
    // Each slot's keys go right after its section header.
    for (const SlotSettings& s : slots) {
        const std::string header = "[DEV" + std::to_string(s.slot) + "]\n";
        const size_t at = text.find(header);
        if (at == std::string::npos) return false;
        text.insert(at + header.size(),
                    "Reply Timeout=" + replyTimeout + "\nReconnect=" + reconnect + "\n");
    }
    return host_.WriteSettings(text);
}

int DriverHost::unload() {
    ok_ = false;
    return host_.Unload();
}

int DriverHost::ReadDI(uint16_t slot, uint16_t* w, uint16_t (&b)[12]) const {
    return readDI12(1, slot, w, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &b[8],
                    &b[9], &b[10], &b[11]);
}

int DriverHost::ReadDO(uint16_t slot, uint16_t* w, uint16_t (&b)[12]) const {
    return readDO12(1, slot, w, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &b[8],
                    &b[9], &b[10], &b[11]);
}

int DriverHost::ReadCI(uint16_t slot, int32_t (&c)[12]) const {
    return readCI12(1, slot, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7], &c[8], &c[9],
                    &c[10], &c[11]);
}

int DriverHost::WriteDO(uint16_t slot, const uint16_t (&v)[12]) const {
    return writeDO12(1, slot, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10],
                     v[11]);
}

}  // namespace vexlor::bench
