// The clients of a stream: registration, the opened and started lists
// ordered by kind, and the choice of the client the stream is prepared for
// (head of the opened list) and runs for (head of the started list).
#include "streaming/usb/usb_audio_stream.h"

#include "framework/callback_object.h"

namespace
{
constexpr ULONG c_Registered = 0;
constexpr ULONG c_Opened = 1;
constexpr ULONG c_Started = 2;

bool HandsNode(const StreamClient* client)
{
    return client->Kind == STREAM_CLIENT_KIND_NODE_LATE ||
           client->Kind == STREAM_CLIENT_KIND_NODE_EARLY;
}

// The bytes of a caller's format that a 40-byte record can take.
ULONG FormatCopyBytes(const WAVEFORMATEX* format)
{
    if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE)
        return sizeof(WAVEFORMATEX);
    const ULONG extension =
        format->cbSize < WAVEFORMATEXTENSIBLE_EXTRA ? format->cbSize : WAVEFORMATEXTENSIBLE_EXTRA;
    return sizeof(WAVEFORMATEX) + extension;
}

// Holds the stream lock for one client operation.
class StreamLockHolder
{
  public:
    explicit StreamLockHolder(CSyncMutex& lock) : m_Lock(lock) { m_Lock.Lock(); }
    ~StreamLockHolder() { m_Lock.Unlock(); }
    StreamLockHolder(const StreamLockHolder&) = delete;
    StreamLockHolder& operator=(const StreamLockHolder&) = delete;

  private:
    CSyncMutex& m_Lock;
};
} // namespace

// ----------------------------------------------------------------------------
// Lists, each changed and walked under the engine's spin lock

PSTREAMCLIENT CUsbAudioStream::FindClient(ULONG list, PVOID key, POSITION* position)
{
    PSTREAMCLIENT found = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    CPtrList* clients = m_ClientLists[list];
    POSITION walk = clients != nullptr ? clients->GetHeadPosition() : nullptr;
    while (walk != nullptr && found == nullptr)
    {
        POSITION here = walk;
        PVOID data = nullptr;
        clients->GetNext(&walk, &data);
        auto client = static_cast<PSTREAMCLIENT>(data);
        if (client != nullptr && key != nullptr && client->Registration == key)
        {
            found = client;
            if (position != nullptr)
                *position = here;
        }
    }
    KeReleaseSpinLock(&m_SpinLock, irql);
    return found;
}

PSTREAMCLIENT CUsbAudioStream::ListHead(ULONG list)
{
    PVOID data = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    if (m_ClientLists[list] == nullptr || !m_ClientLists[list]->GetHeadData(&data))
        data = nullptr;
    KeReleaseSpinLock(&m_SpinLock, irql);
    return static_cast<PSTREAMCLIENT>(data);
}

// Before the first client of a lower kind, else at the tail; one per kind.
BOOLEAN CUsbAudioStream::InsertByKind(ULONG list, PSTREAMCLIENT client)
{
    BOOLEAN inserted = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    CPtrList* clients = m_ClientLists[list];
    POSITION walk = clients != nullptr ? clients->GetHeadPosition() : nullptr;
    POSITION before = nullptr;
    bool sameKind = false;
    while (walk != nullptr && before == nullptr && !sameKind)
    {
        POSITION here = walk;
        PVOID data = nullptr;
        clients->GetNext(&walk, &data);
        const ULONGLONG kind = static_cast<PSTREAMCLIENT>(data)->Kind;
        sameKind = kind == client->Kind;
        if (kind < client->Kind)
            before = here;
    }
    if (clients != nullptr && !sameKind)
        inserted = clients->InsertBefore(before, client) != nullptr;
    KeReleaseSpinLock(&m_SpinLock, irql);
    return inserted;
}

BOOLEAN CUsbAudioStream::MoveClient(ULONG from, ULONG to, PVOID key, PSTREAMCLIENT* client)
{
    POSITION position = nullptr;
    PSTREAMCLIENT found = FindClient(from, key, &position);
    if (found == nullptr)
        return FALSE;
    BOOLEAN added =
        to == c_Registered ? m_ClientLists[to]->AddTail(found) != nullptr : InsertByKind(to, found);
    if (!added)
        return FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    m_ClientLists[from]->RemoveAt(position);
    KeReleaseSpinLock(&m_SpinLock, irql);
    *client = found;
    return TRUE;
}

