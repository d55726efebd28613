// The topology filter's property and event handlers.
#include "usbaudio/topology/properties.h"

#include "audioclass/controls/control_interfaces.h"
#include "usbaudio/topology/miniport.h"
#include "usbaudio/topology/tables.h"

namespace
{
constexpr ULONG c_ValueBytes = sizeof(ULONG);
constexpr ULONG c_DescriptionBytes = sizeof(KSPROPERTY_DESCRIPTION);
constexpr ULONG c_HeaderBytes = sizeof(KSPROPERTY_MEMBERSHEADER);
constexpr ULONG c_NodeAccess = 0x203;

} // namespace

NTSTATUS AnswerBasicSupport(PPCPROPERTY_REQUEST request, const Description& d, const void* members)
{
    const bool hasMembers = d.MemberCount != 0 || d.MembersFlags != 0;
    const ULONG full =
        c_DescriptionBytes + (hasMembers ? c_HeaderBytes + d.MemberSize * d.MemberCount : 0);
    if (request->ValueSize < c_ValueBytes || request->Value == nullptr)
    {
        request->ValueSize = full;
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto out = static_cast<PUCHAR>(request->Value);
    if (request->ValueSize < c_DescriptionBytes)
    {
        *reinterpret_cast<PULONG>(out) = d.Access;
        request->ValueSize = c_ValueBytes;
        return STATUS_SUCCESS;
    }
    KSPROPERTY_DESCRIPTION description = {};
    description.AccessFlags = d.Access;
    description.DescriptionSize = full;
    description.PropTypeSet.Set = d.TypeSet != nullptr ? *d.TypeSet : KSPROPTYPESETID_General;
    description.PropTypeSet.Id = d.VariantType;
    description.MembersListCount = hasMembers ? 1 : 0;
    RtlCopyMemory(out, &description, c_DescriptionBytes);
    if (request->ValueSize < full)
    {
        request->ValueSize = c_DescriptionBytes;
        return STATUS_SUCCESS;
    }
    if (hasMembers)
    {
        const KSPROPERTY_MEMBERSHEADER header = {d.MembersFlags, d.MemberSize, d.MemberCount,
                                                 d.HeaderFlags};
        RtlCopyMemory(out + c_DescriptionBytes, &header, c_HeaderBytes);
        RtlCopyMemory(out + c_DescriptionBytes + c_HeaderBytes, members,
                      d.MemberSize * d.MemberCount);
    }
    request->ValueSize = full;
    return STATUS_SUCCESS;
}

namespace
{
// n stepped ranges, the same for every channel.
NTSTATUS AnswerSteppedRanges(PPCPROPERTY_REQUEST request, ULONG variantType, ULONG channels,
                             const KSPROPERTY_STEPPING_LONG& range)
{
    const ULONG bytes = channels * sizeof(KSPROPERTY_STEPPING_LONG);
    auto members = static_cast<PKSPROPERTY_STEPPING_LONG>(
        ExAllocatePoolWithTag(NonPagedPool, bytes == 0 ? 1 : bytes, TOPOLOGY_POOL_TAG));
    if (members == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < channels; ++i)
        members[i] = range;
    const Description d = {c_NodeAccess,
                           variantType,
                           nullptr,
                           KSPROPERTY_MEMBER_STEPPEDRANGES,
                           sizeof(KSPROPERTY_STEPPING_LONG),
                           channels,
                           KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL};
    const NTSTATUS status = AnswerBasicSupport(request, d, members);
    ExFreePoolWithTag(members, TOPOLOGY_POOL_TAG);
    return status;
}

// The node the request names with its control's type; null when none.
TopologyEntry* NodeOf(PPCPROPERTY_REQUEST request, PULONG type)
{
    CTopologyMiniport* miniport = CTopologyMiniport::From(request->MajorTarget);
    TopologyEntry* node = miniport->NodeAt(request->Node);
    if (node != nullptr)
        *type = node->Control->GetKind();
    return node;
}

bool ChannelOf(PPCPROPERTY_REQUEST request, PULONG channel)
{
    if (request->InstanceSize < c_ValueBytes || request->Instance == nullptr)
        return false;
    *channel = *static_cast<PULONG>(request->Instance);
    return true;
}

bool HasValue(PPCPROPERTY_REQUEST request, ULONG bytes)
{
    return request->ValueSize >= bytes && request->Value != nullptr;
}

PULONG ValueOf(PPCPROPERTY_REQUEST request)
{
    return static_cast<PULONG>(request->Value);
}

// Get or set of one u32 through a pair of accessors.
template <typename Get, typename Set>
NTSTATUS AnswerValue(PPCPROPERTY_REQUEST request, Get get, Set set)
{
    if (!HasValue(request, c_ValueBytes))
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (request->Verb & KSPROPERTY_TYPE_GET)
        status = get(ValueOf(request));
    else if (request->Verb & KSPROPERTY_TYPE_SET)
        status = set(*ValueOf(request));
    if (NT_SUCCESS(status))
        request->ValueSize = c_ValueBytes;
    return status;
}

// The (set, id, control type) pairs the level handler serves.
struct LevelPairing
{
    ULONG Id;
    ULONG ControlType;
};
const LevelPairing c_LevelPairings[] = {{KSPROPERTY_AUDIO_VOLUMELEVEL, CONTROL_KIND_VOLUME},
                                        {KSPROPERTY_AUDIO_BASS, CONTROL_KIND_BASS},
                                        {KSPROPERTY_AUDIO_MID, CONTROL_KIND_MID},
                                        {KSPROPERTY_AUDIO_TREBLE, CONTROL_KIND_TREBLE}};
const LevelPairing c_BooleanPairings[] = {{KSPROPERTY_AUDIO_MUTE, CONTROL_KIND_MUTE},
                                          {KSPROPERTY_AUDIO_AGC, CONTROL_KIND_AGC},
                                          {KSPROPERTY_AUDIO_LOUDNESS, CONTROL_KIND_LOUDNESS}};

template <ULONG N> bool Paired(const LevelPairing (&table)[N], ULONG id, ULONG type)
{
    for (const LevelPairing& p : table)
        if (p.Id == id && p.ControlType == type)
            return true;
    return false;
}

bool IsSet(PPCPROPERTY_REQUEST request, const GUID& set)
{
    return IsEqualGUID(*request->PropertyItem->Set, set) != FALSE;
}
} // namespace

NTSTATUS PropertyHandlerLevel(PPCPROPERTY_REQUEST request)
{
    ULONG type = 0;
    TopologyEntry* node = NodeOf(request, &type);
    if (node == nullptr)
        return STATUS_INVALID_PARAMETER;
    const bool notify = IsSet(request, KSPROPSETID_DevicePrivate) &&
                        request->PropertyItem->Id == DEVICE_PRIVATE_LEVEL_NOTIFY;
    const bool levelType = Paired(c_LevelPairings, KSPROPERTY_AUDIO_VOLUMELEVEL, type) ||
                           (type >= CONTROL_KIND_BASS && type <= CONTROL_KIND_TREBLE);
    if (notify ? !levelType : !Paired(c_LevelPairings, request->PropertyItem->Id, type))
        return STATUS_INVALID_PARAMETER;
    PRANGEDCONTROL ranged = nullptr;
    NTSTATUS status = node->Control->QueryInterface(IID_IRangedControl, (PVOID*)&ranged);
    if (!NT_SUCCESS(status))
        return status;
    ULONG channel = 0;
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT)
    {
        ULONG channels = 0;
        LONG maximum = 0, minimum = 0, resolution = 0;
        ranged->GetChannelCount(&channels);
        ranged->GetRange(&maximum, &minimum, &resolution);
        status = AnswerSteppedRanges(request, VT_I4, channels,
                                     {(ULONG)resolution, 0, {{minimum, maximum}}});
    }
    else if (!ChannelOf(request, &channel))
        status = STATUS_INVALID_PARAMETER;
    else
        status = AnswerValue(
            request, [&](PULONG v) { return ranged->GetValue(channel, (PLONG)v); },
            [&](ULONG v) { return ranged->SetValue(channel, (LONG)v); });
    ranged->Release();
    if (NT_SUCCESS(status) && notify && (request->Verb & KSPROPERTY_TYPE_SET))
        CTopologyMiniport::From(request->MajorTarget)->RaiseControlChange(request->Node);
    return status;
}

