// Property and event routing through port-class automation tables.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "platform/ks/ksmedia.h"
#include "platform/ks/pcautomation.h"

namespace
{
// What the last handler saw.
struct Seen
{
    int Calls = 0;
    PCPROPERTY_REQUEST Request = {};
    PCEVENT_REQUEST Event = {};
};
Seen g_Seen;

// A volume handler with the usual size protocol: a 4-byte LONG value; basic
// support answers 4 bytes of access flags or a whole 40-byte description.
NTSTATUS VolumeHandler(PPCPROPERTY_REQUEST request)
{
    ++g_Seen.Calls;
    g_Seen.Request = *request;
    if (request->Verb == KSPROPERTY_TYPE_BASICSUPPORT)
    {
        if (request->ValueSize == 0)
        {
            request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
            return STATUS_BUFFER_OVERFLOW;
        }
        if (request->ValueSize < sizeof(KSPROPERTY_DESCRIPTION))
        {
            *static_cast<ULONG*>(request->Value) = 0x203;
            request->ValueSize = sizeof(ULONG);
            return STATUS_SUCCESS;
        }
        auto d = static_cast<KSPROPERTY_DESCRIPTION*>(request->Value);
        *d = {};
        d->AccessFlags = 0x203;
        d->DescriptionSize = 72;
        request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_SUCCESS;
    }
    if (request->ValueSize < sizeof(LONG))
        return STATUS_BUFFER_TOO_SMALL;
    if (request->Verb == KSPROPERTY_TYPE_GET)
        *static_cast<LONG*>(request->Value) = -6 * 65536;
    request->ValueSize = sizeof(LONG);
    return STATUS_SUCCESS;
}

NTSTATUS FilterHandler(PPCPROPERTY_REQUEST request)
{
    ++g_Seen.Calls;
    g_Seen.Request = *request;
    request->ValueSize = 0;
    return STATUS_SUCCESS;
}

// Claims to have written more than it was given.
NTSTATUS LyingHandler(PPCPROPERTY_REQUEST request)
{
    request->ValueSize += 8;
    return STATUS_SUCCESS;
}

NTSTATUS EventHandler(PPCEVENT_REQUEST request)
{
    ++g_Seen.Calls;
    g_Seen.Event = *request;
    return STATUS_SUCCESS;
}

const PCPROPERTY_ITEM kVolumeItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     VolumeHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, PCPROPERTY_ITEM_FLAG_GET, VolumeHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, PCPROPERTY_ITEM_FLAG_GET, LyingHandler},
};
const PCEVENT_ITEM kVolumeEvents[] = {
    {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE,
     PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_BASICSUPPORT, EventHandler},
};
const PCAUTOMATION_TABLE kVolumeTable = {sizeof(PCPROPERTY_ITEM), 3, kVolumeItems,  0, 0, nullptr,
                                         sizeof(PCEVENT_ITEM),    1, kVolumeEvents, 0};

const PCPROPERTY_ITEM kFilterItems[] = {
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, PCPROPERTY_ITEM_FLAG_GET, FilterHandler},
};
const PCAUTOMATION_TABLE kFilterTable = {
    sizeof(PCPROPERTY_ITEM), 1, kFilterItems, 0, 0, nullptr, 0, 0, nullptr, 0};

const PCNODE_DESCRIPTOR kNodes[] = {
    {0, nullptr, &KSNODETYPE_SUM, nullptr},
    {0, &kVolumeTable, &KSNODETYPE_VOLUME, nullptr},
};
const PCFILTER_DESCRIPTOR kFilter = {0,
                                     &kFilterTable,
                                     sizeof(PCPIN_DESCRIPTOR),
                                     0,
                                     nullptr,
                                     sizeof(PCNODE_DESCRIPTOR),
                                     2,
                                     kNodes,
                                     0,
                                     nullptr,
                                     0,
                                     nullptr};

KSNODEPROPERTY_AUDIO_CHANNEL NodeRequest(ULONG node, ULONG id, ULONG verb, LONG channel)
{
    KSNODEPROPERTY_AUDIO_CHANNEL r = {};
    r.NodeProperty.Property.Set = KSPROPSETID_Audio;
    r.NodeProperty.Property.Id = id;
    r.NodeProperty.Property.Flags = verb | KSPROPERTY_TYPE_TOPOLOGY;
    r.NodeProperty.NodeId = node;
    r.Channel = channel;
    return r;
}

class Routing : public ::testing::Test
{
  protected:
    void SetUp() override { g_Seen = Seen(); }
};
} // namespace

