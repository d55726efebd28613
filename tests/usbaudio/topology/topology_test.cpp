// The topology filter "GlobalTopo" of the class 1.0 reference devices,
// started by the driver as it is and read through the audio-engine client:
// its descriptor, its node properties byte for byte, and the control-change
// events the device's interrupt endpoint raises.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>

#include "platform/kernel/emu.h"
#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/host_harness.h"
#include "usbaudio/topology/properties.h"

namespace
{
constexpr ULONG kFilter = PCFILTER_NODE;

// A reference device started by the driver, its topology filter opened.
class Topo
{
  public:
    explicit Topo(const std::string& device)
    {
        std::string error;
        EXPECT_EQ(STATUS_SUCCESS, m_Host.LoadDriver());
        EXPECT_EQ(STATUS_SUCCESS, m_Host.PlugReference(device, &error)) << error;
        EXPECT_EQ(STATUS_SUCCESS, m_Host.AddDevice());
        m_Status = m_Host.StartDevice();
        if (m_Status != STATUS_SUCCESS)
            return;
        m_Client = std::make_unique<AudioEngineClient>(m_Host.Fdo());
        EXPECT_EQ(STATUS_SUCCESS, m_Client->OpenFilter(u"GlobalTopo", &m_Filter));
        for (const EmuPcSubdeviceInfo& s : EmuPcSubdevices(m_Host.Fdo()))
            if (s.Name == u"GlobalTopo")
                m_Descriptor = s.Descriptor;
    }
    ~Topo()
    {
        m_Client.reset();
        if (m_Host.Fdo() != nullptr)
            m_Host.RemoveDevice();
        m_Host.Unplug();
        m_Host.UnloadDriver();
    }
    NTSTATUS Status() const { return m_Status; }
    HostHarness& Host() { return m_Host; }
    AudioEngineClient& Client() { return *m_Client; }
    PFILE_OBJECT Filter() const { return m_Filter; }
    const PCFILTER_DESCRIPTOR& Descriptor() const { return *m_Descriptor; }

    // The pin of a category and data flow; ULONG(-1) when none.
    ULONG Pin(const GUID& category, KSPIN_DATAFLOW flow) const
    {
        for (ULONG i = 0; i < m_Descriptor->PinCount; ++i)
        {
            const KSPIN_DESCRIPTOR& ks = m_Descriptor->Pins[i].KsPinDescriptor;
            if (IsEqualGUID(*ks.Category, category) && ks.DataFlow == flow)
                return i;
        }
        return ULONG(-1);
    }
    // The one connection into (node, pin); its FromNode and FromNodePin.
    std::pair<ULONG, ULONG> Into(ULONG node, ULONG pin) const
    {
        std::pair<ULONG, ULONG> from = {ULONG(-2), ULONG(-2)};
        int found = 0;
        for (ULONG i = 0; i < m_Descriptor->ConnectionCount; ++i)
        {
            const PCCONNECTION_DESCRIPTOR& c = m_Descriptor->Connections[i];
            if (c.ToNode == node && c.ToNodePin == pin)
            {
                from = {c.FromNode, c.FromNodePin};
                ++found;
            }
        }
        EXPECT_EQ(1, found) << "into " << node << ":" << pin;
        return from;
    }
    const GUID& NodeType(ULONG node) const { return *m_Descriptor->Nodes[node].Type; }

    // The chain from an output pin back to its source pin: the node types
    // passed on the way, each entered on its pin 1 and left on pin 0.
    std::vector<GUID> ChainInto(ULONG outputPin, ULONG* sourcePin) const
    {
        std::vector<GUID> types;
        std::pair<ULONG, ULONG> from = Into(kFilter, outputPin);
        while (from.first != kFilter && types.size() < 8)
        {
            EXPECT_EQ(0u, from.second);
            types.insert(types.begin(), NodeType(from.first));
            from = Into(from.first, 1);
        }
        *sourcePin = from.second;
        return types;
    }

