// The audio-engine client.
#include "sim/clients/audio_engine_client.h"

#include <algorithm>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"

namespace
{
// A kernel-mode device control on a file: METHOD_NEITHER requests carry the
// caller's own buffers, so the port sees (and may keep) exactly these records.
NTSTATUS Ioctl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
               ULONG outputLength, ULONG* returned)
{
    if (returned != nullptr)
        *returned = 0;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, const_cast<void*>(input), inputLength,
                                             output, outputLength, FALSE, &done, &iosb);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (returned != nullptr)
        *returned = (ULONG)iosb.Information;
    return status;
}

KSNODEPROPERTY_AUDIO_CHANNEL NodeRequest(ULONG node, const GUID& set, ULONG id, ULONG verb,
                                         LONG channel)
{
    KSNODEPROPERTY_AUDIO_CHANNEL r = {};
    r.NodeProperty.Property.Set = set;
    r.NodeProperty.Property.Id = id;
    r.NodeProperty.Property.Flags = verb | KSPROPERTY_TYPE_TOPOLOGY;
    r.NodeProperty.NodeId = node;
    r.Channel = channel;
    return r;
}

// Reads a variable-size reply: the size first, then the data.
NTSTATUS ReadSized(PFILE_OBJECT file, const void* request, ULONG requestLength,
                   std::vector<UCHAR>* reply)
{
    ULONG needed = 0;
    NTSTATUS status = Ioctl(file, IOCTL_KS_PROPERTY, request, requestLength, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_OVERFLOW)
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    reply->assign(needed, 0);
    ULONG returned = 0;
    status =
        Ioctl(file, IOCTL_KS_PROPERTY, request, requestLength, reply->data(), needed, &returned);
    if (NT_SUCCESS(status) && returned > needed)
        return STATUS_INVALID_BUFFER_SIZE; // more than the buffer could hold
    if (NT_SUCCESS(status))
        reply->resize(returned);
    return status;
}

// A topology list: a KSMULTIPLE_ITEM header and its items. The reply is
// the driver's: a header it does not hold, or a count running past it, is
// refused rather than read.
template <typename Item>
NTSTATUS ReadTopologyItems(PFILE_OBJECT filter, ULONG id, std::vector<Item>* items)
{
    KSPROPERTY p = {};
    p.Set = KSPROPSETID_Topology;
    p.Id = id;
    p.Flags = KSPROPERTY_TYPE_GET;
    std::vector<UCHAR> reply;
    NTSTATUS status = ReadSized(filter, &p, sizeof(p), &reply);
    if (!NT_SUCCESS(status))
        return status;
    KSMULTIPLE_ITEM header;
    if (reply.size() < sizeof(header))
        return STATUS_INVALID_BUFFER_SIZE;
    memcpy(&header, reply.data(), sizeof(header));
    if (header.Count > (reply.size() - sizeof(header)) / sizeof(Item))
        return STATUS_INVALID_BUFFER_SIZE;
    items->resize(header.Count);
    if (header.Count != 0) // an empty list has no storage to copy into
        memcpy(items->data(), reply.data() + sizeof(header), header.Count * sizeof(Item));
    return status;
}
} // namespace

KSDATARANGE_AUDIO AudioClientRange(const GUID& subFormat, ULONG channels, ULONG minBits,
                                   ULONG maxBits, ULONG minRate, ULONG maxRate)
{
    KSDATARANGE_AUDIO r = {};
    r.DataRange.FormatSize = sizeof(r);
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.DataRange.SubFormat = subFormat;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    r.MaximumChannels = channels;
    r.MinimumBitsPerSample = minBits;
    r.MaximumBitsPerSample = maxBits;
    r.MinimumSampleFrequency = minRate;
    r.MaximumSampleFrequency = maxRate;
    return r;
}

AudioEngineClient::AudioEngineClient(PDEVICE_OBJECT adapterDevice)
    : m_Device(IoGetAttachedDevice(adapterDevice))
{
}

AudioEngineClient::~AudioEngineClient()
{
    while (!m_Pins.empty())
        Close(m_Pins.back());
    while (!m_Filters.empty())
        Close(m_Filters.back());
}

