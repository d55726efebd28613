#include "framework/stream_engine.h"

#include <new>

#include "framework/callback_object.h"
#include "framework/interface_table.h"

namespace
{
constexpr ULONG kNameBufferBytes = (STREAM_ENGINE_NAME_CHARS + 1) * sizeof(WCHAR);
constexpr ULONG kFormatRecordBytes = sizeof(WAVEFORMATEXTENSIBLE);
// Largest extension of a caller's WAVEFORMATEX that a 40-byte record can hold.
constexpr USHORT kMaxRecordExtension =
    (USHORT)(sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX));

CPtrList* NewList()
{
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(CPtrList), STREAM_ENGINE_POOL_TAG);
    return block != nullptr ? new (block) CPtrList() : nullptr;
}

void FreeList(CPtrList*& list)
{
    if (list != nullptr)
        ExFreePoolWithTag(list, STREAM_ENGINE_POOL_TAG);
    list = nullptr;
}

// The plain format tag of a record: the first 16 bits of its sub-format.
USHORT SubFormatTag(const WAVEFORMATEXTENSIBLE* record)
{
    return (USHORT)(record->SubFormat.Data1 & 0xFFFF);
}

// Render streams to these endpoints offer only their two-channel formats,
// where they have any.
bool IsTwoChannelEndpoint(ULONG kind)
{
    return kind == ENDPOINT_KIND_HP || kind == ENDPOINT_KIND_SPDIF ||
           kind == ENDPOINT_KIND_HEADSET || kind == ENDPOINT_KIND_FHP;
}
} // namespace

CStreamEngine::CStreamEngine(PUNKNOWN outerUnknown, ULONG constructionValue)
    : CUnknown(outerUnknown), m_ConstructionValue(constructionValue), m_Direction(0),
      m_Name(nullptr), m_WavePort(nullptr), m_PortClassId(), m_MiniportFactory(nullptr),
      m_TopologyPort(nullptr), m_TopologyLink(nullptr), m_TopologyPin(0), m_ProcessingList(nullptr),
      m_ControlList(nullptr), m_FormatList(nullptr), m_ClientLists{nullptr, nullptr, nullptr},
      m_StageList2(nullptr), m_StageList3(nullptr), m_TwoChannelFormatList(nullptr),
      m_WorkBuffer(nullptr), m_ChannelBuffers(nullptr), m_SpinLock(0), m_CallbackObject(nullptr),
      m_CurrentWaveFormat()
{
    KeInitializeSpinLock(&m_SpinLock);
}

CStreamEngine::~CStreamEngine()
{
    PAGED_CODE();
    ReleaseNodeList(m_ProcessingList);
    if (m_WorkBuffer != nullptr)
        ExFreePoolWithTag(m_WorkBuffer, STREAM_ENGINE_POOL_TAG);
    m_WorkBuffer = nullptr;
    if (m_ChannelBuffers != nullptr)
    {
        for (ULONG i = 0; i < STREAM_ENGINE_MAX_CHANNELS; ++i)
            if (m_ChannelBuffers[i] != nullptr)
                ExFreePoolWithTag(m_ChannelBuffers[i], STREAM_ENGINE_POOL_TAG);
        ExFreePoolWithTag(m_ChannelBuffers, STREAM_ENGINE_POOL_TAG);
        m_ChannelBuffers = nullptr;
    }
    if (m_ControlList != nullptr)
    {
        PVOID data = nullptr;
        while (m_ControlList->RemoveHead(&data))
            static_cast<CAudioControl*>(data)->Release();
    }
    FreeFormatList(m_FormatList);
    FreeFormatList(m_TwoChannelFormatList);
    // The streaming side takes its clients out; their records are not ours.
    for (CPtrList* clients : m_ClientLists)
    {
        while (clients != nullptr && !clients->IsEmpty())
        {
            LARGE_INTEGER interval;
            interval.QuadPart = -STREAM_ENGINE_DRAIN_WAIT_MS * 10000;
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        }
    }
    ReleaseNodeList(m_StageList2);
    ReleaseNodeList(m_StageList3);
    FreeResources();
    if (m_WavePort != nullptr)
        m_WavePort->Release();
    m_WavePort = nullptr;
    m_TopologyLink = nullptr;
    if (m_TopologyPort != nullptr)
        m_TopologyPort->Release();
    m_TopologyPort = nullptr;
}

