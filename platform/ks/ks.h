// Kernel-streaming records, enumerations, I/O control codes and GUIDs as the
// driver and the audio engine see them on x64. Layouts are checked at compile
// time against the sizes the system relies on.
#pragma once

#include "platform/kernel/kernel.h"

// ----------------------------------------------------------------------------
// Identifiers: property, method and event requests
typedef struct
{
    union
    {
        struct
        {
            GUID Set;
            ULONG Id;
            ULONG Flags;
        };
        LONGLONG Alignment;
    };
} KSIDENTIFIER, *PKSIDENTIFIER;

typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, KSMETHOD, *PKSMETHOD, KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE, KSPIN_MEDIUM, *PKSPIN_MEDIUM;
typedef KSIDENTIFIER KSDEGRADE, *PKSDEGRADE;

#define KSPROPERTY_TYPE_GET 0x00000001u
#define KSPROPERTY_TYPE_SET 0x00000002u
#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100u
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200u
#define KSPROPERTY_TYPE_RELATIONS 0x00000400u
#define KSPROPERTY_TYPE_SERIALIZESET 0x00000800u
#define KSPROPERTY_TYPE_UNSERIALIZESET 0x00001000u
#define KSPROPERTY_TYPE_SERIALIZERAW 0x00002000u
#define KSPROPERTY_TYPE_UNSERIALIZERAW 0x00004000u
#define KSPROPERTY_TYPE_SERIALIZESIZE 0x00008000u
#define KSPROPERTY_TYPE_DEFAULTVALUES 0x00010000u
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000u

#define KSEVENT_TYPE_ENABLE 0x00000001u
#define KSEVENT_TYPE_ONESHOT 0x00000002u
#define KSEVENT_TYPE_ENABLEBUFFERED 0x00000004u
#define KSEVENT_TYPE_SETSUPPORT 0x00000100u
#define KSEVENT_TYPE_BASICSUPPORT 0x00000200u
#define KSEVENT_TYPE_QUERYBUFFER 0x00000400u
#define KSEVENT_TYPE_TOPOLOGY 0x10000000u

// A property addressed to a node of a filter (with KSPROPERTY_TYPE_TOPOLOGY).
typedef struct
{
    KSPROPERTY Property;
    ULONG NodeId;
    ULONG Reserved;
} KSP_NODE, *PKSP_NODE;
typedef KSP_NODE KSNODEPROPERTY, *PKSNODEPROPERTY;

typedef struct
{
    KSNODEPROPERTY NodeProperty;
    LONG Channel;
    ULONG Reserved;
} KSNODEPROPERTY_AUDIO_CHANNEL, *PKSNODEPROPERTY_AUDIO_CHANNEL;

// A property addressed to a pin factory of a filter.
typedef struct
{
    KSPROPERTY Property;
    ULONG PinId;
    union
    {
        ULONG Reserved;
        ULONG Flags;
    };
} KSP_PIN, *PKSP_PIN;

typedef struct
{
    KSEVENT Event;
    ULONG NodeId;
    ULONG Reserved;
} KSE_NODE, *PKSE_NODE;

// How an enabled event signals its client.
#define KSEVENTF_EVENT_HANDLE 0x00000001u
#define KSEVENTF_SEMAPHORE_HANDLE 0x00000002u
#define KSEVENTF_EVENT_OBJECT 0x00000004u
#define KSEVENTF_SEMAPHORE_OBJECT 0x00000008u
#define KSEVENTF_DPC 0x00000010u
#define KSEVENTF_WORKITEM 0x00000020u
#define KSEVENTF_KSWORKITEM 0x00000080u

typedef struct
{
    ULONG NotificationType;
    union
    {
        struct
        {
            HANDLE Event;
            ULONG_PTR Reserved[2];
        } EventHandle;
        struct
        {
            PRKEVENT Event;
            KPRIORITY Increment;
            ULONG_PTR Reserved;
        } EventObject;
        struct
        {
            PKDPC Dpc;
            ULONG ReferenceCount;
            ULONG_PTR Reserved;
        } Dpc;
        struct
        {
            PVOID Unused;
            LONG_PTR Alignment[2];
        } Alignment;
    };
} KSEVENTDATA, *PKSEVENTDATA;

// One enabled event: created by the port when a client enables an event, handed
// to the miniport's event handler, which adds it to the port's event list.
typedef struct _KSEVENT_ENTRY
{
    LIST_ENTRY ListEntry;
    PVOID Object;           // file object of the filter or pin the client enabled it on
    PKSEVENTDATA EventData; // the client's record, kept by reference until disabled
    ULONG NotificationType;
    GUID Set;
    ULONG EventId;
    ULONG NodeId; // ULONG(-1) for a filter or pin event
    ULONG PinId;  // ULONG(-1) unless enabled on a pin
    ULONG Flags;
    ULONG SignalCount; // how many times GenerateEventList matched it
} KSEVENT_ENTRY, *PKSEVENT_ENTRY;