void CUsbAudioStream::FreeClient(PSTREAMCLIENT client)
{
    if (client->Registration != nullptr)
        UnregisterFromCallbackObject(client->Registration);
    ExFreePoolWithTag(client, USB_STREAM_POOL_TAG);
}

CPtrList* CUsbAudioStream::NodeListFor(PSTREAMCLIENT client)
{
    const bool late = client->Kind == STREAM_CLIENT_KIND_NODE_LATE;
    const bool render = m_Direction == STREAM_DIRECTION_RENDER;
    return late == render ? m_StageList3 : m_StageList2;
}

void CUsbAudioStream::AddNode(PSTREAMCLIENT client, PCHAINNODE node)
{
    if (node == nullptr || !HandsNode(client))
        return;
    CPtrList* list = NodeListFor(client);
    node->AddRef();
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    const bool added = list != nullptr && list->AddTail(node) != nullptr;
    KeReleaseSpinLock(&m_SpinLock, irql);
    if (!added)
        node->Release();
}

NTSTATUS CUsbAudioStream::RemoveNode(PSTREAMCLIENT client, PCHAINNODE node)
{
    if (!HandsNode(client))
        return STATUS_INVALID_PARAMETER;
    CPtrList* list = NodeListFor(client);
    bool removed = false;
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    POSITION walk = list != nullptr ? list->GetHeadPosition() : nullptr;
    while (walk != nullptr && !removed)
    {
        POSITION here = walk;
        PVOID data = nullptr;
        list->GetNext(&walk, &data);
        if (data == node)
        {
            list->RemoveAt(here);
            removed = true;
        }
    }
    KeReleaseSpinLock(&m_SpinLock, irql);
    if (removed)
        node->Release();
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// Changes of the prepared and the active client

NTSTATUS CUsbAudioStream::Reprepare(PSTREAMCLIENT client, PULONG frameNumber)
{
    if (m_StreamState == USB_STREAM_RUNNING)
        StopStream();
    if (m_StreamState == USB_STREAM_PREPARED)
        UnprepareStream();
    m_PreparedClient = nullptr;
    NTSTATUS status = PrepareStream(client, frameNumber);
    if (!NT_SUCCESS(status))
        return status;
    m_PreparedClient = client;
    m_CurrentWaveFormat = client->Format;
    return STATUS_SUCCESS;
}

// Runs the stream for `client`. Buffers prepared for another client's format
// are never started: the stream is prepared again first. A start frame of 0
// starts a few frames after the preparation (or now).
NTSTATUS CUsbAudioStream::SwitchActiveClient(PSTREAMCLIENT client, ULONG startFrame,
                                             BOOLEAN frameFromPrepare)
{
    if (m_StreamState == USB_STREAM_RUNNING)
        StopStream();
    ULONG frame = 0;
    bool prepared = false;
    if (m_PreparedClient != client || m_StreamState != USB_STREAM_PREPARED)
    {
        NTSTATUS status = Reprepare(client, &frame);
        if (!NT_SUCCESS(status))
            return status;
        prepared = true;
    }
    if (!prepared)
        frame = QueryCurrentFrameNumber();
    // A frame the client named before a new preparation may have passed.
    if (frameFromPrepare ||
        (prepared && (LONG)(startFrame - frame) < (LONG)USB_STREAM_START_LEAD_FRAMES))
        startFrame = frame + USB_STREAM_SWITCH_LEAD_FRAMES;
    m_ActiveClient = client;
    m_CurrentWaveFormat = client->Format;
    NotifyStart(client, TRUE);
    client->Started = 1;
    return StartStream(startFrame, TRUE);
}

// After the opened list changed: the stream is prepared for its head, and a
// head that is the started active client gets its stream back.
NTSTATUS CUsbAudioStream::RestartHeadIfStarted()
{
    PSTREAMCLIENT head = ListHead(c_Opened);
    if (head == nullptr)
    {
        if (m_StreamState == USB_STREAM_PREPARED)
            UnprepareStream();
        m_PreparedClient = nullptr;
        return STATUS_SUCCESS;
    }
    if (m_StreamState == USB_STREAM_RUNNING)
        return STATUS_SUCCESS;
    if (head == m_ActiveClient && head->Started)
        return SwitchActiveClient(head, 0, TRUE);
    if (head == m_PreparedClient && m_StreamState == USB_STREAM_PREPARED)
        return STATUS_SUCCESS;
    ULONG frame = 0;
    return Reprepare(head, &frame);
}

void CUsbAudioStream::RestartAfterFailedSwitch(PSTREAMCLIENT previous)
{
    if (m_StreamState == USB_STREAM_PREPARED)
        UnprepareStream();
    m_PreparedClient = nullptr;
    m_ActiveClient = previous;
    if (previous == nullptr)
        return;
    // The previous client keeps its stream: prepared for its format again,
    // told of the change and started.
    if (!NT_SUCCESS(SwitchActiveClient(previous, 0, TRUE)))
        NotifyStart(previous, TRUE);
}

// ----------------------------------------------------------------------------
// IUsbStreamControl

NTSTATUS CUsbAudioStream::RegisterClient(ULONG kind, PWAVEFORMATEX format, ULONG msPerUrb,
                                         ULONG urbCount, PCALLBACK_FUNCTION callback,
                                         PVOID callbackContext, PSTREAMCLIENT* client)
{
    PAGED_CODE();
    if (client == nullptr || format == nullptr || callback == nullptr)
        return STATUS_INVALID_PARAMETER;
    *client = nullptr;
    // A URB of no frames carries nothing and paces nothing.
    if (msPerUrb == 0)
        return STATUS_INVALID_PARAMETER;
    StreamLockHolder hold(m_StreamLock);
    WAVEFORMATEXTENSIBLE copy = {};
    RtlCopyMemory(&copy, format, FormatCopyBytes(format));
    NTSTATUS status = FindFormat(&copy.Format);
    if (!NT_SUCCESS(status))
        return status;
    if (m_CyclicControl == nullptr)
        return STATUS_UNSUCCESSFUL;
    auto record = static_cast<PSTREAMCLIENT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamClient), USB_STREAM_POOL_TAG));
    if (record == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(record, sizeof(*record));
    record->Kind = kind;
    record->MsPerUrb = msPerUrb;
    record->UrbCount =
        urbCount < 1 ? 1 : (urbCount > USB_STREAM_MAX_URBS ? USB_STREAM_MAX_URBS : urbCount);
    record->Format = copy;
    record->Direction = m_Direction;
    if (!NT_SUCCESS(RegisterOnCallbackObject(m_CyclicControl, callback, callbackContext,
                                             &record->Registration)) ||
        m_ClientLists[c_Registered]->AddTail(record) == nullptr)
    {
        FreeClient(record);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *client = record;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::UnregisterClient(PVOID key)
{
    PAGED_CODE();
    StreamLockHolder hold(m_StreamLock);
    POSITION position = nullptr;
    PSTREAMCLIENT client = FindClient(c_Registered, key, &position);
    if (client == nullptr)
        return STATUS_UNSUCCESSFUL;
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    m_ClientLists[c_Registered]->RemoveAt(position);
    KeReleaseSpinLock(&m_SpinLock, irql);
    FreeClient(client);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::OpenClient(PVOID key, PULONG msPerUrb, PULONG startFrame)
{
    PAGED_CODE();
    if (msPerUrb == nullptr || startFrame == nullptr)
        return STATUS_INVALID_PARAMETER;
    StreamLockHolder hold(m_StreamLock);
    PSTREAMCLIENT client = nullptr;
    if (!MoveClient(c_Registered, c_Opened, key, &client))
        return STATUS_INVALID_PARAMETER;
    PSTREAMCLIENT head = ListHead(c_Opened);
    ULONG frame = 0;
    if (head != m_PreparedClient)
    {
        NTSTATUS status = Reprepare(head, &frame);
        if (!NT_SUCCESS(status))
        {
            PSTREAMCLIENT back = nullptr;
            MoveClient(c_Opened, c_Registered, key, &back);
            // The previous head was stopped for this client: it gets its
            // stream back.
            RestartHeadIfStarted();
            return status;
        }
    }
    else
        frame = QueryCurrentFrameNumber();
    *msPerUrb = m_PreparedClient->MsPerUrb;
    *startFrame = frame;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::StartClient(PVOID key, ULONG startFrame, PULONG msPerUrb, PCHAINNODE node)
{
    PAGED_CODE();
    if (msPerUrb == nullptr)
        return STATUS_INVALID_PARAMETER;
    StreamLockHolder hold(m_StreamLock);
    PSTREAMCLIENT client = FindClient(c_Opened, key, nullptr);
    if (m_StreamState == USB_STREAM_CLOSED || client == nullptr ||
        FindClient(c_Started, key, nullptr) != nullptr || !InsertByKind(c_Started, client))
        return STATUS_INVALID_PARAMETER;
    PSTREAMCLIENT head = ListHead(c_Started);
    if (head == m_ActiveClient)
    {
        NotifyStart(m_ActiveClient, FALSE);
        client->Started = 1;
    }
    else
    {
        PSTREAMCLIENT previous = m_ActiveClient;
        NTSTATUS status = SwitchActiveClient(head, startFrame, FALSE);
        if (!NT_SUCCESS(status))
        {
            POSITION position = nullptr;
            if (FindClient(c_Started, key, &position) != nullptr)
            {
                KIRQL irql;
                KeAcquireSpinLock(&m_SpinLock, &irql);
                m_ClientLists[c_Started]->RemoveAt(position);
                KeReleaseSpinLock(&m_SpinLock, irql);
            }
            client->Started = 0;
            RestartAfterFailedSwitch(previous);
            return status;
        }
    }
    AddNode(client, node);
    *msPerUrb = m_ActiveClient->MsPerUrb;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::StopClient(PVOID key, PCHAINNODE node)
{
    PAGED_CODE();
    StreamLockHolder hold(m_StreamLock);
    POSITION position = nullptr;
    PSTREAMCLIENT client = FindClient(c_Started, key, &position);
    if (client == nullptr || (node != nullptr && !HandsNode(client)))
        return STATUS_INVALID_PARAMETER;
    if (node != nullptr)
        RemoveNode(client, node);
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    m_ClientLists[c_Started]->RemoveAt(position);
    KeReleaseSpinLock(&m_SpinLock, irql);
    client->Started = 0;
    PSTREAMCLIENT head = ListHead(c_Started);
    if (head == nullptr)
    {
        StopStream();
        // The record may be freed once it is closed: nothing may compare with it.
        m_ActiveClient = nullptr;
        return STATUS_SUCCESS;
    }
    if (head == m_ActiveClient)
        return STATUS_SUCCESS;
    NTSTATUS status = SwitchActiveClient(head, 0, TRUE);
    if (!NT_SUCCESS(status) && m_StreamState == USB_STREAM_PREPARED)
    {
        UnprepareStream();
        m_PreparedClient = nullptr;
    }
    return status;
}

NTSTATUS CUsbAudioStream::CloseClient(PVOID key)
{
    PAGED_CODE();
    StreamLockHolder hold(m_StreamLock);
    POSITION position = nullptr;
    PSTREAMCLIENT client = FindClient(c_Opened, key, &position);
    // A started client stops first: its record would be freed while the
    // stream still runs for it.
    if (client == nullptr || FindClient(c_Started, key, nullptr) != nullptr)
        return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    m_ClientLists[c_Opened]->RemoveAt(position);
    KeReleaseSpinLock(&m_SpinLock, irql);
    NTSTATUS status = RestartHeadIfStarted();
    if (m_ClientLists[c_Registered]->AddTail(client) == nullptr)
        FreeClient(client);
    return status;
}
