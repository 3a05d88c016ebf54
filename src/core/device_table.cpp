// The DeviceTable, ModuleState, the preamble, the time base and the RequestThrottle.
#include "core/device_table.h"

#include <cstdlib>

#include "config/settings.h"

namespace vexlor {

DeviceSlot g_devices[kSlotCount];
ModuleState g_module;

int Preamble(uint16_t slot) {
    if (slot >= kSlotCount) return kResultBadSlot;
    if (g_module.socketLibrary == nullptr) return kResultNoSocketLayer;
    if (g_module.socketLayerFailed == 1) return kResultNoSocketLayer;
    return kResultOk;
}

double TimeBase() {
    return static_cast<double>(platform::TimeMs());
}

long TimingValue(const char* text) {
    return SettingsNumber(text);
}

bool RequestDue(DeviceSlot& slot, Shared<double>& stamp, double intervalMs) {
    const double now = TimeBase();
    Set(slot.now, now);
    const double elapsed = now - Get(stamp);
    // After the 32-bit millisecond counter wraps, `now` is smaller than the stored stamp; treat
    // that as due so that polling resumes at once instead of stalling for up to 49.7 days.
    if (elapsed >= intervalMs || elapsed < 0) {
        Set(stamp, now);
        return true;
    }
    return false;
}

double SlotTimingMs(uint16_t slot) {
    return Get(g_devices[slot].timingMs);
}

void PublishSlotSettings(uint16_t slot) {
    if (slot >= kSlotCount) return;
    DeviceSlot& device = g_devices[slot];
    Set(device.timingMs, static_cast<double>(TimingValue(g_settings.timing[slot])));
    static_assert(kPublishedPasswordSize == kPasswordFieldSize, "the Password field's size");
    for (int i = 0; i < kPublishedPasswordSize; ++i)
        Set(device.password[i], g_settings.password[slot][i]);
}

void PublishAllSlotSettings() {
    for (uint16_t slot = 0; slot < kSlotCount; ++slot) PublishSlotSettings(slot);
}

void SlotPassword(uint16_t slot, char* buffer) {
    const DeviceSlot& device = g_devices[slot];
    for (int i = 0; i < kPublishedPasswordSize; ++i) buffer[i] = Get(device.password[i]);
    buffer[kPublishedPasswordSize - 1] = '\0';
}

}  // namespace vexlor
