// Routing of property and event requests through port-class automation tables.
#include "platform/ks/pcautomation.h"

namespace
{
const UCHAR* ItemAt(const void* base, ULONG itemSize, ULONG index)
{
    return static_cast<const UCHAR*>(base) + (SIZE_T)itemSize * index;
}

// A request's header: the node it addresses and where its instance begins.
struct RoutedHeader
{
    const KSIDENTIFIER* Identifier;
    ULONG Node;
    ULONG HeaderSize;
};

NTSTATUS ParseHeader(const PCFILTER_DESCRIPTOR* filter, const void* request, ULONG requestLength,
                     ULONG topologyFlag, RoutedHeader* header)
{
    if (request == nullptr || requestLength < sizeof(KSIDENTIFIER))
        return STATUS_INVALID_BUFFER_SIZE;
    header->Identifier = static_cast<const KSIDENTIFIER*>(request);
    header->Node = ULONG(-1);
    header->HeaderSize = sizeof(KSIDENTIFIER);
    if ((header->Identifier->Flags & topologyFlag) != 0)
    {
        if (requestLength < sizeof(KSP_NODE))
            return STATUS_INVALID_BUFFER_SIZE;
        header->Node = static_cast<const KSP_NODE*>(request)->NodeId;
        header->HeaderSize = sizeof(KSP_NODE);
        if (PcFilterNode(filter, header->Node) == nullptr)
            return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

const PCAUTOMATION_TABLE* TableFor(const PCFILTER_DESCRIPTOR* filter, ULONG node)
{
    if (filter == nullptr)
        return nullptr;
    if (node == ULONG(-1))
        return filter->AutomationTable;
    const PCNODE_DESCRIPTOR* descriptor = PcFilterNode(filter, node);
    return descriptor != nullptr ? descriptor->AutomationTable : nullptr;
}
} // namespace

const PCPROPERTY_ITEM* PcFindPropertyItem(const PCAUTOMATION_TABLE* table, const GUID& set,
                                          ULONG id)
{
    if (table == nullptr || table->PropertyCount == 0 || table->Properties == nullptr)
        return nullptr;
    if (table->PropertyItemSize < sizeof(PCPROPERTY_ITEM))
    {
        EmuReportFailure("automation table property item size %u below %zu",
                         table->PropertyItemSize, sizeof(PCPROPERTY_ITEM));
        return nullptr;
    }
    for (ULONG i = 0; i < table->PropertyCount; ++i)
    {
        auto item = reinterpret_cast<const PCPROPERTY_ITEM*>(
            ItemAt(table->Properties, table->PropertyItemSize, i));
        if (item->Set != nullptr && IsEqualGUID(*item->Set, set) && item->Id == id)
            return item;
    }
    return nullptr;
}

const PCEVENT_ITEM* PcFindEventItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id)
{
    if (table == nullptr || table->EventCount == 0 || table->Events == nullptr)
        return nullptr;
    if (table->EventItemSize < sizeof(PCEVENT_ITEM))
    {
        EmuReportFailure("automation table event item size %u below %zu", table->EventItemSize,
                         sizeof(PCEVENT_ITEM));
        return nullptr;
    }
    for (ULONG i = 0; i < table->EventCount; ++i)
    {
        auto item =
            reinterpret_cast<const PCEVENT_ITEM*>(ItemAt(table->Events, table->EventItemSize, i));
        if (item->Set != nullptr && IsEqualGUID(*item->Set, set) && item->Id == id)
            return item;
    }
    return nullptr;
}

const PCNODE_DESCRIPTOR* PcFilterNode(const PCFILTER_DESCRIPTOR* filter, ULONG node)
{
    if (filter == nullptr || filter->Nodes == nullptr || node >= filter->NodeCount)
        return nullptr;
    if (filter->NodeSize < sizeof(PCNODE_DESCRIPTOR))
    {
        EmuReportFailure("filter node size %u below %zu", filter->NodeSize,
                         sizeof(PCNODE_DESCRIPTOR));
        return nullptr;
    }
    return reinterpret_cast<const PCNODE_DESCRIPTOR*>(
        ItemAt(filter->Nodes, filter->NodeSize, node));
}

const PCPIN_DESCRIPTOR* PcFilterPin(const PCFILTER_DESCRIPTOR* filter, ULONG pin)
{
    if (filter == nullptr || filter->Pins == nullptr || pin >= filter->PinCount)
        return nullptr;
    if (filter->PinSize < sizeof(PCPIN_DESCRIPTOR))
    {
        EmuReportFailure("filter pin size %u below %zu", filter->PinSize, sizeof(PCPIN_DESCRIPTOR));
        return nullptr;
    }
    return reinterpret_cast<const PCPIN_DESCRIPTOR*>(ItemAt(filter->Pins, filter->PinSize, pin));
}

NTSTATUS PcRoutePropertyRequest(const PCFILTER_DESCRIPTOR* filter, PUNKNOWN majorTarget,
                                PUNKNOWN minorTarget, PIRP irp, const void* request,
                                ULONG requestLength, void* value, ULONG valueLength,
                                ULONG* bytesReturned)
{
    *bytesReturned = 0;
    RoutedHeader header;
    NTSTATUS status =
        ParseHeader(filter, request, requestLength, KSPROPERTY_TYPE_TOPOLOGY, &header);
    if (!NT_SUCCESS(status))
        return status;

    const PCPROPERTY_ITEM* item = PcFindPropertyItem(TableFor(filter, header.Node),
                                                     header.Identifier->Set, header.Identifier->Id);
    if (item == nullptr)
        return STATUS_NOT_FOUND;

    const ULONG verb = header.Identifier->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
    if (verb == KSPROPERTY_TYPE_SETSUPPORT)
        return STATUS_SUCCESS;
    if (verb != KSPROPERTY_TYPE_GET && verb != KSPROPERTY_TYPE_SET &&
        verb != KSPROPERTY_TYPE_BASICSUPPORT)
        return STATUS_INVALID_DEVICE_REQUEST;

    const bool handled = (item->Flags & verb) != 0 && item->Handler != nullptr;
    if (!handled)
    {
        if (verb != KSPROPERTY_TYPE_BASICSUPPORT)
            return STATUS_INVALID_DEVICE_REQUEST;
        // Basic support without a handler of its own: the access flags only.
        *bytesReturned = sizeof(ULONG);
        if (valueLength < sizeof(ULONG) || value == nullptr)
            return valueLength == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_BUFFER_TOO_SMALL;
        ULONG access = item->Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
        memcpy(value, &access, sizeof(access));
        return STATUS_SUCCESS;
    }

    PCPROPERTY_REQUEST pr = {};
    pr.MajorTarget = majorTarget;
    pr.MinorTarget = minorTarget;
    pr.Node = header.Node;
    pr.PropertyItem = item;
    pr.Verb = verb;
    pr.InstanceSize = requestLength - header.HeaderSize;
    pr.Instance = pr.InstanceSize != 0
                      ? const_cast<UCHAR*>(static_cast<const UCHAR*>(request) + header.HeaderSize)
                      : nullptr;
    pr.ValueSize = valueLength;
    pr.Value = value;
    pr.Irp = irp;
    status = item->Handler(&pr);

    const bool sizing = status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL;
    if (NT_SUCCESS(status) && !sizing && pr.ValueSize > valueLength)
        EmuReportFailure("property handler (id %u) replied %u bytes into a %u-byte buffer",
                         header.Identifier->Id, pr.ValueSize, valueLength);
    *bytesReturned = (sizing || NT_SUCCESS(status)) ? pr.ValueSize : 0;
    return status;
}

NTSTATUS PcRouteEventRequest(const PCFILTER_DESCRIPTOR* filter, PUNKNOWN majorTarget,
                             PUNKNOWN minorTarget, PIRP irp, const void* request,
                             ULONG requestLength, ULONG verb, PKSEVENT_ENTRY entry,
                             const PCEVENT_ITEM** itemOut, ULONG* nodeOut)
{
    if (itemOut != nullptr)
        *itemOut = nullptr;
    RoutedHeader header;
    NTSTATUS status = ParseHeader(filter, request, requestLength, KSEVENT_TYPE_TOPOLOGY, &header);
    if (!NT_SUCCESS(status))
        return status;
    if (nodeOut != nullptr)
        *nodeOut = header.Node;

    const PCEVENT_ITEM* item = PcFindEventItem(TableFor(filter, header.Node),
                                               header.Identifier->Set, header.Identifier->Id);
    if (item == nullptr)
        return STATUS_NOT_FOUND;
    if (itemOut != nullptr)
        *itemOut = item;
    if (item->Handler == nullptr)
        return verb == PCEVENT_VERB_SUPPORT ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
    if (verb == PCEVENT_VERB_ADD && (item->Flags & PCEVENT_ITEM_FLAG_ENABLE) == 0)
        return STATUS_INVALID_DEVICE_REQUEST;

    PCEVENT_REQUEST er = {};
    er.MajorTarget = majorTarget;
    er.MinorTarget = minorTarget;
    er.Node = header.Node;
    er.EventItem = item;
    er.EventEntry = verb == PCEVENT_VERB_SUPPORT ? nullptr : entry;
    er.Verb = verb;
    er.Irp = irp;
    return item->Handler(&er);
}
