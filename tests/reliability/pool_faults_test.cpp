// Every allocation the driver makes with its own tags fails in turn, one in a
// run, along a life that takes each client path of its streams: the start;
// a render pin that runs while the ASIO client opens, maps and starts its
// rings and so takes the stream over; a power-down to D2 and back while ASIO
// streams; the ASIO stop, unmap and close; the render pin's stop and close; a
// capture pin's whole run; the removal. A set-up step that meets the failure
// reports it and leaves nothing half made (done again, it works), or does
// without what it can (a deselect before a new select, the device's names)
// and works: a step that runs a stream moves data, and every step after it
// works as in the clean life. A tear-down step completes; a record the ASIO
// rings hold lives until they unregister it; the removal leaves nothing.
#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <set>

#include "driver/adapter_common.h"
#include "framework/adapter_extension.h"
#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "tests/reliability/scenario_checks.h"

namespace
{
constexpr ULONG kRunMs = 20;
constexpr ULONGLONG kBoundMs = 10000;

// The platform's own tags: every other tag the life allocates with is the
// driver's, and each of its allocations fails in a run of its own.
const ULONG kPlatformTags[] = {
    POOL_TAG("Strg"), POOL_TAG("PcDv"), POOL_TAG("PcPt"), POOL_TAG("PcPn"), POOL_TAG("PcSg"),
    POOL_TAG("PcRk"), POOL_TAG("PcRl"), POOL_TAG("PcEv"), POOL_TAG("PcFm"), POOL_TAG("USBD"),
    POOL_TAG("PoRq"), POOL_TAG("IoWk"), POOL_TAG("Mdl "), POOL_TAG("File"), POOL_TAG("IoBf"),
    POOL_TAG("Devi"), POOL_TAG("Driv"), POOL_TAG("Irp "), POOL_TAG("None")};

enum class StepKind
{
    SetUp,   // fails for what it meets and then works when done again, or works
    TearDown // completes whatever fails
};

class PoolFaultLife;
struct Step
{
    const char* Name;
    StepKind Kind;
    NTSTATUS (PoolFaultLife::*Do)();
    // The earlier step whose failure this one answers with, once.
    const char* Answers;
};

// One life on one device, a member a step. A step that runs a stream also
// fails when no data moved: a success must be one.
class PoolFaultLife
{
  public:
    explicit PoolFaultLife(const std::string& device)
        : m_Host(device), m_HasCapture(ScenarioHasRoad(device, Road::Capture))
    {
    }
    ScenarioHost& Host() { return m_Host; }

    NTSTATUS Start() { return m_Host.Start(); }
    NTSTATUS RenderOpen() { return m_Host.OpenWave(KSPIN_DATAFLOW_IN, &m_Render); }
    NTSTATUS RenderRun() { return RunPin(m_Render, false); }
    NTSTATUS AsioOpen()
    {
        m_Asio = std::make_unique<AsioTestClient>(m_Host.Host().Fdo());
        return m_Asio->Open();
    }
    NTSTATUS AsioMap()
    {
        ULONG sizes[4] = {};
        NTSTATUS status = m_Asio->GetBufferSize(sizes);
        return NT_SUCCESS(status) ? m_Asio->MapAll(sizes[2]) : status;
    }
    NTSTATUS AsioStart()
    {
        const ULONG switches = m_Asio->EventSwitches();
        NTSTATUS status = m_Asio->Start();
        m_Asio->Run(kRunMs);
        return Moved(status, m_Asio->EventSwitches() > switches);
    }
    NTSTATUS PowerDown() { return Power(PowerDeviceD2); }
    NTSTATUS PowerUp() { return Power(PowerDeviceD0); }
    NTSTATUS AsioStop()
    {
        NTSTATUS status = m_Asio->Stop();
        m_RecordsKept = RingRecordsLive();
        return status;
    }
    NTSTATUS AsioUnmap() { return m_Asio->Unmap(); }
    NTSTATUS AsioClose()
    {
        m_Asio->Close();
        m_Asio.reset();
        return STATUS_SUCCESS;
    }
    NTSTATUS RenderStop() { return m_Host.StopPin(m_Render); }
    NTSTATUS RenderClose() { return ClosePin(&m_Render); }
    // A device without a capture road walks through its steps.
    NTSTATUS CaptureOpen()
    {
        return m_HasCapture ? m_Host.OpenWave(KSPIN_DATAFLOW_OUT, &m_Capture) : STATUS_SUCCESS;
    }
    NTSTATUS CaptureRun() { return m_HasCapture ? RunPin(m_Capture, true) : STATUS_SUCCESS; }
    NTSTATUS CaptureStop() { return m_HasCapture ? m_Host.StopPin(m_Capture) : STATUS_SUCCESS; }
    NTSTATUS CaptureClose() { return ClosePin(&m_Capture); }
    NTSTATUS Remove() { return m_Host.Remove(); }

    // Each record the ASIO rings held when streaming stopped was a live one.
    bool RecordsKept() const { return m_RecordsKept; }

