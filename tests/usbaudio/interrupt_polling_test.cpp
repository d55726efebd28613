// The interrupt-endpoint polling of the reference devices, started by the
// driver as it is: status messages injected into the simulated device reach
// the device object's callback (one record per control of a class 1.0 unit,
// one for the control a class 2.0 message names, none for a terminal), the
// topology filter raises the node events, the controls read their new values,
// a terminal change reinstalls the wave filters, and stop always ends the
// thread with its reads, on virtual time.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>

#include "driver/adapter_common.h"
#include "driver/adapter_extension.h"
#include "platform/kernel/emu.h"
#include "platform/usb/EmuUsbBus.h"
#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/HostHarness.h"
#include "usbaudio/topology_properties.h"
#include "usbaudio/usb_audio_device.h"

namespace
{
using Ids = std::vector<ULONG>;
using Bytes = std::vector<UCHAR>;
// The interrupt endpoints poll every 32 frames (class 1.0) or every eight
// microframes (class 2.0): two intervals and a margin see a message through.
constexpr ULONG kSettleMs = 80;
constexpr UCHAR kPending = 0x80; // class 1.0 bStatusType: AudioControl entity

// A reference device (or one built from descriptor bytes) started by the
// driver, with a listener on the device object's callback object that
// collects the control ids of the control-change records.
class Polled
{
  public:
    using Prepare = std::function<void(SimUsbDevice&)>;
    Polled(const std::string& reference, const Prepare& prepare = {})
    {
        std::string error;
        EXPECT_EQ(STATUS_SUCCESS, m_Host.LoadDriver());
        EXPECT_EQ(STATUS_SUCCESS, m_Host.PlugReference(reference, &error)) << error;
        Start(prepare);
    }
    Polled(const std::string& path, bool, const Prepare& prepare)
    {
        std::string error;
        EXPECT_EQ(STATUS_SUCCESS, m_Host.LoadDriver());
        EXPECT_EQ(STATUS_SUCCESS, m_Host.PlugDescriptorFile(path, &error)) << error;
        Start(prepare);
    }
    ~Polled()
    {
        Remove();
        m_Host.Unplug();
        m_Host.UnloadDriver();
    }
    // The listener and the client go first, then the device.
    NTSTATUS Remove()
    {
        if (m_Registration != nullptr)
            Device()->UnregisterCallback(m_Registration);
        m_Registration = nullptr;
        m_Client.reset();
        return m_Host.Fdo() != nullptr ? m_Host.RemoveDevice() : STATUS_SUCCESS;
    }
    NTSTATUS Status() const { return m_Status; }
    HostHarness& Host() { return m_Host; }
    SimUsbDevice& Sim() { return *m_Host.Device(); }
    AudioEngineClient& Client() { return *m_Client; }
    PFILE_OBJECT Filter() const { return m_Filter; }
    CUsbAudioDevice* Device() const
    {
        auto adapter = static_cast<CAdapterCommon*>(GetAdapterExtension(m_Host.Fdo())->Adapter);
        return static_cast<CUsbAudioDevice*>(
            static_cast<CAudioHal*>(adapter->GetDeviceInterface()));
    }

    // The records since the last call.
    Ids Take()
    {
        Ids taken;
        taken.swap(m_Records);
        return taken;
    }
    // Posts a status message and lets the polling see it.
    Ids Post(const Bytes& message)
    {
        Take();
        m_Host.Device()->Streaming().PostRawInterrupt(message);
        EmuAdvanceMs(kSettleMs);
        return Take();
    }
    std::vector<std::string> WaveFilters() const
    {
        std::vector<std::string> names;
        for (const HostFilter& f : m_Host.Filters())
            if (f.WaveCyclic)
                names.push_back(f.Name);
        return names;
    }
    // The topology node of a control id: nodes run in reverse of the
    // controls that are no terminal or clock.
    ULONG NodeOf(ULONG controlId) const
    {
        for (ULONG i = 0; i < m_NodeControls.size(); ++i)
            if (m_NodeControls[i] == controlId)
                return i;
        return ULONG(-1);
    }