  private:
    HostHarness m_Host;
    NTSTATUS m_Status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<AudioEngineClient> m_Client;
    PFILE_OBJECT m_Filter = nullptr;
    const PCFILTER_DESCRIPTOR* m_Descriptor = nullptr;
};

// The nodes of the speaker's feature unit: mute, then volume.
struct SpeakerNodes
{
    ULONG Mute;
    ULONG Volume;
};
// The volume node feeds the speaker pin and the mute node feeds the volume;
// the volume is the stereo one (its description holds 56 + 16 x 2 bytes).
SpeakerNodes PlayNodes(Topo& t)
{
    const ULONG speaker = t.Pin(KSNODETYPE_SPEAKER, KSPIN_DATAFLOW_OUT);
    const ULONG volume = t.Into(kFilter, speaker).first;
    SpeakerNodes nodes = {t.Into(volume, 1).first, volume};
    UCHAR reply[40] = {};
    ULONG returned = 0;
    EXPECT_TRUE(IsEqualGUID(KSNODETYPE_VOLUME, t.NodeType(volume)));
    EXPECT_TRUE(IsEqualGUID(KSNODETYPE_MUTE, t.NodeType(nodes.Mute)));
    EXPECT_EQ(STATUS_SUCCESS, t.Client().NodeBasicSupport(t.Filter(), volume, KSPROPSETID_Audio,
                                                          KSPROPERTY_AUDIO_VOLUMELEVEL, reply,
                                                          sizeof(reply), &returned));
    EXPECT_EQ(88u, reinterpret_cast<KSPROPERTY_DESCRIPTION*>(reply)->DescriptionSize);
    return nodes;
}

using Guids = std::vector<GUID>;
} // namespace

// Every class 1.0 reference device starts with one topology filter and one
// wave filter per stream, each joined to the topology filter. The speaker
// and microphone paths pass a mute and a volume each; the 7.1 device's pass
// a mixer and five feature controls, and a selector and three.
TEST(GlobalTopo, EveryClass1DeviceStartsWithItsFilters)
{
    for (const auto& [name, nodes, links] :
         {std::tuple{"Uac1SpeakerMic", 4u, 6u}, std::tuple{"Uac1Surround71", 10u, 14u}})
    {
        Topo t(name);
        ASSERT_EQ(STATUS_SUCCESS, t.Status()) << name;
        const std::vector<HostFilter> filters = t.Host().Filters();
        ASSERT_EQ(3u, filters.size()) << name;
        EXPECT_EQ("GlobalTopo", filters[0].Name);
        EXPECT_EQ(nodes, filters[0].Nodes.size()) << name;
        EXPECT_EQ(links, filters[0].Links.size()) << name;
        EXPECT_FALSE(filters[0].WaveCyclic);
        EXPECT_TRUE(filters[1].WaveCyclic && filters[2].WaveCyclic) << name;
        EXPECT_EQ(2u, t.Host().Connections().size()) << name;
    }
}

