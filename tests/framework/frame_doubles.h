// Test doubles for the device-object and stream-engine tests: streams,
// terminals and other controls, chain nodes, selector units, a device class
// and the wave and topology miniports, plus an adapter device to install on.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "framework/audio_hal.h"
#include "framework/stream_engine.h"
#include "platform/io/io_emu.h"
#include "tests/framework/bus_device_rig.h"

inline constexpr ULONG kDoubleTag = POOL_TAG("Dbl2");

// Every call the doubles see, in order, as short text ("restore 3", "index 7=2").
std::vector<std::string>& DoubleLog();

// ----------------------------------------------------------------------------
// A stream: the engine with processing that does nothing.
class TestEngine : public CStreamEngine
{
  public:
    TestEngine() : CStreamEngine(nullptr, 0x1234) {}
    ~TestEngine() override;
    NTSTATUS ProcessBuffer(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBufferStage1(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage1(PVOID, ULONG, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBufferStage2(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage2(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBufferStage3(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage3(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS PowerChangeState(ULONG newState) override
    {
        PowerStates.push_back(newState);
        return PowerStatus;
    }

    CPtrList* ProcessingList() const { return m_ProcessingList; }
    CPtrList* ClientList(int i) const { return m_ClientLists[i]; }
    CPtrList* StageList(int i) const { return i == 2 ? m_StageList2 : m_StageList3; }
    float* WorkBuffer() const { return m_WorkBuffer; }
    float** ChannelBuffers() const { return m_ChannelBuffers; }
    PCALLBACK_OBJECT CallbackObject() const { return m_CallbackObject; }
    PUNKNOWN WavePort() const { return m_WavePort; }

    std::vector<ULONG> PowerStates;
    NTSTATUS PowerStatus = STATUS_SUCCESS;
};
// Constructed, referenced once and opened with the direction.
TestEngine* MakeEngine(ULONG direction);
// Constructed and referenced once, not opened.
TestEngine* MakeUnopenedEngine();

// ----------------------------------------------------------------------------
// A unit or control: restore, start and stop are logged; optionally a chain
// node or a follower of selectors.
class TestUnit : public CAudioControl, public IChainNode, public IChainNodeState
{
  public:
    TestUnit(ULONG id, ULONG kind) : CAudioControl(nullptr, id, kind) {}
    ~TestUnit() override;
    STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    NTSTATUS RestoreState() override;
    NTSTATUS Start() override;
    NTSTATUS Stop() override;

    // IChainNode
    STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP SetFormat(PWAVEFORMATEX) override { return STATUS_SUCCESS; }
    STDMETHODIMP ResetStages() override { return STATUS_SUCCESS; }
    STDMETHODIMP Process(PWAVEFORMATEX, PVOID, ULONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP Flush(PWAVEFORMATEX, PVOID, ULONG) override { return STATUS_SUCCESS; }
    // IChainNodeState
    STDMETHODIMP SelectionChanging(ULONG, ULONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP SetState(ULONG selection) override;
    STDMETHODIMP SetIndex(ULONG inputNumber) override;

    bool IsChainNode = false;
    bool FollowsSelector = false;
    NTSTATUS RestoreStatus = STATUS_SUCCESS;
    ULONG Index = 0;
    ULONG State = 0;
};
// With source ids as values.
TestUnit* MakeUnit(ULONG id, ULONG kind, std::vector<ULONG> sources = {});

// ----------------------------------------------------------------------------
// An input or output terminal with its endpoint kind and jack records.
class TestTerminal : public CAudioControl, public ITerminalControl
{
  public:
    TestTerminal(ULONG id, ULONG kind) : CAudioControl(nullptr, id, kind) {}
    ~TestTerminal() override;
    STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    STDMETHODIMP GetCurrentKind(PULONG endpointKind) override;
    STDMETHODIMP GetKindCount(PULONG count) override;
    STDMETHODIMP GetKinds(PULONG kinds) override;
    STDMETHODIMP SetKind(ULONG endpointKind) override;
    STDMETHODIMP GetJackCount(PULONG count) override;
    STDMETHODIMP GetJackInfo(ULONG bytes, PVOID jacks) override;
    STDMETHODIMP GetEndpointCapabilities(PENDPOINTCAPABILITIES capabilities) override;

    bool Answers = true; // answers ITerminalControl
    ULONG EndpointKind = 0;
    ULONG JackCount = 0;
    JackRecord Jacks[4] = {};
    NTSTATUS CountStatus = STATUS_SUCCESS, InfoStatus = STATUS_SUCCESS; // a failing read
};
TestTerminal* MakeTerminal(ULONG id, ULONG kind, ULONG endpointKind, ULONG jackCount = 0,
                           bool connected = false);

// The output-type control of an output terminal.
class TestOutputType : public CAudioControl, public IOutputTypeControl
{
  public:
    explicit TestOutputType(ULONG id) : CAudioControl(nullptr, id, CONTROL_KIND_LIST) {}
    ~TestOutputType() override;
    STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    STDMETHODIMP GetCurrent(PULONG endpointKind) override;
    STDMETHODIMP GetCount(PULONG count) override;
    STDMETHODIMP GetItems(PULONG items) override;
    STDMETHODIMP Select(ULONG endpointKind) override;
    STDMETHODIMP_(BOOLEAN) IsChanged() override { return FALSE; }
    STDMETHODIMP_(void) ClearChanged() override {}
    STDMETHODIMP AddListener(PCONTROLMODESETUP) override { return STATUS_SUCCESS; }
    STDMETHODIMP Init(ULONG, ULONG, const ULONG*) override { return STATUS_SUCCESS; }

    ULONG Current = 0;
};
TestOutputType* MakeOutputType(ULONG id, ULONG current);

// A selector control whose values are the source ids of its inputs; keeps
// its listeners referenced.
class TestSelector : public CAudioControl, public ISelectorControl
{
  public:
    explicit TestSelector(ULONG id) : CAudioControl(nullptr, id, CONTROL_KIND_SELECTOR) {}
    ~TestSelector() override;
    STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    STDMETHODIMP GetCurrent(PULONG selection) override;
    STDMETHODIMP SetCurrent(ULONG selection) override;
    STDMETHODIMP GetSourceCount(PULONG count) override;
    STDMETHODIMP AddListener(PCHAINNODESTATE listener) override;

    ULONG Current = 1;
    std::vector<PCHAINNODESTATE> Listeners;
};
TestSelector* MakeSelector(ULONG id, std::vector<ULONG> sources);

// A chain node that is no control.
class TestNode : public CUnknown, public IChainNode
{
  public:
    TestNode() : CUnknown(nullptr) {}
    ~TestNode() override;
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP SetFormat(PWAVEFORMATEX) override { return STATUS_SUCCESS; }
    STDMETHODIMP ResetStages() override { return STATUS_SUCCESS; }
    STDMETHODIMP Process(PWAVEFORMATEX, PVOID, ULONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP Flush(PWAVEFORMATEX, PVOID, ULONG) override { return STATUS_SUCCESS; }
};
TestNode* MakeNode();

// ----------------------------------------------------------------------------
// A device class: InitDevice runs the test's set-up.
class TestDevice : public CAudioHal
{
  public:
    TestDevice() : CAudioHal(nullptr) {}
    ~TestDevice() override;
    STDMETHODIMP InitDevice() override { return Setup ? Setup(this) : STATUS_SUCCESS; }
    STDMETHODIMP StartAllUnits() override
    {
        DoubleLog().push_back("device start");
        return CAudioHal::StartAllUnits();
    }
    STDMETHODIMP StopAllUnits() override
    {
        DoubleLog().push_back("device stop");
        return CAudioHal::StopAllUnits();
    }
    void PowerTo(ULONG state, PDEVICEMODEL model = nullptr)
    {
        DevicePowerChangeState(state, model);
    }
    void SetCapabilities(const EndpointCapabilities& record) { m_CapabilityRecord = record; }
    PDEVICE_OBJECT Next() const { return m_NextDeviceObject; }
    PDEVICE_OBJECT Physical() const { return m_PhysicalDeviceObject; }

    std::function<NTSTATUS(TestDevice*)> Setup;
};
TestDevice* MakeDevice();
// The device as its users see it.
inline PADAPTERCOMMON AsAdapter(TestDevice* device)
{
    return static_cast<IAdapterCommon*>(device);
}

// ----------------------------------------------------------------------------
// Miniports. The wave miniport reports the terminal id and name the script
// holds; the topology miniport of the adapter rig
// maps terminal ids 10 to 13 to pins 2 to 5.
struct WaveScript
{
    ULONG TerminalId = 10;
    std::u16string Name = u"SPKOut00Wave";
    NTSTATUS FactoryStatus = STATUS_SUCCESS;
    bool Identity = true;
    std::vector<ULONG> EngineIndexes; // one per miniport created
};
WaveScript& Wave();
NTSTATUS CreateTestWaveMiniport(PUNKNOWN* miniport, REFCLSID classId, PUNKNOWN outerUnknown,
                                POOL_TYPE poolType, ULONG engineIndex);

// A topology miniport of this name and pin count that maps terminal ids 10 to
// LastTerminal to its pins 2 on, answering the identity interface or not.
struct TopologyShape
{
    std::u16string Name;
    ULONG LastTerminal = 13;
    ULONG Pins = 5;
    bool Identity = true;
};
NTSTATUS CreateTestTopologyMiniport(PUNKNOWN* miniport, POOL_TYPE poolType, ULONG tag,
                                    const TopologyShape& shape);

// An adapter device with a topology subdevice "GlobalTopo" registered on it.
class AdapterRig
{
  public:
    explicit AdapterRig(bool topologyIdentity = true);
    ~AdapterRig();
    bool Ok() const { return m_Fdo != nullptr && m_TopologyPort != nullptr; }
    PDEVICE_OBJECT Fdo() const { return m_Fdo; }
    PUNKNOWN TopologyPort() const { return m_TopologyPort; }
    PUNKNOWN TopologyMiniport() const { return m_TopologyMiniport; }
    // Names of the registered subdevices, and connections as
    // "from:pin->to:pin".
    std::vector<std::u16string> Subdevices() const { return SubdeviceNames(m_Fdo); }
    std::vector<std::string> Connections() const { return ConnectionTexts(m_Fdo); }

  private:
    BusDeviceRig m_Device;
    PDEVICE_OBJECT m_Fdo = nullptr;
    PUNKNOWN m_TopologyPort = nullptr;
    PUNKNOWN m_TopologyMiniport = nullptr; // held by the port
};

// A plain or extensible format record.
WAVEFORMATEXTENSIBLE FormatRecord(USHORT channels, ULONG rate, USHORT bits, USHORT tag = 1);