  private:
    void Start(const Prepare& prepare)
    {
        if (prepare)
            prepare(*m_Host.Device());
        EXPECT_EQ(STATUS_SUCCESS, m_Host.AddDevice());
        m_Status = m_Host.StartDevice();
        if (m_Status != STATUS_SUCCESS)
            return;
        EmuAdvanceMs(kSettleMs); // the start-up notifications are through
        m_Client = std::make_unique<AudioEngineClient>(m_Host.Fdo());
        EXPECT_EQ(STATUS_SUCCESS, m_Client->OpenFilter(u"GlobalTopo", &m_Filter));
        CUsbAudioDevice* device = Device();
        for (ULONG i = device->GetUnitCount(); i-- > 0;)
        {
            CAudioControl* control = nullptr;
            device->GetUnit(i, &control);
            const ULONG kind = control->GetKind();
            if (kind != CONTROL_KIND_INPUT_TERMINAL && kind != CONTROL_KIND_OUTPUT_TERMINAL &&
                kind != CONTROL_KIND_CLOCK_FREQUENCY_LIST)
                m_NodeControls.push_back(control->GetId());
        }
        EXPECT_EQ(STATUS_SUCCESS, device->RegisterCallback(Record, this, &m_Registration));
    }
    static void Record(PVOID context, PVOID argument1, PVOID)
    {
        auto record = static_cast<const ULONG*>(argument1);
        if (record[0] == 1 && record[1] == 1)
            static_cast<Polled*>(context)->m_Records.push_back(record[2]);
    }

    HostHarness m_Host;
    NTSTATUS m_Status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<AudioEngineClient> m_Client;
    PFILE_OBJECT m_Filter = nullptr;
    PVOID m_Registration = nullptr;
    Ids m_Records;
    std::vector<ULONG> m_NodeControls;
};

// Descriptor bytes written as the text the loader reads, in a file that goes
// with the object.
class DescriptorFile
{
  public:
    DescriptorFile(SimReference base, const std::function<void(Bytes&)>& edit)
    {
        const SimReferenceConfig& r = SimReferenceDescriptors(base);
        Bytes config = r.Configuration;
        edit(config);
        std::string text = "speed ";
        text += r.Speed == EmuUsbSpeed::High ? "high\n" : "full\n";
        Line(&text, r.Device.data(), r.Device.size());
        for (size_t pos = 0; pos < config.size() && config[pos] != 0; pos += config[pos])
            Line(&text, &config[pos], config[pos]);
        for (const auto& [index, value] : r.Strings)
            text += "string " + std::to_string(index) + " \"" +
                    std::string(value.begin(), value.end()) + "\"\n";
        char name[] = "/tmp/lt-polling-XXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        close(fd);
        m_Path = name;
        std::ofstream(m_Path) << text;
    }
    ~DescriptorFile() { std::remove(m_Path.c_str()); }
    const std::string& Path() const { return m_Path; }

  private:
    static void Line(std::string* text, const UCHAR* p, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
        {
            char hex[4];
            snprintf(hex, sizeof(hex), i ? " %02X" : "%02X", p[i]);
            *text += hex;
        }
        *text += "\n";
    }
    std::string m_Path;
};

// The offset of the first descriptor of a type (and subtype) from `from`.
size_t FindDescriptor(const Bytes& config, UCHAR type, int subtype = -1, size_t from = 0)
{
    for (size_t pos = from; pos + 2 < config.size() && config[pos] != 0; pos += config[pos])
        if (config[pos + 1] == type && (subtype < 0 || config[pos + 2] == subtype))
            return pos;
    ADD_FAILURE() << "no descriptor " << (int)type;
    return 0;
}

// Inserts a descriptor and grows the configuration's total length.
void InsertDescriptor(Bytes& config, size_t at, const Bytes& descriptor)
{
    config.insert(config.begin() + (long)at, descriptor.begin(), descriptor.end());
    const USHORT total = (USHORT)(config[2] | config[3] << 8) + (USHORT)descriptor.size();
    config[2] = (UCHAR)total;
    config[3] = (UCHAR)(total >> 8);
}

LONG NodeLevel(Polled& p, ULONG node, LONG channel)
{
    LONG level = 0;
    ULONG returned = 0;
    EXPECT_EQ(STATUS_SUCCESS,
              p.Client().GetNodeValue(p.Filter(), node, KSPROPSETID_Audio,
                                      KSPROPERTY_AUDIO_VOLUMELEVEL, channel, &level, 4, &returned));
    return level;
}
} // namespace