// Stream pins first (in reverse of the device's order), then the others;
// nodes in reverse of the device's controls; each chain runs from its input
// pin through the feature unit's mute into its volume, which feeds the
// output pin. The connections are those the walk from each output pin adds,
// newest first.
TEST(GlobalTopo, SpeakerMicDescriptor)
{
    Topo t("Uac1SpeakerMic");
    ASSERT_EQ(STATUS_SUCCESS, t.Status());
    const PCFILTER_DESCRIPTOR& d = t.Descriptor();
    ASSERT_EQ(4u, d.PinCount);
    EXPECT_EQ(112u, d.PinSize);
    EXPECT_EQ(32u, d.NodeSize);
    ASSERT_EQ(4u, d.NodeCount);
    ASSERT_EQ(6u, d.ConnectionCount);
    ASSERT_EQ(3u, d.CategoryCount);
    EXPECT_TRUE(IsEqualGUID(KSCATEGORY_TOPOLOGY, d.Categories[1]));
    for (ULONG i = 0; i < 2; ++i)
        EXPECT_TRUE(IsEqualGUID(KSCATEGORY_AUDIO, *d.Pins[i].KsPinDescriptor.Category)) << i;
    for (ULONG i = 0; i < d.PinCount; ++i)
    {
        const KSPIN_DESCRIPTOR& ks = d.Pins[i].KsPinDescriptor;
        EXPECT_EQ(KSPIN_COMMUNICATION_NONE, ks.Communication);
        ASSERT_EQ(1u, ks.DataRangesCount);
        EXPECT_TRUE(IsEqualGUID(KSDATAFORMAT_SUBTYPE_ANALOG, ks.DataRanges[0]->SubFormat));
    }
    const ULONG playIn = t.Pin(KSCATEGORY_AUDIO, KSPIN_DATAFLOW_IN);
    const ULONG recOut = t.Pin(KSCATEGORY_AUDIO, KSPIN_DATAFLOW_OUT);
    const ULONG speaker = t.Pin(KSNODETYPE_SPEAKER, KSPIN_DATAFLOW_OUT);
    const ULONG mic = t.Pin(KSNODETYPE_MICROPHONE, KSPIN_DATAFLOW_IN);
    ASSERT_TRUE(playIn < 2 && recOut < 2 && speaker >= 2 && mic >= 2);
    ULONG source = 0;
    EXPECT_EQ((Guids{KSNODETYPE_MUTE, KSNODETYPE_VOLUME}), t.ChainInto(speaker, &source));
    EXPECT_EQ(playIn, source);
    EXPECT_EQ((Guids{KSNODETYPE_MUTE, KSNODETYPE_VOLUME}), t.ChainInto(recOut, &source));
    EXPECT_EQ(mic, source);
    // Controls: 0 USB in, 1 mute, 2 volume, 3 speaker, 4 microphone, 5 mute,
    // 6 volume, 7 USB out. Pins: 7, 0 (stream, reversed), 3, 4; nodes: 6, 5,
    // 2, 1. The recording pin (0) is walked first, the speaker (2) last.
    const PCCONNECTION_DESCRIPTOR expected[] = {{2, 0, kFilter, 2}, {3, 0, 2, 1},
                                                {kFilter, 1, 3, 1}, {0, 0, kFilter, 0},
                                                {1, 0, 0, 1},       {kFilter, 3, 1, 1}};
    for (ULONG i = 0; i < 6; ++i)
    {
        const PCCONNECTION_DESCRIPTOR& c = d.Connections[i];
        EXPECT_EQ(expected[i].FromNode, c.FromNode) << i;
        EXPECT_EQ(expected[i].FromNodePin, c.FromNodePin) << i;
        EXPECT_EQ(expected[i].ToNode, c.ToNode) << i;
        EXPECT_EQ(expected[i].ToNodePin, c.ToNodePin) << i;
    }
    for (ULONG node : {0u, 2u})
        EXPECT_TRUE(IsEqualGUID(KSNODETYPE_VOLUME, t.NodeType(node))) << node;
    for (ULONG node : {1u, 3u})
        EXPECT_TRUE(IsEqualGUID(KSNODETYPE_MUTE, t.NodeType(node))) << node;
}

// The size protocol of a basic-support request on the stereo volume node:
// below 4 bytes the size needed, then the flags alone, then the description
// alone (naming the full 56 + 16 x 2 bytes), then all of it.
TEST(GlobalTopo, VolumeBasicSupportSizes)
{
    Topo t("Uac1SpeakerMic");
    ASSERT_EQ(STATUS_SUCCESS, t.Status());
    const ULONG volume = PlayNodes(t).Volume;
    struct Case
    {
        ULONG Size;
        NTSTATUS Status;
        ULONG Returned;
    };
    for (const Case& c :
         {Case{3, STATUS_BUFFER_TOO_SMALL, 88}, Case{4, STATUS_SUCCESS, 4},
          Case{39, STATUS_SUCCESS, 4}, Case{40, STATUS_SUCCESS, 40}, Case{87, STATUS_SUCCESS, 40},
          Case{88, STATUS_SUCCESS, 88}, Case{89, STATUS_SUCCESS, 88}})
    {
        std::vector<UCHAR> reply(c.Size + 1, 0xA5);
        ULONG returned = 0;
        EXPECT_EQ(c.Status, t.Client().NodeBasicSupport(
                                t.Filter(), volume, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                c.Size ? reply.data() : nullptr, c.Size, &returned))
            << c.Size;
        EXPECT_EQ(c.Returned, returned) << c.Size;
        EXPECT_EQ(0xA5, reply[c.Size]) << c.Size; // nothing past the buffer
        if (c.Size >= 4 && NT_SUCCESS(c.Status))
        {
            EXPECT_EQ(0x203u, *reinterpret_cast<ULONG*>(reply.data())) << c.Size;
        }
    }
    // The full reply: the device's range of -60 to 0 dB in 0.5 dB steps, in
    // 1/65536 dB, once per channel.
    UCHAR full[88] = {};
    ULONG returned = 0;
    ASSERT_EQ(STATUS_SUCCESS, t.Client().NodeBasicSupport(t.Filter(), volume, KSPROPSETID_Audio,
                                                          KSPROPERTY_AUDIO_VOLUMELEVEL, full,
                                                          sizeof(full), &returned));
    KSPROPERTY_DESCRIPTION description;
    memcpy(&description, full, sizeof(description));
    EXPECT_EQ(88u, description.DescriptionSize);
    EXPECT_TRUE(IsEqualGUID(KSPROPTYPESETID_General, description.PropTypeSet.Set));
    EXPECT_EQ((ULONG)VT_I4, description.PropTypeSet.Id);
    EXPECT_EQ(1u, description.MembersListCount);
    const ULONG header[4] = {KSPROPERTY_MEMBER_STEPPEDRANGES, 16, 2,
                             KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL};
    EXPECT_EQ(0, memcmp(header, full + 40, sizeof(header)));
    const LONG step[4] = {128 * 256, 0, -60 * 65536, 0};
    EXPECT_EQ(0, memcmp(step, full + 56, sizeof(step)));
    EXPECT_EQ(0, memcmp(step, full + 72, sizeof(step)));
}

