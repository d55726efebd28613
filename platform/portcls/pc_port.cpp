// What every port shares: miniport binding, filter properties, events,
// unregistration.
#include "platform/portcls/pc_port.h"

#include "platform/kernel/emu.h"
#include "platform/ks/ksformat.h"

PcIoctl PcGetIoctl(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PcIoctl r;
    r.Code = stack->Parameters.DeviceIoControl.IoControlCode;
    r.Input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    r.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    r.Output = irp->UserBuffer;
    r.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (r.Input == nullptr)
        r.InputLength = 0;
    if (r.Output == nullptr)
        r.OutputLength = 0;
    return r;
}

NTSTATUS PcReplySize(ULONG needed, ULONG length, ULONG* returned)
{
    *returned = needed;
    if (length == 0)
        return STATUS_BUFFER_OVERFLOW;
    if (length < needed)
        return STATUS_BUFFER_TOO_SMALL;
    return STATUS_SUCCESS;
}

CPortBase::CPortBase(PUNKNOWN outerUnknown) : CUnknown(outerUnknown)
{
    KeInitializeSpinLock(&m_EventLock);
    InitializeListHead(&m_Events);
}

CPortBase::~CPortBase()
{
    ReleaseChildren();
    if (m_DeviceObject != nullptr)
    {
        PcDeviceContext* device = PcGetDeviceContext(m_DeviceObject);
        if (device != nullptr)
            std::erase(device->Ports, this);
    }
    // Entries still listed belong to handlers that never removed them.
    while (!IsListEmpty(&m_Events))
    {
        PLIST_ENTRY link = RemoveHeadList(&m_Events);
        ExFreePoolWithTag(CONTAINING_RECORD(link, KSEVENT_ENTRY, ListEntry), PC_TAG_EVENT);
    }
}

void CPortBase::ReleaseChildren()
{
    // Streams rely on their miniport without holding it: it goes with the
    // last pin.
    if (m_OpenPins != 0)
    {
        m_ReleasePending = true;
        return;
    }
    m_ReleasePending = false;
    PMINIPORT miniport = m_Miniport;
    m_Miniport = nullptr;
    m_Descriptor = nullptr;
    if (miniport != nullptr)
        miniport->Release();
}

NTSTATUS CPortBase::QueryCommon(REFIID interfaceId, PVOID* object)
{
    if (IsEqualGUID(interfaceId, IID_IPortEvents))
        *object = static_cast<IPortEvents*>(this);
    else if (IsEqualGUID(interfaceId, IID_IUnregisterSubdevice))
        *object = static_cast<IUnregisterSubdevice*>(this);
    else if (IsEqualGUID(interfaceId, IID_IUnregisterPhysicalConnection))
        *object = static_cast<IUnregisterPhysicalConnection*>(this);
    else if (IsEqualGUID(interfaceId, IID_IPortClsVersion))
        *object = static_cast<IPortClsVersion*>(this);
    else if (IsEqualGUID(interfaceId, IID_IPcPortInternal))
        *object = static_cast<IPcPortInternal*>(this);
    else
        return CUnknown::NonDelegatingQueryInterface(interfaceId, object);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
}

