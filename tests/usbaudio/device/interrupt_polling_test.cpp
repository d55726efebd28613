// The interrupt-endpoint polling of the reference devices, started by the
// driver: status messages injected into the simulated device reach the
// device object's callback (every control of a class 1.0 unit, the one a
// class 2.0 message names, none for a terminal) and the topology's node
// events; a terminal change reinstalls the wave filters; stop always ends
// the thread with its reads, on virtual time.
#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "driver/adapter_common.h"
#include "framework/adapter_extension.h"
#include "platform/kernel/emu.h"
#include "platform/usb/emu_usb_bus.h"
#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/host_harness.h"
#include "usbaudio/device/usb_audio_device.h"

namespace
{
using Ids = std::vector<ULONG>;
using Bytes = std::vector<UCHAR>;
constexpr ULONG kSettleMs = 80;  // two intervals of the slowest endpoint (32 ms)
constexpr UCHAR kPending = 0x80; // class 1.0 bStatusType of an AudioControl entity

// A reference device (its descriptors edited when `edit` is given) started
// by the driver, its topology filter open, with a listener on the device
// object's callback collecting the notified control ids.
class Polled
{
  public:
    explicit Polled(SimReference which, const std::function<void(Bytes&)>& edit = {},
                    const std::function<void(SimUsbDevice&)>& prepare = {})
    {
        const SimReferenceConfig& r = SimReferenceDescriptors(which);
        Bytes config = r.Configuration;
        std::string error;
        if (edit)
            edit(config);
        auto sim = edit ? SimUsbDevice::Create(r.Device, config, r.Strings, r.Speed, &error)
                        : SimCreateReferenceDevice(which);
        if (prepare)
            prepare(*sim);
        EXPECT_EQ(STATUS_SUCCESS, m_Host.LoadDriver());
        EXPECT_EQ(STATUS_SUCCESS, m_Host.PlugDevice(std::move(sim), r.Name)) << error;
        EXPECT_EQ(STATUS_SUCCESS, m_Host.AddDevice());
        m_Status = m_Host.StartDevice();
        if (m_Status != STATUS_SUCCESS)
            return;
        EmuAdvanceMs(kSettleMs); // the start-up notifications are through
        m_Client = std::make_unique<AudioEngineClient>(m_Host.Fdo());
        EXPECT_EQ(STATUS_SUCCESS, m_Client->OpenFilter(u"GlobalTopo", &m_Filter));
        EXPECT_EQ(STATUS_SUCCESS, Device()->RegisterCallback(Record, this, &m_Registration));
    }
    ~Polled()
    {
        Remove();
        m_Host.Unplug();
        m_Host.UnloadDriver();
    }
    NTSTATUS Remove() // the listener and the client first
    {
        if (m_Registration != nullptr)
            Device()->UnregisterCallback(m_Registration);
        m_Registration = nullptr;
        m_Client.reset();
        return m_Host.Fdo() != nullptr ? m_Host.RemoveDevice() : STATUS_SUCCESS;
    }
    NTSTATUS Status() const { return m_Status; }
    SimUsbDevice& Sim() { return *m_Host.Device(); }
    EmuUsbBus& Bus() { return *m_Host.Bus(); }
    AudioEngineClient& Client() { return *m_Client; }
    PFILE_OBJECT Filter() const { return m_Filter; }
    CUsbAudioDevice* Device() const
    {
        auto adapter = static_cast<CAdapterCommon*>(GetAdapterExtension(m_Host.Fdo())->Adapter);
        return static_cast<CUsbAudioDevice*>(
            static_cast<CAudioHal*>(adapter->GetDeviceInterface()));
    }
    Ids Take() { return std::exchange(m_Records, {}); }
    Ids Post(const Bytes& message) // lets the polling see one status packet
    {
        Take();
        Sim().Streaming().PostRawInterrupt(message);
        EmuAdvanceMs(kSettleMs);
        return Take();
    }
    Ids Restart()
    {
        Device()->StopAllUnits();
        EXPECT_FALSE(Device()->Polling().IsRunning());
        EXPECT_EQ(STATUS_SUCCESS, Device()->StartAllUnits());
        EmuAdvanceMs(kSettleMs);
        return Take();
    }
    bool HasWave(const char* name) const
    {
        for (const HostFilter& f : m_Host.Filters())
            if (f.WaveCyclic && f.Name == name)
                return true;
        return false;
    }
    // The node of a control (nodes run in reverse of the non-terminal
    // controls); of the first control of a kind when `kind` is given.
    ULONG NodeOf(ULONG id, ULONG kind = ULONG(-1)) const
    {
        ULONG node = 0;
        for (ULONG i = Device()->GetUnitCount(); i-- > 0;)
        {
            CAudioControl* c = nullptr;
            Device()->GetUnit(i, &c);
            const ULONG k = c->GetKind();
            if ((kind == ULONG(-1) && c->GetId() == id) || k == kind)
                return node;
            node += k > CONTROL_KIND_OUTPUT_TERMINAL && k != CONTROL_KIND_CLOCK_FREQUENCY_LIST;
        }
        return ULONG(-1);
    }
    LONG Level(ULONG node)
    {
        LONG level = 0;
        ULONG returned = 0;
        EXPECT_EQ(STATUS_SUCCESS,
                  m_Client->GetNodeValue(m_Filter, node, KSPROPSETID_Audio,
                                         KSPROPERTY_AUDIO_VOLUMELEVEL, 0, &level, 4, &returned));
        return level;
    }

