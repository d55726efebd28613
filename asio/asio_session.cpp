#include "asio/asio_session.h"

#include "asio/asio_host.h"
#include "framework/registry_settings.h"
#include "framework/stream_engine.h"
#include "platform/usb/usbdlib.h"

namespace
{
constexpr char c_FixedName[] = "Lintra USB ASIO Device";
constexpr ULONG c_NameDescriptorBytes = 256;
constexpr USHORT c_LanguageEnUs = 0x0409;

void PutValue(PVOID buffer, ULONG index, ULONG value)
{
    RtlCopyMemory(static_cast<PUCHAR>(buffer) + 4 * index, &value, sizeof(value));
}

ULONG GetValue(const void* buffer)
{
    ULONG value = 0;
    RtlCopyMemory(&value, buffer, sizeof(value));
    return value;
}

// A user event handle referenced for the kernel (modify-state, user mode).
NTSTATUS ReferenceUserEvent(HANDLE handle, PKEVENT* event)
{
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType,
                                                UserMode, &object, nullptr);
    *event = NT_SUCCESS(status) ? static_cast<PKEVENT>(object) : nullptr;
    return status;
}

// "%ws_%02d ch" within 32 bytes; wide characters outside ASCII become '?'.
void FormatChannelName(PCWSTR engineName, ULONG channel, PCHAR name)
{
    ULONG at = 0;
    const ULONG room = ASIO_CHANNEL_NAME_BYTES - 1;
    for (ULONG i = 0; engineName != nullptr && engineName[i] != 0 && at < room; ++i)
        name[at++] = engineName[i] < 0x80 ? (CHAR)engineName[i] : '?';
    CHAR tail[16];
    RtlStringCbPrintfA(tail, sizeof(tail), "_%02u ch", channel % 100);
    for (ULONG i = 0; tail[i] != 0 && at < room; ++i)
        name[at++] = tail[i];
    name[at] = 0;
}
} // namespace

CAsioSession::CAsioSession(CAsioHost* adapter) : m_Adapter(adapter), m_Rings(adapter)
{
    InitializeListHead(&m_Clients);
}

CAsioSession::~CAsioSession()
{
    LeaveProcessWatch();
    while (!IsListEmpty(&m_Clients))
    {
        auto record = CONTAINING_RECORD(RemoveHeadList(&m_Clients), AsioClientRecord, Links);
        ReleaseEvent(&record->SettingsEvent);
        ReleaseEvent(&record->BufferSwitchEvent);
        ExFreePoolWithTag(record, ASIO_POOL_TAG);
    }
    m_Rings.Free();
}

NTSTATUS CAsioSession::Configure(ULONG engines)
{
    NTSTATUS status = m_Rings.Allocate(engines);
    if (!NT_SUCCESS(status))
        return status;
    // Stored values are checked where they are used, as a client's are.
    m_SampleType = ASIO_DEFAULT_SAMPLE_TYPE;
    m_LatencyIndex = ASIO_DEFAULT_LATENCY_INDEX;
    m_SampleRate = ASIO_DEFAULT_SAMPLE_RATE;
    PDEVICE_OBJECT device = m_Adapter->GetDeviceObject();
    RegistryBinarySetting(device, SETTINGS_READ, &m_SampleType, sizeof(ULONG),
                          u"ASIOMLDataBitDepth");
    RegistryBinarySetting(device, SETTINGS_READ, &m_LatencyIndex, sizeof(ULONG),
                          u"ASIOMLDataLatency");
    RegistryBinarySetting(device, SETTINGS_READ, &m_SampleRate, sizeof(ULONG), u"ASIOMLSampleRate");
    return STATUS_SUCCESS;
}

AsioClientRecord* CAsioSession::FindClient(PFILE_OBJECT fileObject)
{
    for (PLIST_ENTRY e = m_Clients.Flink; e != &m_Clients; e = e->Flink)
    {
        auto record = CONTAINING_RECORD(e, AsioClientRecord, Links);
        if (record->FileObject == fileObject)
            return record;
    }
    return nullptr;
}

void CAsioSession::ReleaseEvent(PKEVENT* event)
{
    if (*event != nullptr)
        ObDereferenceObject(*event);
    *event = nullptr;
}