NTSTATUS CPortBase::InitCommon(PDEVICE_OBJECT deviceObject, PUNKNOWN miniport)
{
    PcDeviceContext* device = PcGetDeviceContext(deviceObject);
    if (device == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_Miniport != nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    PMINIPORT bound = nullptr;
    NTSTATUS status = miniport->QueryInterface(IID_IMiniport, (PVOID*)&bound);
    if (!NT_SUCCESS(status))
        return status;
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    status = bound->GetDescription(&descriptor);
    if (!NT_SUCCESS(status) || descriptor == nullptr)
    {
        bound->Release();
        return NT_SUCCESS(status) ? STATUS_DEVICE_CONFIGURATION_ERROR : status;
    }
    m_Miniport = bound;
    m_Descriptor = descriptor;
    if (m_DeviceObject == nullptr)
        device->Ports.push_back(this);
    m_DeviceObject = deviceObject;
    return STATUS_SUCCESS;
}

NTSTATUS CPortBase::DevicePropertyCommon(DEVICE_REGISTRY_PROPERTY deviceProperty,
                                         ULONG bufferLength, PVOID propertyBuffer,
                                         PULONG resultLength)
{
    if (m_DeviceObject == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    return PcGetDeviceProperty(m_DeviceObject, deviceProperty, bufferLength, propertyBuffer,
                               resultLength);
}

NTSTATUS CPortBase::NewRegistryKeyCommon(PREGISTRYKEY* outRegistryKey, PUNKNOWN outerUnknown,
                                         ULONG registryKeyType, ACCESS_MASK desiredAccess,
                                         POBJECT_ATTRIBUTES objectAttributes, ULONG createOptions,
                                         PULONG disposition)
{
    if (m_DeviceObject == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    return PcNewRegistryKey(outRegistryKey, outerUnknown, registryKeyType, desiredAccess,
                            m_DeviceObject, nullptr, objectAttributes, createOptions, disposition);
}

// ----------------------------------------------------------------------------
// Events
void CPortBase::AddEventToEventList(PKSEVENT_ENTRY eventEntry)
{
    if (eventEntry == nullptr)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&m_EventLock, &irql);
    InsertTailList(&m_Events, &eventEntry->ListEntry);
    LogEvent({false, eventEntry->Set, eventEntry->EventId, FALSE, eventEntry->PinId, FALSE,
              eventEntry->NodeId, 0});
    KeReleaseSpinLock(&m_EventLock, irql);
}

void CPortBase::GenerateEventList(GUID* set, ULONG eventId, BOOL pinEvent, ULONG pinId,
                                  BOOL nodeEvent, ULONG nodeId)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_EventLock, &irql);
    ULONG matched = 0;
    for (PLIST_ENTRY link = m_Events.Flink; link != &m_Events; link = link->Flink)
    {
        PKSEVENT_ENTRY entry = CONTAINING_RECORD(link, KSEVENT_ENTRY, ListEntry);
        if ((set != nullptr && !IsEqualGUID(entry->Set, *set)) || entry->EventId != eventId)
            continue;
        if (pinEvent && entry->PinId != pinId)
            continue;
        if (nodeEvent && entry->NodeId != nodeId)
            continue;
        ++entry->SignalCount;
        ++matched;
        if (entry->NotificationType == KSEVENTF_EVENT_OBJECT ||
            entry->NotificationType == KSEVENTF_EVENT_HANDLE)
            KeSetEvent(entry->EventData->EventObject.Event, 0, FALSE);
    }
    LogEvent({true, set != nullptr ? *set : GUID_NULL, eventId, pinEvent, pinId, nodeEvent, nodeId,
              matched});
    KeReleaseSpinLock(&m_EventLock, irql);
}

void CPortBase::LogEvent(const PcEventRecord& record)
{
    if (EventsLogged < EventLog.size())
        EventLog[EventsLogged++] = record;
    else
        ++EventsUnlogged;
}

namespace
{
// An enabled event as the port keeps it: the client's record stays the
// client's; for a handle the event object is referenced while enabled.
struct PcEventEntry
{
    KSEVENT_ENTRY Entry;
    PKEVENT ReferencedEvent;
    KSEVENTDATA Data; // the port's copy, which the signalling reads
    PKSEVENTDATA ClientData;
};
static_assert(offsetof(PcEventEntry, Entry) == 0);

void FreeEntry(PcEventEntry* e)
{
    if (e->ReferencedEvent != nullptr)
        ObDereferenceObject(e->ReferencedEvent);
    ExFreePoolWithTag(e, PC_TAG_EVENT);
}

bool IsLinked(const KSEVENT_ENTRY* entry)
{
    return entry->ListEntry.Flink != nullptr;
}
} // namespace