  private:
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
};

// The offset of the n-th class-specific descriptor of a subtype.
size_t Entity(const Bytes& config, UCHAR subtype, int n = 0)
{
    for (size_t at = 0; at + 3 <= config.size() && config[at] != 0; at += config[at])
        if (config[at + 1] == USB_AUDIO_CS_INTERFACE && config[at + 2] == subtype && n-- == 0)
            return at;
    ADD_FAILURE() << "no entity of subtype " << (int)subtype;
    return 0;
}

// The class 1.0 speaker switchable between speaker and headphones, each
// type with one plugged jack.
void TwoOutputTypes(SimUsbDevice& d)
{
    SimTerminalPorts* ports = d.Audio().Ports(SimRef1::Speaker, true);
    ports->Types = {0x0301, 0x0302};
    ports->Jacks = {{{0x3, 0x01014000}}, {{0x3, 0x01014000}}};
    ports->ConnectedChannels = 0x3;
}
} // namespace

// One thread per device with an interrupt endpoint of its class's packet
// size, at priority 24 (class 1.0) or 16 (class 2.0). Stop cancels the read
// left out, waits for its completion however many frames the bus takes, and
// leaves no thread (the test program checks pool and threads after each).
TEST(InterruptPolling, ThreadPerDeviceAndStopWithTheReadOutstanding)
{
    struct Case
    {
        SimReference Which;
        bool Polled;
        KPRIORITY Priority;
        ULONG CancelFrames;
    };
    for (const Case& c : {Case{SimReference::Uac1SpeakerMic, true, 24, 8},
                          Case{SimReference::Uac1Surround71, false, 0, 0},
                          Case{SimReference::Uac2HighSpeed, true, 16, 1},
                          Case{SimReference::Uac2Spdif, true, 16, 0}})
    {
        const ULONG threads = EmuLiveThreadCount();
        Polled p(c.Which);
        ASSERT_EQ(STATUS_SUCCESS, p.Status()) << (int)c.Which;
        const CInterruptPolling& polling = p.Device()->Polling();
        EXPECT_EQ(c.Polled, polling.IsRunning()) << (int)c.Which;
        EXPECT_EQ(c.Polled ? 0 : POLLING_NO_PIPE, polling.InterruptPipeIndex());
        EXPECT_EQ(c.Priority, c.Polled ? EmuThreadPriority(polling.Thread()) : 0);
        p.Bus().SetCancelDelayFrames(c.CancelFrames);
        const ULONGLONG before = EmuNow();
        ASSERT_EQ(STATUS_SUCCESS, p.Remove());
        EXPECT_GE((EmuNow() - before) / 10000, c.CancelFrames);
        EXPECT_EQ(threads, EmuLiveThreadCount()) << (int)c.Which;
    }
}