std::vector<EmuPcSubdeviceInfo> AudioEngineClient::Subdevices() const
{
    return EmuPcSubdevices(m_Device);
}

std::vector<EmuPcConnectionInfo> AudioEngineClient::PhysicalConnections() const
{
    return EmuPcPhysicalConnections(m_Device);
}

NTSTATUS AudioEngineClient::OpenFilter(const std::u16string& name, PFILE_OBJECT* filter)
{
    std::u16string path = u"\\" + name;
    NTSTATUS status = EmuOpenFile(m_Device, path.data(), (ULONG)(path.size() * sizeof(WCHAR)),
                                  nullptr, KernelMode, filter);
    if (NT_SUCCESS(status))
        m_Filters.push_back(*filter);
    return status;
}

std::vector<UCHAR> AudioEngineClient::PinCreateName(ULONG pinId, const void* format,
                                                    ULONG formatLength)
{
    std::u16string prefix = std::u16string(KSSTRING_Pin) + u"\\";
    const size_t prefixBytes = prefix.size() * sizeof(WCHAR);
    std::vector<UCHAR> name(prefixBytes + sizeof(KSPIN_CONNECT) + formatLength);
    memcpy(name.data(), prefix.data(), prefixBytes);
    KSPIN_CONNECT connect = {};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = pinId;
    connect.Priority = {KSPRIORITY_NORMAL, 1};
    memcpy(name.data() + prefixBytes, &connect, sizeof(connect));
    if (formatLength != 0)
        memcpy(name.data() + prefixBytes + sizeof(connect), format, formatLength);
    return name;
}

NTSTATUS AudioEngineClient::OpenPin(PFILE_OBJECT filter, ULONG pinId, const void* format,
                                    ULONG formatLength, PFILE_OBJECT* pin)
{
    const std::vector<UCHAR> name = PinCreateName(pinId, format, formatLength);
    NTSTATUS status =
        EmuOpenFile(m_Device, name.data(), (ULONG)name.size(), filter, KernelMode, pin);
    if (NT_SUCCESS(status))
        m_Pins.push_back(*pin);
    return status;
}

NTSTATUS AudioEngineClient::OpenPinWithRange(PFILE_OBJECT filter, ULONG pinId,
                                             const KSDATARANGE* wanted, PFILE_OBJECT* pin,
                                             std::vector<UCHAR>* format)
{
    std::vector<UCHAR> chosen;
    NTSTATUS status = Intersect(filter, pinId, wanted, &chosen);
    if (!NT_SUCCESS(status))
        return status;
    status = OpenPin(filter, pinId, chosen.data(), (ULONG)chosen.size(), pin);
    if (NT_SUCCESS(status) && format != nullptr)
        *format = chosen;
    return status;
}

NTSTATUS AudioEngineClient::Close(PFILE_OBJECT file)
{
    std::erase(m_Pins, file);
    std::erase(m_Filters, file);
    return EmuCloseFile(file);
}

NTSTATUS AudioEngineClient::Property(PFILE_OBJECT file, const void* request, ULONG requestLength,
                                     void* value, ULONG valueLength, ULONG* returned)
{
    return Ioctl(file, IOCTL_KS_PROPERTY, request, requestLength, value, valueLength, returned);
}

NTSTATUS AudioEngineClient::GetPinCount(PFILE_OBJECT filter, ULONG* count)
{
    KSPROPERTY p = {};
    p.Set = KSPROPSETID_Pin;
    p.Id = KSPROPERTY_PIN_CTYPES;
    p.Flags = KSPROPERTY_TYPE_GET;
    return Property(filter, &p, sizeof(p), count, sizeof(*count), nullptr);
}

NTSTATUS AudioEngineClient::GetPinDataRanges(PFILE_OBJECT filter, ULONG pinId,
                                             std::vector<UCHAR>* ranges)
{
    KSP_PIN p = {};
    p.Property.Set = KSPROPSETID_Pin;
    p.Property.Id = KSPROPERTY_PIN_DATARANGES;
    p.Property.Flags = KSPROPERTY_TYPE_GET;
    p.PinId = pinId;
    return ReadSized(filter, &p, sizeof(p), ranges);
}