  private:
    static NTSTATUS Moved(NTSTATUS status, bool moved)
    {
        return NT_SUCCESS(status) && !moved ? STATUS_UNSUCCESSFUL : status;
    }
    NTSTATUS RunPin(PFILE_OBJECT pin, bool capture)
    {
        const ULONG packets = m_Host.DataPackets(capture);
        NTSTATUS status = m_Host.RunPin(pin);
        if (NT_SUCCESS(status))
            m_Host.Play(pin, kRunMs, capture);
        return Moved(status, m_Host.DataPackets(capture) > packets);
    }
    NTSTATUS Power(DEVICE_POWER_STATE state)
    {
        NTSTATUS status = EmuPoSendDevicePower(m_Host.Host().Pdo(), IRP_MN_SET_POWER, state);
        EmuAdvanceMs(kRunMs);
        return status;
    }
    NTSTATUS ClosePin(PFILE_OBJECT* pin)
    {
        m_Host.ClosePin(*pin);
        *pin = nullptr;
        return STATUS_SUCCESS;
    }
    bool RingRecordsLive()
    {
        AdapterExtension* extension = GetAdapterExtension(m_Host.Host().Fdo());
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

    ScenarioHost m_Host;
    bool m_HasCapture;
    PFILE_OBJECT m_Render = nullptr;
    PFILE_OBJECT m_Capture = nullptr;
    std::unique_ptr<AsioTestClient> m_Asio;
    bool m_RecordsKept = true;
};

// The restart at D0 that failed is the answer of the ASIO stop after it.
const Step kLife[] = {
    {"start", StepKind::SetUp, &PoolFaultLife::Start, nullptr},
    {"render open", StepKind::SetUp, &PoolFaultLife::RenderOpen, nullptr},
    {"render run", StepKind::SetUp, &PoolFaultLife::RenderRun, nullptr},
    {"asio open", StepKind::SetUp, &PoolFaultLife::AsioOpen, nullptr},
    {"asio map", StepKind::SetUp, &PoolFaultLife::AsioMap, nullptr},
    {"asio start", StepKind::SetUp, &PoolFaultLife::AsioStart, nullptr},
    {"power down", StepKind::TearDown, &PoolFaultLife::PowerDown, nullptr},
    {"power up", StepKind::TearDown, &PoolFaultLife::PowerUp, nullptr},
    {"asio stop", StepKind::TearDown, &PoolFaultLife::AsioStop, "power up"},
    {"asio unmap", StepKind::TearDown, &PoolFaultLife::AsioUnmap, nullptr},
    {"asio close", StepKind::TearDown, &PoolFaultLife::AsioClose, nullptr},
    {"render stop", StepKind::TearDown, &PoolFaultLife::RenderStop, nullptr},
    {"render close", StepKind::TearDown, &PoolFaultLife::RenderClose, nullptr},
    {"capture open", StepKind::SetUp, &PoolFaultLife::CaptureOpen, nullptr},
    {"capture run", StepKind::SetUp, &PoolFaultLife::CaptureRun, nullptr},
    {"capture stop", StepKind::TearDown, &PoolFaultLife::CaptureStop, nullptr},
    {"capture close", StepKind::TearDown, &PoolFaultLife::CaptureClose, nullptr},
    {"removal", StepKind::TearDown, &PoolFaultLife::Remove, nullptr},
};

// What the clean life allocates with each tag by the end of each step.
using TagCounts = std::map<ULONG, unsigned long long>;
std::vector<TagCounts> CleanCounts(const std::string& device)
{
    std::vector<TagCounts> counts;
    PoolFaultLife life(device);
    for (const Step& step : kLife)
    {
        EXPECT_EQ(STATUS_SUCCESS, (life.*step.Do)()) << device << " clean: " << step.Name;
        counts.push_back(EmuPoolAllocationCounts());
    }
    ExpectCleanTeardown(life.Host(), device + " clean", kBoundMs);
    return counts;
}

// The life with one allocation failing, in the step `failing`.
void LiveWithFailure(const std::string& device, size_t failing, const std::string& where)
{
    PoolFaultLife life(device);
    for (size_t s = 0; s < std::size(kLife); ++s)
    {
        const Step& step = kLife[s];
        NTSTATUS status = (life.*step.Do)();
        if (s == failing && step.Kind == StepKind::SetUp && !NT_SUCCESS(status))
        {
            // A device that did not start is only removed.
            if (s == 0)
            {
                life.Remove();
                break;
            }
            status = (life.*step.Do)();
        }
        if ((step.Answers == nullptr || std::string(step.Answers) != kLife[failing].Name) &&
            !NT_SUCCESS(status))
        {
            ADD_FAILURE() << where << ": " << step.Name << " 0x" << std::hex << status;
            life.Remove();
            break;
        }
    }
    EXPECT_TRUE(life.RecordsKept()) << where;
    ExpectCleanTeardown(life.Host(), where, kBoundMs);
}

class PoolFaults : public testing::TestWithParam<const char*>
{
};

TEST_P(PoolFaults, EachAllocationOfTheLifeFailsInTurn)
{
    const std::string device = GetParam();
    const std::vector<TagCounts> clean = CleanCounts(device);
    const std::set<ULONG> platform(std::begin(kPlatformTags), std::end(kPlatformTags));
    for (const auto& [tag, total] : clean.back())
    {
        if (platform.count(tag) != 0)
            continue;
        size_t failing = 0;
        for (unsigned long long ordinal = 0; ordinal < total && !HasFailure(); ++ordinal)
        {
            while (clean[failing].count(tag) == 0 || clean[failing].at(tag) <= ordinal)
                ++failing;
            EmuPoolInjectFailure(tag, (ULONG)ordinal, 1);
            LiveWithFailure(device, failing,
                            device + " '" + EmuTagName(tag) + "' allocation " +
                                std::to_string(ordinal) + " of " + std::to_string(total) + ", in " +
                                kLife[failing].Name);
            EmuPoolClearInjection();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, PoolFaults, testing::Values("Uac2HighSpeed", "Uac2Spdif"));
} // namespace
