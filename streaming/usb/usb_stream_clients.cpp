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

// The stream's record of a client: what the client sees, and the two list
// nodes that carry it, made at registration. Every move between the lists
// relinks these nodes, so none allocates and none can fail for want of
// memory: the record stays on a list from its registration until its
// owner unregisters it.
struct ClientEntry
{
    StreamClient Client;
    POSITION Member;  // on the registered or the opened list
    POSITION Started; // on the started list while the client is started
};

ClientEntry* EntryOf(PSTREAMCLIENT client)
{
    return CONTAINING_RECORD(client, ClientEntry, Client);
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

// Where a client of `kind` goes in a list ordered by kind: before the first
// client of a lower kind, else at the tail (a null position); false for a
// second client of a kind. Under the engine's spin lock.
BOOLEAN CUsbAudioStream::PlaceByKind(ULONG list, ULONGLONG kind, POSITION* before)
{
    CPtrList* clients = m_ClientLists[list];
    POSITION walk = clients->GetHeadPosition();
    *before = nullptr;
    while (walk != nullptr)
    {
        POSITION here = walk;
        PVOID data = nullptr;
        clients->GetNext(&walk, &data);
        const ULONGLONG listed = static_cast<PSTREAMCLIENT>(data)->Kind;
        if (listed == kind)
            return FALSE;
        if (listed < kind)
        {
            *before = here;
            return TRUE;
        }
    }
    return TRUE;
}

// Relinks the client's own node from one list into another; refused only for
// an unknown key or a second client of a kind.
BOOLEAN CUsbAudioStream::MoveClient(ULONG from, ULONG to, PVOID key, PSTREAMCLIENT* client)
{
    POSITION position = nullptr;
    PSTREAMCLIENT found = FindClient(from, key, &position);
    if (found == nullptr)
        return FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    POSITION before = nullptr;
    const BOOLEAN placed = to == c_Registered || PlaceByKind(to, found->Kind, &before);
    if (placed)
    {
        m_ClientLists[from]->Unlink(position);
        m_ClientLists[to]->LinkBefore(before, position);
    }
    KeReleaseSpinLock(&m_SpinLock, irql);
    *client = found;
    return placed;
}

BOOLEAN CUsbAudioStream::LinkStarted(PSTREAMCLIENT client)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    POSITION before = nullptr;
    const BOOLEAN placed = PlaceByKind(c_Started, client->Kind, &before);
    if (placed)
        m_ClientLists[c_Started]->LinkBefore(before, EntryOf(client)->Started);
    KeReleaseSpinLock(&m_SpinLock, irql);
    return placed;
}

void CUsbAudioStream::UnlinkClient(ULONG list, POSITION position)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    m_ClientLists[list]->Unlink(position);
    KeReleaseSpinLock(&m_SpinLock, irql);
}

// The record and its nodes, which are on no list by now.
void CUsbAudioStream::FreeClient(PSTREAMCLIENT client)
{
    ClientEntry* entry = EntryOf(client);
    if (client->Registration != nullptr)
        UnregisterFromCallbackObject(client->Registration);
    CPtrList::FreeNode(entry->Member);
    CPtrList::FreeNode(entry->Started);
    ExFreePoolWithTag(entry, USB_STREAM_POOL_TAG);
}

// At destruction: each record once, a started client being an opened one too.
void CUsbAudioStream::FreeClients()
{
    constexpr ULONG c_Order[] = {c_Started, c_Opened, c_Registered};
    for (ULONG list : c_Order)
    {
        PVOID data = nullptr;
        while (m_ClientLists[list] != nullptr && m_ClientLists[list]->GetHeadData(&data))
        {
            m_ClientLists[list]->Unlink(m_ClientLists[list]->GetHeadPosition());
            if (list != c_Started)
                FreeClient(static_cast<PSTREAMCLIENT>(data));
        }
    }
}

CPtrList* CUsbAudioStream::NodeListFor(PSTREAMCLIENT client)
{
    const bool late = client->Kind == STREAM_CLIENT_KIND_NODE_LATE;
    const bool render = m_Direction == STREAM_DIRECTION_RENDER;
    return late == render ? m_StageList3 : m_StageList2;
}

