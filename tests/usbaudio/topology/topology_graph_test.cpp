// The topology miniport's connection walk on control graphs no reference
// descriptor has: a diamond chain (each joint feeding two consumers, walked
// for each and listed once, in time linear in the chain), a cycle of source
// links, a source that names nothing, no output pin; and the bound of the
// event handler's node id.
#include <gtest/gtest.h>

#include "tests/usbaudio/usbaudio_doubles.h"
#include "audioclass/controls/terminal_control.h"
#include "usbaudio/topology/miniport.h"
#include "usbaudio/topology/properties.h"

namespace
{
constexpr ULONG kFilter = PCFILTER_NODE;

// A device object without units on the adapter, given controls by the test,
// and a topology miniport initialised on them.
class Graph
{
  public:
    Graph() : m_Rig(SimCreateReferenceDevice(SimReference::Uac1SpeakerMic))
    {
        Walk() = WalkScript();
        UseDeviceClasses(true);
        EXPECT_EQ(STATUS_SUCCESS, m_Rig.Start());
    }
    ~Graph()
    {
        if (m_Miniport != nullptr)
            m_Miniport->Release();
        UseDeviceClasses(false);
    }
    // A terminal control (kind 0 input, 1 output) or a node of a kind.
    void Add(ULONG id, ULONG kind, std::vector<ULONG> sources = {})
    {
        const ULONG endpoint =
            kind == CONTROL_KIND_INPUT_TERMINAL ? ENDPOINT_KIND_STREAM : ENDPOINT_KIND_SPK;
        CAudioControl* c = nullptr;
        if (kind > CONTROL_KIND_OUTPUT_TERMINAL)
            c = new (NonPagedPool, kRigTag) CAudioControl(nullptr, id, kind);
        else
        {
            auto terminal = new (NonPagedPool, kRigTag) CTerminalControl(nullptr, id, kind);
            EXPECT_EQ(STATUS_SUCCESS, terminal->Init(1, &endpoint, 0, nullptr));
            c = terminal;
        }
        c->AddRef();
        EXPECT_EQ(STATUS_SUCCESS, c->SetValueArray((ULONG)sources.size(), sources.data()));
        EXPECT_EQ(STATUS_SUCCESS, DeviceOf(m_Rig)->AddUnitObject(c));
        c->Release();
    }
    NTSTATUS Init()
    {
        PPORT port = nullptr;
        PPORTTOPOLOGY topology = nullptr;
        PUNKNOWN unknown = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, PcNewPort(&port, CLSID_PortTopology));
        port->QueryInterface(IID_IPortTopology, (PVOID*)&topology);
        CreateMiniportTopology(&unknown, CLSID_PortTopology, nullptr, NonPagedPool);
        unknown->QueryInterface(IID_IMiniportTopology, (PVOID*)&m_Miniport);
        const NTSTATUS status = m_Miniport->Init(m_Rig.Primary(), nullptr, topology);
        for (PUNKNOWN u : {(PUNKNOWN)port, (PUNKNOWN)topology, unknown})
            u->Release();
        return status;
    }
    PMINIPORTTOPOLOGY Miniport() const { return m_Miniport; }
    // FromNode, FromNodePin, ToNode, ToNodePin of each connection.
    std::vector<std::vector<ULONG>> Connections() const
    {
        PPCFILTER_DESCRIPTOR d = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, m_Miniport->GetDescription(&d));
        std::vector<std::vector<ULONG>> list;
        for (ULONG i = 0; i < d->ConnectionCount; ++i)
        {
            const PCCONNECTION_DESCRIPTOR& c = d->Connections[i];
            list.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
        }
        return list;
    }

  private:
    UsbAdapterRig m_Rig;
    PMINIPORTTOPOLOGY m_Miniport = nullptr;
};

// Control 1 (mute) fed by the input pin 0; each level k adds two mutes fed
// by the previous joint and a mixer joining them; the output pin takes the
// last joint.
void Diamonds(Graph& g, ULONG levels)
{
    g.Add(0, CONTROL_KIND_INPUT_TERMINAL);
    g.Add(1, CONTROL_KIND_MUTE, {0});
    ULONG joint = 1;
    for (ULONG k = 0, a = 2; k < levels; ++k, a += 3, joint = a - 1)
    {
        g.Add(a, CONTROL_KIND_MUTE, {joint});
        g.Add(a + 1, CONTROL_KIND_MUTE, {joint});
        g.Add(a + 2, CONTROL_KIND_MIXER_UNIT, {a, a + 1});
    }
    g.Add(2 + 3 * levels, CONTROL_KIND_OUTPUT_TERMINAL, {joint});
}
} // namespace

// One diamond: the first mute feeds both others and its connection from the
// pin is listed once; the list is what the walk adds, newest first. Nodes
// run in reverse of the controls: mixer 0, mutes 1 and 2, the first mute 3.
// Forty diamonds (2^40 paths) list four connections each and two more.
TEST(TopologyGraph, DiamondsAreListedOnceAndWalkedInLinearTime)
{
    {
        Graph one; // one adapter at a time
        Diamonds(one, 1);
        ASSERT_EQ(STATUS_SUCCESS, one.Init());
        EXPECT_EQ((std::vector<std::vector<ULONG>>{{0, 0, kFilter, 1},
                                                   {1, 0, 0, 2},
                                                   {3, 0, 1, 1},
                                                   {2, 0, 0, 1},
                                                   {3, 0, 2, 1},
                                                   {kFilter, 0, 3, 1}}),
                  one.Connections());
    }
    Graph chain;
    Diamonds(chain, 40);
    ASSERT_EQ(STATUS_SUCCESS, chain.Init());
    EXPECT_EQ(4u * 40 + 2, chain.Connections().size());
}

// Source links in a circle, a node that is its own source, a source that
// names nothing and a filter without output pin fail Init.
TEST(TopologyGraph, BadGraphsFailInit)
{
    const std::vector<std::vector<ULONG>> sourcesOfNodeOne = {{2}, {1}, {9}};
    for (const std::vector<ULONG>& sources : sourcesOfNodeOne)
    {
        Graph g;
        g.Add(0, CONTROL_KIND_INPUT_TERMINAL);
        g.Add(1, CONTROL_KIND_MUTE, sources);
        g.Add(2, CONTROL_KIND_MIXER_UNIT, {0, 1});
        g.Add(3, CONTROL_KIND_OUTPUT_TERMINAL, {2});
        EXPECT_EQ(STATUS_UNSUCCESSFUL, g.Init()) << sources[0];
        PPCFILTER_DESCRIPTOR d = nullptr;
        EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, g.Miniport()->GetDescription(&d));
    }
    Graph none;
    none.Add(0, CONTROL_KIND_INPUT_TERMINAL);
    none.Add(1, CONTROL_KIND_MUTE, {0});
    EXPECT_EQ(STATUS_UNSUCCESSFUL, none.Init());
}

// The event handler takes node ids below the node count (4) only.
TEST(TopologyGraph, EventNodeIdBelowTheNodeCount)
{
    Graph g;
    Diamonds(g, 1);
    ASSERT_EQ(STATUS_SUCCESS, g.Init());
    for (ULONG node : {0u, 3u, 4u, 5u, 0xFFFFFFFFu})
    {
        PCEVENT_REQUEST request = {};
        request.MajorTarget = g.Miniport();
        request.Node = node;
        request.Verb = PCEVENT_VERB_SUPPORT;
        EXPECT_EQ(node < 4 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER,
                  EventHandlerControlChange(&request))
            << node;
    }
}