NTSTATUS AudioEngineClient::GetNodeTypes(PFILE_OBJECT filter, std::vector<GUID>* nodes)
{
    return ReadTopologyItems(filter, KSPROPERTY_TOPOLOGY_NODES, nodes);
}

NTSTATUS AudioEngineClient::GetConnections(PFILE_OBJECT filter,
                                           std::vector<KSTOPOLOGY_CONNECTION>* connections)
{
    return ReadTopologyItems(filter, KSPROPERTY_TOPOLOGY_CONNECTIONS, connections);
}

NTSTATUS AudioEngineClient::Intersect(PFILE_OBJECT filter, ULONG pinId, const KSDATARANGE* wanted,
                                      std::vector<UCHAR>* format)
{
    // KSP_PIN, then a list of one range.
    const ULONG rangeSize = wanted->FormatSize;
    std::vector<UCHAR> request(sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM) + rangeSize);
    KSP_PIN p = {};
    p.Property.Set = KSPROPSETID_Pin;
    p.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    p.Property.Flags = KSPROPERTY_TYPE_GET;
    p.PinId = pinId;
    KSMULTIPLE_ITEM list = {(ULONG)sizeof(KSMULTIPLE_ITEM) + rangeSize, 1};
    memcpy(request.data(), &p, sizeof(p));
    memcpy(request.data() + sizeof(p), &list, sizeof(list));
    memcpy(request.data() + sizeof(p) + sizeof(list), wanted, rangeSize);
    return ReadSized(filter, request.data(), (ULONG)request.size(), format);
}

NTSTATUS AudioEngineClient::GetNodeValue(PFILE_OBJECT file, ULONG node, const GUID& set, ULONG id,
                                         LONG channel, void* value, ULONG valueLength,
                                         ULONG* returned)
{
    auto r = NodeRequest(node, set, id, KSPROPERTY_TYPE_GET, channel);
    return Property(file, &r, sizeof(r), value, valueLength, returned);
}

NTSTATUS AudioEngineClient::SetNodeValue(PFILE_OBJECT file, ULONG node, const GUID& set, ULONG id,
                                         LONG channel, const void* value, ULONG valueLength)
{
    auto r = NodeRequest(node, set, id, KSPROPERTY_TYPE_SET, channel);
    std::vector<UCHAR> copy(static_cast<const UCHAR*>(value),
                            static_cast<const UCHAR*>(value) + valueLength);
    return Property(file, &r, sizeof(r), copy.data(), valueLength, nullptr);
}

NTSTATUS AudioEngineClient::NodeBasicSupport(PFILE_OBJECT file, ULONG node, const GUID& set,
                                             ULONG id, void* value, ULONG valueLength,
                                             ULONG* returned)
{
    KSP_NODE r = {};
    r.Property.Set = set;
    r.Property.Id = id;
    r.Property.Flags = KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_TOPOLOGY;
    r.NodeId = node;
    return Property(file, &r, sizeof(r), value, valueLength, returned);
}

NTSTATUS AudioEngineClient::EnableNodeEvent(PFILE_OBJECT file, ULONG node, const GUID& set,
                                            ULONG id, AudioEngineEvent* event)
{
    KeInitializeEvent(&event->Event, NotificationEvent, FALSE);
    event->Data = {};
    event->Data.NotificationType = KSEVENTF_EVENT_OBJECT;
    event->Data.EventObject.Event = &event->Event;
    event->File = file;
    KSE_NODE e = {};
    e.Event.Set = set;
    e.Event.Id = id;
    e.Event.Flags = KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY;
    e.NodeId = node;
    NTSTATUS status = Ioctl(file, IOCTL_KS_ENABLE_EVENT, &e, sizeof(e), &event->Data,
                            sizeof(event->Data), nullptr);
    event->Enabled = NT_SUCCESS(status);
    return status;
}

