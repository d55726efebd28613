// The topology filter's device-specific node properties, its filter-level
// private sets and jacks, and the control-change event.
#include "audioclass/controls/control_interfaces.h"
#include "usbaudio/device/device_lock.h"
#include "usbaudio/topology/miniport.h"
#include "usbaudio/topology/properties.h"
#include "usbaudio/topology/tables.h"

namespace
{
constexpr ULONG c_U32 = sizeof(ULONG);
constexpr ULONG c_JackWords = 9;
constexpr ULONG c_JackBytes = c_JackWords * sizeof(ULONG);
constexpr ULONG c_NoPresenceDetection = 1;

// Basic-support replies whose members are fixed records.
#pragma pack(push, 1)
struct NamedMember
{
    ULONG Size;
    GUID Name;
    ULONG Tail;
};
struct GainMember
{
    ULONG Size;
    GUID Name;
    ULONG Count;
    LONG Values[3]; // maximum, minimum, resolution
};
#pragma pack(pop)
static_assert(sizeof(NamedMember) == 24 && sizeof(GainMember) == 36);

NTSTATUS Describe(PPCPROPERTY_REQUEST request, ULONG access, ULONG vt, ULONG membersFlags,
                  ULONG memberSize, ULONG count, const void* members, const GUID* typeSet = nullptr)
{
    const Description d = {access, vt, typeSet, membersFlags, memberSize, count, 0};
    return AnswerBasicSupport(request, d, members);
}

bool Verb(PPCPROPERTY_REQUEST request, ULONG verb)
{
    return (request->Verb & verb) != 0;
}

// Sizes of multi-item replies: size 0 asks (0x80000005 with the size), a
// short buffer is refused.
NTSTATUS CheckReplySize(PPCPROPERTY_REQUEST request, ULONG needed)
{
    if (request->ValueSize == 0)
    {
        request->ValueSize = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < needed || request->Value == nullptr)
        return STATUS_BUFFER_TOO_SMALL;
    return STATUS_SUCCESS;
}

// A KSMULTIPLE_ITEM reply of `count` 32-bit items: its size, and whether
// the caller's buffer takes it (STATUS_SUCCESS only then).
NTSTATUS CheckWordListReply(PPCPROPERTY_REQUEST request, ULONG count, PULONG needed)
{
    *needed = sizeof(KSMULTIPLE_ITEM) + count * c_U32;
    return CheckReplySize(request, *needed);
}

// Completes a KSMULTIPLE_ITEM reply whose items are in place.
void FinishWordListReply(PPCPROPERTY_REQUEST request, ULONG needed, ULONG count)
{
    auto header = static_cast<PKSMULTIPLE_ITEM>(request->Value);
    header->Size = needed;
    header->Count = count;
    request->ValueSize = needed;
}

// The output-type list: a KSMULTIPLE_ITEM of 8 + 4n bytes.
NTSTATUS OutputTypeList(PPCPROPERTY_REQUEST request, POUTPUTTYPECONTROL outputType)
{
    ULONG count = 0;
    NTSTATUS status = outputType->GetCount(&count);
    if (!NT_SUCCESS(status))
        return status;
    ULONG needed = 0;
    status = CheckWordListReply(request, count, &needed);
    if (status != STATUS_SUCCESS)
        return status;
    auto items = static_cast<PULONG>(
        ExAllocatePoolWithTag(NonPagedPool, count * c_U32 + 1, TOPOLOGY_POOL_TAG));
    if (items == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = count == 0 ? STATUS_SUCCESS : outputType->GetItems(items);
    if (NT_SUCCESS(status))
    {
        RtlCopyMemory(static_cast<PKSMULTIPLE_ITEM>(request->Value) + 1, items, count * c_U32);
        FinishWordListReply(request, needed, count);
    }
    ExFreePoolWithTag(items, TOPOLOGY_POOL_TAG);
    return status;
}

NTSTATUS OutputTypeProperty(PPCPROPERTY_REQUEST request, PAUDIOCONTROL control)
{
    POUTPUTTYPECONTROL outputType = nullptr;
    NTSTATUS status = control->QueryInterface(IID_IOutputTypeControl, (PVOID*)&outputType);
    if (!NT_SUCCESS(status))
        return status;
    // The polling thread may change the type meanwhile.
    DeviceLockHold hold(CTopologyMiniport::From(request->MajorTarget)->DeviceLock());
    const bool outputSet = IsEqualGUID(*request->PropertyItem->Set, KSPROPSETID_OutputType) != 0;
    const NamedMember member = {sizeof(NamedMember), NODENAME_OUTPUT_TYPE, 0};
    if (Verb(request, KSPROPERTY_TYPE_BASICSUPPORT))
        status =
            Describe(request, 0x202, VT_I4, KSPROPERTY_MEMBER_VALUES, sizeof(member), 1, &member);
    else if (outputSet && request->PropertyItem->Id == OUTPUT_TYPE_LIST)
        status = OutputTypeList(request, outputType);
    else if (outputSet)
    {
        status = CheckReplySize(request, c_U32);
        if (status == STATUS_SUCCESS)
            status = outputType->GetCurrent(static_cast<PULONG>(request->Value));
        if (NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW)
            request->ValueSize = c_U32;
    }
    else if (Verb(request, KSPROPERTY_TYPE_SET) && request->ValueSize >= c_U32 &&
             request->Value != nullptr)
        status = outputType->Select(*static_cast<PULONG>(request->Value));
    else
        status = STATUS_INVALID_PARAMETER;
    outputType->Release();
    return status;
}

// The single-source selector: a set of any u32 is taken and changes nothing.
NTSTATUS SingleSourceProperty(PPCPROPERTY_REQUEST request)
{
    if (Verb(request, KSPROPERTY_TYPE_BASICSUPPORT))
    {
        const KSPROPERTY_BOUNDS_LONG bounds = {{0, (LONG)0xFFFFFFFF}};
        return Describe(request, 0x202, VT_UI4, KSPROPERTY_MEMBER_RANGES, sizeof(bounds), 1,
                        &bounds);
    }
    if (Verb(request, KSPROPERTY_TYPE_SET))
        return request->ValueSize >= c_U32 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    return STATUS_UNSUCCESSFUL;
}

// The pseudo-control node's requests, through the effect control's
// interface: its on/off byte (DEV_SPECIFIC), identity (1), value count L
// (2), items (3) and values (4, instance {start, count} for a get, {start,
// count, values} for a set). A range must satisfy count <= L and
// start <= L - count, checked so that no sum wraps.
ULONG InstanceWord(PPCPROPERTY_REQUEST request, ULONG index)
{
    return static_cast<const ULONG*>(request->Instance)[index];
}

bool HasInstanceWords(PPCPROPERTY_REQUEST request, ULONG words)
{
    return request->Instance != nullptr && request->InstanceSize >= words * c_U32;
}

NTSTATUS CheckRange(PEFFECTPSEUDOCONTROL control, ULONG start, ULONG count)
{
    ULONG length = 0;
    NTSTATUS status = control->GetEffectValueCount(&length);
    if (NT_SUCCESS(status) && (count > length || start > length - count))
        status = STATUS_INVALID_PARAMETER;
    return status;
}

NTSTATUS PseudoDescribe(PPCPROPERTY_REQUEST request, PEFFECTPSEUDOCONTROL)
{
    const NamedMember member = {sizeof(NamedMember), KSPROPSETID_PseudoControl, 0};
    return Describe(request, 0x202, VT_BOOL, KSPROPERTY_MEMBER_VALUES, sizeof(member), 1, &member);
}

NTSTATUS PseudoGetOnOff(PPCPROPERTY_REQUEST request, PEFFECTPSEUDOCONTROL control)
{
    UCHAR on = 0;
    const NTSTATUS status = control->GetValue(&on);
    if (NT_SUCCESS(status))
        *static_cast<PULONG>(request->Value) = on;
    return status;
}

NTSTATUS PseudoSetOnOff(PPCPROPERTY_REQUEST request, PEFFECTPSEUDOCONTROL control)
{
    return control->SetValue((UCHAR)(*static_cast<PULONG>(request->Value) & 0xFF));
}

NTSTATUS PseudoIdentity(PPCPROPERTY_REQUEST request, PEFFECTPSEUDOCONTROL control)
{
    return control->GetNodeGuid(static_cast<GUID*>(request->Value));
}

NTSTATUS PseudoValueCount(PPCPROPERTY_REQUEST request, PEFFECTPSEUDOCONTROL control)
{
    return control->GetEffectValueCount(static_cast<PULONG>(request->Value));
}

NTSTATUS PseudoItem(PPCPROPERTY_REQUEST request, PEFFECTPSEUDOCONTROL control)
{
    if (!HasInstanceWords(request, 1))
        return STATUS_INVALID_PARAMETER;
    return control->GetValueItem(InstanceWord(request, 0), request->Value);
}

NTSTATUS PseudoReadValues(PPCPROPERTY_REQUEST request, PEFFECTPSEUDOCONTROL control)
{
    if (!HasInstanceWords(request, 2))
        return STATUS_INVALID_PARAMETER;
    const ULONG start = InstanceWord(request, 0), count = InstanceWord(request, 1);
    ULONG needed = 0;
    NTSTATUS status = CheckRange(control, start, count);
    if (NT_SUCCESS(status))
        status = CheckWordListReply(request, count, &needed);
    if (status != STATUS_SUCCESS)
        return status; // out of bounds, or the reply's size asked or refused
    auto header = static_cast<PKSMULTIPLE_ITEM>(request->Value);
    status = control->ReadValues(start, count, reinterpret_cast<PULONG>(header + 1));
    if (NT_SUCCESS(status))
        FinishWordListReply(request, needed, count);
    return status;
}

NTSTATUS PseudoWriteValues(PPCPROPERTY_REQUEST request, PEFFECTPSEUDOCONTROL control)
{
    if (!HasInstanceWords(request, 3))
        return STATUS_INVALID_PARAMETER;
    const ULONG start = InstanceWord(request, 0), count = InstanceWord(request, 1);
    if ((request->InstanceSize - 2 * c_U32) / c_U32 != count)
        return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = CheckRange(control, start, count);
    if (!NT_SUCCESS(status))
        return status;
    request->ValueSize = 0;
    return control->WriteValues(start, count, static_cast<const ULONG*>(request->Instance) + 2);
}

// Each request of the node: its set and id, the verb, the value bytes it
// needs (and reports back) and the operation.
struct PseudoRequestRow
{
    const GUID* Set;
    ULONG Id;
    ULONG Verb;
    ULONG ValueBytes;
    NTSTATUS (*Run)(PPCPROPERTY_REQUEST request, PEFFECTPSEUDOCONTROL control);
};
constexpr ULONG c_ItemBytes = 12;
const PseudoRequestRow c_PseudoRequests[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, KSPROPERTY_TYPE_BASICSUPPORT, 0,
     PseudoDescribe},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, KSPROPERTY_TYPE_GET, c_U32, PseudoGetOnOff},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, KSPROPERTY_TYPE_SET, c_U32, PseudoSetOnOff},
    {&KSPROPSETID_PseudoControl, 1, KSPROPERTY_TYPE_GET, sizeof(GUID), PseudoIdentity},
    {&KSPROPSETID_PseudoControl, 2, KSPROPERTY_TYPE_GET, c_U32, PseudoValueCount},
    {&KSPROPSETID_PseudoControl, 3, KSPROPERTY_TYPE_GET, c_ItemBytes, PseudoItem},
    {&KSPROPSETID_PseudoControl, 4, KSPROPERTY_TYPE_GET, 0, PseudoReadValues},
    {&KSPROPSETID_PseudoControl, 4, KSPROPERTY_TYPE_SET, 0, PseudoWriteValues},
};

