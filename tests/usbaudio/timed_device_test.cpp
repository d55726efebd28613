// The timed device class on its simulated chip: the start from the preset,
// the chip's identification and switches, the register writes as the chip
// receives them, and the objects each listed device ends up with.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "sim/devices/SimTimedPreset.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "usbaudio/timed_device.h"

namespace
{
// "id:kind" of every control of the device, in list order.
std::string Controls(CUsbAudioDevice* device)
{
    std::string text;
    for (ULONG i = 0; i < device->GetUnitCount(); ++i)
    {
        CAudioControl* control = nullptr;
        device->GetUnit(i, &control);
        text += (i ? " " : "") + std::to_string(control->GetId()) + ":" +
                std::to_string(control->GetKind());
    }
    return text;
}

std::string Hex(const std::vector<std::vector<UCHAR>>& writes)
{
    std::string text;
    for (const auto& w : writes)
    {
        char one[16];
        snprintf(one, sizeof(one), "%s%02X%02X%02X%02X", text.empty() ? "" : " ", w[0], w[1], w[2],
                 w[3]);
        text += one;
    }
    return text;
}

struct TimedRig
{
    explicit TimedRig(USHORT product = SimTimed::Plain, bool identified = true)
    {
        SimTimedDevice timed = SimCreateTimedDevice(product, identified);
        Chip = timed.Chip;
        Rig = std::make_unique<UsbAdapterRig>(std::move(timed.Device));
        UseDeviceClasses(false);
    }
    NTSTATUS Start() { return Rig->Ok() ? Rig->Start() : STATUS_UNSUCCESSFUL; }
    CUsbAudioTimedDevice* Device() { return static_cast<CUsbAudioTimedDevice*>(DeviceOf(*Rig)); }
    std::shared_ptr<SimChipRegisters> Chip;
    std::unique_ptr<UsbAdapterRig> Rig;
};
} // namespace

TEST(TimedDevice, StartsFromItsPreset)
{
    TimedRig rig;
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    CUsbAudioTimedDevice* device = rig.Device();
    ASSERT_NE(nullptr, device);
    printf("%s\n", Controls(device).c_str());
    printf("%s\n", Hex(rig.Chip->Writes).c_str());
    printf("engines %u\n", device->GetEngineCount());
}
