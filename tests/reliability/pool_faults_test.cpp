// Every allocation the driver makes with its own tags fails in turn, one in a
// run, along a life that takes each client path of its streams: the start;
// a render pin that runs while the ASIO client opens, maps and starts its
// rings and so takes the stream over; a power-down to D2 and back while ASIO
// streams; the ASIO stop, unmap, a map again and close; the render pin's
// stop, a run again and close; a capture pin's whole run; a render pin
// opened anew and run; the removal. Every scenario device lives it (one
// without ASIO or capture walks through those steps). A set-up step that
// meets the failure reports it and leaves nothing half made (done again, it
// works), or does without what it can (a deselect before a new select, the
// device's names, the port check) and works: a step that runs a stream
// moves data, and every step after it works as in the clean life. A
// tear-down step completes; a record the ASIO rings hold lives until they
// unregister it; the removal leaves nothing. So fail, in turn, the URBs the
// USB library allocates for the driver and the IRPs it builds.
#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <set>
#include <string_view>

#include "driver/adapter_common.h"
#include "framework/adapter_extension.h"
#include "framework/ini_file.h"
#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "platform/usb/usbdlib.h"
#include "streaming/usb/usb_audio_stream.h"
#include "streaming/wave/wave_cyclic_miniport.h"
#include "usbaudio/device/usb_audio_device.h"
#include "usbaudio/topology/miniport.h"
#include "tests/reliability/scenario_checks.h"