NTSTATUS CPortBase::EnableEvent(const PCFILTER_DESCRIPTOR* descriptor, PUNKNOWN minorTarget,
                                PFILE_OBJECT fileObject, ULONG pinId, PIRP irp)
{
    PcIoctl io = PcGetIoctl(irp);
    if (io.InputLength < sizeof(KSEVENT))
        return STATUS_INVALID_BUFFER_SIZE;
    const KSEVENT* event = static_cast<const KSEVENT*>(io.Input);
    if ((event->Flags & KSEVENT_TYPE_BASICSUPPORT) != 0)
        return PcRouteEventRequest(descriptor, m_Miniport, minorTarget, irp, io.Input,
                                   io.InputLength, PCEVENT_VERB_SUPPORT, nullptr, nullptr, nullptr);
    if ((event->Flags & (KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_ONESHOT)) == 0)
        return STATUS_INVALID_PARAMETER;
    if (io.OutputLength < sizeof(KSEVENTDATA))
        return STATUS_INVALID_BUFFER_SIZE;
    auto clientData = static_cast<PKSEVENTDATA>(io.Output);

    auto e = static_cast<PcEventEntry*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(PcEventEntry), PC_TAG_EVENT));
    if (e == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(e, 0, sizeof(*e));
    e->Data = *clientData;
    e->ClientData = clientData;
    switch (e->Data.NotificationType)
    {
    case KSEVENTF_EVENT_OBJECT:
        if (e->Data.EventObject.Event == nullptr || irp->RequestorMode != KernelMode)
        {
            ExFreePoolWithTag(e, PC_TAG_EVENT);
            return STATUS_INVALID_PARAMETER;
        }
        break;
    case KSEVENTF_EVENT_HANDLE:
    {
        PVOID object = nullptr;
        NTSTATUS s =
            ObReferenceObjectByHandle(e->Data.EventHandle.Event, EVENT_MODIFY_STATE,
                                      *ExEventObjectType, irp->RequestorMode, &object, nullptr);
        if (!NT_SUCCESS(s))
        {
            ExFreePoolWithTag(e, PC_TAG_EVENT);
            return s;
        }
        e->ReferencedEvent = static_cast<PKEVENT>(object);
        e->Data.EventObject.Event = e->ReferencedEvent;
        break;
    }
    default:
        ExFreePoolWithTag(e, PC_TAG_EVENT);
        return STATUS_NOT_SUPPORTED;
    }
    e->Entry.Object = fileObject;
    e->Entry.EventData = &e->Data;
    e->Entry.NotificationType = e->Data.NotificationType;
    e->Entry.Set = event->Set;
    e->Entry.EventId = event->Id;
    e->Entry.PinId = pinId;
    e->Entry.Flags = event->Flags;

    ULONG node = ULONG(-1);
    NTSTATUS status =
        PcRouteEventRequest(descriptor, m_Miniport, minorTarget, irp, io.Input, io.InputLength,
                            PCEVENT_VERB_ADD, &e->Entry, nullptr, &node);
    e->Entry.NodeId = node;
    if (!NT_SUCCESS(status) || !IsLinked(&e->Entry))
    {
        if (IsLinked(&e->Entry))
        {
            KIRQL irql;
            KeAcquireSpinLock(&m_EventLock, &irql);
            RemoveEntryList(&e->Entry.ListEntry);
            KeReleaseSpinLock(&m_EventLock, irql);
        }
        FreeEntry(e);
    }
    return status;
}

