// The owner's side of the session: mapping and unmapping the rings,
// starting and stopping their streaming, and the power changes that stop it
// outside D0 and restart it on the way back.
#include "asio/asio_session.h"
#include "asio/asio_host.h"

NTSTATUS CAsioSession::MapSharedBuffer(PFILE_OBJECT fileObject, PVOID input, ULONG inputLength,
                                       PVOID outputArray, PULONG outputLength)
{
    if (m_Adapter->ResetPortIfNeeded())
        return STATUS_INVALID_PARAMETER;
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr || input == nullptr || outputArray == nullptr || outputLength == nullptr)
        return STATUS_INVALID_PARAMETER;
    // One mapping at a time, by its owner.
    if ((m_Owner != nullptr && m_Owner != record) || record->Mapped != 0)
        return STATUS_INVALID_PARAMETER;
    if (!AsioModeFitsRate(record->Mode, m_SampleRate))
        return STATUS_INVALID_PARAMETER;
    m_Owner = record;
    ULONG written = 0;
    const ULONG slots =
        *outputLength % sizeof(ULONGLONG) == 0 ? *outputLength / (ULONG)sizeof(ULONGLONG) : 0;
    NTSTATUS status = m_Rings.Map(RingSettings(), static_cast<const UCHAR*>(input), inputLength,
                                  static_cast<ULONGLONG*>(outputArray), slots, &written);
    if (!NT_SUCCESS(status))
    {
        m_Owner = nullptr;
        return status;
    }
    record->Mapped = 1;
    *outputLength = written * (ULONG)sizeof(ULONGLONG);
    return STATUS_SUCCESS;
}

NTSTATUS CAsioSession::UnmapSharedBuffer(PFILE_OBJECT fileObject)
{
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr || record != m_Owner || !m_Rings.InOwningProcess())
        return STATUS_INVALID_PARAMETER;
    ReleaseRings(record);
    return STATUS_SUCCESS;
}

void CAsioSession::ReleaseRings(AsioClientRecord* record)
{
    // Streaming stops before its rings go; the event goes with them, also
    // when a power-down had stopped the streams already.
    if (m_Running)
        StopOwnerStreams();
    m_Rings.SetBufferSwitchEvent(nullptr);
    ReleaseEvent(&record->BufferSwitchEvent);
    m_Rings.Unmap();
    record->Mapped = 0;
    m_Owner = nullptr;
    m_PowerDownMark = false;
    m_RestartStatus = STATUS_SUCCESS;
}

void CAsioSession::OnProcessExit(HANDLE processId)
{
    // Called in the exiting process: the rings unmap where they were mapped.
    if (m_Owner != nullptr && m_Rings.IsMappedIn(processId))
        ReleaseRings(m_Owner);
}

NTSTATUS CAsioSession::StartStreaming(PFILE_OBJECT fileObject, PHANDLE bufferSwitchEvent)
{
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr || record != m_Owner || record->Mapped == 0 ||
        record->BufferSwitchEvent != nullptr || bufferSwitchEvent == nullptr)
        return STATUS_INVALID_PARAMETER;
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(*bufferSwitchEvent, EVENT_MODIFY_STATE,
                                                *ExEventObjectType, UserMode, &object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    record->BufferSwitchEvent = static_cast<PKEVENT>(object);
    status = StartRings(record->BufferSwitchEvent, false);
    // A start that failed keeps no event, so the owner may start again.
    if (!NT_SUCCESS(status))
        ReleaseEvent(&record->BufferSwitchEvent);
    return status;
}

// The streams take their first URBs from the rings as they start, so the
// positions are set before they do: a start the owner asks for sends every
// ring from its first frame; a return to D0 goes on with the stream the
// power-down stopped, from the first frame the device did not receive, so
// it gets each frame once and in order, and the switch count goes on. A
// start that fails is undone and leaves the rings where they stood; only a
// start that ran gets the event.
NTSTATUS CAsioSession::StartRings(PKEVENT bufferSwitchEvent, bool resume)
{
    m_Rings.KeepMarks();
    if (resume)
        m_Rings.Resume();
    else
        m_Adapter->ResetAsioRings(nullptr);
    const NTSTATUS status = m_Adapter->AsioStart();
    if (!NT_SUCCESS(status))
    {
        // No ring is left running.
        if (m_Running)
            m_Adapter->AsioStop();
        m_Rings.RestoreMarks();
        return status;
    }
    m_Rings.SetBufferSwitchEvent(bufferSwitchEvent);
    return status;
}

NTSTATUS CAsioSession::StopStreaming(PFILE_OBJECT fileObject, PIRP request)
{
    if (m_Adapter->GetPowerState() != PowerDeviceD0)
    {
        // Kept until D0, which a device that is going never reaches again.
        NTSTATUS status = m_Adapter->HoldAsioStopRequest(request);
        if (status != STATUS_DEVICE_REMOVED)
            return status;
    }
    AsioClientRecord* record = FindClient(fileObject);
    if (record == nullptr || record != m_Owner || record->BufferSwitchEvent == nullptr)
        return STATUS_INVALID_PARAMETER;
    m_Rings.SetBufferSwitchEvent(nullptr);
    KeClearEvent(record->BufferSwitchEvent);
    ReleaseEvent(&record->BufferSwitchEvent);
    if (m_PowerDownMark)
        m_PowerDownMark = false;
    else
        StopOwnerStreams();
    m_Rings.Silence();
    return STATUS_SUCCESS;
}

void CAsioSession::StopOwnerStreams()
{
    m_Rings.Halt();
    m_Adapter->AsioStop();
}

NTSTATUS CAsioSession::Start()
{
    bool opened = false;
    NTSTATUS status = m_Rings.Start(RingSettings(), &opened);
    // Opened clients run, some perhaps not started: stopping undoes them.
    if (opened)
        m_Running = true;
    return status;
}

NTSTATUS CAsioSession::Stop()
{
    NTSTATUS status = m_Rings.Stop();
    m_Running = false;
    return status;
}

void CAsioSession::ResetRings(PKEVENT bufferSwitchEvent)
{
    m_Rings.Reset(RingSettings(), bufferSwitchEvent);
}

// The rings are halted first, as at the owner's stop: a return to D0 goes
// on from the first frame the device did not receive, which the streams
// still running while the others stop must neither send again nor move
// past what the owner wrote.
void CAsioSession::PowerDown()
{
    if (!m_Running)
        return;
    StopOwnerStreams();
    m_Rings.SetBufferSwitchEvent(nullptr);
    if (m_Owner != nullptr && m_Owner->BufferSwitchEvent != nullptr)
        KeClearEvent(m_Owner->BufferSwitchEvent);
    m_PowerDownMark = true;
}

void CAsioSession::PowerUp()
{
    if (!m_PowerDownMark)
        return;
    m_PowerDownMark = false;
    const NTSTATUS status =
        StartRings(m_Owner != nullptr ? m_Owner->BufferSwitchEvent : nullptr, true);
    if (NT_SUCCESS(status) || m_Owner == nullptr)
        return;
    // The owner's stream is not coming back: it hears it now and learns why
    // from its next request.
    m_RestartStatus = status;
    if (m_Owner->SettingsEvent != nullptr)
        KeSetEvent(m_Owner->SettingsEvent, 8, FALSE);
}

NTSTATUS CAsioSession::TakeRestartStatus(PFILE_OBJECT fileObject)
{
    NTSTATUS status = m_RestartStatus;
    if (m_Owner == nullptr || m_Owner->FileObject != fileObject)
        return STATUS_SUCCESS;
    m_RestartStatus = STATUS_SUCCESS;
    return status;
}
