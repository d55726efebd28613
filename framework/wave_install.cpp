// The stream engine's wave subdevice: installed while a terminal of the stream
// reports a connected jack, joined to the topology filter, removed again when
// no jack is connected or the device goes away.
#include "framework/stream_engine.h"
#include "framework/subdevice_install.h"

namespace
{
// The two ends of the engine's physical connection, in data-flow order.
struct ConnectionEnds
{
    PUNKNOWN From;
    ULONG FromPin;
    PUNKNOWN To;
    ULONG ToPin;
};

ConnectionEnds EndsOf(ULONG direction, PUNKNOWN wavePort, PUNKNOWN topologyPort, ULONG topologyPin)
{
    if (direction == STREAM_DIRECTION_RENDER)
        return {wavePort, WAVE_BRIDGE_PIN, topologyPort, topologyPin};
    return {topologyPort, topologyPin, wavePort, WAVE_BRIDGE_PIN};
}

// What one terminal's jack records say: a count, records or a buffer that
// could not be had says nothing of the jacks.
CStreamEngine::JackState ReadTerminalJacks(PTERMINALCONTROL terminal)
{
    using JackState = CStreamEngine::JackState;
    ULONG jacks = 0;
    if (!NT_SUCCESS(terminal->GetJackCount(&jacks)) || jacks > MAXULONG / JACK_RECORD_SIZE)
        return JackState::Unread;
    if (jacks == 0)
        return JackState::Connected; // nothing to detect: always there
    const ULONG bytes = jacks * JACK_RECORD_SIZE;
    auto records =
        static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes, STREAM_ENGINE_POOL_TAG));
    if (records == nullptr)
        return JackState::Unread;
    RtlZeroMemory(records, bytes);
    JackState state = JackState::Unread;
    if (NT_SUCCESS(terminal->GetJackInfo(bytes, records)))
    {
        state = JackState::Unplugged;
        for (ULONG i = 0; i < jacks && state != JackState::Connected; ++i)
            if (records[i * JACK_RECORD_SIZE + JACK_CONNECTED_OFFSET] != 0)
                state = JackState::Connected;
    }
    ExFreePoolWithTag(records, STREAM_ENGINE_POOL_TAG);
    return state;
}

// One plugged jack makes the stream connected whatever the others say; an
// unread terminal leaves the rest unsure; an unplugged one beats none.
CStreamEngine::JackState Stronger(CStreamEngine::JackState a, CStreamEngine::JackState b)
{
    return a > b ? a : b;
}

// A stream engine's wave subdevice: the miniport is made for the engine's
// index among the adapter's engines, and the stream's terminal is mapped to
// its pin on the topology filter.
class EngineSteps final : public SubdeviceSteps
{
  public:
    EngineSteps(CStreamEngine* engine, PENGINE_MINIPORT_FACTORY factory, REFCLSID classId,
                PMINIPORTIDENTITY topologyLink)
        : m_Engine(engine), m_Factory(factory), m_ClassId(classId), m_TopologyLink(topologyLink)
    {
    }

    // The miniport finds its engine again by this index.
    NTSTATUS Prepare(PADAPTERCOMMON adapter) override
    {
        const ULONG count = adapter->GetEngineCount();
        for (ULONG i = 0; i < count; ++i)
        {
            CStreamEngine* candidate = nullptr;
            if (!NT_SUCCESS(adapter->GetEngine(i, &candidate)))
                break;
            if (candidate == m_Engine)
            {
                m_Index = i;
                return STATUS_SUCCESS;
            }
        }
        return STATUS_UNSUCCESSFUL;
    }

    NTSTATUS CreateMiniport(PUNKNOWN* miniport) override
    {
        if (m_Factory == nullptr)
            return STATUS_INVALID_PARAMETER;
        return m_Factory(miniport, m_ClassId, nullptr, NonPagedPool, m_Index);
    }

    // A filter that cannot be joined says why: the stream's own terminal is
    // not found, or the topology filter has no pin for it.
    NTSTATUS BeforeRegister(PMINIPORTIDENTITY identity) override
    {
        ULONG terminalId = 0;
        if (!NT_SUCCESS(identity->GetConnectionId(&terminalId)))
        {
            m_NotConnectable = "its wave filter names no terminal of its own to join the "
                               "topology filter from";
            return WAVE_NOT_CONNECTABLE_STATUS;
        }
        m_TopologyPin = terminalId;
        if (m_TopologyLink == nullptr)
            return STATUS_UNSUCCESSFUL;
        if (!NT_SUCCESS(m_TopologyLink->GetConnectionId(&m_TopologyPin)))
        {
            m_NotConnectable = "the topology filter has no pin for its terminal";
            return WAVE_NOT_CONNECTABLE_STATUS;
        }
        return STATUS_SUCCESS;
    }

