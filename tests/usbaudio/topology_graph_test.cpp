// The topology miniport's connection walk on control graphs no device
// descriptor of the reference set has: a diamond chain (each node feeding
// two consumers, walked for each and listed once, in time linear in the
// chain), a cycle of source links, a source that is neither node nor pin,
// a filter without output pin; and the bound of the event handler's node id.
#include <gtest/gtest.h>

#include <vector>

#include "platform/kernel/emu.h"
#include "usbaudio/controls/terminal_control.h"
#include "usbaudio/topology_miniport.h"
#include "usbaudio/topology_properties.h"

namespace
{
constexpr ULONG kTag = POOL_TAG("TgTs");
constexpr ULONG kFilter = PCFILTER_NODE;

// The device side of the miniport: a control list, nothing else.
class GraphDevice : public IAdapterCommon
{
  public:
    ~GraphDevice()
    {
        for (CAudioControl* c : m_Controls)
            c->Release();
    }
    // A terminal control (kind 0 input, 1 output) of an endpoint kind.
    void Pin(ULONG id, ULONG kind, ULONG endpointKind, std::vector<ULONG> sources = {})
    {
        auto c = new (NonPagedPool, kTag) CTerminalControl(nullptr, id, kind);
        c->AddRef();
        EXPECT_EQ(STATUS_SUCCESS, c->Init(1, &endpointKind, 0, nullptr));
        Add(c, sources);
    }
    void Node(ULONG id, ULONG kind, std::vector<ULONG> sources)
    {
        auto c = new (NonPagedPool, kTag) CAudioControl(nullptr, id, kind);
        c->AddRef();
        Add(c, sources);
    }

    STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override
    {
        if (!IsEqualGUID(iid, IID_IAdapterCommon) && !IsEqualGUID(iid, IID_IUnknown))
            return STATUS_INVALID_PARAMETER;
        *object = static_cast<IAdapterCommon*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_References; }
    STDMETHODIMP_(ULONG) Release() override { return --m_References; }
    STDMETHODIMP GetStreamCapabilities(ULONG, PENDPOINTCAPABILITIES) override
    {
        return STATUS_UNSUCCESSFUL;
    }
    STDMETHODIMP GetComponentId(PVOID, PKSCOMPONENTID) override { return STATUS_UNSUCCESSFUL; }
    STDMETHODIMP_(ULONG) GetEngineCount() override { return 0; }
    STDMETHODIMP GetEngine(ULONG, CStreamEngine**) override { return STATUS_UNSUCCESSFUL; }
    STDMETHODIMP_(ULONG) GetUnitCount() override { return (ULONG)m_Controls.size(); }
    STDMETHODIMP GetUnit(ULONG index, CAudioControl** unit) override
    {
        if (index >= m_Controls.size())
            return STATUS_UNSUCCESSFUL;
        *unit = m_Controls[index];
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(PDEVICE_OBJECT) GetDeviceObject() override { return nullptr; }
    STDMETHODIMP OpenAudioHalCallback(PRESOURCELIST, PDEVICE_OBJECT, PDEVICE_OBJECT,
                                      PDEVICE_OBJECT) override
    {
        return STATUS_UNSUCCESSFUL;
    }
    STDMETHODIMP StartAllUnits() override { return STATUS_SUCCESS; }
    STDMETHODIMP StopAllUnits() override { return STATUS_SUCCESS; }
    STDMETHODIMP RegisterCallback(PCALLBACK_FUNCTION, PVOID, PVOID* registration) override
    {
        *registration = this;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP UnregisterCallback(PVOID) override { return STATUS_SUCCESS; }
    STDMETHODIMP WakeFromIdle(PIRP) override { return STATUS_SUCCESS; }
    STDMETHODIMP InitDevice() override { return STATUS_SUCCESS; }
    STDMETHODIMP CompleteSetup() override { return STATUS_SUCCESS; }
    STDMETHODIMP GetEndpointCapabilities(BOOLEAN, ULONG, PENDPOINTCAPABILITIES) override
    {
        return STATUS_UNSUCCESSFUL;
    }
    LONG References() const { return m_References; }

  private:
    void Add(CAudioControl* c, const std::vector<ULONG>& sources)
    {
        if (!sources.empty())
        {
            EXPECT_EQ(STATUS_SUCCESS, c->SetValueArray((ULONG)sources.size(), sources.data()));
        }
        m_Controls.push_back(c);
    }
    std::vector<CAudioControl*> m_Controls;
    LONG m_References = 0;
};

// A topology miniport made and initialised on a device's controls.
class Graph
{
  public:
    explicit Graph(GraphDevice& device)
    {
        PPORT port = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, PcNewPort(&port, CLSID_PortTopology));
        EXPECT_EQ(STATUS_SUCCESS, port->QueryInterface(IID_IPortTopology, (PVOID*)&m_Port));
        port->Release();
        PUNKNOWN unknown = nullptr;
        EXPECT_EQ(STATUS_SUCCESS,
                  CreateMiniportTopology(&unknown, CLSID_PortTopology, nullptr, NonPagedPool));
        EXPECT_EQ(STATUS_SUCCESS,
                  unknown->QueryInterface(IID_IMiniportTopology, (PVOID*)&m_Miniport));
        unknown->Release();
        m_Status = m_Miniport->Init(&device, nullptr, m_Port);
    }
    ~Graph()
    {
        m_Miniport->Release();
        m_Port->Release();
    }
    NTSTATUS Status() const { return m_Status; }
    PMINIPORTTOPOLOGY Miniport() const { return m_Miniport; }
    const PCFILTER_DESCRIPTOR* Descriptor() const
    {
        PPCFILTER_DESCRIPTOR d = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, m_Miniport->GetDescription(&d));
        return d;
    }
    std::vector<PCCONNECTION_DESCRIPTOR> Connections() const
    {
        const PCFILTER_DESCRIPTOR* d = Descriptor();
        return {d->Connections, d->Connections + d->ConnectionCount};
    }

