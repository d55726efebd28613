#include "sim/devices/ReferenceDevices.h"
#include "sim/host/harness/ScenarioHost.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_targets.h"

namespace
{
constexpr ULONG kRunMs = 12;
constexpr SimReference kReferences[] = {SimReference::Uac1SpeakerMic, SimReference::Uac1Surround71,
                                        SimReference::Uac2HighSpeed, SimReference::Uac2Spdif};
} // namespace

std::string FuzzDeviceStart(const uint8_t* data, size_t size)
{
    FuzzSession session;
    FuzzInput in(data, size);
    const SimReferenceConfig& r =
        SimReferenceDescriptors(kReferences[in.Byte() % std::size(kReferences)]);
    std::vector<UCHAR> configuration = in.Rest();
    std::string error;
    std::unique_ptr<SimUsbDevice> device =
        SimUsbDevice::Create(r.Device, configuration, r.Strings, r.Speed, &error);
    if (device != nullptr)
    {
        ScenarioHost host([&device](HostHarness& h) { return h.PlugDevice(std::move(device)); });
        if (host.Plugged())
            host.Live(kRunMs);
    }
    return session.End();
}

std::vector<FuzzInputBytes> FuzzDeviceStartSeeds()
{
    std::vector<FuzzInputBytes> seeds;
    for (size_t i = 0; i < std::size(kReferences); ++i)
    {
        const SimReferenceConfig& r = SimReferenceDescriptors(kReferences[i]);
        FuzzInputBytes seed{(uint8_t)i};
        seed.insert(seed.end(), r.Configuration.begin(), r.Configuration.end());
        seeds.push_back(seed);
    }
    return seeds;
}