TEST_F(Routing, NodeRequestReachesNodeItemWithBuffersUnchanged)
{
    auto r = NodeRequest(1, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, 1);
    LONG value[4] = {};
    ULONG returned = 99;
    PUNKNOWN major = reinterpret_cast<PUNKNOWN>(0x1000);
    ASSERT_EQ(STATUS_SUCCESS, PcRoutePropertyRequest(&kFilter, major, nullptr, nullptr, &r,
                                                     sizeof(r), value, sizeof(value), &returned));
    EXPECT_EQ(1, g_Seen.Calls);
    EXPECT_EQ(major, g_Seen.Request.MajorTarget);
    EXPECT_EQ(1u, g_Seen.Request.Node);
    EXPECT_EQ(KSPROPERTY_TYPE_GET, g_Seen.Request.Verb);
    // The instance is what follows the node header: channel and reserved word.
    EXPECT_EQ(reinterpret_cast<UCHAR*>(&r) + 32, g_Seen.Request.Instance);
    EXPECT_EQ(8u, g_Seen.Request.InstanceSize);
    EXPECT_EQ(static_cast<void*>(value), g_Seen.Request.Value);
    EXPECT_EQ(sizeof(value), g_Seen.Request.ValueSize);
    EXPECT_EQ(4u, returned);
    EXPECT_EQ(-6 * 65536, value[0]);
}

TEST_F(Routing, FilterRequestUsesFilterTableAndPinInstance)
{
    KSP_PIN r = {};
    r.Property.Set = KSPROPSETID_Jack;
    r.Property.Id = KSPROPERTY_JACK_DESCRIPTION;
    r.Property.Flags = KSPROPERTY_TYPE_GET;
    r.PinId = 3;
    UCHAR value[8];
    ULONG returned = 0;
    ASSERT_EQ(STATUS_SUCCESS, PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr, &r,
                                                     sizeof(r), value, sizeof(value), &returned));
    EXPECT_EQ(ULONG(-1), g_Seen.Request.Node);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(&r) + 24, g_Seen.Request.Instance);
    EXPECT_EQ(8u, g_Seen.Request.InstanceSize);
    EXPECT_EQ(3u, *static_cast<ULONG*>(g_Seen.Request.Instance));
}

TEST_F(Routing, RouterRefusalsReachNoHandler)
{
    ULONG returned = 0;
    LONG value = 0;
    // A request shorter than a property header, or a node request shorter than its node header.
    auto r = NodeRequest(1, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, 0);
    EXPECT_EQ(
        STATUS_INVALID_BUFFER_SIZE,
        PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr, &r, 23, &value, 4, &returned));
    EXPECT_EQ(
        STATUS_INVALID_BUFFER_SIZE,
        PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr, &r, 31, &value, 4, &returned));
    // Node out of range.
    r = NodeRequest(2, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, 0);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr, &r, sizeof(r), &value, 4,
                                     &returned));
    // Node without a table, node item asked at filter level, unknown id.
    r = NodeRequest(0, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, 0);
    EXPECT_EQ(STATUS_NOT_FOUND, PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr, &r,
                                                       sizeof(r), &value, 4, &returned));
    r = NodeRequest(1, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, 0);
    r.NodeProperty.Property.Flags = KSPROPERTY_TYPE_GET;
    EXPECT_EQ(STATUS_NOT_FOUND, PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr, &r,
                                                       sizeof(r), &value, 4, &returned));
    r = NodeRequest(1, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_GET, 0);
    EXPECT_EQ(STATUS_NOT_FOUND, PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr, &r,
                                                       sizeof(r), &value, 4, &returned));
    // A verb the item does not offer.
    r = NodeRequest(1, KSPROPERTY_AUDIO_MUX_SOURCE, KSPROPERTY_TYPE_SET, 0);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr, &r, sizeof(r), &value, 4,
                                     &returned));
    EXPECT_EQ(0, g_Seen.Calls);
    EXPECT_EQ(0u, returned);
}