NTSTATUS CPortBase::DisableEvent(const PCFILTER_DESCRIPTOR* descriptor, PUNKNOWN minorTarget,
                                 PFILE_OBJECT fileObject, PIRP irp)
{
    PcIoctl io = PcGetIoctl(irp);
    if (io.InputLength == 0)
    {
        DisableEventsOf(fileObject, minorTarget);
        return STATUS_SUCCESS;
    }
    if (io.InputLength < sizeof(KSEVENTDATA))
        return STATUS_INVALID_BUFFER_SIZE;
    PcEventEntry* found = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_EventLock, &irql);
    for (PLIST_ENTRY link = m_Events.Flink; link != &m_Events; link = link->Flink)
    {
        auto e = reinterpret_cast<PcEventEntry*>(CONTAINING_RECORD(link, KSEVENT_ENTRY, ListEntry));
        if (e->Entry.Object == fileObject && e->ClientData == io.Input)
        {
            RemoveEntryList(link);
            found = e;
            break;
        }
    }
    KeReleaseSpinLock(&m_EventLock, irql);
    if (found == nullptr)
        return STATUS_UNSUCCESSFUL;
    KSE_NODE request = {};
    request.Event.Set = found->Entry.Set;
    request.Event.Id = found->Entry.EventId;
    request.Event.Flags = found->Entry.NodeId != ULONG(-1) ? KSEVENT_TYPE_TOPOLOGY : 0;
    request.NodeId = found->Entry.NodeId;
    PcRouteEventRequest(descriptor, m_Miniport, minorTarget, irp, &request, sizeof(request),
                        PCEVENT_VERB_REMOVE, &found->Entry, nullptr, nullptr);
    FreeEntry(found);
    return STATUS_SUCCESS;
}

void CPortBase::DisableEventsOf(PFILE_OBJECT fileObject, PUNKNOWN minorTarget)
{
    for (;;)
    {
        PcEventEntry* found = nullptr;
        KIRQL irql;
        KeAcquireSpinLock(&m_EventLock, &irql);
        for (PLIST_ENTRY link = m_Events.Flink; link != &m_Events; link = link->Flink)
        {
            auto e =
                reinterpret_cast<PcEventEntry*>(CONTAINING_RECORD(link, KSEVENT_ENTRY, ListEntry));
            if (e->Entry.Object == fileObject)
            {
                RemoveEntryList(link);
                found = e;
                break;
            }
        }
        KeReleaseSpinLock(&m_EventLock, irql);
        if (found == nullptr)
            return;
        if (m_Descriptor != nullptr)
        {
            KSE_NODE request = {};
            request.Event.Set = found->Entry.Set;
            request.Event.Id = found->Entry.EventId;
            request.Event.Flags = found->Entry.NodeId != ULONG(-1) ? KSEVENT_TYPE_TOPOLOGY : 0;
            request.NodeId = found->Entry.NodeId;
            PcRouteEventRequest(m_Descriptor, m_Miniport, minorTarget, nullptr, &request,
                                sizeof(request), PCEVENT_VERB_REMOVE, &found->Entry, nullptr,
                                nullptr);
        }
        FreeEntry(found);
    }
}

