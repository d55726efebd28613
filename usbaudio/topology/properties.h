// The property and event handlers behind the topology filter's automation
// tables: each finds its node or pin, queries the control for the interface
// the property needs, answers and releases the interface on every path.
#pragma once

#include "platform/portcls/portcls.h"

// A basic-support reply: description, optional members header and members.
struct Description
{
    ULONG Access;
    ULONG VariantType;
    const GUID* TypeSet; // KSPROPTYPESETID_General unless said
    ULONG MembersFlags;
    ULONG MemberSize;
    ULONG MemberCount;
    ULONG HeaderFlags;
};

// Writes what the caller's buffer has room for: the flags alone, the
// description alone (its size field naming the full size), or all of it.
NTSTATUS AnswerBasicSupport(PPCPROPERTY_REQUEST request, const Description& d, const void* members);

// Node handlers.
NTSTATUS PropertyHandlerLevel(PPCPROPERTY_REQUEST request);    // volume, tone
NTSTATUS PropertyHandlerBoolean(PPCPROPERTY_REQUEST request);  // mute, AGC, loudness
NTSTATUS PropertyHandlerMux(PPCPROPERTY_REQUEST request);      // MUX_SOURCE
NTSTATUS PropertyHandlerIdentity(PPCPROPERTY_REQUEST request); // node identity
NTSTATUS PropertyHandlerDevSpecific(PPCPROPERTY_REQUEST request);
// The DEV_SPECIFIC and pseudo-control requests of a pseudo-control node.
class CAudioControl;
NTSTATUS PseudoControlProperty(PPCPROPERTY_REQUEST request, CAudioControl* control);
// The DEV_SPECIFIC requests of a gain node (a 32-bit channel instance, a
// 32-bit level) and of a switch node (a 32-bit on/off).
NTSTATUS GainProperty(PPCPROPERTY_REQUEST request, CAudioControl* control);
NTSTATUS SwitchProperty(PPCPROPERTY_REQUEST request, CAudioControl* control);
// Filter handlers.
NTSTATUS PropertyHandlerFilterPrivate(PPCPROPERTY_REQUEST request);
NTSTATUS PropertyHandlerJack(PPCPROPERTY_REQUEST request);
NTSTATUS PropertyHandlerEndpointCapabilities(PPCPROPERTY_REQUEST request);
// The control-change event.
NTSTATUS EventHandlerControlChange(PPCEVENT_REQUEST request);

// Private property ids.
inline constexpr ULONG DEVICE_PRIVATE_VERSION = 2;
inline constexpr ULONG DEVICE_PRIVATE_LEVEL_NOTIFY = 3;
inline constexpr ULONG DEVICE_PRIVATE_JACKS = 4;
inline constexpr ULONG DEVICE_PRIVATE_VERSION_VALUE = 0x30000;
inline constexpr ULONG NODE_IDENTITY_ID = 1;
inline constexpr ULONG OUTPUT_TYPE_LIST = 1;
inline constexpr ULONG OUTPUT_TYPE_CURRENT = 2;
inline constexpr ULONG ENDPOINT_CAPABILITIES_ID = 1;
inline constexpr ULONG JACK_DESCRIPTION_ID = 1;
inline constexpr ULONG JACK_DESCRIPTION2_ID = 2;