const PseudoRequestRow* PseudoRequestOf(PPCPROPERTY_REQUEST request)
{
    for (const PseudoRequestRow& row : c_PseudoRequests)
        if (IsEqualGUID(*row.Set, *request->PropertyItem->Set) &&
            row.Id == request->PropertyItem->Id && Verb(request, row.Verb))
            return &row;
    return nullptr;
}
} // namespace

NTSTATUS PseudoControlProperty(PPCPROPERTY_REQUEST request, PAUDIOCONTROL control)
{
    PEFFECTPSEUDOCONTROL effect = nullptr;
    NTSTATUS status = control->QueryInterface(IID_IEffectPseudoControl, (PVOID*)&effect);
    if (!NT_SUCCESS(status))
        return status;
    const PseudoRequestRow* row = PseudoRequestOf(request);
    if (row == nullptr)
        status = STATUS_INVALID_DEVICE_REQUEST;
    else if (row->ValueBytes != 0 &&
             (request->ValueSize < row->ValueBytes || request->Value == nullptr))
        status = STATUS_INVALID_PARAMETER;
    else
    {
        status = row->Run(request, effect);
        if (NT_SUCCESS(status) && row->ValueBytes != 0)
            request->ValueSize = row->ValueBytes;
    }
    effect->Release();
    return status;
}

