#include "sim/devices/reference_devices.h"
#include "sim/devices/sim_raw_device.h"
#include "sim/host/harness/scenario_host.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_targets.h"

namespace
{
constexpr ULONG kRunMs = 12;
constexpr UCHAR kHighSpeed = 0x01;
} // namespace

std::string FuzzBareDevice(const uint8_t* data, size_t size)
{
    FuzzSession session;
    FuzzInput in(data, size);
    const UCHAR flags = in.Byte();
    std::vector<UCHAR> device = in.Bytes(in.Byte());
    std::vector<UCHAR> configuration = in.Bytes(in.Word());
    SimRawDevice raw(std::move(device), std::move(configuration), in.Rest(),
                     flags & kHighSpeed ? EmuUsbSpeed::High : EmuUsbSpeed::Full);
    {
        ScenarioHost host(
            [&raw](HostHarness& h)
            { return h.PlugFunction(&raw, raw.VendorId(), raw.ProductId(), raw.Revision()); });
        if (host.Plugged())
            host.Live(kRunMs);
    }
    return session.End();
}

// Each reference device's own descriptors, with replies that answer every
// class request with two bytes and fill every packet.
std::vector<FuzzInputBytes> FuzzBareDeviceSeeds()
{
    std::vector<FuzzInputBytes> seeds;
    for (SimReference which : {SimReference::Uac1SpeakerMic, SimReference::Uac1Surround71,
                               SimReference::Uac2HighSpeed, SimReference::Uac2Spdif})
    {
        const SimReferenceConfig& r = SimReferenceDescriptors(which);
        FuzzInputBytes seed;
        seed.push_back(r.Speed == EmuUsbSpeed::High ? kHighSpeed : 0);
        seed.push_back((uint8_t)r.Device.size());
        seed.insert(seed.end(), r.Device.begin(), r.Device.end());
        FuzzPutWord(&seed, (USHORT)r.Configuration.size());
        seed.insert(seed.end(), r.Configuration.begin(), r.Configuration.end());
        for (uint8_t b : {0x02, 0x00, 0x80, 0xFE, 0x10, 0x00, 0x04, 0x01, 0x00, 0x00, 0x02})
            seed.push_back(b);
        seeds.push_back(seed);
    }
    return seeds;
}