// Class 1.0: a message about a unit reads and notifies each of its controls
// in the unit's order and raises exactly their node events; terminals,
// AudioStreaming originators, unknown ids, short and empty packets notify
// nothing, and the polling goes on after them.
TEST(InterruptPolling, Class1MessagesNotifyEveryControlOfTheUnit)
{
    Polled p(SimReference::Uac1SpeakerMic);
    ASSERT_EQ(STATUS_SUCCESS, p.Status());
    // Controls: 0 USB in, 1 mute, 2 volume, 3 speaker, 4 microphone, 5 mute,
    // 6 volume, 7 USB out.
    ASSERT_TRUE(p.Sim().ChangeControlOnDevice(SimRef1::FeaturePlay, 2, 1, -7 * 256 - 128));
    EmuAdvanceMs(kSettleMs);
    EXPECT_EQ((Ids{1, 2}), p.Take());
    EXPECT_EQ(-7 * 65536 - 32768, p.Level(p.NodeOf(2))); // read before the notification
    std::vector<AudioEngineEvent> events(4);             // one per node
    for (ULONG n = 0; n < 4; ++n)
        ASSERT_EQ(STATUS_SUCCESS,
                  p.Client().EnableNodeEvent(p.Filter(), n, KSEVENTSETID_AudioControlChange,
                                             KSEVENT_CONTROL_CHANGE, &events[n]));
    const std::pair<Bytes, Ids> cases[] = {
        {{kPending, SimRef1::FeaturePlay}, {1, 2}},
        {{0x00, SimRef1::FeatureRec}, {5, 6}}, // the low four bits decide
        {{kPending, SimRef1::Speaker}, {}},
        {{kPending, SimRef1::UsbIn}, {}},
        {{kPending | 0x01, SimRef1::FeaturePlay}, {}}, // AudioStreaming interface
        {{kPending | 0x02, SimRef1::FeaturePlay}, {}}, // AudioStreaming endpoint
        {{kPending, 0x40}, {}},                        // no such unit
        {{kPending}, {}},
        {{}, {}},
        {{kPending, SimRef1::FeatureRec}, {5, 6}},
    };
    for (const auto& [message, notified] : cases)
    {
        EXPECT_EQ(notified, p.Post(message)) << message.size();
        for (ULONG id : {1u, 2u, 5u, 6u})
            EXPECT_EQ(std::count(notified.begin(), notified.end(), id) == 1,
                      AudioEngineClient::TakeSignal(&events[p.NodeOf(id)]))
                << id;
    }
    for (AudioEngineEvent& e : events)
        EXPECT_EQ(STATUS_SUCCESS, p.Client().DisableEvent(&e));
}

// The thread reads and announces a unit's controls under the device lock
// that the jack and output-type handlers hold: a message waits for it.
TEST(InterruptPolling, MessagesWaitForTheDeviceLock)
{
    Polled p(SimReference::Uac1SpeakerMic);
    ASSERT_EQ(STATUS_SUCCESS, p.Status());
    p.Device()->LockDevice();
    EXPECT_EQ(Ids{}, p.Post({kPending, SimRef1::FeaturePlay}));
    p.Device()->UnlockDevice();
    EmuAdvanceMs(kSettleMs);
    EXPECT_EQ((Ids{1, 2}), p.Take());
}

// Polling notifies the units by the ids 0 to the unit count less one when it
// starts: with the recording unit renumbered 7 (one past six units) it is
// left out. A packet longer than the endpoint's fails the read and ends the
// thread: nothing is heard until polling starts again.
TEST(InterruptPolling, Class1StartupNotificationsAndAFailedRead)
{
    {
        Polled p(SimReference::Uac1SpeakerMic);
        ASSERT_EQ(STATUS_SUCCESS, p.Status());
        EXPECT_EQ((Ids{1, 2, 5, 6}), p.Restart());
        const ULONG threads = EmuLiveThreadCount();
        EXPECT_EQ(Ids{}, p.Post({kPending, SimRef1::FeaturePlay, 0}));
        EXPECT_EQ(threads - 1, EmuLiveThreadCount());
        EXPECT_EQ(Ids{}, p.Post({kPending, SimRef1::FeaturePlay}));
        // The message the device kept follows the start-up notifications.
        EXPECT_EQ((Ids{1, 2, 5, 6, 1, 2}), p.Restart());
        EXPECT_EQ((Ids{1, 2}), p.Post({kPending, SimRef1::FeaturePlay}));
    }
    Polled p(SimReference::Uac1SpeakerMic,
             [](Bytes& config)
             {
                 config[Entity(config, 6, 1) + 3] = 7; // recording unit id
                 config[Entity(config, 3, 1) + 7] = 7; // the USB output's source
             });
    ASSERT_EQ(STATUS_SUCCESS, p.Status());
    EXPECT_EQ((Ids{1, 2}), p.Restart());
    EXPECT_EQ((Ids{5, 6}), p.Post({kPending, 7}));
}