void CAsioSession::SignalClients()
{
    for (PLIST_ENTRY e = m_Clients.Flink; e != &m_Clients; e = e->Flink)
    {
        auto record = CONTAINING_RECORD(e, AsioClientRecord, Links);
        if (record->SettingsEvent != nullptr)
            KeSetEvent(record->SettingsEvent, 8, FALSE);
    }
}

void CAsioSession::WriteSetting(PVOID value, PCWSTR name)
{
    RegistryBinarySetting(m_Adapter->GetDeviceObject(), SETTINGS_WRITE, value, sizeof(ULONG), name);
}

AsioRingSettings CAsioSession::RingSettings() const
{
    // Mapped rings keep the settings they were built for, whatever another
    // client sets meanwhile.
    if (m_Rings.IsMapped())
        return m_Rings.GetSettings();
    return {m_Owner != nullptr ? m_Owner->Mode : ASIO_MODE_PCM, m_SampleRate, m_SampleType};
}

ULONG CAsioSession::AsioEngineCount()
{
    ULONG count = 0;
    for (ULONG i = 0; i < m_Adapter->GetEngineCount(); ++i)
    {
        EndpointCapabilities caps = {};
        if (NT_SUCCESS(m_Adapter->GetStreamCapabilities(i, &caps)) &&
            (caps.ThirdValue & ENDPOINT_CAPS_ASIO_STREAM) != 0)
            ++count;
    }
    return count;
}

bool CAsioSession::EnginesPlay(ULONG mode, ULONG rate)
{
    for (ULONG i = 0; i < m_Adapter->GetEngineCount(); ++i)
    {
        EndpointCapabilities caps = {};
        CStreamEngine* engine = nullptr;
        if (!NT_SUCCESS(m_Adapter->GetStreamCapabilities(i, &caps)) ||
            (caps.ThirdValue & ENDPOINT_CAPS_ASIO_STREAM) == 0)
            continue;
        if (!NT_SUCCESS(m_Adapter->GetEngine(i, &engine)) || engine == nullptr)
            return false;
        bool plays = false;
        for (ULONG f = 0; f < engine->GetFormatCount() && !plays; ++f)
        {
            WAVEFORMATEXTENSIBLE format = {};
            plays = NT_SUCCESS(engine->GetFormatAt(f, &format)) &&
                    AsioFormatPlaysRate(format, mode, rate);
        }
        if (!plays)
            return false;
    }
    return true;
}

// ----------------------------------------------------------------------------
// Clients

NTSTATUS CAsioSession::OpenClient(PFILE_OBJECT fileObject)
{
    auto record = static_cast<AsioClientRecord*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(AsioClientRecord), ASIO_POOL_TAG));
    if (record == nullptr)
        return STATUS_UNSUCCESSFUL;
    RtlZeroMemory(record, sizeof(*record));
    record->FileObject = fileObject;
    record->SampleType = m_SampleType;
    record->LatencyIndex = m_LatencyIndex;
    record->SampleRate = m_SampleRate;
    record->Mode = ASIO_MODE_PCM;
    InsertTailList(&m_Clients, &record->Links);
    return STATUS_SUCCESS;
}

void CAsioSession::CloseAllClients()
{
    while (!IsListEmpty(&m_Clients))
        CloseClient(CONTAINING_RECORD(m_Clients.Flink, AsioClientRecord, Links)->FileObject);
}

NTSTATUS CAsioSession::CloseClient(PFILE_OBJECT fileObject)
{
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr)
        return STATUS_UNSUCCESSFUL;
    // A close may come from any process: the rings go with their owner all
    // the same (they unmap in the process that mapped them).
    if (record->Mapped != 0)
    {
        StopOwnerStreams();
        ReleaseRings(record);
    }
    if (m_Owner == record)
    {
        // The next D0 must not restart rings that are gone.
        m_Owner = nullptr;
        m_PowerDownMark = false;
    }
    ReleaseEvent(&record->SettingsEvent);
    RemoveEntryList(&record->Links);
    ExFreePoolWithTag(record, ASIO_POOL_TAG);
    return STATUS_SUCCESS;
}