// ----------------------------------------------------------------------------
// Unregistration
NTSTATUS CPortBase::UnregisterSubdevice(PDEVICE_OBJECT deviceObject, PUNKNOWN unknown)
{
    PcDeviceContext* device = PcGetDeviceContext(deviceObject);
    if (device == nullptr || unknown == nullptr)
        return STATUS_INVALID_PARAMETER;
    IPcPortInternal* port = nullptr;
    if (!NT_SUCCESS(unknown->QueryInterface(IID_IPcPortInternal, (PVOID*)&port)))
        return STATUS_INVALID_PARAMETER;
    CPortBase* target = port->GetPortObject();
    port->Release();
    for (auto it = device->Subdevices.begin(); it != device->Subdevices.end(); ++it)
    {
        if (it->Port == target)
        {
            device->Subdevices.erase(it);
            target->ReleaseChildren();
            target->GetNonDelegatingUnknown()->Release();
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}

NTSTATUS CPortBase::UnregisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown,
                                                 ULONG fromPin, PUNKNOWN toUnknown, ULONG toPin)
{
    PcDeviceContext* device = PcGetDeviceContext(deviceObject);
    if (device == nullptr || fromUnknown == nullptr || toUnknown == nullptr)
        return STATUS_INVALID_PARAMETER;
    CPortBase* ends[2] = {};
    PUNKNOWN unknowns[2] = {fromUnknown, toUnknown};
    for (int i = 0; i < 2; ++i)
    {
        IPcPortInternal* port = nullptr;
        if (!NT_SUCCESS(unknowns[i]->QueryInterface(IID_IPcPortInternal, (PVOID*)&port)))
            return STATUS_INVALID_PARAMETER;
        ends[i] = port->GetPortObject();
        port->Release();
    }
    for (auto it = device->Connections.begin(); it != device->Connections.end(); ++it)
    {
        if (it->From == ends[0] && it->FromPin == fromPin && it->To == ends[1] &&
            it->ToPin == toPin)
        {
            PcConnection c = *it;
            device->Connections.erase(it);
            c.From->GetNonDelegatingUnknown()->Release();
            c.To->GetNonDelegatingUnknown()->Release();
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}

// ----------------------------------------------------------------------------
// Filter requests
NTSTATUS CPortBase::RouteProperty(const PCFILTER_DESCRIPTOR* descriptor, PUNKNOWN minorTarget,
                                  PIRP irp)
{
    PcIoctl io = PcGetIoctl(irp);
    ULONG returned = 0;
    NTSTATUS status = PcRoutePropertyRequest(descriptor, m_Miniport, minorTarget, irp, io.Input,
                                             io.InputLength, io.Output, io.OutputLength, &returned);
    irp->IoStatus.Information = returned;
    return status;
}

NTSTATUS CPortBase::FilterDeviceControl(PcFileContext* filter, PIRP irp)
{
    if (m_Descriptor == nullptr)
        return STATUS_DEVICE_NOT_READY;
    PcIoctl io = PcGetIoctl(irp);
    switch (io.Code)
    {
    case IOCTL_KS_PROPERTY:
    {
        if (io.InputLength < sizeof(KSPROPERTY))
            return STATUS_INVALID_BUFFER_SIZE;
        bool handled = false;
        ULONG returned = 0;
        NTSTATUS status =
            FilterOwnProperty(filter, static_cast<const KSPROPERTY*>(io.Input), io.InputLength,
                              io.Output, io.OutputLength, &returned, &handled);
        if (handled)
        {
            irp->IoStatus.Information = returned;
            return status;
        }
        return RouteProperty(m_Descriptor, nullptr, irp);
    }
    case IOCTL_KS_ENABLE_EVENT:
        return EnableEvent(m_Descriptor, nullptr, filter->FileObject, ULONG(-1), irp);
    case IOCTL_KS_DISABLE_EVENT:
        return DisableEvent(m_Descriptor, nullptr, filter->FileObject, irp);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS CPortBase::FilterOwnProperty(PcFileContext* filter, const KSPROPERTY* property,
                                      ULONG inputLength, PVOID output, ULONG outputLength,
                                      ULONG* returned, bool* handled)
{
    *handled = false;
    *returned = 0;
    const PCFILTER_DESCRIPTOR* d = m_Descriptor;
    const bool get = property->Flags == KSPROPERTY_TYPE_GET;
    auto reply = [&](const void* data, ULONG size) -> NTSTATUS
    {
        NTSTATUS s = PcReplySize(size, outputLength, returned);
        if (s == STATUS_SUCCESS && size != 0)
            memcpy(output, data, size);
        return s;
    };

    if (IsEqualGUID(property->Set, KSPROPSETID_Topology) && get)
    {
        std::vector<UCHAR> bytes;
        auto multiple = [&](const void* items, ULONG itemSize, ULONG count)
        {
            KSMULTIPLE_ITEM header = {(ULONG)sizeof(KSMULTIPLE_ITEM) + itemSize * count, count};
            bytes.resize(header.Size);
            memcpy(bytes.data(), &header, sizeof(header));
            if (count != 0)
                memcpy(bytes.data() + sizeof(header), items, (SIZE_T)itemSize * count);
        };
        std::vector<GUID> guids;
        switch (property->Id)
        {
        case KSPROPERTY_TOPOLOGY_CATEGORIES:
            multiple(d->Categories, sizeof(GUID), d->Categories != nullptr ? d->CategoryCount : 0);
            break;
        case KSPROPERTY_TOPOLOGY_NODES:
            for (ULONG i = 0; i < d->NodeCount; ++i)
            {
                const PCNODE_DESCRIPTOR* node = PcFilterNode(d, i);
                guids.push_back(node != nullptr && node->Type != nullptr ? *node->Type : GUID_NULL);
            }
            multiple(guids.data(), sizeof(GUID), (ULONG)guids.size());
            break;
        case KSPROPERTY_TOPOLOGY_CONNECTIONS:
            multiple(d->Connections, sizeof(PCCONNECTION_DESCRIPTOR),
                     d->Connections != nullptr ? d->ConnectionCount : 0);
            break;
        default:
            return STATUS_SUCCESS;
        }
        *handled = true;
        return reply(bytes.data(), (ULONG)bytes.size());
    }

    if (!IsEqualGUID(property->Set, KSPROPSETID_Pin) || !get)
        return STATUS_SUCCESS;
    *handled = true;
    if (property->Id == KSPROPERTY_PIN_CTYPES)
        return reply(&d->PinCount, sizeof(ULONG));
    if (inputLength < sizeof(KSP_PIN))
        return STATUS_INVALID_BUFFER_SIZE;
    const KSP_PIN* pinRequest = reinterpret_cast<const KSP_PIN*>(property);
    const PCPIN_DESCRIPTOR* pin = PcFilterPin(d, pinRequest->PinId);
    if (pin == nullptr)
        return STATUS_INVALID_PARAMETER;
    const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
    switch (property->Id)
    {
    case KSPROPERTY_PIN_DATAFLOW:
        return reply(&ks.DataFlow, sizeof(ULONG));
    case KSPROPERTY_PIN_COMMUNICATION:
        return reply(&ks.Communication, sizeof(ULONG));
    case KSPROPERTY_PIN_CATEGORY:
        if (ks.Category == nullptr)
            return STATUS_NOT_FOUND;
        return reply(ks.Category, sizeof(GUID));
    case KSPROPERTY_PIN_CINSTANCES:
    {
        ULONG counts[2] = {pin->MaxFilterInstanceCount,
                           pinRequest->PinId < filter->PinInstances.size()
                               ? filter->PinInstances[pinRequest->PinId]
                               : 0};
        return reply(counts, sizeof(counts));
    }
    case KSPROPERTY_PIN_DATARANGES:
    {
        std::vector<UCHAR> bytes(sizeof(KSMULTIPLE_ITEM));
        ULONG count = 0;
        ULONG entry = 0;
        while (const KSDATARANGE* range = KsNextPinDataRange(ks, &entry))
        {
            bytes.resize((bytes.size() + 7) & ~size_t(7));
            size_t at = bytes.size();
            bytes.resize(at + range->FormatSize);
            memcpy(bytes.data() + at, range, range->FormatSize);
            ++count;
        }
        KSMULTIPLE_ITEM header = {(ULONG)bytes.size(), count};
        memcpy(bytes.data(), &header, sizeof(header));
        return reply(bytes.data(), (ULONG)bytes.size());
    }
    case KSPROPERTY_PIN_DATAINTERSECTION:
        return Intersect(pinRequest->PinId,
                         reinterpret_cast<const UCHAR*>(property) + sizeof(KSP_PIN),
                         inputLength - sizeof(KSP_PIN), output, outputLength, returned);
    default:
        *handled = false;
        return STATUS_SUCCESS;
    }
}

NTSTATUS CPortBase::Intersect(ULONG pinId, const UCHAR* ranges, ULONG rangesLength, PVOID output,
                              ULONG outputLength, ULONG* returned)
{
    *returned = 0;
    const PCPIN_DESCRIPTOR* pin = PcFilterPin(m_Descriptor, pinId);
    if (pin == nullptr)
        return STATUS_INVALID_PARAMETER;
    KSMULTIPLE_ITEM list;
    if (rangesLength < sizeof(list))
        return STATUS_INVALID_BUFFER_SIZE;
    memcpy(&list, ranges, sizeof(list));
    if (list.Size < sizeof(list) || list.Size > rangesLength)
        return STATUS_INVALID_PARAMETER;
    // The client's ranges, checked against the list before any is used; the
    // miniport gets an aligned copy of each.
    std::vector<std::vector<ULONGLONG>> clientRanges;
    ULONG offset = sizeof(list);
    for (ULONG i = 0; i < list.Count; ++i)
    {
        offset = (offset + 7u) & ~7u;
        if (offset > list.Size || list.Size - offset < sizeof(KSDATARANGE))
            return STATUS_INVALID_PARAMETER;
        KSDATARANGE header;
        memcpy(&header, ranges + offset, sizeof(header));
        if (header.FormatSize < sizeof(KSDATARANGE) || header.FormatSize > list.Size - offset)
            return STATUS_INVALID_PARAMETER;
        std::vector<ULONGLONG> copy((header.FormatSize + 7) / 8);
        memcpy(copy.data(), ranges + offset, header.FormatSize);
        clientRanges.push_back(std::move(copy));
        offset += header.FormatSize;
    }

    const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
    for (auto& client : clientRanges)
    {
        auto clientRange = reinterpret_cast<PKSDATARANGE>(client.data());
        ULONG entry = 0;
        while (const KSDATARANGE* range = KsNextPinDataRange(ks, &entry))
        {
            PKSDATARANGE own = const_cast<PKSDATARANGE>(range);
            // First ask for the size, as the audio engine does.
            ULONG size = 0;
            NTSTATUS status =
                m_Miniport->DataRangeIntersection(pinId, clientRange, own, 0, nullptr, &size);
            if (status == STATUS_NO_MATCH || status == STATUS_NOT_IMPLEMENTED)
                continue;
            if (status != STATUS_BUFFER_OVERFLOW)
                return status;
            *returned = size;
            if (outputLength == 0)
                return STATUS_BUFFER_OVERFLOW;
            if (outputLength < size)
                return STATUS_BUFFER_TOO_SMALL;
            ULONG written = 0;
            status = m_Miniport->DataRangeIntersection(pinId, clientRange, own, outputLength,
                                                       output, &written);
            if (status == STATUS_NO_MATCH)
                continue;
            if (NT_SUCCESS(status) && written > outputLength)
                EmuReportFailure("data-range intersection wrote %u bytes into %u", written,
                                 outputLength);
            *returned = NT_SUCCESS(status) ? written : 0;
            return status;
        }
    }
    return STATUS_NO_MATCH;
}

NTSTATUS CPortBase::CreatePin(PcFileContext*, PcFileContext*, const UCHAR*, ULONG)
{
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS CPortBase::PinDeviceControl(PcFileContext*, PIRP)
{
    return STATUS_INVALID_DEVICE_REQUEST;
}

void CPortBase::ClosePin(PcFileContext*) {}

void CPortBase::PinOpened()
{
    ++m_OpenPins;
}

void CPortBase::PinClosed()
{
    if (m_OpenPins != 0 && --m_OpenPins == 0 && m_ReleasePending)
        ReleaseChildren();
}