NTSTATUS AudioEngineClient::DisableEvent(AudioEngineEvent* event)
{
    if (!event->Enabled)
        return STATUS_INVALID_PARAMETER;
    event->Enabled = false;
    return Ioctl(event->File, IOCTL_KS_DISABLE_EVENT, &event->Data, sizeof(event->Data), nullptr, 0,
                 nullptr);
}

NTSTATUS AudioEngineClient::NodeEventSupport(PFILE_OBJECT file, ULONG node, const GUID& set,
                                             ULONG id)
{
    KSE_NODE e = {};
    e.Event.Set = set;
    e.Event.Id = id;
    e.Event.Flags = KSEVENT_TYPE_BASICSUPPORT | KSEVENT_TYPE_TOPOLOGY;
    e.NodeId = node;
    return Ioctl(file, IOCTL_KS_ENABLE_EVENT, &e, sizeof(e), nullptr, 0, nullptr);
}

bool AudioEngineClient::TakeSignal(AudioEngineEvent* event)
{
    return KeResetEvent(&event->Event) != 0;
}

NTSTATUS AudioEngineClient::SetState(PFILE_OBJECT pin, KSSTATE state)
{
    KSPROPERTY p = {};
    p.Set = KSPROPSETID_Connection;
    p.Id = KSPROPERTY_CONNECTION_STATE;
    p.Flags = KSPROPERTY_TYPE_SET;
    ULONG value = state;
    return Property(pin, &p, sizeof(p), &value, sizeof(value), nullptr);
}

NTSTATUS AudioEngineClient::GetState(PFILE_OBJECT pin, KSSTATE* state)
{
    KSPROPERTY p = {};
    p.Set = KSPROPSETID_Connection;
    p.Id = KSPROPERTY_CONNECTION_STATE;
    p.Flags = KSPROPERTY_TYPE_GET;
    ULONG value = 0;
    NTSTATUS status = Property(pin, &p, sizeof(p), &value, sizeof(value), nullptr);
    *state = (KSSTATE)value;
    return status;
}

NTSTATUS AudioEngineClient::SetFormat(PFILE_OBJECT pin, const void* format, ULONG formatLength)
{
    KSPROPERTY p = {};
    p.Set = KSPROPSETID_Connection;
    p.Id = KSPROPERTY_CONNECTION_DATAFORMAT;
    p.Flags = KSPROPERTY_TYPE_SET;
    std::vector<UCHAR> copy(static_cast<const UCHAR*>(format),
                            static_cast<const UCHAR*>(format) + formatLength);
    return Property(pin, &p, sizeof(p), copy.data(), formatLength, nullptr);
}

ULONG AudioEngineClient::Write(PFILE_OBJECT pin, const void* data, ULONG bytes)
{
    ULONG accepted = 0;
    EmuPcPinWrite(pin, data, bytes, &accepted);
    return accepted;
}

ULONG AudioEngineClient::Read(PFILE_OBJECT pin, void* data, ULONG bytes)
{
    ULONG read = 0;
    EmuPcPinRead(pin, data, bytes, &read);
    return read;
}

PcPinStatistics AudioEngineClient::Statistics(PFILE_OBJECT pin)
{
    PcPinStatistics s = {};
    EmuPcPinStatistics(pin, &s);
    return s;
}

void AudioEngineClient::Run(PFILE_OBJECT pin, ULONG ms, std::vector<UCHAR>* source,
                            std::vector<UCHAR>* sink, ULONG stepMs)
{
    if (stepMs == 0)
        stepMs = 1;
    for (ULONG elapsed = 0; elapsed < ms; elapsed += stepMs)
    {
        if (source != nullptr && !source->empty())
        {
            ULONG taken = Write(pin, source->data(), (ULONG)source->size());
            source->erase(source->begin(), source->begin() + taken);
        }
        EmuAdvanceMs(std::min(stepMs, ms - elapsed));
        if (sink != nullptr)
        {
            UCHAR chunk[4096];
            ULONG got;
            while ((got = Read(pin, chunk, sizeof(chunk))) != 0)
                sink->insert(sink->end(), chunk, chunk + got);
        }
    }
}