// One polling thread per device with an interrupt endpoint of its class's
// message size: priority 24 for class 1.0, 16 for class 2.0; none for a
// device without one. Removal ends it with its read outstanding.
TEST(InterruptPolling, OneThreadPerDeviceWithAnInterruptEndpoint)
{
    struct Case
    {
        const char* Device;
        bool Polled;
        KPRIORITY Priority;
    };
    for (const Case& c : {Case{"Uac1SpeakerMic", true, 24}, Case{"Uac1Surround71", false, 0},
                          Case{"Uac2HighSpeed", true, 16}, Case{"Uac2Spdif", true, 16}})
    {
        const ULONG before = EmuLiveThreadCount();
        Polled p(c.Device);
        ASSERT_EQ(STATUS_SUCCESS, p.Status()) << c.Device;
        const CInterruptPolling& polling = p.Device()->Polling();
        EXPECT_EQ(c.Polled, polling.IsRunning()) << c.Device;
        EXPECT_EQ(c.Polled ? 0 : POLLING_NO_PIPE, polling.InterruptPipeIndex()) << c.Device;
        if (c.Polled)
        {
            EXPECT_EQ(c.Priority, EmuThreadPriority(polling.Thread())) << c.Device;
        }
        ASSERT_EQ(STATUS_SUCCESS, p.Remove()) << c.Device;
        EXPECT_EQ(before, EmuLiveThreadCount()) << c.Device;
    }
}

// Class 1.0: a message about a unit notifies each of its controls once, in
// the unit's order, and raises the node events of exactly those nodes; a
// terminal, an AudioStreaming originator, an unknown id and a short packet
// notify nothing, and the polling goes on after them.
TEST(InterruptPolling, Class1MessagesNotifyEveryControlOfTheUnit)
{
    Polled p("Uac1SpeakerMic");
    ASSERT_EQ(STATUS_SUCCESS, p.Status());
    // Controls: 0 USB in, 1 mute, 2 volume, 3 speaker, 4 microphone, 5 mute,
    // 6 volume, 7 USB out.
    std::vector<AudioEngineEvent> events(4);
    for (ULONG node = 0; node < events.size(); ++node)
        ASSERT_EQ(STATUS_SUCCESS,
                  p.Client().EnableNodeEvent(p.Filter(), node, KSEVENTSETID_AudioControlChange,
                                             KSEVENT_CONTROL_CHANGE, &events[node]));
    struct Case
    {
        Bytes Message;
        Ids Notified;
    };
    const Case cases[] = {
        {{kPending, SimRef1::FeaturePlay}, {1, 2}},
        {{kPending, SimRef1::FeatureRec}, {5, 6}},
        {{0x00, SimRef1::FeatureRec}, {5, 6}}, // no pending bit: the low bits decide
        {{kPending, SimRef1::Speaker}, {}},
        {{kPending, SimRef1::UsbIn}, {}},
        {{kPending | 0x01, SimRef1::FeaturePlay}, {}}, // AudioStreaming interface
        {{kPending | 0x02, SimRef1::FeaturePlay}, {}}, // AudioStreaming endpoint
        {{kPending, 0x40}, {}},                        // no such unit
        {{kPending}, {}},                              // short packet
        {{}, {}},                                      // empty packet
        {{kPending, SimRef1::FeaturePlay}, {1, 2}},
    };
    for (const Case& c : cases)
    {
        for (AudioEngineEvent& e : events)
            AudioEngineClient::TakeSignal(&e);
        EXPECT_EQ(c.Notified, p.Post(c.Message)) << c.Message.size();
        std::vector<bool> signalled;
        for (AudioEngineEvent& e : events)
            signalled.push_back(AudioEngineClient::TakeSignal(&e));
        for (ULONG id : {1u, 2u, 5u, 6u})
        {
            const bool expected =
                std::find(c.Notified.begin(), c.Notified.end(), id) != c.Notified.end();
            EXPECT_EQ(expected, signalled[p.NodeOf(id)]) << "control " << id;
        }
    }
    for (AudioEngineEvent& e : events)
        EXPECT_EQ(STATUS_SUCCESS, p.Client().DisableEvent(&e));
}

