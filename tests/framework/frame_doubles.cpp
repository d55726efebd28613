#include "tests/framework/frame_doubles.h"

#include <gtest/gtest.h>

#include "platform/portcls/portcls_emu.h"

std::vector<std::string>& DoubleLog()
{
    static std::vector<std::string> log;
    return log;
}

namespace
{
void Log(const std::string& what)
{
    DoubleLog().push_back(what);
}

template <typename T, typename... Args> T* Make(Args... args)
{
    T* object = new (NonPagedPool, kDoubleTag) T(args...);
    if (object != nullptr)
        object->GetNonDelegatingUnknown()->AddRef();
    return object;
}

// Pins of the doubles' filters: only their count matters to the library.
PCPIN_DESCRIPTOR g_Pins[24] = {};
PCFILTER_DESCRIPTOR FilterWithPins(ULONG pins)
{
    PCFILTER_DESCRIPTOR d = {};
    d.PinSize = sizeof(PCPIN_DESCRIPTOR);
    d.PinCount = pins;
    d.Pins = g_Pins;
    d.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    return d;
}
} // namespace

// Out of line, so that the tables are emitted here only.
TestEngine::~TestEngine() {}
TestUnit::~TestUnit() {}
TestTerminal::~TestTerminal() {}
TestOutputType::~TestOutputType() {}
TestNode::~TestNode() {}
TestDevice::~TestDevice() {}

TestEngine* MakeUnopenedEngine()
{
    return Make<TestEngine>();
}

TestEngine* MakeEngine(ULONG direction)
{
    TestEngine* engine = Make<TestEngine>();
    if (engine != nullptr && !NT_SUCCESS(engine->OpenStreamEngineCallback(direction)))
    {
        engine->Release();
        return nullptr;
    }
    return engine;
}

// ----------------------------------------------------------------------------
NTSTATUS TestUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsChainNode && IsEqualGUID(iid, IID_IChainNode))
        *object = static_cast<IChainNode*>(this);
    else if (FollowsSelector && IsEqualGUID(iid, IID_IChainNodeState))
        *object = static_cast<IChainNodeState*>(this);
    else
        return CAudioControl::NonDelegatingQueryInterface(iid, object);
    AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS TestUnit::RestoreState()
{
    Log("restore " + std::to_string(m_Id));
    return RestoreStatus;
}

NTSTATUS TestUnit::Start()
{
    Log("start " + std::to_string(m_Id));
    return STATUS_UNSUCCESSFUL; // results are not looked at
}