// Frees the list headers, the name and the callback object.
void CStreamEngine::FreeResources()
{
    FreeList(m_ProcessingList);
    FreeList(m_ControlList);
    FreeList(m_FormatList);
    FreeList(m_TwoChannelFormatList);
    for (CPtrList*& clients : m_ClientLists)
        FreeList(clients);
    FreeList(m_StageList2);
    FreeList(m_StageList3);
    if (m_Name != nullptr)
        ExFreePoolWithTag(m_Name, STREAM_ENGINE_POOL_TAG);
    m_Name = nullptr;
    if (m_CallbackObject != nullptr)
        ObDereferenceObject(m_CallbackObject);
    m_CallbackObject = nullptr;
}

void CStreamEngine::ReleaseNodeList(CPtrList* list)
{
    if (list == nullptr)
        return;
    PVOID data = nullptr;
    while (list->RemoveHead(&data))
        static_cast<PCHAINNODE>(data)->Release();
}

void CStreamEngine::FreeFormatList(CPtrList* list)
{
    if (list == nullptr)
        return;
    PVOID data = nullptr;
    while (list->RemoveHead(&data))
        ExFreePoolWithTag(data, STREAM_ENGINE_POOL_TAG);
}

NTSTATUS CStreamEngine::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    const ControlInterfaceEntry entries[] = {{&IID_IUnknown, static_cast<IUnknown*>(this)},
                                             {&IID_CStreamEngine, static_cast<IUnknown*>(this)}};
    return AnswerControlInterface(entries, interfaceId, object);
}