// Get and set through the client: the volume of each channel, the mute,
// and the bounds of the value and instance buffers.
TEST(GlobalTopo, VolumeAndMuteGetAndSet)
{
    Topo t("Uac1SpeakerMic");
    ASSERT_EQ(STATUS_SUCCESS, t.Status());
    const SpeakerNodes nodes = PlayNodes(t);
    AudioEngineClient& c = t.Client();
    const LONG level = -12 * 65536;
    ASSERT_EQ(STATUS_SUCCESS, c.SetNodeValue(t.Filter(), nodes.Volume, KSPROPSETID_Audio,
                                             KSPROPERTY_AUDIO_VOLUMELEVEL, 1, &level, 4));
    LONG got = 0;
    ULONG returned = 0;
    EXPECT_EQ(STATUS_SUCCESS, c.GetNodeValue(t.Filter(), nodes.Volume, KSPROPSETID_Audio,
                                             KSPROPERTY_AUDIO_VOLUMELEVEL, 1, &got, 4, &returned));
    EXPECT_EQ(level, got);
    EXPECT_EQ(4u, returned);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              c.GetNodeValue(t.Filter(), nodes.Volume, KSPROPSETID_Audio,
                             KSPROPERTY_AUDIO_VOLUMELEVEL, 1, &got, 3, &returned));
    // The mute node's table has no volume property: the port finds none.
    EXPECT_EQ(STATUS_NOT_FOUND,
              c.GetNodeValue(t.Filter(), nodes.Mute, KSPROPSETID_Audio,
                             KSPROPERTY_AUDIO_VOLUMELEVEL, 0, &got, 4, &returned));
    for (ULONG on : {1u, 0u})
    {
        const ULONG wire = on ? 7 : 0; // any non-zero value mutes
        ASSERT_EQ(STATUS_SUCCESS, c.SetNodeValue(t.Filter(), nodes.Mute, KSPROPSETID_Audio,
                                                 KSPROPERTY_AUDIO_MUTE, 0, &wire, 4));
        ULONG value = 0xFFFFFFFF;
        EXPECT_EQ(STATUS_SUCCESS, c.GetNodeValue(t.Filter(), nodes.Mute, KSPROPSETID_Audio,
                                                 KSPROPERTY_AUDIO_MUTE, 0, &value, 4, &returned));
        EXPECT_EQ(on, value);
    }
}

// The private level set raises the node's control-change event; the
// standard volume property does not.
TEST(GlobalTopo, PrivateLevelSetRaisesTheEvent)
{
    Topo t("Uac1SpeakerMic");
    ASSERT_EQ(STATUS_SUCCESS, t.Status());
    const ULONG volume = PlayNodes(t).Volume;
    AudioEngineEvent event;
    ASSERT_EQ(STATUS_SUCCESS,
              t.Client().EnableNodeEvent(t.Filter(), volume, KSEVENTSETID_AudioControlChange,
                                         KSEVENT_CONTROL_CHANGE, &event));
    const LONG level = -6 * 65536;
    ASSERT_EQ(STATUS_SUCCESS, t.Client().SetNodeValue(t.Filter(), volume, KSPROPSETID_Audio,
                                                      KSPROPERTY_AUDIO_VOLUMELEVEL, 1, &level, 4));
    EmuRunUntilIdle();
    EXPECT_FALSE(AudioEngineClient::TakeSignal(&event));
    ASSERT_EQ(STATUS_SUCCESS, t.Client().SetNodeValue(t.Filter(), volume, KSPROPSETID_DevicePrivate,
                                                      DEVICE_PRIVATE_LEVEL_NOTIFY, 1, &level, 4));
    EmuRunUntilIdle();
    EXPECT_TRUE(AudioEngineClient::TakeSignal(&event));
    EXPECT_EQ(STATUS_SUCCESS, t.Client().DisableEvent(&event));
}