// The controls read their values again before they are announced: a level
// changed on the device itself is what the audio engine reads afterwards.
TEST(InterruptPolling, ChangedLevelIsReadBeforeTheEvent)
{
    for (const char* name : {"Uac1SpeakerMic", "Uac2HighSpeed"})
    {
        Polled p(name);
        ASSERT_EQ(STATUS_SUCCESS, p.Status()) << name;
        const bool uac2 = name[3] == '2';
        const UCHAR unit = uac2 ? SimRef3::FeaturePlay : SimRef1::FeaturePlay;
        // The play unit's volume: control 2 (class 1.0) or 3 (class 2.0).
        const ULONG volume = p.NodeOf(uac2 ? 3 : 2);
        const LONG before = NodeLevel(p, volume, 0);
        ASSERT_TRUE(p.Sim().ChangeControlOnDevice(unit, 2, 1, -7 * 256 - 128)) << name;
        EmuAdvanceMs(kSettleMs);
        EXPECT_EQ((uac2 ? Ids{3} : Ids{1, 2}), p.Take()) << name;
        EXPECT_EQ(-7 * 65536 - 32768, NodeLevel(p, volume, 0)) << name;
        EXPECT_NE(before, NodeLevel(p, volume, 0)) << name;
    }
}

// Every unit is notified once when class 1.0 polling starts, by the ids 0
// to the unit count less one: with its recording unit renumbered to 7 (one
// past the last of six), that unit is left out of the burst.
TEST(InterruptPolling, StartupNotificationsByUnitIds)
{
    {
        Polled p("Uac1SpeakerMic");
        ASSERT_EQ(STATUS_SUCCESS, p.Status());
        p.Device()->StopAllUnits();
        EXPECT_FALSE(p.Device()->Polling().IsRunning());
        ASSERT_EQ(STATUS_SUCCESS, p.Device()->StartAllUnits());
        EmuAdvanceMs(kSettleMs);
        EXPECT_EQ((Ids{1, 2, 5, 6}), p.Take());
    }
    DescriptorFile file(SimReference::Uac1SpeakerMic,
                        [](Bytes& config)
                        {
                            const size_t unit = FindDescriptor(config, 0x24, 6, 0);
                            const size_t rec = FindDescriptor(config, 0x24, 6, unit + config[unit]);
                            const size_t out = FindDescriptor(config, 0x24, 3, rec);
                            config[rec + 3] = 7;
                            config[out + 7] = 7; // the USB output's source
                        });
    Polled p(file.Path(), true, {});
    ASSERT_EQ(STATUS_SUCCESS, p.Status());
    p.Device()->StopAllUnits();
    ASSERT_EQ(STATUS_SUCCESS, p.Device()->StartAllUnits());
    EmuAdvanceMs(kSettleMs);
    EXPECT_EQ((Ids{1, 2}), p.Take());
    // The unit itself still answers a message.
    EXPECT_EQ((Ids{5, 6}), p.Post({kPending, 7}));
}

// A packet longer than the endpoint's fails the read: the thread ends and
// nothing more is heard until polling starts again.
TEST(InterruptPolling, FailedReadEndsThePollingUntilTheNextStart)
{
    Polled p("Uac1SpeakerMic");
    ASSERT_EQ(STATUS_SUCCESS, p.Status());
    const ULONG threads = EmuLiveThreadCount();
    EXPECT_EQ(Ids{}, p.Post({kPending, SimRef1::FeaturePlay, 0}));
    EXPECT_EQ(threads - 1, EmuLiveThreadCount());
    EXPECT_EQ(Ids{}, p.Post({kPending, SimRef1::FeaturePlay}));
    p.Device()->StopAllUnits();
    ASSERT_EQ(STATUS_SUCCESS, p.Device()->StartAllUnits());
    EmuAdvanceMs(kSettleMs);
    p.Take(); // the start-up notifications
    EXPECT_EQ((Ids{1, 2}), p.Post({kPending, SimRef1::FeaturePlay}));
}