// Class 2.0: a CUR change at an entity of the AudioControl interface reads
// and notifies the one control it names; other interfaces, RANGE, endpoint
// and memory messages, controls the unit lacks, terminals other than by the
// connector, unknown entities and short packets notify nothing; no
// notifications at start. A bulk IN pipe keeps a 512-byte read out.
TEST(InterruptPolling, Class2MessagesNameOneControl)
{
    Polled p(SimReference::Uac2HighSpeed);
    ASSERT_EQ(STATUS_SUCCESS, p.Status());
    EXPECT_EQ(Ids{}, p.Restart());
    // Controls: 0 clock, 1 USB in, 2 mute, 3 volume, 4 speaker, 5 microphone,
    // 6 mute, 7 volume, 8 USB out. Messages: bInfo, bAttribute, channel,
    // selector, interface, entity.
    ASSERT_TRUE(p.Sim().ChangeControlOnDevice(SimRef3::FeaturePlay, 2, 1, -3 * 256));
    EmuAdvanceMs(kSettleMs);
    EXPECT_EQ(Ids{3}, p.Take());
    EXPECT_EQ(-3 * 65536, p.Level(p.NodeOf(3)));
    const UCHAR play = SimRef3::FeaturePlay;
    const std::pair<Bytes, Ids> cases[] = {
        {{0, 1, 0, 1, 0, play}, {2}},
        {{0, 1, 0, 2, 0, SimRef3::FeatureRec}, {7}},
        {{0, 1, 0, 1, 0, SimRef3::Clock}, {0}}, // the clock's one control
        {{0, 1, 1, 2, 1, play}, {}},            // interface 1
        {{0, 2, 1, 2, 0, play}, {}},            // RANGE
        {{2, 1, 1, 2, 0, play}, {}},            // endpoint
        {{1, 1, 1, 2, 0, play}, {}},            // memory
        {{0, 1, 0, 3, 0, play}, {}},            // no bass control
        {{0, 1, 0, 2, 0, SimRef3::Microphone}, {}},
        {{0, 1, 0, 2, 0, 0x44}, {}},
        {{0, 1, 1, 2, 0}, {}},
        {{0, 1, 1, 2, 0, play}, {3}},
    };
    for (const auto& [message, notified] : cases)
        EXPECT_EQ(notified, p.Post(message)) << (int)message[0] << " " << message.size();

    Polled bulk(
        SimReference::Uac2HighSpeed,
        [](Bytes& config)
        {
            const size_t control = 9 + 8; // after the configuration and the association
            config[control + 4] = 2;      // a bulk IN endpoint after the interrupt one
            const size_t at = Entity(config, 0x03, 1) + 12 + 7;
            const Bytes endpoint = {0x07, 0x05, 0x84, 0x02, 0x00, 0x02, 0x00};
            config.insert(config.begin() + (long)at, endpoint.begin(), endpoint.end());
            config[2] = (UCHAR)config.size();
            config[3] = (UCHAR)(config.size() >> 8);
        },
        [](SimUsbDevice& d) {
            d.Audio().SetClockRates(SimRef3::Clock, {44100, 48000});
        });
    ASSERT_EQ(STATUS_SUCCESS, bulk.Status());
    EXPECT_EQ(1, bulk.Device()->Polling().BulkPipeIndex());
    for (ULONG i = 0; i < 3; ++i)
        bulk.Sim().Streaming().PostBulkIn(Bytes(511 + i, 0x5A)); // the last one too long
    EmuAdvanceMs(kSettleMs);
    EXPECT_EQ(2u, bulk.Sim().Streaming().BulkInServed());
    EXPECT_EQ(Ids{3}, bulk.Post({0, 1, 1, 2, 0, play}));
}

