#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "platform/portcls/portcls_emu.h"
#include "tests/framework/frame_doubles.h"

namespace
{
using Names = std::vector<std::u16string>;
using Links = std::vector<std::string>;

// A device on the rig's adapter device with the given engines, each set up
// as start-up does it: factory and topology handed over.
class WaveInstall : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_TRUE(m_Rig.Ok()); }
    void TearDown() override
    {
        // The device and its engines go before the adapter device does.
        if (m_Device != nullptr)
            m_Device->Release();
        m_Device = nullptr;
    }

    void Open(std::vector<TestEngine*> engines, bool configure = true)
    {
        m_Device = MakeDevice();
        m_Device->Setup = [engines](TestDevice* d)
        {
            for (TestEngine* e : engines)
                if (NTSTATUS s = d->AddStreamObject(e); !NT_SUCCESS(s))
                    return s;
            return STATUS_SUCCESS;
        };
        ASSERT_EQ(m_Device->OpenAudioHalCallback(nullptr, m_Rig.Fdo(), nullptr, nullptr),
                  STATUS_SUCCESS);
        for (TestEngine* e : engines)
        {
            if (configure)
            {
                ASSERT_EQ(e->SetMiniportFactory(CreateTestWaveMiniport, CLSID_PortWaveCyclic),
                          STATUS_SUCCESS);
                ASSERT_EQ(e->SetPortTopology(m_Rig.TopologyPort(), m_Rig.TopologyMiniport()),
                          STATUS_SUCCESS);
            }
            e->Release(); // the device keeps them
        }
    }
    NTSTATUS Install(TestEngine* e)
    {
        return e->InstallMiniport(m_Rig.Fdo(), nullptr, AsAdapter(m_Device));
    }
    // A render engine with one output terminal of the endpoint kind.
    static TestEngine* Render(ULONG endpointKind, ULONG jacks, bool connected,
                              TestTerminal** terminal = nullptr)
    {
        TestEngine* e = MakeEngine(STREAM_DIRECTION_RENDER);
        TestTerminal* t =
            MakeTerminal(2, CONTROL_KIND_OUTPUT_TERMINAL, endpointKind, jacks, connected);
        e->AddPathControl(t);
        if (terminal != nullptr)
            *terminal = t;
        t->Release();
        return e;
    }

    AdapterRig m_Rig;
    TestDevice* m_Device = nullptr;
};
} // namespace