NTSTATUS CAsioSession::SetSettingsEvent(PFILE_OBJECT fileObject, PHANDLE userEvent)
{
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr || userEvent == nullptr || record->SettingsEvent != nullptr)
        return STATUS_INVALID_PARAMETER;
    return ReferenceUserEvent(*userEvent, &record->SettingsEvent);
}

NTSTATUS CAsioSession::ReleaseSettingsEvent(PFILE_OBJECT fileObject)
{
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    ReleaseEvent(&record->SettingsEvent);
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// Queries

NTSTATUS CAsioSession::ReadProductName(PSTR name, ULONG room, ULONG* length)
{
    const UCHAR index = m_Adapter->GetProductIndex();
    if (index == 0)
        return STATUS_NOT_FOUND;
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) + c_NameDescriptorBytes,
        ASIO_POOL_TAG));
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) + c_NameDescriptorBytes);
    auto text = reinterpret_cast<PUCHAR>(urb) + sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, index, c_LanguageEnUs, text, nullptr,
                                 c_NameDescriptorBytes, nullptr);
    NTSTATUS status = m_Adapter->SubmitUrbSync(urb);
    if (NT_SUCCESS(status))
    {
        // The descriptor's own length, within what arrived.
        ULONG bytes = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (bytes > text[0])
            bytes = text[0];
        ULONG chars = bytes >= 2 ? (bytes - 2) / 2 : 0;
        while (chars > 0 && text[2 + 2 * (chars - 1)] == ' ' && text[3 + 2 * (chars - 1)] == 0)
            --chars;
        *length = chars + 1;
        if (chars + 1 > room)
            status = STATUS_BUFFER_TOO_SMALL;
        else
        {
            for (ULONG i = 0; i < chars; ++i)
            {
                const USHORT c = (USHORT)(text[2 + 2 * i] | (text[3 + 2 * i] << 8));
                name[i] = c < 0x80 ? (CHAR)c : '?';
            }
            name[chars] = 0;
        }
    }
    ExFreePoolWithTag(urb, ASIO_POOL_TAG);
    return status;
}