NTSTATUS TestUnit::Stop()
{
    Log("stop " + std::to_string(m_Id));
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS TestUnit::SetState(ULONG selection)
{
    State = selection;
    Log("state " + std::to_string(m_Id) + "=" + std::to_string(selection));
    return STATUS_SUCCESS;
}

NTSTATUS TestUnit::SetIndex(ULONG inputNumber)
{
    Index = inputNumber;
    Log("index " + std::to_string(m_Id) + "=" + std::to_string(inputNumber));
    return STATUS_SUCCESS;
}

TestUnit* MakeUnit(ULONG id, ULONG kind, std::vector<ULONG> sources)
{
    TestUnit* unit = Make<TestUnit>(id, kind);
    if (unit != nullptr && !sources.empty())
        unit->SetValueArray((ULONG)sources.size(), sources.data());
    return unit;
}

// ----------------------------------------------------------------------------
NTSTATUS TestTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (Answers && IsEqualGUID(iid, IID_ITerminalControl))
    {
        *object = static_cast<ITerminalControl*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CAudioControl::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS TestTerminal::GetCurrentKind(PULONG endpointKind)
{
    if (endpointKind == nullptr)
        return STATUS_INVALID_PARAMETER;
    *endpointKind = EndpointKind;
    return STATUS_SUCCESS;
}

NTSTATUS TestTerminal::GetKindCount(PULONG count)
{
    *count = 1;
    return STATUS_SUCCESS;
}

NTSTATUS TestTerminal::GetKinds(PULONG kinds)
{
    kinds[0] = EndpointKind;
    return STATUS_SUCCESS;
}

NTSTATUS TestTerminal::SetKind(ULONG endpointKind)
{
    EndpointKind = endpointKind;
    return STATUS_SUCCESS;
}

NTSTATUS TestTerminal::GetJackCount(PULONG count)
{
    Log("jackcount " + std::to_string(m_Id));
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    *count = JackCount;
    return CountStatus;
}

NTSTATUS TestTerminal::GetJackInfo(ULONG bytes, PVOID jacks)
{
    if (jacks == nullptr || bytes == 0 || JackCount == 0)
        return STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(InfoStatus))
        return InfoStatus;
    ULONG have = JackCount * JACK_RECORD_SIZE;
    memcpy(jacks, Jacks, bytes < have ? bytes : have);
    return STATUS_SUCCESS;
}

NTSTATUS TestTerminal::GetEndpointCapabilities(PENDPOINTCAPABILITIES capabilities)
{
    if (capabilities == nullptr)
        return STATUS_INVALID_PARAMETER;
    *capabilities = {};
    return STATUS_SUCCESS;
}

TestTerminal* MakeTerminal(ULONG id, ULONG kind, ULONG endpointKind, ULONG jackCount,
                           bool connected)
{
    TestTerminal* t = Make<TestTerminal>(id, kind);
    if (t == nullptr)
        return nullptr;
    t->EndpointKind = endpointKind;
    t->JackCount = jackCount;
    for (ULONG i = 0; i < jackCount && i < 4; ++i)
        t->Jacks[i].IsConnected = connected ? 1 : 0;
    return t;
}

// ----------------------------------------------------------------------------
NTSTATUS TestOutputType::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IOutputTypeControl))
    {
        *object = static_cast<IOutputTypeControl*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CAudioControl::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS TestOutputType::GetCurrent(PULONG endpointKind)
{
    if (endpointKind == nullptr)
        return STATUS_INVALID_PARAMETER;
    *endpointKind = Current;
    return STATUS_SUCCESS;
}

NTSTATUS TestOutputType::GetCount(PULONG count)
{
    *count = 1;
    return STATUS_SUCCESS;
}

NTSTATUS TestOutputType::GetItems(PULONG items)
{
    items[0] = Current;
    return STATUS_SUCCESS;
}

NTSTATUS TestOutputType::Select(ULONG endpointKind)
{
    Current = endpointKind;
    return STATUS_SUCCESS;
}

TestOutputType* MakeOutputType(ULONG id, ULONG current)
{
    TestOutputType* o = Make<TestOutputType>(id);
    if (o != nullptr)
        o->Current = current;
    return o;
}

// ----------------------------------------------------------------------------
TestSelector::~TestSelector()
{
    for (PCHAINNODESTATE l : Listeners)
        l->Release();
}

NTSTATUS TestSelector::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_ISelectorControl))
    {
        *object = static_cast<ISelectorControl*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CAudioControl::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS TestSelector::GetCurrent(PULONG selection)
{
    if (selection == nullptr)
        return STATUS_INVALID_PARAMETER;
    *selection = Current;
    return STATUS_SUCCESS;
}

NTSTATUS TestSelector::SetCurrent(ULONG selection)
{
    if (selection > m_ValueCount)
        return STATUS_INVALID_PARAMETER;
    Current = selection;
    return STATUS_SUCCESS;
}

NTSTATUS TestSelector::GetSourceCount(PULONG count)
{
    *count = m_ValueCount;
    return STATUS_SUCCESS;
}

NTSTATUS TestSelector::AddListener(PCHAINNODESTATE listener)
{
    if (listener == nullptr)
        return STATUS_INVALID_PARAMETER;
    listener->AddRef();
    Listeners.push_back(listener);
    Log("listener " + std::to_string(m_Id));
    return STATUS_SUCCESS;
}

TestSelector* MakeSelector(ULONG id, std::vector<ULONG> sources)
{
    TestSelector* s = Make<TestSelector>(id);
    if (s != nullptr && !sources.empty())
        s->SetValueArray((ULONG)sources.size(), sources.data());
    return s;
}

// ----------------------------------------------------------------------------
NTSTATUS TestNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (object != nullptr && IsEqualGUID(iid, IID_IChainNode))
    {
        *object = static_cast<IChainNode*>(this);
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}

TestNode* MakeNode()
{
    return Make<TestNode>();
}

TestDevice* MakeDevice()
{
    return Make<TestDevice>();
}

// ----------------------------------------------------------------------------
// Miniports
WaveScript& Wave()
{
    static WaveScript script;
    return script;
}

namespace
{
class TestWaveMiniport : public CUnknown, public IMiniportWaveCyclic, public IMiniportIdentity
{
  public:
    TestWaveMiniport() : CUnknown(nullptr), m_Filter(FilterWithPins(2))
    {
        size_t n = Wave().Name.size();
        if (n > 50)
            n = 50;
        memcpy(m_Name, Wave().Name.data(), n * sizeof(WCHAR));
    }
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* description) override
    {
        *description = &m_Filter;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID,
                                       PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP Init(PUNKNOWN, PRESOURCELIST, PPORTWAVECYCLIC) override { return STATUS_SUCCESS; }
    STDMETHODIMP NewStream(PMINIPORTWAVECYCLICSTREAM*, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN,
                           PKSDATAFORMAT, PDMACHANNEL*, PSERVICEGROUP*) override
    {
        return STATUS_NOT_SUPPORTED;
    }
    STDMETHODIMP GetConnectionId(PULONG connectionId) override
    {
        *connectionId = Wave().TerminalId;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetFilterName(PWSTR* filterName) override
    {
        if (filterName == nullptr)
            return STATUS_INVALID_PARAMETER;
        *filterName = m_Name;
        return STATUS_SUCCESS;
    }

  private:
    PCFILTER_DESCRIPTOR m_Filter;
    WCHAR m_Name[51] = {};
};

NTSTATUS TestWaveMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveCyclic))
        *object = static_cast<IMiniportWaveCyclic*>(this);
    else if (Wave().Identity && IsEqualGUID(iid, IID_IMiniportIdentity))
        *object = static_cast<IMiniportIdentity*>(this);
    else
        return CUnknown::NonDelegatingQueryInterface(iid, object);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
}