TEST_F(WaveInstall, ConnectedRenderEngineGetsItsFilterAndConnection)
{
    TestEngine* other = Render(1, 0, false);
    TestEngine* engine = Render(1, 0, false); // no jack records: always there
    Open({other, engine});
    Wave().Name = u"SPKOut01Wave";
    ASSERT_EQ(Install(engine), STATUS_SUCCESS);
    EXPECT_TRUE(engine->IsMiniportInstalled());
    // The factory got the engine's index among the adapter's engines.
    EXPECT_EQ(Wave().EngineIndexes, std::vector<ULONG>({1}));
    EXPECT_EQ(m_Rig.Subdevices(), Names({u"GlobalTopo", u"SPKOut01Wave"}));
    // Terminal 10 is pin 2 of the topology filter.
    EXPECT_EQ(m_Rig.Connections(), Links({"SPKOut01Wave:1->GlobalTopo:2"}));
    EXPECT_EQ(engine->GetTopologyPin(), 2u);

    // Installed and connected: nothing changes.
    ASSERT_EQ(Install(engine), STATUS_SUCCESS);
    EXPECT_EQ(Wave().EngineIndexes.size(), 1u);
    EXPECT_EQ(m_Rig.Subdevices().size(), 2u);
    EXPECT_EQ(m_Rig.Connections().size(), 1u);

    // Removal takes both away; a second removal has nothing to do.
    ASSERT_EQ(engine->RemoveMiniport(m_Rig.Fdo()), STATUS_SUCCESS);
    EXPECT_FALSE(engine->IsMiniportInstalled());
    EXPECT_EQ(m_Rig.Subdevices(), Names({u"GlobalTopo"}));
    EXPECT_TRUE(m_Rig.Connections().empty());
    EXPECT_EQ(engine->RemoveMiniport(m_Rig.Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(other->RemoveMiniport(m_Rig.Fdo()), STATUS_SUCCESS);
}

TEST_F(WaveInstall, CaptureConnectionRunsFromTheTopologyFilter)
{
    TestEngine* engine = MakeEngine(STREAM_DIRECTION_CAPTURE);
    TestTerminal* mic = MakeTerminal(1, CONTROL_KIND_INPUT_TERMINAL, 7, 1, true);
    engine->AddPathControl(mic);
    mic->Release();
    Open({engine});
    Wave().Name = u"MicIn00Wave";
    Wave().TerminalId = 11;
    ASSERT_EQ(Install(engine), STATUS_SUCCESS);
    EXPECT_EQ(m_Rig.Connections(), Links({"GlobalTopo:3->MicIn00Wave:1"}));
    ASSERT_EQ(engine->RemoveMiniport(m_Rig.Fdo()), STATUS_SUCCESS);
    EXPECT_TRUE(m_Rig.Connections().empty());
}

TEST_F(WaveInstall, OnlyAJackReportedConnectedCounts)
{
    TestTerminal* unplugged = nullptr;
    TestEngine* engine = Render(2, 1, false, &unplugged);
    // A second jack of the same terminal that is plugged makes it count.
    TestTerminal* two = nullptr;
    TestEngine* second = Render(2, 2, false, &two);
    two->Jacks[1].IsConnected = 1;
    // The streaming terminal (kind 0) and input terminals do not count for render.
    TestEngine* streaming = Render(0, 0, false);
    TestTerminal* input = MakeTerminal(3, CONTROL_KIND_INPUT_TERMINAL, 7, 0);
    streaming->AddPathControl(input);
    input->Release();
    Open({engine, second, streaming});

    EXPECT_FALSE(engine->IsJackConnected());
    ASSERT_EQ(Install(engine), STATUS_SUCCESS);
    EXPECT_FALSE(engine->IsMiniportInstalled());
    EXPECT_TRUE(Wave().EngineIndexes.empty());
    EXPECT_FALSE(streaming->IsJackConnected());
    EXPECT_EQ(Install(streaming), STATUS_SUCCESS);
    EXPECT_FALSE(streaming->IsMiniportInstalled());

    EXPECT_TRUE(second->IsJackConnected());
    // Records that cannot be read pass the terminal over.
    EmuPoolInjectFailure(POOL_TAG("Stre"), 0);
    EXPECT_FALSE(second->IsJackConnected());
    EmuPoolClearInjection();
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("Stre")), 3u * (9u + 1u));
}

TEST_F(WaveInstall, JacksAreCheckedAgainAtEveryReturnToFullPower)
{
    TestTerminal* hp = nullptr;
    TestEngine* engine = Render(2, 1, true, &hp);
    Open({engine});
    Wave().Name = u"HPOut00Wave";
    ASSERT_EQ(Install(engine), STATUS_SUCCESS);
    ASSERT_EQ(m_Rig.Subdevices(), Names({u"GlobalTopo", u"HPOut00Wave"}));

    // Unplugged while asleep: the filter goes at D0.
    m_Device->PowerTo(PowerDeviceD3);
    EXPECT_EQ(m_Rig.Subdevices().size(), 2u);
    hp->Jacks[0].IsConnected = 0;
    m_Device->PowerTo(PowerDeviceD0);
    EXPECT_FALSE(engine->IsMiniportInstalled());
    EXPECT_EQ(m_Rig.Subdevices(), Names({u"GlobalTopo"}));
    EXPECT_TRUE(m_Rig.Connections().empty());

    // Plugged in while asleep: it comes back with its connection.
    m_Device->PowerTo(PowerDeviceD3);
    hp->Jacks[0].IsConnected = 1;
    m_Device->PowerTo(PowerDeviceD0);
    EXPECT_TRUE(engine->IsMiniportInstalled());
    EXPECT_EQ(m_Rig.Subdevices(), Names({u"GlobalTopo", u"HPOut00Wave"}));
    EXPECT_EQ(m_Rig.Connections(), Links({"HPOut00Wave:1->GlobalTopo:2"}));
    EXPECT_EQ(Wave().EngineIndexes, std::vector<ULONG>({0, 0}));
}

