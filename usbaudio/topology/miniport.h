// The miniport of the adapter's one topology subdevice, "GlobalTopo": every
// terminal control of the device becomes a filter pin (stream pins first),
// every other control but the clock a node (in reverse of the device's
// order), and the connections follow the controls' source links back from
// every output terminal. Node properties go to the controls (see
// topology_properties.h); control changes the device announces on its
// callback object come back as the audio control-change event of the node.
#pragma once

#include "framework/adapter_interfaces.h"
#include "framework/audio_control.h"
#include "framework/interfaces.h"
#include "platform/portcls/portcls.h"
#include "platform/portcls/stdunk.h"

inline constexpr ULONG TOPOLOGY_POOL_TAG = POOL_TAG("TOPO");
inline constexpr ULONG TOPOLOGY_NAME_CHARS = 51;
// Device power states the miniport keeps: D0 (1) to D3 (4).
inline constexpr ULONG TOPOLOGY_INITIAL_POWER_STATE = 1;

NTSTATUS CreateMiniportTopology(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outerUnknown,
                                POOL_TYPE poolType);

// A pin or node of the filter: the control behind it (referenced) and its
// index in the descriptor array.
struct TopologyEntry
{
    PAUDIOCONTROL Control;
    ULONG Index;
};

class CTopologyMiniport : public IMiniportTopology,
                          public IPowerNotify,
                          public IMiniportIdentity,
                          public CUnknown
{
  public:
    explicit CTopologyMiniport(PUNKNOWN outerUnknown);
    ~CTopologyMiniport() override;
    DECLARE_STD_UNKNOWN()

    // IMiniport
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    STDMETHODIMP DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange,
                                       PKSDATARANGE matchingDataRange, ULONG outputBufferLength,
                                       PVOID resultantFormat,
                                       PULONG resultantFormatLength) override;
    // IMiniportTopology
    STDMETHODIMP Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList,
                      PPORTTOPOLOGY port) override;
    // IPowerNotify
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE powerState) override;
    // IMiniportIdentity: in a terminal control id, out the pin of that terminal.
    STDMETHODIMP GetConnectionId(PULONG connectionId) override;
    STDMETHODIMP GetFilterName(PWSTR* filterName) override;

    // The first node (in node order) whose control has `id`.
    BOOLEAN FindNodeById(ULONG id, TopologyEntry** entry);
    TopologyEntry* NodeAt(ULONG index) const;
    TopologyEntry* PinAt(ULONG index) const;
    TopologyEntry* PinById(ULONG id) const;
    ULONG GetNodeCount() const { return m_NodeCount; }
    ULONG GetPinCount() const { return m_PinCount; }
    ULONG GetPowerState() const { return m_PowerState; }
    PPORTEVENTS GetPortEvents() const { return m_PortEvents; }
    PGUID PseudoNodeName() { return &m_PseudoNodeName; }
    // The device's lock over jacks and output types; null when it has none.
    PDEVICELOCK DeviceLock() const { return m_DeviceLock; }
    // Raises the audio control-change event of a node.
    void RaiseControlChange(ULONG nodeIndex);

    static CTopologyMiniport* From(PUNKNOWN majorTarget);

  private:
    NTSTATUS BuildPins();
    NTSTATUS BuildNodes();
    NTSTATUS BuildDescriptor();
    NTSTATUS BuildPinDescriptor(TopologyEntry& pin, PCPIN_DESCRIPTOR& descriptor);
    NTSTATUS BuildConnections();
    NTSTATUS WalkNode(ULONG nodeIndex, PUCHAR state, ULONG depth);
    NTSTATUS SourcesOf(PAUDIOCONTROL control, PULONG count, PULONG* sources);
    void AddConnection(ULONG fromNode, ULONG fromPin, ULONG toNode, ULONG toPin);
    void FreeAll();
    static void ControlChangeCallback(PVOID context, PVOID argument1, PVOID argument2);

    PPORTTOPOLOGY m_Port;
    PPORTEVENTS m_PortEvents;
    PWSTR m_FilterName;
    PVOID m_CallbackHandle;
    PADAPTERCOMMON m_Device;
    PDEVICELOCK m_DeviceLock;
    TopologyEntry* m_Pins;
    TopologyEntry* m_Nodes;
    ULONG m_PinCount;
    ULONG m_NodeCount;
    ULONG m_ConnectionCount;
    ULONG m_ConnectionCapacity;
    PPCFILTER_DESCRIPTOR m_FilterDescriptor;
    PPCPIN_DESCRIPTOR m_PinDescriptors;
    PPCNODE_DESCRIPTOR m_NodeDescriptors;
    PPCCONNECTION_DESCRIPTOR m_Connections;
    GUID m_SpdifOutName;
    GUID m_SpdifInName;
    GUID m_LineInName;
    GUID m_PseudoNodeName;
    ULONG m_PowerState;
};