// A pin's filter properties, byte for byte: the class 2.0 headphone jack
// (green, on the front, plugged in, with presence detection) as
// KSJACK_DESCRIPTION and KSJACK_DESCRIPTION2, and the private version. The
// pin index reaches the last pin and not one past it, an index one byte
// short names none, and a value one byte short is refused.
TEST(GlobalTopo, PinPropertiesByteExactAndAtTheirBounds)
{
    Topo t("Uac2Spdif");
    ASSERT_EQ(STATUS_SUCCESS, t.Status());
    const ULONG hp = t.Pin(KSNODETYPE_HEADPHONES, KSPIN_DATAFLOW_OUT);
    const ULONG line = t.Pin(KSNODETYPE_LINE_CONNECTOR, KSPIN_DATAFLOW_IN);
    const ULONG pins = t.Descriptor().PinCount;
    ASSERT_LT(hp, pins);
    ASSERT_LT(line, pins);
    // A class 2.0 line input: no feature bits, the third value 18.
    const std::vector<ULONG> lineRecord = {0, 0, 0, 0, 0, 0, 18, 0};
    const std::vector<ULONG> jack = {36, 1, 0x3, 0x00FF00, 1, 1, 0, 0, 1};
    const std::vector<ULONG> jack2 = {16, 1, 0, JACKDESC2_PRESENCE_DETECT_CAPABILITY};
    struct Case
    {
        const GUID* Set;
        ULONG Id;
        ULONG Pin;
        ULONG InstanceBytes;
        ULONG ValueBytes;
        NTSTATUS Status;
        std::vector<ULONG> Words; // the reply, when it succeeds
    } cases[] = {
        {&KSPROPSETID_Jack, JACK_DESCRIPTION_ID, hp, 4, 36, STATUS_SUCCESS, jack},
        {&KSPROPSETID_Jack, JACK_DESCRIPTION_ID, hp, 4, 35, STATUS_BUFFER_TOO_SMALL, {}},
        {&KSPROPSETID_Jack, JACK_DESCRIPTION2_ID, hp, 4, 16, STATUS_SUCCESS, jack2},
        {&KSPROPSETID_Jack, JACK_DESCRIPTION_ID, hp, 3, 36, STATUS_INVALID_DEVICE_REQUEST, {}},
        {&KSPROPSETID_DevicePrivate,
         DEVICE_PRIVATE_VERSION,
         pins - 1,
         4,
         4,
         STATUS_SUCCESS,
         {DEVICE_PRIVATE_VERSION_VALUE}},
        {&KSPROPSETID_DevicePrivate,
         DEVICE_PRIVATE_VERSION,
         pins,
         4,
         4,
         STATUS_INVALID_DEVICE_REQUEST,
         {}},
        {&KSPROPSETID_DevicePrivate,
         DEVICE_PRIVATE_VERSION,
         pins - 1,
         4,
         3,
         STATUS_INVALID_PARAMETER,
         {}},
        {&KSPROPSETID_EndpointCapabilities, ENDPOINT_CAPABILITIES_ID, line, 4, 32, STATUS_SUCCESS,
         lineRecord},
        {&KSPROPSETID_EndpointCapabilities,
         ENDPOINT_CAPABILITIES_ID,
         pins,
         4,
         32,
         STATUS_INVALID_DEVICE_REQUEST,
         {}},
        {&KSPROPSETID_EndpointCapabilities,
         ENDPOINT_CAPABILITIES_ID,
         line,
         3,
         32,
         STATUS_INVALID_DEVICE_REQUEST,
         {}},
        {&KSPROPSETID_EndpointCapabilities,
         ENDPOINT_CAPABILITIES_ID,
         line,
         4,
         31,
         STATUS_BUFFER_TOO_SMALL,
         {}},
    };
    for (const Case& c : cases)
    {
        KSP_PIN request = {};
        request.Property.Set = *c.Set;
        request.Property.Id = c.Id;
        request.Property.Flags = KSPROPERTY_TYPE_GET;
        request.PinId = c.Pin;
        std::vector<UCHAR> value(c.ValueBytes, 0xEE);
        ULONG returned = 0;
        EXPECT_EQ(c.Status,
                  t.Client().Property(t.Filter(), &request, sizeof(KSPROPERTY) + c.InstanceBytes,
                                      value.data(), c.ValueBytes, &returned))
            << c.Id << " pin " << c.Pin << " " << c.InstanceBytes << "/" << c.ValueBytes;
        if (c.Status != STATUS_SUCCESS)
            continue;
        ASSERT_EQ(c.Words.size() * 4, returned) << c.Id;
        std::vector<ULONG> words(c.Words.size());
        memcpy(words.data(), value.data(), returned);
        EXPECT_EQ(c.Words, words) << c.Id;
    }
}