// A jack read that fails (the records' buffer, the count, the records) says
// nothing of the jacks: at start they count as connected; at a return to D0
// the filter stays as the last read that worked left it, there or gone; the
// next read that works decides.
TEST_F(WaveInstall, AJackReadThatFailsLeavesTheFilterAsItWas)
{
    const struct
    {
        const char* Name;
        void (*Fail)(TestTerminal* t, bool on);
    } faults[] = {
        {"buffer", [](TestTerminal*, bool on)
         { on ? EmuPoolInjectFailure(POOL_TAG("Stre"), 0, 0) : EmuPoolClearInjection(); }},
        {"count", [](TestTerminal* t, bool on)
         { t->CountStatus = on ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS; }},
        {"records", [](TestTerminal* t, bool on)
         { t->InfoStatus = on ? STATUS_DEVICE_NOT_READY : STATUS_SUCCESS; }},
    };
    // Each step: the jack, whether its read fails, and the filter after.
    const struct
    {
        bool Plugged, Fails, Installed;
    } steps[] = {{false, true, true}, {false, false, false}, {true, true, false},
                 {true, false, true}, {false, true, true},   {false, false, false}};
    for (const auto& fault : faults)
    {
        SCOPED_TRACE(fault.Name);
        TestTerminal* hp = nullptr;
        TestEngine* engine = Render(2, 1, false, &hp);
        Open({engine});
        for (size_t i = 0; i < std::size(steps); ++i)
        {
            hp->Jacks[0].IsConnected = steps[i].Plugged ? 1 : 0;
            fault.Fail(hp, steps[i].Fails);
            if (i == 0) // the start
                EXPECT_EQ(STATUS_SUCCESS, Install(engine));
            else
            {
                m_Device->PowerTo(PowerDeviceD3);
                m_Device->PowerTo(PowerDeviceD0);
            }
            fault.Fail(hp, false);
            EXPECT_EQ(steps[i].Installed, engine->IsMiniportInstalled()) << "step " << i;
            EXPECT_EQ(steps[i].Installed ? 2u : 1u, m_Rig.Subdevices().size()) << "step " << i;
        }
        ASSERT_EQ(STATUS_SUCCESS, engine->RemoveMiniport(m_Rig.Fdo()));
        m_Device->Release();
        m_Device = nullptr;
    }
}