// ----------------------------------------------------------------------------
// Property descriptions (basic support replies)
#define KSPROPERTY_MEMBER_RANGES 0x00000001u
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002u
#define KSPROPERTY_MEMBER_VALUES 0x00000003u
#define KSPROPERTY_MEMBER_FLAG_DEFAULT 0x00000001u
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL 0x00000002u
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM 0x00000004u

typedef struct
{
    ULONG AccessFlags;
    ULONG DescriptionSize;
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;

typedef struct
{
    ULONG MembersFlags;
    ULONG MembersSize;
    ULONG MembersCount;
    ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

typedef union
{
    struct
    {
        LONG SignedMinimum;
        LONG SignedMaximum;
    };
    struct
    {
        ULONG UnsignedMinimum;
        ULONG UnsignedMaximum;
    };
} KSPROPERTY_BOUNDS_LONG, *PKSPROPERTY_BOUNDS_LONG;

typedef union
{
    struct
    {
        LONGLONG SignedMinimum;
        LONGLONG SignedMaximum;
    };
    struct
    {
        ULONGLONG UnsignedMinimum;
        ULONGLONG UnsignedMaximum;
    };
} KSPROPERTY_BOUNDS_LONGLONG, *PKSPROPERTY_BOUNDS_LONGLONG;

typedef struct
{
    ULONG SteppingDelta;
    ULONG Reserved;
    KSPROPERTY_BOUNDS_LONG Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;

typedef struct
{
    ULONGLONG SteppingDelta;
    KSPROPERTY_BOUNDS_LONGLONG Bounds;
} KSPROPERTY_STEPPING_LONGLONG, *PKSPROPERTY_STEPPING_LONGLONG;

// Variant type ids used in property descriptions.
#define VT_EMPTY 0
#define VT_I2 2
#define VT_I4 3
#define VT_BOOL 11
#define VT_I1 16
#define VT_UI1 17
#define VT_UI2 18
#define VT_UI4 19
#define VT_I8 20
#define VT_UI8 21

typedef struct
{
    ULONG Size;
    ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

// ----------------------------------------------------------------------------
// Data formats and ranges
typedef union
{
    struct
    {
        ULONG FormatSize;
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

// Flags of a data format or range: an attribute list follows it (at the next
// 8-byte boundary), or the range requires one.
#define KSDATAFORMAT_ATTRIBUTES 0x00000002u
#define KSDATARANGE_ATTRIBUTES 0x00000002u
#define KSDATARANGE_REQUIRED_ATTRIBUTES 0x00000004u
#define KSDATAFORMAT_TEMPORAL_COMPRESSION 0x00000001u

#define KSATTRIBUTE_REQUIRED 0x00000001u

typedef struct
{
    ULONG Size;
    ULONG Flags;
    GUID Attribute;
} KSATTRIBUTE, *PKSATTRIBUTE;

typedef struct
{
    ULONG Count;
    PKSATTRIBUTE* Attributes;
} KSATTRIBUTE_LIST, *PKSATTRIBUTE_LIST;

// ----------------------------------------------------------------------------
// Pins
typedef enum
{
    KSSTATE_STOP,
    KSSTATE_ACQUIRE,
    KSSTATE_PAUSE,
    KSSTATE_RUN
} KSSTATE,
    *PKSSTATE;

typedef enum
{
    KSPIN_DATAFLOW_IN = 1,
    KSPIN_DATAFLOW_OUT
} KSPIN_DATAFLOW,
    *PKSPIN_DATAFLOW;

typedef enum
{
    KSPIN_COMMUNICATION_NONE,
    KSPIN_COMMUNICATION_SINK,
    KSPIN_COMMUNICATION_SOURCE,
    KSPIN_COMMUNICATION_BOTH,
    KSPIN_COMMUNICATION_BRIDGE
} KSPIN_COMMUNICATION,
    *PKSPIN_COMMUNICATION;

typedef struct
{
    ULONG PriorityClass;
    ULONG PrioritySubClass;
} KSPRIORITY, *PKSPRIORITY;

#define KSPRIORITY_LOW 0x00000001u
#define KSPRIORITY_NORMAL 0x40000000u
#define KSPRIORITY_HIGH 0x80000000u
#define KSPRIORITY_EXCLUSIVE 0xFFFFFFFFu

// The connection request that follows the pin name in a pin create; the data
// format follows it.
typedef struct
{
    KSPIN_INTERFACE Interface;
    KSPIN_MEDIUM Medium;
    ULONG PinId;
    HANDLE PinToHandle;
    KSPRIORITY Priority;
} KSPIN_CONNECT, *PKSPIN_CONNECT;

typedef struct
{
    ULONG InterfacesCount;
    const KSPIN_INTERFACE* Interfaces;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    ULONG DataRangesCount;
    const PKSDATARANGE* DataRanges;
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    const GUID* Category;
    const GUID* Name;
    union
    {
        LONGLONG Reserved;
        struct
        {
            ULONG ConstrainedDataRangesCount;
            PKSDATARANGE* ConstrainedDataRanges;
        };
    };
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;

typedef struct
{
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;

#define KSFILTER_NODE 0xFFFFFFFFu

typedef struct
{
    ULONGLONG PlayOffset;
    ULONGLONG WriteOffset;
} KSAUDIO_POSITION, *PKSAUDIO_POSITION;

typedef struct
{
    GUID Manufacturer;
    GUID Product;
    GUID Component;
    GUID Name;
    ULONG Version;
    ULONG Revision;
} KSCOMPONENTID, *PKSCOMPONENTID;

// ----------------------------------------------------------------------------
// I/O control codes of kernel streaming (device type 0x2F, FILE_DEVICE_KS; METHOD_NEITHER)
#define KS_CTL_CODE(function) ((0x2Fu << 16) | ((function) << 2) | 3u)
#define IOCTL_KS_PROPERTY KS_CTL_CODE(0x000)
#define IOCTL_KS_ENABLE_EVENT KS_CTL_CODE(0x001)
#define IOCTL_KS_DISABLE_EVENT KS_CTL_CODE(0x002)
#define IOCTL_KS_METHOD KS_CTL_CODE(0x003)
#define IOCTL_KS_WRITE_STREAM ((0x2Fu << 16) | (0x004u << 2) | 3u | (FILE_WRITE_ACCESS << 14))
#define IOCTL_KS_READ_STREAM ((0x2Fu << 16) | (0x005u << 2) | 3u | (FILE_READ_ACCESS << 14))
#define IOCTL_KS_RESET_STATE KS_CTL_CODE(0x006)

// ----------------------------------------------------------------------------
// GUIDs of the kernel-streaming core
DEFINE_GUID(GUID_NULL, 0x00000000L, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00);
// The pin create name "{146F1A80-4791-11D0-A5D6-28DB04C10000}".
DEFINE_GUID(KSNAME_Pin, 0x146F1A80L, 0x4791, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00,
            0x00);
#define KSSTRING_Pin u"{146F1A80-4791-11D0-A5D6-28DB04C10000}"
DEFINE_GUID(KSINTERFACESETID_Standard, 0x1A8766A0L, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04,
            0xC1, 0x00, 0x00);
#define KSINTERFACE_STANDARD_STREAMING 0
#define KSINTERFACE_STANDARD_LOOPED_STREAMING 1
DEFINE_GUID(KSMEDIUMSETID_Standard, 0x4747B320L, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1,
            0x00, 0x00);
#define KSMEDIUM_TYPE_ANYINSTANCE 0

DEFINE_GUID(KSPROPSETID_General, 0x1464EDA5L, 0x6A8F, 0x11D1, 0x9A, 0xA7, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
#define KSPROPERTY_GENERAL_COMPONENTID 0

DEFINE_GUID(KSPROPSETID_Connection, 0x1D58C920L, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1,
            0x00, 0x00);
#define KSPROPERTY_CONNECTION_STATE 0
#define KSPROPERTY_CONNECTION_PRIORITY 1
#define KSPROPERTY_CONNECTION_DATAFORMAT 2
#define KSPROPERTY_CONNECTION_ALLOCATORFRAMING 3

DEFINE_GUID(KSPROPSETID_Pin, 0x8C134960L, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00,
            0x00);
#define KSPROPERTY_PIN_CINSTANCES 0
#define KSPROPERTY_PIN_CTYPES 1
#define KSPROPERTY_PIN_DATAFLOW 2
#define KSPROPERTY_PIN_DATARANGES 3
#define KSPROPERTY_PIN_DATAINTERSECTION 4
#define KSPROPERTY_PIN_INTERFACES 5
#define KSPROPERTY_PIN_MEDIUMS 6
#define KSPROPERTY_PIN_COMMUNICATION 7
#define KSPROPERTY_PIN_CATEGORY 11
#define KSPROPERTY_PIN_NAME 12

DEFINE_GUID(KSPROPSETID_Topology, 0x720D4AC0L, 0x7533, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1,
            0x00, 0x00);
#define KSPROPERTY_TOPOLOGY_CATEGORIES 0
#define KSPROPERTY_TOPOLOGY_NODES 1
#define KSPROPERTY_TOPOLOGY_CONNECTIONS 2
#define KSPROPERTY_TOPOLOGY_NAME 3

DEFINE_GUID(KSPROPTYPESETID_General, 0x97E99BA0L, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04,
            0xC1, 0x00, 0x00);

// ----------------------------------------------------------------------------
// Layout checks (x64)
static_assert(sizeof(KSIDENTIFIER) == 24);
static_assert(sizeof(KSP_NODE) == 32);
static_assert(sizeof(KSP_PIN) == 32);
static_assert(sizeof(KSE_NODE) == 32);
static_assert(sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) == 40);
static_assert(sizeof(KSEVENTDATA) == 32);
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40);
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16);
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16);
static_assert(sizeof(KSMULTIPLE_ITEM) == 8);
static_assert(sizeof(KSDATAFORMAT) == 64);
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16);
static_assert(offsetof(KSDATAFORMAT, Specifier) == 48);
static_assert(sizeof(KSATTRIBUTE) == 24);
static_assert(sizeof(KSPIN_CONNECT) == 72);
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88);
static_assert(sizeof(KSTOPOLOGY_CONNECTION) == 16);
static_assert(sizeof(KSCOMPONENTID) == 72);
static_assert(sizeof(KSAUDIO_POSITION) == 16);
