#include "sim/devices/reference_devices.h"
#include "sim/devices/sim_chip_model_devices.h"
#include "sim/host/harness/scenario_host.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_targets.h"

namespace
{
constexpr ULONG kRunMs = 12;
constexpr SimReference kReferences[] = {SimReference::Uac1SpeakerMic, SimReference::Uac1Surround71,
                                        SimReference::Uac2HighSpeed, SimReference::Uac2Spdif};
constexpr SimChipModel kChips[] = {SimChipModel::A, SimChipModel::B, SimChipModel::C};
constexpr size_t kKinds = std::size(kReferences) + std::size(kChips);

// Device `kind` (the references, then the chip models at high speed, where
// the loader notes what is unusual rather than refusing it) with another
// configuration; null when no device could send it.
std::unique_ptr<SimUsbDevice> MakeDevice(size_t kind, const std::vector<UCHAR>& configuration)
{
    if (kind >= std::size(kReferences))
        return SimCreateChipModelDevice(kChips[kind - std::size(kReferences)], EmuUsbSpeed::High,
                                        0x4C54, &configuration);
    const SimReferenceConfig& r = SimReferenceDescriptors(kReferences[kind]);
    std::string error;
    return SimUsbDevice::Create(r.Device, configuration, r.Strings, r.Speed, &error);
}

std::vector<UCHAR> OwnConfiguration(size_t kind)
{
    if (kind >= std::size(kReferences))
        return SimChipModelConfiguration(kChips[kind - std::size(kReferences)]);
    return SimReferenceDescriptors(kReferences[kind]).Configuration;
}
} // namespace

std::string FuzzDeviceStart(const uint8_t* data, size_t size)
{
    FuzzSession session;
    FuzzInput in(data, size);
    const size_t kind = in.Byte() % kKinds;
    std::unique_ptr<SimUsbDevice> device = MakeDevice(kind, in.Rest());
    if (device != nullptr)
    {
        ScenarioHost host([&device](HostHarness& h)
                          { return h.PlugDevice(std::move(device), "a fuzzed configuration"); });
        if (host.Plugged())
            host.Live(kRunMs);
    }
    return session.End();
}

std::vector<FuzzInputBytes> FuzzDeviceStartSeeds()
{
    std::vector<FuzzInputBytes> seeds;
    for (size_t i = 0; i < kKinds; ++i)
    {
        const std::vector<UCHAR> configuration = OwnConfiguration(i);
        FuzzInputBytes seed{(uint8_t)i};
        seed.insert(seed.end(), configuration.begin(), configuration.end());
        seeds.push_back(seed);
    }
    return seeds;
}