// The 7.1 device's MUX, tone, AGC and loudness nodes answer what was set,
// in four bytes; a channel instance or a value one byte short is refused.
TEST(GlobalTopo, NodeKindsByteExactAndAtTheirBounds)
{
    Topo t("Uac1Surround71");
    ASSERT_EQ(STATUS_SUCCESS, t.Status());
    auto node = [&](const GUID& type, ULONG property)
    {
        for (ULONG n = 0; n < t.Descriptor().NodeCount; ++n)
        {
            LONG v = 0;
            ULONG returned = 0;
            if (IsEqualGUID(type, t.NodeType(n)) &&
                NT_SUCCESS(t.Client().GetNodeValue(t.Filter(), n, KSPROPSETID_Audio, property, 0,
                                                   &v, 4, &returned)))
                return n;
        }
        ADD_FAILURE() << "no node for property " << property;
        return ULONG(0);
    };
    struct Case
    {
        const GUID* Type;
        ULONG Property;
        ULONG InstanceBytes; // after the node header; 0 for a property without channels
        LONG Set;
    } cases[] = {
        {&KSNODETYPE_MUX, KSPROPERTY_AUDIO_MUX_SOURCE, 0, 2},
        {&KSNODETYPE_AGC, KSPROPERTY_AUDIO_AGC, 4, 1},
        {&KSNODETYPE_LOUDNESS, KSPROPERTY_AUDIO_LOUDNESS, 4, 1},
        {&KSNODETYPE_TONE, KSPROPERTY_AUDIO_BASS, 4, -2 * 65536},
        {&KSNODETYPE_TONE, KSPROPERTY_AUDIO_TREBLE, 4, -3 * 65536},
    };
    for (const Case& c : cases)
    {
        const ULONG n = node(*c.Type, c.Property);
        KSNODEPROPERTY_AUDIO_CHANNEL r = {};
        r.NodeProperty.Property.Set = KSPROPSETID_Audio;
        r.NodeProperty.Property.Id = c.Property;
        r.NodeProperty.NodeId = n;
        auto ask = [&](ULONG verb, ULONG instance, LONG* value, ULONG bytes, ULONG* returned)
        {
            r.NodeProperty.Property.Flags = verb | KSPROPERTY_TYPE_TOPOLOGY;
            return t.Client().Property(t.Filter(), &r, sizeof(KSNODEPROPERTY) + instance, value,
                                       bytes, returned);
        };
        LONG value = c.Set;
        ULONG returned = 0;
        ASSERT_EQ(STATUS_SUCCESS, ask(KSPROPERTY_TYPE_SET, c.InstanceBytes, &value, 4, nullptr))
            << c.Property;
        UCHAR reply[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(STATUS_SUCCESS,
                  ask(KSPROPERTY_TYPE_GET, c.InstanceBytes, (LONG*)reply, 8, &returned));
        EXPECT_EQ(4u, returned) << c.Property;
        const UCHAR expected[8] = {(UCHAR)c.Set,
                                   (UCHAR)(c.Set >> 8),
                                   (UCHAR)(c.Set >> 16),
                                   (UCHAR)(c.Set >> 24),
                                   0xEE,
                                   0xEE,
                                   0xEE,
                                   0xEE};
        EXPECT_EQ(0, memcmp(expected, reply, 8)) << c.Property;
        EXPECT_EQ(STATUS_INVALID_PARAMETER,
                  ask(KSPROPERTY_TYPE_GET, c.InstanceBytes, &value, 3, &returned))
            << c.Property;
        if (c.InstanceBytes != 0)
        {
            EXPECT_EQ(STATUS_INVALID_PARAMETER,
                      ask(KSPROPERTY_TYPE_GET, c.InstanceBytes - 1, &value, 4, &returned))
                << c.Property;
        }
    }
}