NTSTATUS CStreamEngine::OpenStreamEngineCallback(ULONG direction)
{
    PAGED_CODE();
    if (m_ProcessingList != nullptr)
        return STATUS_INVALID_DEVICE_STATE; // opened once only
    m_Direction = direction;
    CPtrList** lists[] = {&m_ProcessingList,       &m_ControlList,    &m_FormatList,
                          &m_TwoChannelFormatList, &m_ClientLists[0], &m_ClientLists[1],
                          &m_ClientLists[2],       &m_StageList2,     &m_StageList3};
    NTSTATUS status = STATUS_SUCCESS;
    for (CPtrList** list : lists)
    {
        *list = NewList();
        if (*list == nullptr)
        {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
    }
    if (NT_SUCCESS(status))
    {
        m_Name = static_cast<PWSTR>(
            ExAllocatePoolWithTag(PagedPool, kNameBufferBytes, STREAM_ENGINE_POOL_TAG));
        if (m_Name == nullptr)
            status = STATUS_INSUFFICIENT_RESOURCES;
        else
            RtlZeroMemory(m_Name, kNameBufferBytes);
    }
    if (NT_SUCCESS(status))
        status = CreateAddressCallbackObject(u"\\Callback\\StreamEngineAddr",
                                             static_cast<IUnknown*>(this), &m_CallbackObject);
    if (!NT_SUCCESS(status))
    {
        FreeResources();
        return status;
    }
    KeInitializeSpinLock(&m_SpinLock);
    return STATUS_SUCCESS;
}

ULONG CStreamEngine::GetDirection()
{
    return m_Direction;
}

ULONG CStreamEngine::GetEndpointKind()
{
    PAGED_CODE();
    if (m_ControlList == nullptr)
        return ENDPOINT_KIND_STREAM;
    ULONG result = ENDPOINT_KIND_STREAM;
    ULONG reports = 0;
    POSITION position = m_ControlList->GetHeadPosition();
    PVOID data = nullptr;
    while (m_ControlList->GetNext(&position, &data))
    {
        auto control = static_cast<CAudioControl*>(data);
        const ULONG kind = control->GetKind();
        if (m_Direction == STREAM_DIRECTION_RENDER)
        {
            if (kind == CONTROL_KIND_LIST)
            {
                POUTPUTTYPECONTROL outputType = nullptr;
                if (NT_SUCCESS(
                        control->QueryInterface(IID_IOutputTypeControl, (PVOID*)&outputType)))
                {
                    // The selected output type decides at once.
                    ULONG current = result;
                    if (NT_SUCCESS(outputType->GetCurrent(&current)))
                        result = current;
                    outputType->Release();
                    return result;
                }
            }
            else if (kind == CONTROL_KIND_OUTPUT_TERMINAL)
            {
                PTERMINALCONTROL terminal = nullptr;
                if (NT_SUCCESS(control->QueryInterface(IID_ITerminalControl, (PVOID*)&terminal)))
                {
                    ULONG current = result;
                    if (NT_SUCCESS(terminal->GetCurrentKind(&current)))
                        result = current;
                    terminal->Release();
                }
            }
        }
        else if (kind == CONTROL_KIND_INPUT_TERMINAL)
        {
            PTERMINALCONTROL terminal = nullptr;
            if (NT_SUCCESS(control->QueryInterface(IID_ITerminalControl, (PVOID*)&terminal)))
            {
                ULONG current = ENDPOINT_KIND_STREAM;
                if (NT_SUCCESS(terminal->GetCurrentKind(&current)) &&
                    current != ENDPOINT_KIND_STREAM)
                {
                    ++reports;
                    result = current;
                }
                terminal->Release();
            }
        }
    }
    if (m_Direction != STREAM_DIRECTION_RENDER && reports > 1)
        return ENDPOINT_KIND_REC; // several inputs mixed into one recording
    return result;
}

NTSTATUS CStreamEngine::SetName(PCWSTR name)
{
    PAGED_CODE();
    if (name == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_Name == nullptr)
        return STATUS_UNSUCCESSFUL;
    size_t bytes = 0;
    // Refuses a name longer than the buffer holds and keeps the old one.
    if (!NT_SUCCESS(RtlStringCbLengthW(name, kNameBufferBytes, &bytes)))
        return STATUS_INVALID_PARAMETER;
    return RtlStringCbPrintfW(m_Name, kNameBufferBytes, u"%s", name);
}

NTSTATUS CStreamEngine::GetName(PWSTR name)
{
    PAGED_CODE();
    if (name == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_Name == nullptr)
    {
        name[0] = 0;
        return STATUS_SUCCESS;
    }
    RtlStringCchPrintfW(name, STREAM_ENGINE_NAME_OUT_CHARS, u"%s", m_Name);
    return STATUS_SUCCESS;
}

// A stream to a two-channel endpoint that has no two-channel format (a
// headset of one earpiece) offers all it has rather than nothing.
CPtrList* CStreamEngine::CurrentFormatList()
{
    if (m_Direction == STREAM_DIRECTION_RENDER && m_TwoChannelFormatList != nullptr &&
        !m_TwoChannelFormatList->IsEmpty() && IsTwoChannelEndpoint(GetEndpointKind()))
        return m_TwoChannelFormatList;
    return m_FormatList;
}

ULONG CStreamEngine::GetFormatCount()
{
    PAGED_CODE();
    CPtrList* list = CurrentFormatList();
    return list != nullptr ? list->GetCount() : 0;
}

NTSTATUS CStreamEngine::GetFormatAt(ULONG index, PWAVEFORMATEXTENSIBLE record)
{
    PAGED_CODE();
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    CPtrList* list = CurrentFormatList();
    if (list == nullptr)
        return STATUS_UNSUCCESSFUL;
    if (index >= list->GetCount())
        return STATUS_INVALID_PARAMETER;
    PVOID data = nullptr;
    if (!list->GetAt((LONG)index, &data) || data == nullptr)
        return STATUS_UNSUCCESSFUL;
    RtlCopyMemory(record, data, kFormatRecordBytes);
    return STATUS_SUCCESS;
}

ULONG CStreamEngine::GetControlCount()
{
    return m_ControlList != nullptr ? m_ControlList->GetCount() : 0;
}

NTSTATUS CStreamEngine::GetControlAt(ULONG index, CAudioControl** control)
{
    if (control == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_ControlList == nullptr)
        return STATUS_UNSUCCESSFUL;
    if (index >= m_ControlList->GetCount())
        return STATUS_INVALID_PARAMETER;
    PVOID data = nullptr;
    if (!m_ControlList->GetAt((LONG)index, &data))
        return STATUS_UNSUCCESSFUL;
    *control = static_cast<CAudioControl*>(data);
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::FindFormat(PWAVEFORMATEX format)
{
    PAGED_CODE();
    if (format == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_FormatList == nullptr || m_FormatList->IsEmpty())
        return STATUS_NO_MATCH;
    const bool extensible = format->wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    // The comparison covers the caller's whole record; a longer one than ours
    // cannot match, and is refused before anything past 40 bytes is read.
    if (extensible && format->cbSize > kMaxRecordExtension)
        return STATUS_NO_MATCH;
    POSITION position = m_FormatList->GetHeadPosition();
    PVOID data = nullptr;
    while (m_FormatList->GetNext(&position, &data))
    {
        auto record = static_cast<const WAVEFORMATEXTENSIBLE*>(data);
        if (record == nullptr)
            continue;
        if (!extensible)
        {
            if (record->Format.nChannels != format->nChannels ||
                record->Format.nSamplesPerSec != format->nSamplesPerSec ||
                record->Format.wBitsPerSample != format->wBitsPerSample ||
                SubFormatTag(record) != format->wFormatTag)
                continue;
            const WORD tag = format->wFormatTag;
            // Completes block alignment and byte rate from the record.
            RtlCopyMemory(format, record, offsetof(WAVEFORMATEX, cbSize));
            format->wFormatTag = tag;
            format->cbSize = 0;
            return STATUS_SUCCESS;
        }
        if (RtlEqualMemory(record, format, sizeof(WAVEFORMATEX) + format->cbSize))
            return STATUS_SUCCESS;
    }
    return STATUS_NO_MATCH;
}

NTSTATUS CStreamEngine::RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context,
                                         PVOID* registration)
{
    return RegisterOnCallbackObject(m_CallbackObject, callback, context, registration);
}

NTSTATUS CStreamEngine::UnregisterCallback(PVOID registration)
{
    return UnregisterFromCallbackObject(registration);
}

NTSTATUS CStreamEngine::PowerChangeState(ULONG)
{
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::AddFormatRecord(const WAVEFORMATEXTENSIBLE* record)
{
    PAGED_CODE();
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_FormatList == nullptr || m_TwoChannelFormatList == nullptr)
        return STATUS_UNSUCCESSFUL;
    void* copy = ExAllocatePoolWithTag(NonPagedPool, kFormatRecordBytes, STREAM_ENGINE_POOL_TAG);
    if (copy == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(copy, record, kFormatRecordBytes);
    if (m_FormatList->AddTail(copy) == nullptr)
    {
        ExFreePoolWithTag(copy, STREAM_ENGINE_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (record->Format.nChannels != 2)
        return STATUS_SUCCESS;
    void* second = ExAllocatePoolWithTag(NonPagedPool, kFormatRecordBytes, STREAM_ENGINE_POOL_TAG);
    if (second == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(second, record, kFormatRecordBytes);
    if (m_TwoChannelFormatList->AddTail(second) == nullptr)
    {
        ExFreePoolWithTag(second, STREAM_ENGINE_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::AddPathControl(CAudioControl* control)
{
    PAGED_CODE();
    if (control == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_ControlList == nullptr)
        return STATUS_UNSUCCESSFUL;
    const ULONG id = control->GetId();
    POSITION position = m_ControlList->GetHeadPosition();
    PVOID data = nullptr;
    while (m_ControlList->GetNext(&position, &data))
        if (static_cast<CAudioControl*>(data)->GetId() == id)
            return STATUS_SUCCESS; // the first control with an id stays
    control->AddRef();
    POSITION listed = m_ControlList->AddTail(control);
    if (listed == nullptr)
    {
        control->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PCHAINNODE node = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    if (NT_SUCCESS(control->QueryInterface(IID_IChainNode, (PVOID*)&node)))
    {
        status = AddProcessingNode(node);
        node->Release();
    }
    // A control whose processing never runs would answer for nothing.
    if (!NT_SUCCESS(status))
    {
        m_ControlList->RemoveAt(listed);
        control->Release();
    }
    return status;
}

NTSTATUS CStreamEngine::AddProcessingNode(PCHAINNODE node)
{
    PAGED_CODE();
    if (node == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_ProcessingList == nullptr)
        return STATUS_UNSUCCESSFUL;
    node->AddRef();
    if (m_ProcessingList->AddTail(node) == nullptr)
    {
        node->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::AllocateStreamBuffers()
{
    PAGED_CODE();
    if (m_WorkBuffer == nullptr)
    {
        m_WorkBuffer = static_cast<float*>(ExAllocatePoolWithTag(
            NonPagedPool, STREAM_ENGINE_WORK_BUFFER_BYTES, STREAM_ENGINE_POOL_TAG));
        if (m_WorkBuffer == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (m_ChannelBuffers == nullptr)
    {
        const SIZE_T bytes = STREAM_ENGINE_MAX_CHANNELS * sizeof(float*);
        m_ChannelBuffers = static_cast<float**>(
            ExAllocatePoolWithTag(NonPagedPool, bytes, STREAM_ENGINE_POOL_TAG));
        if (m_ChannelBuffers == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(m_ChannelBuffers, bytes);
    }
    for (ULONG i = 0; i < STREAM_ENGINE_MAX_CHANNELS; ++i)
    {
        if (m_ChannelBuffers[i] != nullptr)
            continue;
        m_ChannelBuffers[i] = static_cast<float*>(ExAllocatePoolWithTag(
            NonPagedPool, STREAM_ENGINE_CHANNEL_BUFFER_BYTES, STREAM_ENGINE_POOL_TAG));
        if (m_ChannelBuffers[i] == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES; // a later call fills the gap
    }
    return STATUS_SUCCESS;
}