namespace
{
// The pin the filter request names; null when the instance is short or the
// index out of range.
TopologyEntry* PinOf(PPCPROPERTY_REQUEST request)
{
    if (request->InstanceSize < c_U32 || request->Instance == nullptr)
        return nullptr;
    return CTopologyMiniport::From(request->MajorTarget)
        ->PinAt(*static_cast<PULONG>(request->Instance));
}

NTSTATUS FilterBasicSupport(PPCPROPERTY_REQUEST request)
{
    return Describe(request, 0x201, 0, 0, 0, 0, nullptr, &GUID_NULL);
}

// The jack records as KSJACK_DESCRIPTION (words 0 to 5 and 7) or
// KSJACK_DESCRIPTION2.
void WriteJacks(PUCHAR out, const ULONG* jacks, ULONG count, bool second)
{
    for (ULONG i = 0; i < count; ++i)
    {
        const ULONG* jack = jacks + i * c_JackWords;
        if (second)
        {
            const KSJACK_DESCRIPTION2 d = {0, (jack[6] & c_NoPresenceDetection) != 0
                                                  ? 0u
                                                  : JACKDESC2_PRESENCE_DETECT_CAPABILITY};
            RtlCopyMemory(out + i * sizeof(d), &d, sizeof(d));
        }
        else
        {
            const ULONG words[7] = {jack[0], jack[1], jack[2], jack[3], jack[4], jack[5], jack[7]};
            RtlCopyMemory(out + i * sizeof(KSJACK_DESCRIPTION), words, sizeof(words));
        }
    }
}

NTSTATUS JackReply(PPCPROPERTY_REQUEST request, PTERMINALCONTROL terminal, bool second)
{
    ULONG count = 0;
    NTSTATUS status = terminal->GetJackCount(&count);
    if (NT_SUCCESS(status) && count == 0)
        status = STATUS_INVALID_DEVICE_REQUEST;
    if (!NT_SUCCESS(status))
        return status;
    const ULONG record = second ? sizeof(KSJACK_DESCRIPTION2) : sizeof(KSJACK_DESCRIPTION);
    const ULONG needed = sizeof(KSMULTIPLE_ITEM) + record * count;
    status = CheckReplySize(request, needed);
    if (status != STATUS_SUCCESS)
        return status;
    auto jacks = static_cast<PULONG>(
        ExAllocatePoolWithTag(NonPagedPool, count * c_JackBytes, POOL_TAG("Temp")));
    if (jacks == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = terminal->GetJackInfo(count * c_JackBytes, jacks);
    if (NT_SUCCESS(status))
    {
        auto header = static_cast<PKSMULTIPLE_ITEM>(request->Value);
        header->Size = needed;
        header->Count = count;
        WriteJacks(reinterpret_cast<PUCHAR>(header + 1), jacks, count, second);
        request->ValueSize = needed;
    }
    ExFreePoolWithTag(jacks, POOL_TAG("Temp"));
    return status;
}
} // namespace

NTSTATUS GainProperty(PPCPROPERTY_REQUEST request, PAUDIOCONTROL control)
{
    PRANGEDCONTROL ranged = nullptr;
    NTSTATUS status = control->QueryInterface(IID_IRangedControl, (PVOID*)&ranged);
    if (!NT_SUCCESS(status))
        return status;
    ULONG channel = 0;
    if (Verb(request, KSPROPERTY_TYPE_BASICSUPPORT))
    {
        GainMember member = {sizeof(GainMember), NODENAME_GAIN, 12, {0, 0, 0}};
        ranged->GetRange(&member.Values[0], &member.Values[1], &member.Values[2]);
        status =
            Describe(request, 0x203, VT_I4, KSPROPERTY_MEMBER_VALUES, sizeof(member), 1, &member);
    }
    else if (request->InstanceSize < c_U32 || request->Instance == nullptr ||
             request->ValueSize < c_U32 || request->Value == nullptr)
        status = STATUS_INVALID_PARAMETER;
    else
    {
        channel = *static_cast<PULONG>(request->Instance);
        auto value = static_cast<PLONG>(request->Value);
        status = Verb(request, KSPROPERTY_TYPE_GET) ? ranged->GetValue(channel, value)
                                                    : ranged->SetValue(channel, *value);
        if (NT_SUCCESS(status))
            request->ValueSize = c_U32;
    }
    ranged->Release();
    return status;
}

NTSTATUS SwitchProperty(PPCPROPERTY_REQUEST request, PAUDIOCONTROL control)
{
    PBOOLEANCONTROL boolean = nullptr;
    NTSTATUS status = control->QueryInterface(IID_IBooleanControl, (PVOID*)&boolean);
    if (!NT_SUCCESS(status))
        return status;
    if (Verb(request, KSPROPERTY_TYPE_BASICSUPPORT))
        status = Describe(request, 0x203, VT_BOOL, 0, 0, 0, nullptr);
    else if (request->ValueSize < c_U32 || request->Value == nullptr)
        status = STATUS_INVALID_PARAMETER;
    else
    {
        auto value = static_cast<PULONG>(request->Value);
        if (Verb(request, KSPROPERTY_TYPE_GET))
        {
            UCHAR on = 0;
            status = boolean->GetValue(0, &on);
            *value = on;
        }
        else
            status = boolean->SetValue(0, *value != 0);
        if (NT_SUCCESS(status))
            request->ValueSize = c_U32;
    }
    boolean->Release();
    return status;
}

NTSTATUS PropertyHandlerDevSpecific(PPCPROPERTY_REQUEST request)
{
    TopologyEntry* node = CTopologyMiniport::From(request->MajorTarget)->NodeAt(request->Node);
    if (node == nullptr)
        return STATUS_INVALID_PARAMETER;
    switch (node->Control->GetKind())
    {
    case CONTROL_KIND_GAIN:
        return GainProperty(request, node->Control);
    case CONTROL_KIND_SWITCH:
    case CONTROL_KIND_SWITCH2:
        return SwitchProperty(request, node->Control);
    case CONTROL_KIND_LIST:
        return OutputTypeProperty(request, node->Control);
    case CONTROL_KIND_PSEUDO:
        return PseudoControlProperty(request, node->Control);
    default:
        return SingleSourceProperty(request);
    }
}

NTSTATUS PropertyHandlerFilterPrivate(PPCPROPERTY_REQUEST request)
{
    if (PinOf(request) == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!IsEqualGUID(*request->PropertyItem->Set, KSPROPSETID_DevicePrivate) ||
        request->PropertyItem->Id != DEVICE_PRIVATE_VERSION || !Verb(request, KSPROPERTY_TYPE_GET))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (request->ValueSize < c_U32 || request->Value == nullptr)
        return STATUS_INVALID_PARAMETER;
    *static_cast<PULONG>(request->Value) = DEVICE_PRIVATE_VERSION_VALUE;
    request->ValueSize = c_U32;
    return STATUS_SUCCESS;
}

NTSTATUS PropertyHandlerJack(PPCPROPERTY_REQUEST request)
{
    TopologyEntry* pin = PinOf(request);
    if (pin == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (Verb(request, KSPROPERTY_TYPE_BASICSUPPORT))
        return FilterBasicSupport(request);
    PTERMINALCONTROL terminal = nullptr;
    NTSTATUS status = pin->Control->QueryInterface(IID_ITerminalControl, (PVOID*)&terminal);
    if (!NT_SUCCESS(status))
        return status;
    const bool second = IsEqualGUID(*request->PropertyItem->Set, KSPROPSETID_Jack) &&
                        request->PropertyItem->Id == JACK_DESCRIPTION2_ID;
    {
        // Count and records in one hold: a refresh reallocates the records.
        DeviceLockHold hold(CTopologyMiniport::From(request->MajorTarget)->DeviceLock());
        status = JackReply(request, terminal, second);
    }
    terminal->Release();
    return status;
}

NTSTATUS PropertyHandlerEndpointCapabilities(PPCPROPERTY_REQUEST request)
{
    TopologyEntry* pin = PinOf(request);
    if (pin == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (Verb(request, KSPROPERTY_TYPE_BASICSUPPORT))
        return FilterBasicSupport(request);
    NTSTATUS status = CheckReplySize(request, sizeof(EndpointCapabilities));
    if (status != STATUS_SUCCESS)
        return status;
    PTERMINALCONTROL terminal = nullptr;
    status = pin->Control->QueryInterface(IID_ITerminalControl, (PVOID*)&terminal);
    if (!NT_SUCCESS(status))
        return status;
    status = terminal->GetEndpointCapabilities(static_cast<PENDPOINTCAPABILITIES>(request->Value));
    terminal->Release();
    if (NT_SUCCESS(status))
        request->ValueSize = sizeof(EndpointCapabilities);
    return status;
}

NTSTATUS EventHandlerControlChange(PPCEVENT_REQUEST request)
{
    CTopologyMiniport* miniport = CTopologyMiniport::From(request->MajorTarget);
    // Node ids run below the node count: an id equal to it names no node.
    if (request->Node >= miniport->GetNodeCount())
        return STATUS_INVALID_PARAMETER;
    switch (request->Verb)
    {
    case PCEVENT_VERB_ADD:
        if (request->EventEntry == nullptr || miniport->GetPortEvents() == nullptr)
            return STATUS_UNSUCCESSFUL;
        miniport->GetPortEvents()->AddEventToEventList(request->EventEntry);
        return STATUS_SUCCESS;
    case PCEVENT_VERB_REMOVE:
    case PCEVENT_VERB_SUPPORT:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
