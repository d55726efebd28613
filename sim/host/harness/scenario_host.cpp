#include "sim/host/harness/scenario_host.h"

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "platform/ks/ksmedia.h"
#include "platform/usb/emu_usb_bus.h"
#include "sim/host/harness/host_stream.h"

namespace
{
// Emulated time between two visits of the client, well inside the buffers.
constexpr ULONG kStepMs = 5;

// Any format the driver offers: it picks the rate, depth and channels.
KSDATARANGE_AUDIO AnyPcm()
{
    return AudioClientRange(KSDATAFORMAT_SUBTYPE_PCM, 8, 16, 32, 8000, 192000);
}

// The topology node values a control change sets: the first channel of
// every volume node to -6 dB and of every mute node to on, then back.
struct NodeChange
{
    const GUID* Type;
    ULONG Id;
    LONG Values[2];
};
const NodeChange kNodeChanges[] = {
    {&KSNODETYPE_VOLUME, KSPROPERTY_AUDIO_VOLUMELEVEL, {-6 * 65536, 0}},
    {&KSNODETYPE_MUTE, KSPROPERTY_AUDIO_MUTE, {1, 0}},
};

const std::u16string kDeviceParameters = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
} // namespace

ScenarioHost::ScenarioHost(const std::string& device, bool selectiveSuspend)
    : ScenarioHost(
          [&device](HostHarness& host)
          {
              std::string error;
              return host.PlugReference(device, &error);
          },
          selectiveSuspend)
{
}

ScenarioHost::ScenarioHost(const std::function<NTSTATUS(HostHarness&)>& plug, bool selectiveSuspend)
{
    m_Began = EmuNow();
    m_Plugged =
        NT_SUCCESS(m_Host.LoadDriver()) && NT_SUCCESS(plug(m_Host)) && m_Host.Pdo() != nullptr;
    if (m_Plugged && selectiveSuspend)
        EmuRegistrySetDword(kDeviceParameters + EmuDeviceInstancePath(m_Host.Pdo()) +
                                u"\\Device Parameters",
                            u"SelectiveSuspendEnabled", 1);
    m_Plugged = m_Plugged && NT_SUCCESS(m_Host.AddDevice());
}

ScenarioHost::~ScenarioHost()
{
    if (!m_TornDown)
        Teardown();
}

AudioEngineClient& ScenarioHost::Client()
{
    if (m_Client == nullptr)
        m_Client = std::make_unique<AudioEngineClient>(m_Host.Fdo());
    return *m_Client;
}

NTSTATUS ScenarioHost::Start()
{
    return m_Host.StartDevice();
}

NTSTATUS ScenarioHost::OpenWave(KSPIN_DATAFLOW flow, PFILE_OBJECT* pin)
{
    *pin = nullptr;
    if (m_Host.Fdo() == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    ULONG pinId = 0;
    const std::vector<EmuPcSubdeviceInfo> subdevices = Client().Subdevices();
    const EmuPcSubdeviceInfo* info = HostFindWaveFilter(subdevices, flow, &pinId);
    if (info == nullptr)
        return STATUS_NOT_FOUND;
    PFILE_OBJECT filter = nullptr;
    NTSTATUS status = Client().OpenFilter(info->Name, &filter);
    if (!NT_SUCCESS(status))
        return status;
    const KSDATARANGE_AUDIO range = AnyPcm();
    return Client().OpenPinWithRange(filter, pinId, &range.DataRange, pin);
}

NTSTATUS ScenarioHost::RunPin(PFILE_OBJECT pin)
{
    NTSTATUS status = STATUS_SUCCESS;
    for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
        if (NT_SUCCESS(status))
            status = Client().SetState(pin, s);
    return status;
}

NTSTATUS ScenarioHost::StopPin(PFILE_OBJECT pin)
{
    NTSTATUS status = STATUS_SUCCESS;
    for (KSSTATE s : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP})
    {
        const NTSTATUS one = Client().SetState(pin, s);
        if (NT_SUCCESS(status))
            status = one;
    }
    return status;
}

void ScenarioHost::ClosePin(PFILE_OBJECT pin)
{
    if (pin != nullptr)
        Client().Close(pin);
}

void ScenarioHost::Play(PFILE_OBJECT pin, ULONG ms, bool capture)
{
    std::vector<UCHAR> sink;
    Client().Run(pin, ms, nullptr, capture ? &sink : nullptr, kStepMs);
}