  private:
    PPORTTOPOLOGY m_Port = nullptr;
    PMINIPORTTOPOLOGY m_Miniport = nullptr;
    NTSTATUS m_Status = STATUS_UNSUCCESSFUL;
};

bool Same(const PCCONNECTION_DESCRIPTOR& a, const PCCONNECTION_DESCRIPTOR& b)
{
    return a.FromNode == b.FromNode && a.FromNodePin == b.FromNodePin && a.ToNode == b.ToNode &&
           a.ToNodePin == b.ToNodePin;
}

// A chain of `levels` diamonds: control 1 (mute) is fed by the input pin
// (id 0); each level k adds two mutes fed by the previous joint and a mixer
// that joins them; the output pin (the last id) takes the last joint.
void Diamonds(GraphDevice& device, ULONG levels)
{
    device.Pin(0, CONTROL_KIND_INPUT_TERMINAL, ENDPOINT_KIND_STREAM);
    device.Node(1, CONTROL_KIND_MUTE, {0});
    ULONG joint = 1;
    for (ULONG k = 0; k < levels; ++k)
    {
        const ULONG a = 2 + 3 * k, b = a + 1, mixer = a + 2;
        device.Node(a, CONTROL_KIND_MUTE, {joint});
        device.Node(b, CONTROL_KIND_MUTE, {joint});
        device.Node(mixer, CONTROL_KIND_MIXER_UNIT, {a, b});
        joint = mixer;
    }
    device.Pin(2 + 3 * levels, CONTROL_KIND_OUTPUT_TERMINAL, ENDPOINT_KIND_SPK, {joint});
}
} // namespace