// The list node of the chain node a client hands over, made before the client
// starts, so that nothing is left to fail once it runs.
NTSTATUS CUsbAudioStream::NewNodeEntry(PSTREAMCLIENT client, PCHAINNODE node, POSITION* entry)
{
    *entry = nullptr;
    if (node == nullptr || !HandsNode(client))
        return STATUS_SUCCESS;
    if (NodeListFor(client) == nullptr)
        return STATUS_UNSUCCESSFUL;
    *entry = CPtrList::NewNode(node);
    return *entry != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void CUsbAudioStream::AddNode(PSTREAMCLIENT client, POSITION entry)
{
    if (entry == nullptr)
        return;
    static_cast<PCHAINNODE>(entry->m_Data)->AddRef();
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    NodeListFor(client)->LinkBefore(nullptr, entry);
    KeReleaseSpinLock(&m_SpinLock, irql);
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
    auto entry = static_cast<ClientEntry*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ClientEntry), USB_STREAM_POOL_TAG));
    if (entry == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(entry, sizeof(*entry));
    PSTREAMCLIENT record = &entry->Client;
    record->Kind = kind;
    record->MsPerUrb = msPerUrb;
    record->UrbCount =
        urbCount < 1 ? 1 : (urbCount > USB_STREAM_MAX_URBS ? USB_STREAM_MAX_URBS : urbCount);
    record->Format = copy;
    record->Direction = m_Direction;
    entry->Member = CPtrList::NewNode(record);
    entry->Started = CPtrList::NewNode(record);
    if (entry->Member == nullptr || entry->Started == nullptr ||
        !NT_SUCCESS(RegisterOnCallbackObject(m_CyclicControl, callback, callbackContext,
                                             &record->Registration)))
    {
        FreeClient(record);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    m_ClientLists[c_Registered]->LinkBefore(nullptr, entry->Member);
    KeReleaseSpinLock(&m_SpinLock, irql);
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
    UnlinkClient(c_Registered, position);
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
            MoveClient(c_Opened, c_Registered, key, &client);
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
        FindClient(c_Started, key, nullptr) != nullptr)
        return STATUS_INVALID_PARAMETER;
    POSITION nodeEntry = nullptr;
    NTSTATUS status = NewNodeEntry(client, node, &nodeEntry);
    if (!NT_SUCCESS(status))
        return status;
    if (!LinkStarted(client))
    {
        CPtrList::FreeNode(nodeEntry);
        return STATUS_INVALID_PARAMETER;
    }
    PSTREAMCLIENT head = ListHead(c_Started);
    if (head == m_ActiveClient)
    {
        NotifyStart(m_ActiveClient, FALSE);
        client->Started = 1;
    }
    else
    {
        PSTREAMCLIENT previous = m_ActiveClient;
        status = SwitchActiveClient(head, startFrame, FALSE);
        if (!NT_SUCCESS(status))
        {
            UnlinkClient(c_Started, EntryOf(client)->Started);
            CPtrList::FreeNode(nodeEntry);
            client->Started = 0;
            RestartAfterFailedSwitch(previous);
            return status;
        }
    }
    AddNode(client, nodeEntry);
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
    UnlinkClient(c_Started, position);
    PSTREAMCLIENT head = ListHead(c_Started);
    // When the stream runs for this client, the transfers still out hold
    // what the device sent or was sent before the stop: the client stays
    // started until they are back, so that it takes their data and bytes.
    if (head != m_ActiveClient)
        StopStream();
    client->Started = 0;
    if (head == nullptr)
    {
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
    PSTREAMCLIENT client = nullptr;
    // A started client stops first: the stream still runs for it.
    if (FindClient(c_Started, key, nullptr) != nullptr ||
        !MoveClient(c_Opened, c_Registered, key, &client))
        return STATUS_INVALID_PARAMETER;
    return RestartHeadIfStarted();
}