namespace
{
constexpr ULONG kRunMs = 20;
constexpr ULONGLONG kBoundMs = 10000;

// The platform's own tags: every other tag the life allocates with is the
// driver's (or "USBD", the USB library's for it), and each of its allocations
// fails in a run of its own. The driver's IRPs, whose tag the I/O manager's
// own share, fail as the IRPs it builds, under the key 0 that no tag is.
const ULONG kPlatformTags[] = {
    POOL_TAG("Strg"), POOL_TAG("PcDv"), POOL_TAG("PcPt"), POOL_TAG("PcPn"), POOL_TAG("PcSg"),
    POOL_TAG("PcRk"), POOL_TAG("PcRl"), POOL_TAG("PcEv"), POOL_TAG("PcFm"), POOL_TAG("None"),
    POOL_TAG("PoRq"), POOL_TAG("IoWk"), POOL_TAG("Mdl "), POOL_TAG("File"), POOL_TAG("IoBf"),
    POOL_TAG("Devi"), POOL_TAG("Driv"), POOL_TAG("Irp ")};
constexpr ULONG kDriverIrps = 0;

// One life on one device, and what its steps keep.
struct Life
{
    explicit Life(const std::string& device)
        : Host(device), HasCapture(ScenarioHasRoad(device, Road::Capture)),
          HasAsio(ScenarioHasRoad(device, Road::Asio))
    {
    }
    ScenarioHost Host;
    bool HasCapture; // without a capture road its steps walk through
    bool HasAsio;    // as the ASIO steps do without an ASIO road
    PFILE_OBJECT Render = nullptr, Capture = nullptr, Anew = nullptr;
    std::unique_ptr<AsioTestClient> Asio;
    bool RecordsKept = true; // each record the rings held at the stop was live
};

// A step that runs a stream works only where data moved.
NTSTATUS Moved(NTSTATUS status, bool moved)
{
    return NT_SUCCESS(status) && !moved ? STATUS_UNSUCCESSFUL : status;
}

NTSTATUS RunPin(Life& l, PFILE_OBJECT pin, bool capture)
{
    const ULONG packets = l.Host.DataPackets(capture);
    NTSTATUS status = l.Host.RunPin(pin);
    if (NT_SUCCESS(status))
        l.Host.Play(pin, kRunMs, capture);
    return Moved(status, l.Host.DataPackets(capture) > packets);
}

NTSTATUS AsioStart(Life& l)
{
    const ULONG switches = l.Asio->EventSwitches();
    NTSTATUS status = l.Asio->Start();
    l.Asio->Run(kRunMs);
    return Moved(status, l.Asio->EventSwitches() > switches);
}

NTSTATUS Power(Life& l, DEVICE_POWER_STATE state)
{
    NTSTATUS status = EmuPoSendDevicePower(l.Host.Host().Pdo(), IRP_MN_SET_POWER, state);
    EmuAdvanceMs(kRunMs);
    return status;
}

bool RingRecordsLive(Life& l)
{
    AdapterExtension* extension = GetAdapterExtension(l.Host.Host().Fdo());
    if (extension == nullptr || extension->Adapter == nullptr)
        return true;
    const CAsioRings& rings =
        static_cast<CAdapterCommon*>(extension->Adapter)->GetAsioSession().Rings();
    for (ULONG i = 0; i < rings.GetCount(); ++i)
    {
        const PSTREAMCLIENT record = rings.GetEntry(i)->Registration;
        ULONG tag = 0;
        if (record != nullptr &&
            (!EmuPoolIsBlock(record, nullptr, &tag) || tag != USB_STREAM_POOL_TAG))
            return false;
    }
    return true;
}

NTSTATUS MapAsio(Life& l)
{
    ULONG sizes[4] = {};
    NTSTATUS status = l.Asio->GetBufferSize(sizes);
    return NT_SUCCESS(status) ? l.Asio->MapAll(sizes[2]) : status;
}

// A set-up step fails for what it meets and works when done again, or
// works; a tear-down step completes whatever fails. The ASIO stop after a
// failed restart at D0 answers with that failure, once. At the end a pin
// opened anew moves data, whatever failed before.
struct Step
{
    const char* Name;
    bool SetUp;
    NTSTATUS (*Do)(Life&);
    const char* Answers = nullptr; // the earlier step whose failure it answers with
};
const Step kLife[] = {
    {"start", true, [](Life& l) { return l.Host.Start(); }},
    {"render open", true, [](Life& l) { return l.Host.OpenWave(KSPIN_DATAFLOW_IN, &l.Render); }},
    {"render run", true, [](Life& l) { return RunPin(l, l.Render, false); }},
    {"asio open", true,
     [](Life& l)
     {
         l.Asio = std::make_unique<AsioTestClient>(l.Host.Host().Fdo());
         return l.Asio->Open();
     }},
    {"asio map", true, MapAsio},
    {"asio start", true, AsioStart},
    {"power down", false, [](Life& l) { return Power(l, PowerDeviceD2); }},
    {"power up", false, [](Life& l) { return Power(l, PowerDeviceD0); }},
    {"asio stop", false,
     [](Life& l)
     {
         NTSTATUS status = l.Asio->Stop();
         l.RecordsKept = RingRecordsLive(l);
         return status;
     },
     "power up"},
    {"asio unmap", false, [](Life& l) { return l.Asio->Unmap(); }},
    {"asio map again", true, MapAsio},
    {"asio unmap again", false, [](Life& l) { return l.Asio->Unmap(); }},
    {"asio close", false, [](Life& l) { return l.Asio.reset(), STATUS_SUCCESS; }},
    {"render stop", false, [](Life& l) { return l.Host.StopPin(l.Render); }},
    {"render run again", true, [](Life& l) { return RunPin(l, l.Render, false); }},
    {"render stop again", false, [](Life& l) { return l.Host.StopPin(l.Render); }},
    {"render close", false, [](Life& l) { return l.Host.ClosePin(l.Render), STATUS_SUCCESS; }},
    {"capture open", true,
     [](Life& l)
     { return l.HasCapture ? l.Host.OpenWave(KSPIN_DATAFLOW_OUT, &l.Capture) : STATUS_SUCCESS; }},
    {"capture run", true,
     [](Life& l) { return l.HasCapture ? RunPin(l, l.Capture, true) : STATUS_SUCCESS; }},
    {"capture stop", false,
     [](Life& l) { return l.HasCapture ? l.Host.StopPin(l.Capture) : STATUS_SUCCESS; }},
    {"capture close", false, [](Life& l) { return l.Host.ClosePin(l.Capture), STATUS_SUCCESS; }},
    {"render open anew", true, [](Life& l) { return l.Host.OpenWave(KSPIN_DATAFLOW_IN, &l.Anew); }},
    {"render run anew", true, [](Life& l) { return RunPin(l, l.Anew, false); }},
    {"render close anew", false,
     [](Life& l) { return l.Host.StopPin(l.Anew), l.Host.ClosePin(l.Anew), STATUS_SUCCESS; }},
    {"removal", false, [](Life& l) { return l.Host.Remove(); }},
};

NTSTATUS Do(const Step& step, Life& l)
{
    return l.HasAsio || std::string_view(step.Name).substr(0, 4) != "asio" ? step.Do(l)
                                                                           : STATUS_SUCCESS;
}

// What the clean life allocates with each tag, and the IRPs it builds, by
// the end of each step.
using TagCounts = std::map<ULONG, unsigned long long>;
std::vector<TagCounts> CleanCounts(const std::string& device)
{
    std::vector<TagCounts> counts;
    Life life(device);
    for (const Step& step : kLife)
    {
        EXPECT_EQ(STATUS_SUCCESS, Do(step, life)) << device << " clean: " << step.Name;
        counts.push_back(EmuPoolAllocationCounts());
        counts.back()[kDriverIrps] = EmuIoDriverIrpCount();
    }
    ExpectCleanTeardown(life.Host, device + " clean", kBoundMs);
    return counts;
}

// The life with one allocation failing, in the step `failing`.
void LiveWithFailure(const std::string& device, size_t failing, const std::string& where)
{
    Life life(device);
    for (size_t s = 0; s < std::size(kLife); ++s)
    {
        const Step& step = kLife[s];
        NTSTATUS status = Do(step, life);
        if (s == failing && step.SetUp && !NT_SUCCESS(status))
        {
            if (s == 0) // a device that did not start is only removed, by the teardown
                break;
            status = Do(step, life);
        }
        if ((step.Answers == nullptr || std::string(step.Answers) != kLife[failing].Name) &&
            !NT_SUCCESS(status))
        {
            ADD_FAILURE() << where << ": " << step.Name << " 0x" << std::hex << status;
            break;
        }
    }
    EXPECT_TRUE(life.RecordsKept) << where;
    ExpectCleanTeardown(life.Host, where, kBoundMs);
}

// The driver's tags the lives allocate with: a plan that leaves any of their
// allocations out, or holds fewer runs or IRPs than the smallest life makes,
// has lost what it was to fail.
const ULONG kExpectedTags[] = {ADAPTER_POOL_TAG,     INI_OBJECT_POOL_TAG,     USB_IO_POOL_TAG,
                               USBD_POOL_TAG,        UAC2_POOL_TAG,           USB_STREAM_POOL_TAG,
                               WAVE_CYCLIC_POOL_TAG, USB_STREAM_URB_POOL_TAG, TOPOLOGY_POOL_TAG};
constexpr unsigned long long kMinimumRuns = 800;
constexpr unsigned long long kMinimumIrps = 90;
constexpr size_t kShards = 4; // each instance runs every fourth

class PoolFaults : public testing::TestWithParam<std::tuple<const char*, size_t>>
{
};

TEST_P(PoolFaults, EachAllocationOfTheLifeFailsInTurn)
{
    const auto [device, shard] = GetParam();
    const std::vector<TagCounts> clean = CleanCounts(device);
    const std::set<ULONG> platform(std::begin(kPlatformTags), std::end(kPlatformTags));
    TagCounts planned;
    unsigned long long runs = 0;
    for (const auto& [tag, total] : clean.back())
        runs += planned[tag] = platform.count(tag) == 0 ? total : 0;
    for (ULONG tag : kExpectedTags)
        EXPECT_EQ(EmuPoolAllocationCount(tag), planned[tag]) << EmuTagName(tag);
    EXPECT_GE(planned[kDriverIrps], kMinimumIrps);
    EXPECT_GE(runs, kMinimumRuns);
    size_t run = 0;
    for (const auto& [tag, total] : planned)
    {
        size_t failing = 0;
        for (unsigned long long ordinal = 0; ordinal < total && !HasFailure(); ++ordinal)
        {
            while (clean[failing].count(tag) == 0 || clean[failing].at(tag) <= ordinal)
                ++failing;
            if (run++ % kShards != shard)
                continue;
            if (tag == kDriverIrps)
                EmuIoInjectDriverIrpFailure((ULONG)ordinal, 1);
            else
                EmuPoolInjectFailure(tag, (ULONG)ordinal, 1);
            LiveWithFailure(
                device, failing,
                std::string(device) + " " +
                    (tag == kDriverIrps ? "IRP" : "'" + EmuTagName(tag) + "' allocation") + " " +
                    std::to_string(ordinal) + " of " + std::to_string(total) + ", in " +
                    kLife[failing].Name);
            EmuPoolClearInjection();
            EmuIoClearDriverIrpInjection();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, PoolFaults,
                         testing::Combine(testing::ValuesIn(kScenarioDevices),
                                          testing::Range<size_t>(0, kShards)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param)) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });
} // namespace