// Once the device is going nothing registers a filter again, at D0 or
// otherwise (the topology filter may be torn down), and removal still works.
TEST_F(WaveInstall, AClosedInstallationRegistersNothingButStillRemoves)
{
    TestEngine* engine = Render(1, 0, false);
    Open({engine});
    ASSERT_EQ(Install(engine), STATUS_SUCCESS);
    engine->CloseInstallation();
    ASSERT_EQ(engine->RemoveMiniport(m_Rig.Fdo()), STATUS_SUCCESS);
    m_Device->PowerTo(PowerDeviceD3);
    m_Device->PowerTo(PowerDeviceD0);
    EXPECT_EQ(Install(engine), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(m_Rig.Subdevices(), Names({u"GlobalTopo"}));
    EXPECT_EQ(Wave().EngineIndexes.size(), 1u);
}

TEST_F(WaveInstall, TopologyWithoutIdentityMakesInstallationFail)
{
    TestEngine* engine = Render(1, 0, false);
    Open({engine}, false);
    ASSERT_EQ(engine->SetMiniportFactory(CreateTestWaveMiniport, CLSID_PortWaveCyclic),
              STATUS_SUCCESS);
    // A port is no miniport: it does not map terminals.
    EXPECT_EQ(engine->SetPortTopology(m_Rig.TopologyPort(), m_Rig.TopologyPort()),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Install(engine), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(engine->IsMiniportInstalled());
    EXPECT_EQ(m_Rig.Subdevices(), Names({u"GlobalTopo"}));
}

TEST_F(WaveInstall, SettersRefuseMissingPieces)
{
    TestEngine* engine = Render(1, 0, false);
    Open({engine}, false);
    EXPECT_EQ(Install(engine), STATUS_UNSUCCESSFUL); // no factory yet
    EXPECT_EQ(engine->SetMiniportFactory(nullptr, CLSID_PortWaveCyclic), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(engine->SetPortTopology(nullptr, m_Rig.TopologyMiniport()), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(engine->SetPortTopology(m_Rig.TopologyPort(), nullptr), STATUS_NO_SUCH_DEVICE);
    ASSERT_EQ(engine->SetMiniportFactory(CreateTestWaveMiniport, CLSID_PortWaveCyclic),
              STATUS_SUCCESS);
    // Without a topology link the installation fails and leaves nothing.
    EXPECT_EQ(Install(engine), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_Rig.Subdevices(), Names({u"GlobalTopo"}));
    // A second topology hand-over gives the first port back.
    ASSERT_EQ(engine->SetPortTopology(m_Rig.TopologyPort(), m_Rig.TopologyMiniport()),
              STATUS_SUCCESS);
    ASSERT_EQ(engine->SetPortTopology(m_Rig.TopologyPort(), m_Rig.TopologyMiniport()),
              STATUS_SUCCESS);
    m_Rig.TopologyPort()->AddRef();
    // The rig, the registered subdevice and this engine.
    EXPECT_EQ(m_Rig.TopologyPort()->Release(), 3u);
}

TEST_F(WaveInstall, FailuresOfEachStepLeaveNoFilterBehind)
{
    TestEngine* engine = Render(1, 0, false);
    TestEngine* stranger = Render(1, 0, false);
    Open({engine});
    ASSERT_EQ(stranger->SetMiniportFactory(CreateTestWaveMiniport, CLSID_PortWaveCyclic),
              STATUS_SUCCESS);
    ASSERT_EQ(stranger->SetPortTopology(m_Rig.TopologyPort(), m_Rig.TopologyMiniport()),
              STATUS_SUCCESS);
    // An engine that is not one of the adapter's.
    EXPECT_EQ(Install(stranger), STATUS_UNSUCCESSFUL);
    stranger->Release();

    Wave().FactoryStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(Install(engine), STATUS_INSUFFICIENT_RESOURCES);
    Wave().FactoryStatus = STATUS_SUCCESS;

    Wave().Identity = false;
    EXPECT_EQ(Install(engine), STATUS_INVALID_PARAMETER);
    Wave().Identity = true;

    // No topology pin of that terminal: the stream is left out, the start goes on.
    Wave().TerminalId = 99;
    EXPECT_EQ(Install(engine), STATUS_SUCCESS);
    EXPECT_FALSE(engine->IsMiniportInstalled());
    EXPECT_EQ(m_Rig.Subdevices(), Names({u"GlobalTopo"}));

    Wave().TerminalId = 10;
    Wave().Name = u"GlobalTopo"; // taken
    EXPECT_EQ(Install(engine), STATUS_OBJECT_NAME_COLLISION);

    // A connection that cannot be registered takes the filter away again.
    Wave().Name = u"SPKOut00Wave";
    Wave().TerminalId = 13; // pin 5: the topology filter has pins 0 to 4
    EXPECT_EQ(Install(engine), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(engine->IsMiniportInstalled());
    EXPECT_EQ(m_Rig.Subdevices(), Names({u"GlobalTopo"}));

    // Each attempt left nothing: the next one succeeds.
    Wave().TerminalId = 12;
    ASSERT_EQ(Install(engine), STATUS_SUCCESS);
    EXPECT_EQ(m_Rig.Connections(), Links({"SPKOut00Wave:1->GlobalTopo:4"}));
}

// A miniport that finds no format the audio engine can open leaves its
// stream out, at the start and at every return to full power, while the
// device goes on; a failure to allocate still fails the installation.
TEST_F(WaveInstall, AStreamWithoutAFormatToOfferIsLeftOut)
{
    TestEngine* engine = Render(1, 0, false);
    Open({engine});
    Wave().FactoryStatus = STATUS_NO_MATCH;
    EXPECT_EQ(Install(engine), STATUS_SUCCESS);
    m_Device->PowerTo(PowerDeviceD3);
    m_Device->PowerTo(PowerDeviceD0);
    EXPECT_EQ(Install(engine), STATUS_SUCCESS);
    EXPECT_FALSE(engine->IsMiniportInstalled());
    EXPECT_EQ(m_Rig.Subdevices(), Names({u"GlobalTopo"}));
    EXPECT_EQ(Wave().EngineIndexes.size(), 3u);
    Wave().FactoryStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(Install(engine), STATUS_INSUFFICIENT_RESOURCES);
    Wave().FactoryStatus = STATUS_SUCCESS;
    EXPECT_EQ(Install(engine), STATUS_SUCCESS);
    EXPECT_EQ(m_Rig.Subdevices(), Names({u"GlobalTopo", u"SPKOut00Wave"}));
}

TEST_F(WaveInstall, AdapterWithoutEnginesOrInterfaceRefusesInstallation)
{
    TestEngine* engine = Render(1, 0, false);
    ASSERT_EQ(engine->SetMiniportFactory(CreateTestWaveMiniport, CLSID_PortWaveCyclic),
              STATUS_SUCCESS);
    ASSERT_EQ(engine->SetPortTopology(m_Rig.TopologyPort(), m_Rig.TopologyMiniport()),
              STATUS_SUCCESS);
    Open({});
    EXPECT_EQ(Install(engine), STATUS_UNSUCCESSFUL);
    // An adapter unknown that is no device object.
    EXPECT_EQ(engine->InstallMiniport(m_Rig.Fdo(), nullptr, m_Rig.TopologyPort()),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Wave().EngineIndexes.empty());
    engine->Release();
}

// A removal whose connection cannot be unregistered keeps the wave port and
// the subdevice, so that a later removal can finish the job.
TEST_F(WaveInstall, FailedConnectionRemovalKeepsTheWavePort)
{
    TestEngine* engine = Render(1, 0, false);
    Open({engine});
    Wave().Name = u"SPKOut00Wave";
    Wave().TerminalId = 12; // topology pin 4
    ASSERT_EQ(Install(engine), STATUS_SUCCESS);
    PUNKNOWN wave = engine->WavePort();
    ASSERT_NE(wave, nullptr);
    PUNREGISTERPHYSICALCONNECTION unregister = nullptr;
    ASSERT_EQ(wave->QueryInterface(IID_IUnregisterPhysicalConnection, (PVOID*)&unregister),
              STATUS_SUCCESS);
    // The connection is gone already: the engine's removal cannot unregister it.
    ASSERT_EQ(
        unregister->UnregisterPhysicalConnection(m_Rig.Fdo(), wave, 1, m_Rig.TopologyPort(), 4),
        STATUS_SUCCESS);
    unregister->Release();
    EXPECT_EQ(engine->RemoveMiniport(m_Rig.Fdo()), STATUS_NOT_FOUND);
    EXPECT_EQ(engine->WavePort(), wave);
    EXPECT_EQ(m_Rig.Subdevices(), Names({u"GlobalTopo", u"SPKOut00Wave"}));

    // With the connection back, the next removal takes both away.
    ASSERT_EQ(PcRegisterPhysicalConnection(m_Rig.Fdo(), wave, 1, m_Rig.TopologyPort(), 4),
              STATUS_SUCCESS);
    EXPECT_EQ(engine->RemoveMiniport(m_Rig.Fdo()), STATUS_SUCCESS);
    EXPECT_FALSE(engine->IsMiniportInstalled());
    EXPECT_EQ(m_Rig.Subdevices(), Names({u"GlobalTopo"}));
    EXPECT_TRUE(m_Rig.Connections().empty());
}