// One diamond: the joint feeding both mutes is walked for each and its
// connection from the pin is listed once; the list is what the walk adds,
// newest first. Nodes run in reverse of the controls: mixer 0, mutes 1 and
// 2, the first mute 3.
TEST(TopologyGraph, NodeFeedingTwoConsumersIsListedOnce)
{
    GraphDevice device;
    Diamonds(device, 1);
    Graph g(device);
    ASSERT_EQ(STATUS_SUCCESS, g.Status());
    ASSERT_EQ(2u, g.Descriptor()->PinCount);
    ASSERT_EQ(4u, g.Descriptor()->NodeCount);
    const std::vector<PCCONNECTION_DESCRIPTOR> expected = {{0, 0, kFilter, 1}, {1, 0, 0, 2},
                                                           {3, 0, 1, 1},       {2, 0, 0, 1},
                                                           {3, 0, 2, 1},       {kFilter, 0, 3, 1}};
    const std::vector<PCCONNECTION_DESCRIPTOR> got = g.Connections();
    ASSERT_EQ(expected.size(), got.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(Same(expected[i], got[i])) << i;
}

// Forty diamonds in a chain: a walk that went down every path would take
// 2^40 steps; each node's connections are listed once: four per diamond,
// one from the input pin and one into the output pin.
TEST(TopologyGraph, DiamondChainIsWalkedInLinearTime)
{
    for (ULONG levels : {2u, 40u})
    {
        GraphDevice device;
        Diamonds(device, levels);
        Graph g(device);
        ASSERT_EQ(STATUS_SUCCESS, g.Status()) << levels;
        const std::vector<PCCONNECTION_DESCRIPTOR> got = g.Connections();
        EXPECT_EQ(4 * levels + 2, got.size()) << levels;
        for (size_t i = 0; i < got.size(); ++i)
            for (size_t j = i + 1; j < got.size(); ++j)
                EXPECT_FALSE(Same(got[i], got[j])) << i << " " << j;
    }
}

// Source links that run in a circle, a node that is its own source, a
// source that names nothing, and a filter without output pin fail Init
// with STATUS_UNSUCCESSFUL; the device gets every reference back.
TEST(TopologyGraph, BadGraphsFailInit)
{
    struct Case
    {
        const char* What;
        void (*Build)(GraphDevice&);
    };
    const Case cases[] = {
        {"cycle",
         [](GraphDevice& d)
         {
             d.Pin(0, CONTROL_KIND_INPUT_TERMINAL, ENDPOINT_KIND_STREAM);
             d.Node(1, CONTROL_KIND_MUTE, {2});
             d.Node(2, CONTROL_KIND_VOLUME, {3});
             d.Node(3, CONTROL_KIND_MIXER_UNIT, {0, 1});
             d.Pin(4, CONTROL_KIND_OUTPUT_TERMINAL, ENDPOINT_KIND_SPK, {2});
         }},
        {"self",
         [](GraphDevice& d)
         {
             d.Pin(0, CONTROL_KIND_INPUT_TERMINAL, ENDPOINT_KIND_STREAM);
             d.Node(1, CONTROL_KIND_MUTE, {1});
             d.Pin(2, CONTROL_KIND_OUTPUT_TERMINAL, ENDPOINT_KIND_SPK, {1});
         }},
        {"dangling",
         [](GraphDevice& d)
         {
             d.Pin(0, CONTROL_KIND_INPUT_TERMINAL, ENDPOINT_KIND_STREAM);
             d.Node(1, CONTROL_KIND_MUTE, {9});
             d.Pin(2, CONTROL_KIND_OUTPUT_TERMINAL, ENDPOINT_KIND_SPK, {1});
         }},
        {"no output",
         [](GraphDevice& d)
         {
             d.Pin(0, CONTROL_KIND_INPUT_TERMINAL, ENDPOINT_KIND_STREAM);
             d.Node(1, CONTROL_KIND_MUTE, {0});
         }},
    };
    for (const Case& c : cases)
    {
        GraphDevice device;
        c.Build(device);
        {
            Graph g(device);
            EXPECT_EQ(STATUS_UNSUCCESSFUL, g.Status()) << c.What;
            PPCFILTER_DESCRIPTOR d = nullptr;
            EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, g.Miniport()->GetDescription(&d));
        }
        EXPECT_EQ(0, device.References()) << c.What;
    }
}

// The event handler takes node ids below the node count only: the last node
// is accepted, the count itself (and beyond) is not.
TEST(TopologyGraph, EventNodeIdBelowTheNodeCount)
{
    GraphDevice device;
    Diamonds(device, 1);
    Graph g(device);
    ASSERT_EQ(STATUS_SUCCESS, g.Status());
    const ULONG nodes = g.Descriptor()->NodeCount;
    struct Case
    {
        ULONG Node;
        NTSTATUS Status;
    };
    for (const Case& c :
         {Case{0, STATUS_SUCCESS}, Case{nodes - 1, STATUS_SUCCESS},
          Case{nodes, STATUS_INVALID_PARAMETER}, Case{nodes + 1, STATUS_INVALID_PARAMETER},
          Case{0xFFFFFFFF, STATUS_INVALID_PARAMETER}})
    {
        PCEVENT_REQUEST request = {};
        request.MajorTarget = g.Miniport();
        request.Node = c.Node;
        request.Verb = PCEVENT_VERB_SUPPORT;
        EXPECT_EQ(c.Status, EventHandlerControlChange(&request)) << c.Node;
    }
}
