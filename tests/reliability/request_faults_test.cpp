// Faults at every request of a device's life: the device pulled out as each
// request the driver sends to the bus is on the wire, and each control
// request stalled, cut short or answered by a device that is pulled out while
// it handles it. The life is the start, a render pin run with control changes,
// a capture pin run, an ASIO run and removal; whatever the fault, nothing may
// crash, hang past the virtual-time bound, stay pending or leak, and a device
// that is still there after a stall or a short reply must stream again.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "platform/usb/emu_usb_bus.h"
#include "tests/reliability/scenario_checks.h"

namespace
{
constexpr ULONG kRunMs = 30;
// A life with a fault may wait out the driver's own time-outs (half-second
// wakes, a second for a synchronous request) but never much more than the
// clean one.
constexpr ULONGLONG kBoundMs = 10000;

enum class Fault
{
    PulledOnTheWire, // the bus request with that number
    Stall,           // the control request with that number
    ShortNothing,    // its IN data stage moves no bytes
    ShortByOne,      // one byte fewer than asked
    PulledInDevice,  // the device is pulled out while it handles it
    NoAnswer         // the device never answers it
};

struct FaultCase
{
    Fault Kind;
    const char* Name;
    bool DeviceStays;
};
const FaultCase kFaults[] = {
    {Fault::PulledOnTheWire, "PulledOnTheWire", false}, {Fault::Stall, "Stall", true},
    {Fault::ShortNothing, "ShortNothing", true},        {Fault::ShortByOne, "ShortByOne", true},
    {Fault::PulledInDevice, "PulledInDevice", false},   {Fault::NoAnswer, "NoAnswer", true},
};

// What the clean life of a device sends: bus requests and control requests
// in order (the control ones with their setup packets).
struct CleanLife
{
    ULONG BusRequests = 0;
    std::vector<SimRequestRecord> Control;
    ScenarioLife Life;
    ULONGLONG Ms = 0;
};

CleanLife RunClean(const std::string& device)
{
    CleanLife clean;
    ScenarioHost host(device);
    if (!host.Plugged())
        return clean;
    clean.Life = host.Live(kRunMs);
    host.Remove();
    clean.BusRequests = host.Bus()->RequestCount();
    clean.Control = host.Device()->Log();
    clean.Ms = host.Teardown().Ms;
    return clean;
}

// Arms the fault at request `index` (0-based) of the clean life.
void Inject(ScenarioHost& host, Fault kind, ULONG index, const CleanLife& clean)
{
    const SimRequestMatch any;
    switch (kind)
    {
    case Fault::PulledOnTheWire:
        host.Bus()->UnplugAtRequest(index + 1);
        break;
    case Fault::Stall:
        host.Device()->InjectControlFault(any, SimFaultKind::Stall, 1, index);
        break;
    case Fault::ShortNothing:
        host.Device()->InjectControlFault(any, SimFaultKind::ShortRead, 1, index, 0);
        break;
    case Fault::ShortByOne:
    {
        const ULONG asked = clean.Control[index].Setup.wLength;
        host.Device()->InjectControlFault(any, SimFaultKind::ShortRead, 1, index,
                                          asked > 0 ? asked - 1 : 0);
        break;
    }
    case Fault::PulledInDevice:
        host.Device()->InjectControlFault(any, SimFaultKind::Unplug, 1, index);
        break;
    case Fault::NoAnswer:
        host.Device()->InjectControlFault(any, SimFaultKind::NoResponse, 1, index);
        break;
    }
}

// A device left streaming-capable by the fault streams again: a render run
// after it moves data.
void ExpectStreamsAgain(ScenarioHost& host, const ScenarioLife& life, const CleanLife& clean,
                        const std::string& where)
{
    if (!NT_SUCCESS(life.Start) || !clean.Life.Render.Ran())
        return;
    host.Device()->ClearFaults();
    const ScenarioRun again = host.WaveRun(KSPIN_DATAFLOW_IN, kRunMs);
    EXPECT_TRUE(again.Ran()) << where << ": open " << std::hex << again.Open << " run "
                             << again.Run;
    EXPECT_GT(again.Packets, 0u) << where;
}

class RequestFaults : public testing::TestWithParam<std::tuple<const char*, FaultCase>>
{
};

TEST_P(RequestFaults, EveryRequestOfTheLifeEndsCleanly)
{
    const std::string device = std::get<0>(GetParam());
    const FaultCase fault = std::get<1>(GetParam());
    const CleanLife clean = RunClean(device);
    ASSERT_TRUE(NT_SUCCESS(clean.Life.Start)) << device;
    const ULONG count =
        fault.Kind == Fault::PulledOnTheWire ? clean.BusRequests : (ULONG)clean.Control.size();
    ASSERT_GT(count, 20u);
    for (ULONG index = 0; index < count; ++index)
    {
        const std::string where = device + " " + fault.Name + " at request " +
                                  std::to_string(index) + " of " + std::to_string(count);
        ScenarioHost host(device);
        ASSERT_TRUE(host.Plugged()) << where;
        Inject(host, fault.Kind, index, clean);
        const ScenarioLife life = host.Live(kRunMs);
        EXPECT_EQ(fault.DeviceStays, host.Host().DevicePresent()) << where;
        if (fault.DeviceStays)
            ExpectStreamsAgain(host, life, clean, where);
        ExpectCleanEnd(host, where, clean.Ms + kBoundMs);
        if (HasFailure())
            return;
    }
}

std::string CaseName(const testing::TestParamInfo<std::tuple<const char*, FaultCase>>& info)
{
    return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).Name;
}

INSTANTIATE_TEST_SUITE_P(Devices, RequestFaults,
                         testing::Combine(testing::ValuesIn(kScenarioDevices),
                                          testing::ValuesIn(kFaults)),
                         CaseName);
} // namespace