TEST_F(Routing, SizeProtocolIsTheHandlers)
{
    auto r = NodeRequest(1, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT, 0);
    ULONG returned = 0;
    // Zero length: the handler reports the size it needs.
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr,
                                                             &r, sizeof(r), nullptr, 0, &returned));
    EXPECT_EQ(40u, returned);
    // A short buffer: access flags only.
    ULONG flags[2] = {};
    EXPECT_EQ(STATUS_SUCCESS, PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr, &r,
                                                     sizeof(r), flags, 8, &returned));
    EXPECT_EQ(4u, returned);
    EXPECT_EQ(0x203u, flags[0]);
    KSPROPERTY_DESCRIPTION d;
    EXPECT_EQ(STATUS_SUCCESS, PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr, &r,
                                                     sizeof(r), &d, sizeof(d), &returned));
    EXPECT_EQ(40u, returned);
    EXPECT_EQ(72u, d.DescriptionSize);
    // A handler's failure passes through and returns nothing.
    r = NodeRequest(1, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, 0);
    UCHAR small[2];
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr,
                                                              &r, sizeof(r), small, 2, &returned));
    EXPECT_EQ(2u, returned); // the size the handler left: what it was given
}

TEST_F(Routing, BasicSupportWithoutHandlerGivesAccessFlags)
{
    auto r = NodeRequest(1, KSPROPERTY_AUDIO_MUX_SOURCE, KSPROPERTY_TYPE_BASICSUPPORT, 0);
    ULONG flags = 0, returned = 0;
    EXPECT_EQ(STATUS_SUCCESS, PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr, &r,
                                                     sizeof(r), &flags, 4, &returned));
    EXPECT_EQ(KSPROPERTY_TYPE_GET, flags);
    EXPECT_EQ(4u, returned);
    EXPECT_EQ(0, g_Seen.Calls);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr,
                                                             &r, sizeof(r), nullptr, 0, &returned));
    EXPECT_EQ(4u, returned);
}

TEST_F(Routing, HandlerOverrunIsReported)
{
    EmuExpectFailures f;
    auto r = NodeRequest(1, KSPROPERTY_AUDIO_DEV_SPECIFIC, KSPROPERTY_TYPE_GET, 0);
    ULONG value = 0, returned = 0;
    PcRoutePropertyRequest(&kFilter, nullptr, nullptr, nullptr, &r, sizeof(r), &value, 4,
                           &returned);
    EXPECT_TRUE(f.Contains("replied 12 bytes into a 4-byte buffer"));
}

TEST_F(Routing, EventVerbsReachNodeEventItem)
{
    KSE_NODE e = {};
    e.Event.Set = KSEVENTSETID_AudioControlChange;
    e.Event.Id = KSEVENT_CONTROL_CHANGE;
    e.Event.Flags = KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY;
    e.NodeId = 1;
    KSEVENT_ENTRY entry = {};
    const PCEVENT_ITEM* item = nullptr;
    ULONG node = 0;
    ASSERT_EQ(STATUS_SUCCESS,
              PcRouteEventRequest(&kFilter, nullptr, nullptr, nullptr, &e, sizeof(e),
                                  PCEVENT_VERB_ADD, &entry, &item, &node));
    EXPECT_EQ(&kVolumeEvents[0], item);
    EXPECT_EQ(1u, node);
    EXPECT_EQ(PCEVENT_VERB_ADD, g_Seen.Event.Verb);
    EXPECT_EQ(&entry, g_Seen.Event.EventEntry);
    EXPECT_EQ(1u, g_Seen.Event.Node);
    // Support carries no entry.
    EXPECT_EQ(STATUS_SUCCESS,
              PcRouteEventRequest(&kFilter, nullptr, nullptr, nullptr, &e, sizeof(e),
                                  PCEVENT_VERB_SUPPORT, &entry, &item, &node));
    EXPECT_EQ(nullptr, g_Seen.Event.EventEntry);
    // The node without a table has no event; a filter-level request finds none either.
    e.NodeId = 0;
    EXPECT_EQ(STATUS_NOT_FOUND,
              PcRouteEventRequest(&kFilter, nullptr, nullptr, nullptr, &e, sizeof(e),
                                  PCEVENT_VERB_ADD, &entry, &item, &node));
    e.Event.Flags = KSEVENT_TYPE_ENABLE;
    EXPECT_EQ(STATUS_NOT_FOUND,
              PcRouteEventRequest(&kFilter, nullptr, nullptr, nullptr, &e, sizeof(KSEVENT),
                                  PCEVENT_VERB_ADD, &entry, &item, &node));
    EXPECT_EQ(2, g_Seen.Calls);
}

TEST_F(Routing, MalformedTableIsMisuse)
{
    EmuExpectFailures f;
    PCAUTOMATION_TABLE bad = kVolumeTable;
    bad.PropertyItemSize = 8;
    EXPECT_EQ(nullptr, PcFindPropertyItem(&bad, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL));
    EXPECT_TRUE(f.Contains("property item size 8"));
}