// A terminal change reinstalls the wave filters: a jack plugged into the
// class 2.0 line input brings its capture filter, a pulled one takes it
// away; a class 1.0 speaker switched to headphones by the device renames
// its filter (its upstream controls take the type as their mode and say
// so), and switched back through the output-type node renames it again.
TEST(InterruptPolling, TerminalChangesAndTheOutputTypeNode)
{
    {
        Polled p(SimReference::Uac2Spdif);
        ASSERT_EQ(STATUS_SUCCESS, p.Status());
        const Bytes connector = {0, 1, 0, 2, 0, SimRef4::LineIn};
        for (ULONG plugged : {0x3u, 0u})
        {
            p.Sim().Audio().Ports(SimRef4::LineIn, false)->ConnectedChannels = plugged;
            EXPECT_EQ(Ids{}, p.Post(connector));
            EXPECT_EQ(plugged != 0, p.HasWave("LineIn00Wave")) << plugged;
        }
    }
    Polled p(SimReference::Uac1SpeakerMic, {}, TwoOutputTypes);
    ASSERT_EQ(STATUS_SUCCESS, p.Status());
    EXPECT_TRUE(p.HasWave("SPKOut00Wave"));
    p.Sim().Audio().Ports(SimRef1::Speaker, false)->CurrentType = 1;
    EXPECT_EQ((Ids{2, 1}), p.Post({kPending, SimRef1::Speaker}));
    EXPECT_TRUE(p.HasWave("HPOut00Wave") && !p.HasWave("SPKOut00Wave"));
    const ULONG speaker = ENDPOINT_KIND_SPK;
    ASSERT_EQ(STATUS_SUCCESS,
              p.Client().SetNodeValue(p.Filter(), p.NodeOf(0, CONTROL_KIND_LIST), KSPROPSETID_Audio,
                                      KSPROPERTY_AUDIO_DEV_SPECIFIC, 0, &speaker, 4));
    EXPECT_EQ(0u, p.Sim().Audio().Ports(SimRef1::Speaker, false)->CurrentType);
    EXPECT_TRUE(p.HasWave("SPKOut00Wave") && !p.HasWave("HPOut00Wave"));
    p.Take();
    EXPECT_EQ(Ids{}, p.Post({kPending, SimRef1::Speaker})); // the same type: nothing
    // The output-type list takes 8 + 4n bytes (n = 2), the current type 4:
    // a zero-length buffer is told the size, a short one is refused.
    const ULONG node = p.NodeOf(0, CONTROL_KIND_LIST);
    const ULONG list[4] = {16, 2, ENDPOINT_KIND_SPK, ENDPOINT_KIND_HP};
    for (ULONG id : {1u, 2u})
        for (ULONG size : {0u, 1u, 3u, 4u, 15u, 16u, 17u})
        {
            const ULONG needed = id == 1 ? 16 : 4;
            ULONG value[5] = {0, 0, 0, 0, 0xA5A5A5A5}, returned = 0;
            const NTSTATUS status = size == 0       ? STATUS_BUFFER_OVERFLOW
                                    : size < needed ? STATUS_BUFFER_TOO_SMALL
                                                    : STATUS_SUCCESS;
            EXPECT_EQ(status, p.Client().GetNodeValue(p.Filter(), node, KSPROPSETID_OutputType, id,
                                                      0, size ? value : nullptr, size, &returned))
                << id << " " << size;
            EXPECT_TRUE(status == STATUS_BUFFER_TOO_SMALL || returned == needed) << size;
            EXPECT_TRUE(status != STATUS_SUCCESS ||
                        memcmp(id == 1 ? list : &list[2], value, needed) == 0);
            EXPECT_EQ(0xA5A5A5A5u, value[4]);
        }
}

// Only an interrupt endpoint of exactly its class's message size is polled:
// 2 bytes for class 1.0, 6 for class 2.0, neither one less nor one more.
TEST(InterruptPolling, OnlyTheExactMessageSizeIsPolled)
{
    struct Case
    {
        SimReference Which;
        UCHAR MaxPacket;
        bool Polled;
    } cases[] = {
        {SimReference::Uac1SpeakerMic, 1, false}, {SimReference::Uac1SpeakerMic, 2, true},
        {SimReference::Uac1SpeakerMic, 3, false}, {SimReference::Uac2HighSpeed, 5, false},
        {SimReference::Uac2HighSpeed, 6, true},   {SimReference::Uac2HighSpeed, 7, false},
    };
    for (const Case& c : cases)
    {
        Polled p(c.Which,
                 [&](Bytes& config)
                 {
                     size_t at = 0;
                     while (at + 7 <= config.size() &&
                            !(config[at + 1] == 5 && (config[at + 2] & 0x80) != 0 &&
                              (config[at + 3] & 3) == 3))
                         at += config[at];
                     ASSERT_LT(at + 7, config.size());
                     config[at + 4] = c.MaxPacket;
                     config[at + 5] = 0;
                 });
        ASSERT_EQ(STATUS_SUCCESS, p.Status()) << (int)c.MaxPacket;
        EXPECT_EQ(c.Polled, p.Device()->Polling().IsRunning()) << (int)c.MaxPacket;
    }
}
