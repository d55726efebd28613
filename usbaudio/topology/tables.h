// The fixed descriptors of the topology filter: what each endpoint kind makes
// of a pin, what each control type makes of a node, the categories and the
// automation tables of the nodes and of the filter.
#pragma once

#include "platform/ks/ksmedia.h"
#include "platform/portcls/portcls.h"

DEFINE_GUID(KSCATEGORY_DEVICE_PRIVATE, 0x14BAB7C3L, 0x2FB3, 0x445A, 0xA2, 0x4D, 0x9B, 0xE7, 0x89,
            0xC0, 0xC8, 0x1A);
DEFINE_GUID(NODENAME_GAIN, 0xBAE3AD68L, 0x0CB6, 0x4A9A, 0x94, 0xB5, 0x0B, 0xB6, 0x28, 0xC4, 0x1D,
            0x7A);
DEFINE_GUID(NODENAME_OUTPUT_TYPE, 0x0D18F5A4L, 0x5721, 0x4A07, 0x92, 0xE5, 0x84, 0x30, 0x99, 0xFA,
            0x8F, 0xDB);
DEFINE_GUID(NODENAME_SWITCH, 0xFDA49636L, 0xC86D, 0x4E91, 0xA7, 0x07, 0xA1, 0x25, 0x2E, 0x3F, 0x19,
            0xE6);
DEFINE_GUID(NODENAME_SWITCH2, 0xDB357A6FL, 0xC4B1, 0x4390, 0x8C, 0x07, 0xCB, 0xDF, 0xA9, 0xD5, 0xC0,
            0x47);

inline constexpr ULONG TOPOLOGY_CATEGORY_COUNT = 3;
extern const GUID c_TopologyCategories[TOPOLOGY_CATEGORY_COUNT];
extern const PCAUTOMATION_TABLE c_FilterAutomation;
// The analog data range every pin carries.
extern KSDATARANGE c_AnalogRange;
extern const PKSDATARANGE c_AnalogRanges[1];

// Where a pin's name comes from.
enum class PinNameRule : UCHAR
{
    None,
    Fixed,             // `Name`
    SpdifRegistry,     // registry value, else `Name` (output) / `InputName`
    LineInputRegistry, // input terminals: registry value, else none
    FixedFromVista,    // `Name` on version 6.0 and later
};

struct PinKindRow
{
    const GUID* Category;
    const GUID* LegacyCategory; // before version 6.0, when it differs
    PinNameRule Rule;
    const GUID* Name;
    const GUID* InputName;
};
// Indexed by endpoint kind, 0 ("Stream") to 17 ("FHP").
inline constexpr ULONG TOPOLOGY_PIN_KINDS = 18;
extern const PinKindRow c_PinKinds[TOPOLOGY_PIN_KINDS];
// The kind of a pin whose control does not answer the terminal interface.
inline constexpr ULONG TOPOLOGY_UNKNOWN_PIN_KIND = 16;

// Node descriptor rows by control type; the selector picks its row by its
// source count.
enum class NodeNameRule : UCHAR
{
    None,
    Fixed,
    Pseudo, // the control's identity
};
struct NodeTypeRow
{
    ULONG ControlType;
    const GUID* Type;
    const PCAUTOMATION_TABLE* Automation;
    NodeNameRule Rule;
    const GUID* Name;
    // The identity KSPROPSETID_NodeIdentity returns; null where none.
    const GUID* Identity;
};
// The row of a control type (`sources` decides the selector's); null when the
// type makes no node.
const NodeTypeRow* NodeRowFor(ULONG controlType, ULONG sources);