NTSTATUS CAsioSession::GetDeviceName(PFILE_OBJECT fileObject, PVOID buffer, PULONG outputLength)
{
    if (FindClient(fileObject) == nullptr)
        return STATUS_INVALID_PARAMETER;
    CHAR name[c_NameDescriptorBytes / 2];
    ULONG length = 0;
    NTSTATUS status = ReadProductName(name, sizeof(name), &length);
    if (!NT_SUCCESS(status))
    {
        RtlCopyMemory(name, c_FixedName, sizeof(c_FixedName));
        length = sizeof(c_FixedName);
    }
    if (*outputLength == 0 || buffer == nullptr)
    {
        *outputLength = length;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (length > *outputLength)
    {
        if (NT_SUCCESS(status))
            return STATUS_BUFFER_TOO_SMALL;
        // The fixed name is cut to fit.
        length = *outputLength;
        name[length - 1] = 0;
    }
    RtlCopyMemory(buffer, name, length);
    *outputLength = length;
    return STATUS_SUCCESS;
}

NTSTATUS CAsioSession::GetChannelCounts(PFILE_OBJECT fileObject, PVOID buffer, ULONG outputLength)
{
    if (FindClient(fileObject) == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (buffer == nullptr || outputLength < ASIO_CHANNEL_COUNTS_BYTES)
        return STATUS_BUFFER_TOO_SMALL;
    ULONG counts[4] = {};
    for (ULONG i = 0; i < m_Rings.GetCount(); ++i)
    {
        ULONG channels = 0, isInput = 0;
        if (!m_Rings.DescribeEngine(i, ASIO_MODE_PCM, &channels, &isInput))
            continue;
        ++counts[0];
        counts[isInput != 0 ? 1 : 2] += channels;
    }
    RtlCopyMemory(buffer, counts, sizeof(counts));
    return STATUS_SUCCESS;
}

NTSTATUS CAsioSession::GetChannelInfo(PFILE_OBJECT fileObject, PVOID buffer, ULONG outputLength)
{
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (buffer == nullptr || outputLength < ASIO_CHANNEL_INFO_BYTES)
        return STATUS_BUFFER_TOO_SMALL;
    const ULONG wanted = GetValue(buffer);
    const ULONG wantInput = GetValue(static_cast<PUCHAR>(buffer) + 4) != 0 ? 1 : 0;
    ULONG first = 0;
    for (ULONG i = 0; i < m_Rings.GetCount(); ++i)
    {
        ULONG channels = 0, isInput = 0;
        if (!m_Rings.DescribeEngine(i, record->Mode, &channels, &isInput) || isInput != wantInput)
            continue;
        if (wanted < first + channels)
        {
            CStreamEngine* engine = nullptr;
            WCHAR engineName[STREAM_ENGINE_NAME_OUT_CHARS] = {};
            if (NT_SUCCESS(m_Adapter->GetEngine(i, &engine)) && engine != nullptr)
                engine->GetName(engineName);
            engineName[STREAM_ENGINE_NAME_OUT_CHARS - 1] = 0;
            PutValue(buffer, 2, m_Owner != nullptr && m_Owner->Mapped != 0 ? 1 : 0);
            PutValue(buffer, 3, 0);
            PutValue(buffer, 4,
                     record->Mode == ASIO_MODE_DSD ? ASIO_SAMPLE_TYPE_DSD : m_SampleType);
            FormatChannelName(engineName, wanted - first, static_cast<PCHAR>(buffer) + 20);
            return STATUS_SUCCESS;
        }
        first += channels;
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CAsioSession::GetOwnerState(PFILE_OBJECT fileObject, PVOID buffer)
{
    if (FindClient(fileObject) == nullptr)
        return STATUS_INVALID_PARAMETER;
    PutValue(buffer, 0, m_Owner != nullptr ? 1 : 0);
    return STATUS_SUCCESS;
}

NTSTATUS CAsioSession::GetSampleTypes(PFILE_OBJECT fileObject, PVOID buffer, PULONG outputLength)
{
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    ULONG offered[sizeof(ASIO_OFFERED_TYPES) / sizeof(ULONG)];
    ULONG n = 0;
    if (AsioEngineCount() != 0)
        for (ULONG type : ASIO_OFFERED_TYPES)
            if (m_Rings.EnginesOfferType(type))
                offered[n++] = type;
    const ULONG bytes = 8 + 4 * n;
    if (*outputLength == 0 || buffer == nullptr)
    {
        *outputLength = bytes;
        return AsioEngineCount() != 0 ? STATUS_BUFFER_OVERFLOW : STATUS_INVALID_PARAMETER;
    }
    // Written only within the output.
    if (*outputLength < bytes)
        return STATUS_BUFFER_TOO_SMALL;
    record->SampleType = m_SampleType;
    PutValue(buffer, 0, m_SampleType);
    PutValue(buffer, 1, n);
    for (ULONG i = 0; i < n; ++i)
        PutValue(buffer, 2 + i, offered[i]);
    *outputLength = bytes;
    return STATUS_SUCCESS;
}

NTSTATUS CAsioSession::GetLatencyTable(PFILE_OBJECT fileObject, PVOID buffer, PULONG outputLength)
{
    if (FindClient(fileObject) == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (*outputLength == 0 || buffer == nullptr)
    {
        *outputLength = ASIO_LATENCY_TABLE_BYTES;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (*outputLength < ASIO_LATENCY_TABLE_BYTES)
        return STATUS_BUFFER_TOO_SMALL;
    PutValue(buffer, 0, m_LatencyIndex);
    PutValue(buffer, 1, ASIO_LATENCY_STEPS);
    for (ULONG i = 0; i < ASIO_LATENCY_STEPS; ++i)
        PutValue(buffer, 2 + i, ASIO_LATENCY_MS[i]);
    return STATUS_SUCCESS;
}

NTSTATUS CAsioSession::GetLatencies(PFILE_OBJECT fileObject, PVOID buffer)
{
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    ULONG latencies[2];
    if (!AsioLatencies(record->Mode, m_SampleRate, m_LatencyIndex, latencies))
        return STATUS_INVALID_PARAMETER;
    record->LatencyIndex = m_LatencyIndex;
    RtlCopyMemory(buffer, latencies, sizeof(latencies));
    return STATUS_SUCCESS;
}

NTSTATUS CAsioSession::GetSampleRate(PFILE_OBJECT fileObject, PVOID buffer)
{
    if (FindClient(fileObject) == nullptr)
        return STATUS_INVALID_PARAMETER;
    PutValue(buffer, 0, m_SampleRate);
    return STATUS_SUCCESS;
}

NTSTATUS CAsioSession::GetBufferSize(PFILE_OBJECT fileObject, PVOID buffer)
{
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    ULONG sizes[4];
    NTSTATUS status = AsioBufferSizes(record->Mode, m_SampleRate, m_LatencyIndex, sizes);
    if (NT_SUCCESS(status))
        RtlCopyMemory(buffer, sizes, sizeof(sizes));
    return status;
}

NTSTATUS CAsioSession::GetMode(PFILE_OBJECT fileObject, PVOID buffer)
{
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    PutValue(buffer, 0, record->Mode);
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// Settings

NTSTATUS CAsioSession::SetSampleType(PFILE_OBJECT fileObject, ULONG sampleType)
{
    const AsioSampleTypeInfo* info = FindAsioSampleType(sampleType);
    const bool valid = info != nullptr && sampleType != ASIO_SAMPLE_TYPE_DSD;
    // A type no engine plays would only fail the next start.
    if (valid && FindClient(fileObject) != nullptr && !m_Rings.EnginesOfferType(sampleType))
        return STATUS_UNSUCCESSFUL;
    return StoreSetting(fileObject, valid, &AsioClientRecord::SampleType, &m_SampleType, sampleType,
                        u"ASIOMLDataBitDepth");
}

NTSTATUS CAsioSession::SetLatency(PFILE_OBJECT fileObject, ULONG latencyIndex)
{
    return StoreSetting(fileObject, latencyIndex < ASIO_LATENCY_STEPS,
                        &AsioClientRecord::LatencyIndex, &m_LatencyIndex, latencyIndex,
                        u"ASIOMLDataLatency");
}

// A checked setting into the client and the adapter, written to "Settings"
// and announced to every client.
NTSTATUS CAsioSession::StoreSetting(PFILE_OBJECT fileObject, bool valid,
                                    ULONG AsioClientRecord::*clientField, ULONG* adapterField,
                                    ULONG value, PCWSTR name)
{
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr || !valid)
        return STATUS_INVALID_PARAMETER;
    record->*clientField = value;
    *adapterField = value;
    WriteSetting(adapterField, name);
    SignalClients();
    return STATUS_SUCCESS;
}

NTSTATUS CAsioSession::CanSampleRate(PFILE_OBJECT fileObject, PVOID buffer)
{
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    return EnginesPlay(record->Mode, GetValue(buffer)) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CAsioSession::SetSampleRate(PFILE_OBJECT fileObject, PVOID buffer)
{
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    ULONG rate = GetValue(buffer);
    if (!AsioModeFitsRate(record->Mode, rate))
        return STATUS_INVALID_PARAMETER;
    if (!EnginesPlay(record->Mode, rate))
        return STATUS_UNSUCCESSFUL;
    if (record->Mapped == 0)
        record->SampleRate = rate;
    m_SampleRate = rate;
    WriteSetting(&m_SampleRate, u"ASIOMLSampleRate");
    // Whoever sets it, the owner's stream no longer matches: every client hears.
    SignalClients();
    return STATUS_SUCCESS;
}

NTSTATUS CAsioSession::CheckMode(PFILE_OBJECT fileObject, PVOID buffer)
{
    if (FindClient(fileObject) == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ULONG mode = GetValue(buffer);
    if (mode != ASIO_MODE_PCM && mode != ASIO_MODE_DSD)
        return STATUS_INVALID_PARAMETER;
    return m_Rings.EnginesOfferMode(mode) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CAsioSession::SetMode(PFILE_OBJECT fileObject, PVOID buffer)
{
    NTSTATUS status = CheckMode(fileObject, buffer);
    if (NT_SUCCESS(status))
        FindClient(fileObject)->Mode = GetValue(buffer);
    return status;
}