class TestTopologyMiniport : public CUnknown, public IMiniportTopology, public IMiniportIdentity
{
  public:
    explicit TestTopologyMiniport(const TopologyShape& shape)
        : CUnknown(nullptr), m_Shape(shape), m_Filter(FilterWithPins(shape.Pins))
    {
    }
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* description) override
    {
        *description = &m_Filter;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID,
                                       PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY) override { return STATUS_SUCCESS; }
    STDMETHODIMP GetConnectionId(PULONG connectionId) override
    {
        if (connectionId == nullptr || *connectionId < kFirstTopologyTerminal ||
            *connectionId > m_Shape.LastTerminal)
            return STATUS_UNSUCCESSFUL;
        *connectionId = *connectionId - kFirstTopologyTerminal + kFirstTopologyPin;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetFilterName(PWSTR* filterName) override
    {
        if (filterName == nullptr)
            return STATUS_INVALID_PARAMETER;
        *filterName = m_Shape.Name.data();
        return STATUS_SUCCESS;
    }

  private:
    static constexpr ULONG kFirstTopologyTerminal = 10;
    static constexpr ULONG kFirstTopologyPin = 2;
    TopologyShape m_Shape;
    PCFILTER_DESCRIPTOR m_Filter;
};

NTSTATUS TestTopologyMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportTopology))
        *object = static_cast<IMiniportTopology*>(this);
    else if (m_Shape.Identity && IsEqualGUID(iid, IID_IMiniportIdentity))
        *object = static_cast<IMiniportIdentity*>(this);
    else
        return CUnknown::NonDelegatingQueryInterface(iid, object);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS CreateTestWaveMiniport(PUNKNOWN* miniport, REFCLSID, PUNKNOWN, POOL_TYPE poolType,
                                ULONG engineIndex)
{
    Wave().EngineIndexes.push_back(engineIndex);
    if (!NT_SUCCESS(Wave().FactoryStatus))
        return Wave().FactoryStatus;
    auto object = new (poolType, kDoubleTag) TestWaveMiniport();
    if (object == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *miniport = object->GetNonDelegatingUnknown();
    (*miniport)->AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS CreateTestTopologyMiniport(PUNKNOWN* miniport, POOL_TYPE poolType, ULONG tag,
                                    const TopologyShape& shape)
{
    auto object = new (poolType, tag) TestTopologyMiniport(shape);
    if (object == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *miniport = object->GetNonDelegatingUnknown();
    (*miniport)->AddRef();
    return STATUS_SUCCESS;
}

AdapterRig::AdapterRig(bool topologyIdentity)
{
    Wave() = WaveScript();
    if (!m_Device.Load({.BusName = u"ltfr2bus",
                        .InstancePath = u"USB\\VID_4C54&PID_1001\\5&1a2b&0&3",
                        .DriverName = u"ltfr2adapter"}) ||
        !NT_SUCCESS(m_Device.Add()))
        return;
    m_Fdo = m_Device.Fdo();
    PPORT port = nullptr;
    if (!NT_SUCCESS(PcNewPort(&port, CLSID_PortTopology)))
        return;
    PUNKNOWN unknown = nullptr;
    if (NT_SUCCESS(CreateTestTopologyMiniport(&unknown, NonPagedPool, kDoubleTag,
                                              {.Name = u"GlobalTopo",
                                               .LastTerminal = 13,
                                               .Pins = 5,
                                               .Identity = topologyIdentity})) &&
        NT_SUCCESS(port->Init(m_Fdo, nullptr, unknown, nullptr, nullptr)) &&
        NT_SUCCESS(PcRegisterSubdevice(m_Fdo, u"GlobalTopo", port)))
    {
        m_TopologyPort = port;
        m_TopologyMiniport = unknown;
        port = nullptr;
    }
    if (unknown != nullptr)
        unknown->Release();
    if (port != nullptr)
        port->Release();
}

AdapterRig::~AdapterRig()
{
    if (m_TopologyPort != nullptr)
        m_TopologyPort->Release();
}

WAVEFORMATEXTENSIBLE FormatRecord(USHORT channels, ULONG rate, USHORT bits, USHORT tag)
{
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.nBlockAlign = (USHORT)(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = bits;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = bits;
    f.dwChannelMask = channels == 2 ? 3 : 0x3F;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f.SubFormat.Data1 = tag;
    return f;
}