ULONG ScenarioHost::DataPackets(bool in) const
{
    if (Device() == nullptr)
        return 0;
    ULONG packets = 0;
    for (UCHAR endpoint : HostDataEndpoints(*Device(), in))
        packets += Device()->Streaming().PacketCount(endpoint);
    return packets;
}

ULONG ScenarioHost::ChangeControls()
{
    PFILE_OBJECT topology = nullptr;
    if (m_Host.Fdo() == nullptr || !NT_SUCCESS(Client().OpenFilter(u"GlobalTopo", &topology)))
        return 0;
    std::vector<GUID> nodes;
    ULONG taken = 0;
    if (NT_SUCCESS(Client().GetNodeTypes(topology, &nodes)))
        for (ULONG node = 0; node < nodes.size(); ++node)
            for (const NodeChange& change : kNodeChanges)
                if (IsEqualGUID(nodes[node], *change.Type))
                    for (LONG value : change.Values)
                        taken +=
                            NT_SUCCESS(Client().SetNodeValue(topology, node, KSPROPSETID_Audio,
                                                             change.Id, 0, &value, sizeof(value)));
    Client().Close(topology);
    return taken;
}

ScenarioRun ScenarioHost::WaveRun(KSPIN_DATAFLOW flow, ULONG ms)
{
    ScenarioRun run;
    PFILE_OBJECT pin = nullptr;
    run.Open = OpenWave(flow, &pin);
    if (!NT_SUCCESS(run.Open))
        return run;
    const bool in = flow == KSPIN_DATAFLOW_OUT;
    const ULONG before = DataPackets(in);
    run.Run = RunPin(pin);
    Play(pin, ms, in);
    run.Packets = DataPackets(in) - before;
    run.Bytes = Client().Statistics(pin).Consumed;
    StopPin(pin);
    ClosePin(pin);
    return run;
}

bool ScenarioHost::HasAsio() const
{
    for (const HostInterface& i : m_Host.Interfaces())
        if (i.Kind == "ASIO" && i.Enabled)
            return true;
    return false;
}

ScenarioRun ScenarioHost::AsioRun(ULONG ms)
{
    ScenarioRun run;
    if (m_Host.Fdo() == nullptr || !HasAsio())
    {
        run.Open = STATUS_NOT_FOUND;
        return run;
    }
    AsioTestClient client(m_Host.Fdo());
    ULONG sizes[4] = {}, rate = 0;
    run.Open = client.Open();
    if (NT_SUCCESS(run.Open))
        run.Open = client.GetSampleRate(&rate);
    if (NT_SUCCESS(run.Open))
        run.Open = client.GetBufferSize(sizes);
    if (NT_SUCCESS(run.Open))
        run.Open = client.MapAll(sizes[2]);
    if (!NT_SUCCESS(run.Open))
        return run;
    client.WriteSine(1000.0, rate);
    const ULONG before = DataPackets(false) + DataPackets(true);
    run.Run = client.Start();
    client.Run(ms);
    run.Packets = DataPackets(false) + DataPackets(true) - before;
    run.Switches = client.EventSwitches();
    client.Stop();
    client.Unmap();
    client.Close();
    return run;
}

ScenarioLife ScenarioHost::Live(ULONG runMs)
{
    ScenarioLife life;
    life.Start = Start();
    life.Render = WaveRun(KSPIN_DATAFLOW_IN, runMs);
    life.ControlChanges = ChangeControls();
    life.Capture = WaveRun(KSPIN_DATAFLOW_OUT, runMs);
    life.Asio = AsioRun(runMs);
    return life;
}

NTSTATUS ScenarioHost::SurpriseRemoval()
{
    m_SurpriseSent = true;
    return m_Host.SurpriseRemoval();
}

NTSTATUS ScenarioHost::Remove()
{
    m_Client.reset();
    if (m_Host.Fdo() == nullptr || !EmuPcIsAdapterDevice(m_Host.Fdo()))
        return STATUS_NO_SUCH_DEVICE;
    if (!m_Host.DevicePresent() && !m_SurpriseSent)
        SurpriseRemoval();
    return m_Host.RemoveDevice();
}

ScenarioEnd ScenarioHost::Teardown()
{
    ScenarioEnd end;
    m_TornDown = true;
    Remove();
    end.PendingAtBus = Bus() != nullptr ? Bus()->PendingRequestCount() : 0;
    m_Host.Unplug();
    m_Host.UnloadDriver();
    end.Left = EmuCheckClean(false);
    end.Ms = (EmuNow() - m_Began) / 10000;
    return end;
}