NTSTATUS PropertyHandlerBoolean(PPCPROPERTY_REQUEST request)
{
    ULONG type = 0;
    TopologyEntry* node = NodeOf(request, &type);
    if (node == nullptr || !Paired(c_BooleanPairings, request->PropertyItem->Id, type))
        return STATUS_INVALID_PARAMETER;
    PBOOLEANCONTROL boolean = nullptr;
    NTSTATUS status = node->Control->QueryInterface(IID_IBooleanControl, (PVOID*)&boolean);
    if (!NT_SUCCESS(status))
        return status;
    ULONG channel = 0;
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT)
    {
        ULONG channels = 0;
        boolean->GetChannelCount(&channels);
        status = AnswerSteppedRanges(request, VT_BOOL, channels, {1, 0, {{0, 1}}});
    }
    else if (!ChannelOf(request, &channel))
        status = STATUS_INVALID_PARAMETER;
    else
        status = AnswerValue(
            request,
            [&](PULONG v)
            {
                *v = 0;
                UCHAR on = 0;
                NTSTATUS s = boolean->GetValue(channel, &on);
                *v = on;
                return s;
            },
            [&](ULONG v) { return boolean->SetValue(channel, v != 0); });
    boolean->Release();
    return status;
}

NTSTATUS PropertyHandlerMux(PPCPROPERTY_REQUEST request)
{
    ULONG type = 0;
    TopologyEntry* node = NodeOf(request, &type);
    if (node == nullptr || request->PropertyItem->Id != KSPROPERTY_AUDIO_MUX_SOURCE)
        return STATUS_INVALID_PARAMETER;
    PSELECTORCONTROL selector = nullptr;
    NTSTATUS status = node->Control->QueryInterface(IID_ISelectorControl, (PVOID*)&selector);
    if (!NT_SUCCESS(status))
        return status;
    status = AnswerValue(
        request, [&](PULONG v) { return selector->GetCurrent(v); },
        [&](ULONG v) { return selector->SetCurrent(v); });
    selector->Release();
    return status;
}

NTSTATUS PropertyHandlerIdentity(PPCPROPERTY_REQUEST request)
{
    ULONG type = 0;
    TopologyEntry* node = NodeOf(request, &type);
    if (node == nullptr || request->PropertyItem->Id != NODE_IDENTITY_ID ||
        !HasValue(request, sizeof(GUID)))
        return STATUS_INVALID_PARAMETER;
    const NodeTypeRow* row = NodeRowFor(type, node->Control->GetValueCount());
    if (row == nullptr || row->Identity == nullptr)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(request->Value, row->Identity, sizeof(GUID));
    request->ValueSize = sizeof(GUID);
    return STATUS_SUCCESS;
}