// Class 2.0: a CUR change at an entity of the AudioControl interface names
// one control; other interfaces, RANGE changes, endpoint and memory messages,
// controls the unit does not have, short packets and terminals other than
// the connector notify nothing. No notification comes at start.
TEST(InterruptPolling, Class2MessagesNameOneControl)
{
    Polled p("Uac2HighSpeed");
    ASSERT_EQ(STATUS_SUCCESS, p.Status());
    EXPECT_EQ(Ids{}, p.Take());
    // Controls: 0 clock, 1 USB in, 2 mute, 3 volume, 4 speaker, 5
    // microphone, 6 mute, 7 volume, 8 USB out.
    struct Case
    {
        Bytes Message; // bInfo, bAttribute, channel, selector, interface, entity
        Ids Notified;
    };
    const Case cases[] = {
        {{0x00, 0x01, 0x01, 0x02, 0x00, SimRef3::FeaturePlay}, {3}},
        {{0x00, 0x01, 0x00, 0x01, 0x00, SimRef3::FeaturePlay}, {2}},
        {{0x00, 0x01, 0x00, 0x02, 0x00, SimRef3::FeatureRec}, {7}},
        {{0x00, 0x01, 0x01, 0x02, 0x01, SimRef3::FeaturePlay}, {}}, // interface 1
        {{0x00, 0x02, 0x01, 0x02, 0x00, SimRef3::FeaturePlay}, {}}, // RANGE
        {{0x02, 0x01, 0x01, 0x02, 0x00, SimRef3::FeaturePlay}, {}}, // endpoint
        {{0x01, 0x01, 0x01, 0x02, 0x00, SimRef3::FeaturePlay}, {}}, // memory
        {{0x00, 0x01, 0x00, 0x03, 0x00, SimRef3::FeaturePlay}, {}}, // no bass control
        {{0x00, 0x01, 0x00, 0x02, 0x00, SimRef3::Microphone}, {}},  // terminal, no connector
        {{0x00, 0x01, 0x00, 0x01, 0x00, SimRef3::Clock}, {0}},      // the clock's one control
        {{0x00, 0x01, 0x00, 0x02, 0x00, 0x44}, {}},                 // no such entity
        {{0x00, 0x01, 0x01, 0x02, 0x00}, {}},                       // five bytes
        {{0x00, 0x01, 0x01, 0x02, 0x00, SimRef3::FeaturePlay}, {3}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Notified, p.Post(c.Message)) << (int)c.Message[0] << " " << c.Message.size();
    // Polling again brings no notifications of its own.
    p.Device()->StopAllUnits();
    ASSERT_EQ(STATUS_SUCCESS, p.Device()->StartAllUnits());
    EmuAdvanceMs(kSettleMs);
    EXPECT_EQ(Ids{}, p.Take());
}

// A jack plugged into the class 2.0 line input brings its capture filter; a
// jack pulled takes it away again. The connector message notifies nothing.
TEST(InterruptPolling, ConnectorChangeReinstallsTheWaveFilters)
{
    Polled p("Uac2Spdif");
    ASSERT_EQ(STATUS_SUCCESS, p.Status());
    const std::vector<std::string> before = p.WaveFilters();
    ASSERT_EQ(1u, before.size());
    const Bytes connector = {0x00, 0x01, 0x00, 0x02, 0x00, SimRef4::LineIn};
    p.Sim().Audio().Ports(SimRef4::LineIn, false)->ConnectedChannels = 0x3;
    EXPECT_EQ(Ids{}, p.Post(connector));
    EXPECT_EQ(2u, p.WaveFilters().size());
    p.Sim().Audio().Ports(SimRef4::LineIn, false)->ConnectedChannels = 0;
    EXPECT_EQ(Ids{}, p.Post(connector));
    EXPECT_EQ(before, p.WaveFilters());
}

// Class 2.0 with a bulk IN endpoint beside the interrupt endpoint: a 512-byte
// read stays outstanding on it and goes out again after each packet, and
// the status messages still arrive; removal cancels both reads.
TEST(InterruptPolling, Class2KeepsABulkReadOutstanding)
{
    DescriptorFile file(SimReference::Uac2HighSpeed,
                        [](Bytes& config)
                        {
                            const size_t control = FindDescriptor(config, 0x04);
                            config[control + 4] = 2; // two endpoints
                            const size_t status = FindDescriptor(config, 0x05, -1, control);
                            InsertDescriptor(config, status + config[status],
                                             {0x07, 0x05, 0x84, 0x02, 0x00, 0x02, 0x00});
                        });
    Polled p(file.Path(), true,
             [](SimUsbDevice& d) {
                 d.Audio().SetClockRates(SimRef3::Clock, {44100, 48000, 96000});
             });
    ASSERT_EQ(STATUS_SUCCESS, p.Status());
    EXPECT_EQ(0, p.Device()->Polling().InterruptPipeIndex());
    EXPECT_EQ(1, p.Device()->Polling().BulkPipeIndex());
    for (ULONG i = 0; i < 3; ++i)
        p.Sim().Streaming().PostBulkIn(Bytes(100 + i, 0x5A));
    EmuAdvanceMs(kSettleMs);
    EXPECT_EQ(3u, p.Sim().Streaming().BulkInServed());
    EXPECT_EQ(0u, p.Sim().Streaming().PendingBulkIn());
    EXPECT_EQ(Ids{3}, p.Post({0x00, 0x01, 0x01, 0x02, 0x00, SimRef3::FeaturePlay}));
    const ULONG threads = EmuLiveThreadCount();
    ASSERT_EQ(STATUS_SUCCESS, p.Remove());
    EXPECT_LT(EmuLiveThreadCount(), threads);
}

// Stop with the read outstanding: the cancel completes frames later on the
// bus, stop waits for it and the thread, and nothing is left behind (the
// test program checks pool and threads after every test). A device pulled
// out first ends the thread by itself; stop then finds it gone.
TEST(InterruptPolling, StopEndsTheThreadWithItsReadOutstanding)
{
    for (ULONG delay : {0u, 1u, 8u})
    {
        Polled p("Uac1SpeakerMic");
        ASSERT_EQ(STATUS_SUCCESS, p.Status());
        p.Host().Bus()->SetCancelDelayFrames(delay);
        const ULONGLONG before = EmuNow();
        p.Device()->StopAllUnits();
        EXPECT_FALSE(p.Device()->Polling().IsRunning());
        EXPECT_GE((EmuNow() - before) / 10000, delay) << delay;
        p.Device()->StopAllUnits(); // stopped already: nothing to do
    }
    Polled p("Uac2HighSpeed");
    ASSERT_EQ(STATUS_SUCCESS, p.Status());
    const ULONG threads = EmuLiveThreadCount();
    p.Host().Bus()->Unplug();
    EmuAdvanceMs(kSettleMs);
    EXPECT_GT(threads, EmuLiveThreadCount());
    p.Device()->StopAllUnits();
    EXPECT_FALSE(p.Device()->Polling().IsRunning());
}

namespace
{
// The speaker of the class 1.0 reference device switchable between
// speaker and headphones, each type with one plugged jack.
void TwoOutputTypes(SimUsbDevice& d)
{
    SimTerminalPorts* ports = d.Audio().Ports(SimRef1::Speaker, true);
    ports->Types = {0x0301, 0x0302};
    ports->Jacks = {{{0x3, 0x01014000}}, {{0x3, 0x01014000}}};
    ports->ConnectedChannels = 0x3;
}

ULONG OutputTypeNode(Polled& p)
{
    CUsbAudioDevice* device = p.Device();
    for (ULONG i = 0; i < device->GetUnitCount(); ++i)
    {
        CAudioControl* control = nullptr;
        if (NT_SUCCESS(device->GetUnit(i, &control)) && control->GetKind() == CONTROL_KIND_LIST)
            return p.NodeOf(control->GetId());
    }
    ADD_FAILURE() << "no output-type control";
    return 0;
}

bool Has(const std::vector<std::string>& names, const char* name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}
} // namespace

// The device switching its connector to headphones on its own renames and
// reinstalls the speaker's wave filter; the terminal itself announces no
// control, but the controls upstream take the new type as their mode and
// announce that (volume, then mute). The output-type node switching back
// does the same the other way and sends the type to the device.
TEST(InterruptPolling, TerminalTypeChangeReinstallsTheWaveFilter)
{
    Polled p("Uac1SpeakerMic", TwoOutputTypes);
    ASSERT_EQ(STATUS_SUCCESS, p.Status());
    EXPECT_TRUE(Has(p.WaveFilters(), "SPKOut00Wave"));
    SimTerminalPorts* ports = p.Sim().Audio().Ports(SimRef1::Speaker, false);
    ports->CurrentType = 1;
    EXPECT_EQ((Ids{2, 1}), p.Post({kPending, SimRef1::Speaker}));
    EXPECT_TRUE(Has(p.WaveFilters(), "HPOut00Wave"));
    EXPECT_FALSE(Has(p.WaveFilters(), "SPKOut00Wave"));
    const ULONG kind = ENDPOINT_KIND_SPK;
    ASSERT_EQ(STATUS_SUCCESS,
              p.Client().SetNodeValue(p.Filter(), OutputTypeNode(p), KSPROPSETID_Audio,
                                      KSPROPERTY_AUDIO_DEV_SPECIFIC, 0, &kind, sizeof(kind)));
    EXPECT_EQ(0u, ports->CurrentType);
    EXPECT_TRUE(Has(p.WaveFilters(), "SPKOut00Wave"));
    EXPECT_FALSE(Has(p.WaveFilters(), "HPOut00Wave"));
    // A message at the terminal with the type unchanged changes nothing.
    p.Take();
    EXPECT_EQ(Ids{}, p.Post({kPending, SimRef1::Speaker}));
    EXPECT_TRUE(Has(p.WaveFilters(), "SPKOut00Wave"));
}

// The output-type list is 8 + 4n bytes (n = 2 here) and the current type 4:
// a zero-length buffer asks for the size, a short one is refused, one of
// the size or larger gets the reply.
TEST(InterruptPolling, OutputTypePropertyBufferRule)
{
    Polled p("Uac1SpeakerMic", TwoOutputTypes);
    ASSERT_EQ(STATUS_SUCCESS, p.Status());
    const ULONG node = OutputTypeNode(p);
    struct Case
    {
        ULONG Id;
        ULONG Size;
        NTSTATUS Status;
        ULONG Returned;
    };
    const Case cases[] = {
        {1, 0, STATUS_BUFFER_OVERFLOW, 16},  {1, 4, STATUS_BUFFER_TOO_SMALL, 0},
        {1, 15, STATUS_BUFFER_TOO_SMALL, 0}, {1, 16, STATUS_SUCCESS, 16},
        {1, 17, STATUS_SUCCESS, 16},         {2, 0, STATUS_BUFFER_OVERFLOW, 4},
        {2, 3, STATUS_BUFFER_TOO_SMALL, 0},  {2, 4, STATUS_SUCCESS, 4},
    };
    for (const Case& c : cases)
    {
        std::vector<UCHAR> value(c.Size + 1, 0xA5);
        ULONG returned = 0xFFFF;
        EXPECT_EQ(c.Status,
                  p.Client().GetNodeValue(p.Filter(), node, KSPROPSETID_OutputType, c.Id, 0,
                                          c.Size ? value.data() : nullptr, c.Size, &returned))
            << c.Id << " " << c.Size;
        if (c.Status != STATUS_BUFFER_TOO_SMALL)
        {
            EXPECT_EQ(c.Returned, returned) << c.Id << " " << c.Size;
        }
        EXPECT_EQ(0xA5, value[c.Size]) << c.Id << " " << c.Size;
        if (c.Status == STATUS_SUCCESS && c.Id == 1)
        {
            const ULONG list[4] = {16, 2, ENDPOINT_KIND_SPK, ENDPOINT_KIND_HP};
            EXPECT_EQ(0, memcmp(list, value.data(), sizeof(list))) << c.Size;
        }
        if (c.Status == STATUS_SUCCESS && c.Id == 2)
        {
            EXPECT_EQ(ENDPOINT_KIND_SPK, *reinterpret_cast<ULONG*>(value.data()));
        }
    }
}