    void Registered() override { m_Registered = true; }

    bool IsRegistered() const { return m_Registered; }
    ULONG TopologyPin() const { return m_TopologyPin; }
    PCSTR NotConnectable() const { return m_NotConnectable; }

  private:
    CStreamEngine* m_Engine;
    PENGINE_MINIPORT_FACTORY m_Factory;
    REFCLSID m_ClassId;
    PMINIPORTIDENTITY m_TopologyLink;
    ULONG m_Index = 0;
    ULONG m_TopologyPin = 0;
    bool m_Registered = false;
    PCSTR m_NotConnectable = nullptr;
};
} // namespace

NTSTATUS CStreamEngine::SetMiniportFactory(PENGINE_MINIPORT_FACTORY factory, REFCLSID classId)
{
    PAGED_CODE();
    if (factory == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    m_MiniportFactory = factory;
    m_PortClassId = classId;
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::SetPortTopology(PUNKNOWN topologyPort, PUNKNOWN topologyMiniport)
{
    PAGED_CODE();
    if (topologyPort == nullptr || topologyMiniport == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    // A later start hands a new topology port: the old one is given back.
    topologyPort->AddRef();
    if (m_TopologyPort != nullptr)
        m_TopologyPort->Release();
    m_TopologyPort = topologyPort;
    m_TopologyLink = nullptr;
    PMINIPORTIDENTITY link = nullptr;
    NTSTATUS status = topologyMiniport->QueryInterface(IID_IMiniportIdentity, (PVOID*)&link);
    if (!NT_SUCCESS(status))
        return status;
    // The topology port keeps the miniport alive as long as we keep the port.
    m_TopologyLink = link;
    link->Release();
    return status;
}

CStreamEngine::JackState CStreamEngine::ReadJackState()
{
    PAGED_CODE();
    if (m_ControlList == nullptr)
        return JackState::NoTerminal;
    const ULONG terminalKind = m_Direction == STREAM_DIRECTION_RENDER ? CONTROL_KIND_OUTPUT_TERMINAL
                                                                      : CONTROL_KIND_INPUT_TERMINAL;
    JackState state = JackState::NoTerminal;
    POSITION position = m_ControlList->GetHeadPosition();
    PVOID data = nullptr;
    while (state != JackState::Connected && m_ControlList->GetNext(&position, &data))
    {
        auto control = static_cast<CAudioControl*>(data);
        if (control->GetKind() != terminalKind)
            continue;
        PTERMINALCONTROL terminal = nullptr;
        if (!NT_SUCCESS(control->QueryInterface(IID_ITerminalControl, (PVOID*)&terminal)))
            continue;
        ULONG kind = ENDPOINT_KIND_STREAM;
        // The USB streaming terminal (kind 0) has no jack.
        if (NT_SUCCESS(terminal->GetCurrentKind(&kind)) && kind != ENDPOINT_KIND_STREAM)
            state = Stronger(state, ReadTerminalJacks(terminal));
        terminal->Release();
    }
    return state;
}

BOOLEAN CStreamEngine::IsJackConnected()
{
    PAGED_CODE();
    return ReadJackState() == JackState::Connected ? TRUE : FALSE;
}

NTSTATUS CStreamEngine::InstallMiniport(PDEVICE_OBJECT deviceObject, PIRP irp,
                                        PUNKNOWN adapterUnknown)
{
    PAGED_CODE();
    if (m_MiniportFactory == nullptr)
        return STATUS_UNSUCCESSFUL;
    if (m_InstallationClosed)
        return STATUS_DEVICE_REMOVED;
    // A read that says nothing leaves the stream as the last answer had it:
    // the filter stays as it is, and at start the jacks count as connected.
    JackState jacks = ReadJackState();
    if (jacks == JackState::Unread)
        jacks = m_LastJackAnswer;
    m_LastJackAnswer = jacks;
    if (jacks != JackState::Connected)
    {
        if (m_WavePort != nullptr)
            return RemoveMiniport(deviceObject);
        if (m_Direction == STREAM_DIRECTION_CAPTURE)
            ReportNotInstalled(jacks == JackState::Unplugged
                                   ? "every jack of its input terminals is unplugged"
                                   : "no input terminal on its path names an endpoint");
        return STATUS_SUCCESS;
    }
    if (m_WavePort != nullptr)
        return STATUS_SUCCESS;
    PUNKNOWN wavePort = nullptr;
    NTSTATUS status = InstallEngineSubdevice(this, deviceObject, irp, m_PortClassId, m_PortClassId,
                                             m_MiniportFactory, adapterUnknown, &wavePort);
    if (wavePort != nullptr && !NT_SUCCESS(status))
        wavePort->Release();
    // A stream the audio engine could not open is left out, not the device.
    if (status == WAVE_NO_PCM_FORMAT_STATUS)
    {
        ReportNotInstalled(CurrentFormatList() != m_TwoChannelFormatList
                               ? "it offers no PCM format"
                               : "it offers no PCM format: a render stream to headphones, front "
                                 "headphones, S/PDIF or a headset offers its two-channel formats "
                                 "only, where it has any");
        return STATUS_SUCCESS;
    }
    if (status == WAVE_NOT_CONNECTABLE_STATUS && m_NotConnectable != nullptr)
    {
        ReportNotInstalled(m_NotConnectable);
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status))
        return status;
    const ConnectionEnds ends = EndsOf(m_Direction, wavePort, m_TopologyPort, m_TopologyPin);
    status =
        PcRegisterPhysicalConnection(deviceObject, ends.From, ends.FromPin, ends.To, ends.ToPin);
    if (!NT_SUCCESS(status))
    {
        // A filter without its connection is of no use: take it away again,
        // so that the next return to full power tries anew.
        PUNREGISTERSUBDEVICE unregister = nullptr;
        if (NT_SUCCESS(wavePort->QueryInterface(IID_IUnregisterSubdevice, (PVOID*)&unregister)))
        {
            unregister->UnregisterSubdevice(deviceObject, wavePort);
            unregister->Release();
        }
        wavePort->Release();
        return status;
    }
    m_WavePort = wavePort;
    return status;
}

NTSTATUS CStreamEngine::RemoveMiniport(PDEVICE_OBJECT deviceObject)
{
    PAGED_CODE();
    if (m_WavePort == nullptr)
        return STATUS_SUCCESS;
    const ConnectionEnds ends = EndsOf(m_Direction, m_WavePort, m_TopologyPort, m_TopologyPin);
    if (ends.From == nullptr || ends.To == nullptr)
        return STATUS_UNSUCCESSFUL;
    PUNREGISTERPHYSICALCONNECTION unregisterConnection = nullptr;
    NTSTATUS status =
        ends.From->QueryInterface(IID_IUnregisterPhysicalConnection, (PVOID*)&unregisterConnection);
    if (!NT_SUCCESS(status))
        return status;
    PUNREGISTERSUBDEVICE unregisterSubdevice = nullptr;
    status = m_WavePort->QueryInterface(IID_IUnregisterSubdevice, (PVOID*)&unregisterSubdevice);
    if (NT_SUCCESS(status) && unregisterConnection != nullptr && unregisterSubdevice != nullptr)
    {
        status = unregisterConnection->UnregisterPhysicalConnection(
            deviceObject, ends.From, ends.FromPin, ends.To, ends.ToPin);
        // With the connection still registered the subdevice stays too, so
        // that a later removal can finish the job.
        if (NT_SUCCESS(status))
            status = unregisterSubdevice->UnregisterSubdevice(deviceObject, m_WavePort);
        if (NT_SUCCESS(status))
        {
            m_WavePort->Release();
            m_WavePort = nullptr;
        }
    }
    if (unregisterSubdevice != nullptr)
        unregisterSubdevice->Release();
    if (unregisterConnection != nullptr)
        unregisterConnection->Release();
    return status;
}

NTSTATUS InstallEngineSubdevice(CStreamEngine* engine, PDEVICE_OBJECT deviceObject, PIRP irp,
                                REFCLSID portClassId, REFCLSID miniportClassId,
                                PENGINE_MINIPORT_FACTORY factory, PUNKNOWN adapterUnknown,
                                PUNKNOWN* wavePort)
{
    PAGED_CODE();
    if (engine == nullptr || adapterUnknown == nullptr || wavePort == nullptr)
        return STATUS_INVALID_PARAMETER;
    *wavePort = nullptr;
    EngineSteps steps(engine, factory, miniportClassId, engine->m_TopologyLink);
    const NTSTATUS status = InstallPortSubdevice(deviceObject, irp, portClassId, adapterUnknown,
                                                 steps, wavePort, nullptr);
    if (steps.IsRegistered())
        engine->m_TopologyPin = steps.TopologyPin();
    engine->m_NotConnectable = steps.NotConnectable();
    return status;
}
