// Port-class filter descriptors and automation tables, and the routing of
// property and event requests through them: a request addressed to a node goes
// to that node's table, any other to the filter's; the item of the request's
// (set, id) is called with the value buffer exactly as the client handed it,
// so the handlers implement the size protocol themselves.
#pragma once

#include "platform/ks/ks.h"
#include "platform/ks/unknown.h"

typedef struct _IRP* PIRP;

struct _PCPROPERTY_REQUEST;
struct _PCEVENT_REQUEST;
typedef NTSTATUS (*PCPFNPROPERTY_HANDLER)(struct _PCPROPERTY_REQUEST* propertyRequest);
typedef NTSTATUS (*PCPFNEVENT_HANDLER)(struct _PCEVENT_REQUEST* eventRequest);

typedef struct
{
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;

#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT
#define PCPROPERTY_ITEM_FLAG_DEFAULTVALUES KSPROPERTY_TYPE_DEFAULTVALUES
#define PCPROPERTY_ITEM_FLAG_SERIALIZERAW KSPROPERTY_TYPE_SERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW KSPROPERTY_TYPE_UNSERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_SERIALIZESIZE KSPROPERTY_TYPE_SERIALIZESIZE

typedef struct
{
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNEVENT_HANDLER Handler;
} PCEVENT_ITEM, *PPCEVENT_ITEM;

#define PCEVENT_ITEM_FLAG_ENABLE KSEVENT_TYPE_ENABLE
#define PCEVENT_ITEM_FLAG_ONESHOT KSEVENT_TYPE_ONESHOT
#define PCEVENT_ITEM_FLAG_BASICSUPPORT KSEVENT_TYPE_BASICSUPPORT

typedef struct
{
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PVOID Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM;

typedef struct
{
    ULONG PropertyItemSize;
    ULONG PropertyCount;
    const PCPROPERTY_ITEM* Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM* Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM* Events;
    ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;

typedef struct _PCPROPERTY_REQUEST
{
    PUNKNOWN MajorTarget; // the miniport
    PUNKNOWN MinorTarget; // the stream, for a request on a pin; else null
    ULONG Node;           // ULONG(-1) for a filter or pin request
    const PCPROPERTY_ITEM* PropertyItem;
    ULONG Verb;         // KSPROPERTY_TYPE_GET, _SET or _BASICSUPPORT
    ULONG InstanceSize; // bytes of the request after its property (or node) header
    PVOID Instance;
    ULONG ValueSize; // in: the value buffer's length; out: bytes returned or needed
    PVOID Value;
    PIRP Irp;
} PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;

#define PCEVENT_VERB_NONE 0u
#define PCEVENT_VERB_ADD 1u
#define PCEVENT_VERB_REMOVE 2u
#define PCEVENT_VERB_SUPPORT 4u

typedef struct _PCEVENT_REQUEST
{
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCEVENT_ITEM* EventItem;
    PKSEVENT_ENTRY EventEntry;
    ULONG Verb;
    PIRP Irp;
} PCEVENT_REQUEST, *PPCEVENT_REQUEST;

typedef struct
{
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;

typedef struct
{
    ULONG Flags;
    const PCAUTOMATION_TABLE* AutomationTable;
    const GUID* Type;
    const GUID* Name;
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;

typedef KSTOPOLOGY_CONNECTION PCCONNECTION_DESCRIPTOR, *PPCCONNECTION_DESCRIPTOR;
#define PCFILTER_NODE KSFILTER_NODE

typedef struct
{
    ULONG Version;
    const PCAUTOMATION_TABLE* AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR* Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR* Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR* Connections;
    ULONG CategoryCount;
    const GUID* Categories;
} PCFILTER_DESCRIPTOR, *PPCFILTER_DESCRIPTOR;

static_assert(sizeof(PCPROPERTY_ITEM) == 24);
static_assert(sizeof(PCEVENT_ITEM) == 24);
static_assert(sizeof(PCAUTOMATION_TABLE) == 56);
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112);
static_assert(sizeof(PCNODE_DESCRIPTOR) == 32);
static_assert(sizeof(PCCONNECTION_DESCRIPTOR) == 16);
static_assert(sizeof(PCFILTER_DESCRIPTOR) == 80);

// ----------------------------------------------------------------------------
// Routing (the port side). Items are read with the tables' own item sizes; a
// table whose item size is below the item record is reported as misuse.

// The item of (set, id) in a table; null when the table has none.
const PCPROPERTY_ITEM* PcFindPropertyItem(const PCAUTOMATION_TABLE* table, const GUID& set,
                                          ULONG id);
const PCEVENT_ITEM* PcFindEventItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id);
// The descriptor of node i with the filter's node size; null when out of range.
const PCNODE_DESCRIPTOR* PcFilterNode(const PCFILTER_DESCRIPTOR* filter, ULONG node);
const PCPIN_DESCRIPTOR* PcFilterPin(const PCFILTER_DESCRIPTOR* filter, ULONG pin);

// Routes a property request (a KSPROPERTY, or a KSP_NODE when the flags carry
// KSPROPERTY_TYPE_TOPOLOGY, followed by the instance) to its handler.
// *bytesReturned receives the handler's reply size (the size needed when the
// handler reports STATUS_BUFFER_OVERFLOW or STATUS_BUFFER_TOO_SMALL).
// Statuses of the router itself: STATUS_INVALID_BUFFER_SIZE for a request
// shorter than its header, STATUS_INVALID_PARAMETER for a node out of range,
// STATUS_NOT_FOUND when no table has the item, STATUS_INVALID_DEVICE_REQUEST
// for a verb the item does not offer. Basic support of an item without its
// own handler for it answers the access flags (4 bytes).
NTSTATUS PcRoutePropertyRequest(const PCFILTER_DESCRIPTOR* filter, PUNKNOWN majorTarget,
                                PUNKNOWN minorTarget, PIRP irp, const void* request,
                                ULONG requestLength, void* value, ULONG valueLength,
                                ULONG* bytesReturned);

// Routes an event request (KSEVENT, or KSE_NODE with KSEVENT_TYPE_TOPOLOGY) to
// its item's handler with the verb (PCEVENT_VERB_ADD with the entry to add,
// PCEVENT_VERB_REMOVE with the entry to drop, PCEVENT_VERB_SUPPORT without).
// *item receives the item found, *node the node (ULONG(-1) for the filter).
NTSTATUS PcRouteEventRequest(const PCFILTER_DESCRIPTOR* filter, PUNKNOWN majorTarget,
                             PUNKNOWN minorTarget, PIRP irp, const void* request,
                             ULONG requestLength, ULONG verb, PKSEVENT_ENTRY entry,
                             const PCEVENT_ITEM** item, ULONG* node);
