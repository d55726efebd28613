// The adapter's ASIO table: every operation runs under the ASIO mutex and
// goes to the ASIO session, which owns the clients, settings and rings.
#include "driver/adapter_common.h"

namespace
{
// Holds the ASIO mutex for one operation.
class AsioLockHolder
{
  public:
    explicit AsioLockHolder(CSyncMutex& lock) : m_Lock(lock) { m_Lock.Lock(); }
    ~AsioLockHolder() { m_Lock.Unlock(); }
    AsioLockHolder(const AsioLockHolder&) = delete;
    AsioLockHolder& operator=(const AsioLockHolder&) = delete;

  private:
    CSyncMutex& m_Lock;
};
} // namespace

#define ASIO_FORWARD(call)                                                                         \
    AsioLockHolder holder(m_AsioLock);                                                             \
    return m_Asio.call

// A request of the owner whose stream failed to come back after a power
// change is answered with that failure, once, before anything else.
#define ASIO_OWNER_FORWARD(f, call)                                                                \
    AsioLockHolder holder(m_AsioLock);                                                             \
    const NTSTATUS restart = m_Asio.TakeRestartStatus(f);                                          \
    return NT_SUCCESS(restart) ? m_Asio.call : restart

NTSTATUS CAdapterCommon::AsioOpenClient(PFILE_OBJECT fileObject)
{
    ASIO_FORWARD(OpenClient(fileObject));
}
// Reached by no request.
NTSTATUS CAdapterCommon::AsioUnused(PFILE_OBJECT)
{
    return STATUS_UNSUCCESSFUL;
}
NTSTATUS CAdapterCommon::AsioCloseClient(PFILE_OBJECT fileObject)
{
    // A stop request the client left kept goes with it.
    CancelAsioStopRequest(fileObject);
    ASIO_FORWARD(CloseClient(fileObject));
}
NTSTATUS CAdapterCommon::AsioGetDeviceName(PFILE_OBJECT f, PVOID buffer, PULONG outputLength)
{
    ASIO_OWNER_FORWARD(f, GetDeviceName(f, buffer, outputLength));
}
NTSTATUS CAdapterCommon::AsioGetChannelCounts(PFILE_OBJECT f, PVOID buffer, ULONG outputLength)
{
    ASIO_OWNER_FORWARD(f, GetChannelCounts(f, buffer, outputLength));
}
NTSTATUS CAdapterCommon::AsioGetChannelInfo(PFILE_OBJECT f, PVOID buffer, ULONG outputLength)
{
    ASIO_OWNER_FORWARD(f, GetChannelInfo(f, buffer, outputLength));
}
NTSTATUS CAdapterCommon::AsioSetSettingsEvent(PFILE_OBJECT f, PHANDLE userEvent)
{
    ASIO_OWNER_FORWARD(f, SetSettingsEvent(f, userEvent));
}
NTSTATUS CAdapterCommon::AsioReleaseSettingsEvent(PFILE_OBJECT f)
{
    ASIO_OWNER_FORWARD(f, ReleaseSettingsEvent(f));
}
NTSTATUS CAdapterCommon::AsioGetOwnerState(PFILE_OBJECT f, PVOID buffer)
{
    ASIO_OWNER_FORWARD(f, GetOwnerState(f, buffer));
}
NTSTATUS CAdapterCommon::AsioGetSampleTypes(PFILE_OBJECT f, PVOID buffer, PULONG outputLength)
{
    ASIO_OWNER_FORWARD(f, GetSampleTypes(f, buffer, outputLength));
}
NTSTATUS CAdapterCommon::AsioGetLatencyTable(PFILE_OBJECT f, PVOID buffer, PULONG outputLength)
{
    ASIO_OWNER_FORWARD(f, GetLatencyTable(f, buffer, outputLength));
}
NTSTATUS CAdapterCommon::AsioSetSampleType(PFILE_OBJECT f, ULONG sampleType)
{
    ASIO_OWNER_FORWARD(f, SetSampleType(f, sampleType));
}
NTSTATUS CAdapterCommon::AsioSetLatency(PFILE_OBJECT f, ULONG latencyIndex)
{
    ASIO_OWNER_FORWARD(f, SetLatency(f, latencyIndex));
}
NTSTATUS CAdapterCommon::AsioGetLatencies(PFILE_OBJECT f, PVOID buffer)
{
    ASIO_OWNER_FORWARD(f, GetLatencies(f, buffer));
}
NTSTATUS CAdapterCommon::AsioGetSampleRate(PFILE_OBJECT f, PVOID buffer)
{
    ASIO_OWNER_FORWARD(f, GetSampleRate(f, buffer));
}
NTSTATUS CAdapterCommon::AsioCanSampleRate(PFILE_OBJECT f, PVOID buffer)
{
    ASIO_OWNER_FORWARD(f, CanSampleRate(f, buffer));
}
NTSTATUS CAdapterCommon::AsioSetSampleRate(PFILE_OBJECT f, PVOID buffer)
{
    ASIO_OWNER_FORWARD(f, SetSampleRate(f, buffer));
}
NTSTATUS CAdapterCommon::AsioGetBufferSize(PFILE_OBJECT f, PVOID buffer)
{
    ASIO_OWNER_FORWARD(f, GetBufferSize(f, buffer));
}
NTSTATUS CAdapterCommon::AsioMapSharedBuffer(PFILE_OBJECT f, PVOID input, ULONG inputLength,
                                             PVOID outputArray, PULONG outputLength)
{
    ASIO_OWNER_FORWARD(f, MapSharedBuffer(f, input, inputLength, outputArray, outputLength));
}
NTSTATUS CAdapterCommon::AsioUnmapSharedBuffer(PFILE_OBJECT f)
{
    ASIO_OWNER_FORWARD(f, UnmapSharedBuffer(f));
}
NTSTATUS CAdapterCommon::AsioStartStreaming(PFILE_OBJECT f, PHANDLE bufferSwitchEvent)
{
    ASIO_OWNER_FORWARD(f, StartStreaming(f, bufferSwitchEvent));
}
// The stop is done whatever a failed restart left behind (a stop held
// outside D0 runs just after that restart): the failure is its answer, once.
NTSTATUS CAdapterCommon::AsioStopStreaming(PFILE_OBJECT f, PIRP request)
{
    AsioLockHolder holder(m_AsioLock);
    const NTSTATUS stopped = m_Asio.StopStreaming(f, request);
    if (stopped == STATUS_PENDING)
        return stopped;
    const NTSTATUS restart = m_Asio.TakeRestartStatus(f);
    return NT_SUCCESS(restart) ? stopped : restart;
}
NTSTATUS CAdapterCommon::AsioCheckMode(PFILE_OBJECT f, PVOID buffer)
{
    ASIO_OWNER_FORWARD(f, CheckMode(f, buffer));
}
NTSTATUS CAdapterCommon::AsioSetMode(PFILE_OBJECT f, PVOID buffer)
{
    ASIO_OWNER_FORWARD(f, SetMode(f, buffer));
}
NTSTATUS CAdapterCommon::AsioGetMode(PFILE_OBJECT f, PVOID buffer)
{
    ASIO_OWNER_FORWARD(f, GetMode(f, buffer));
}

// Shared with the power changes, which hold the ASIO mutex already.
NTSTATUS CAdapterCommon::AsioStart()
{
    return m_Asio.Start();
}
NTSTATUS CAdapterCommon::AsioStop()
{
    return m_Asio.Stop();
}
void CAdapterCommon::ResetAsioRings(PKEVENT bufferSwitchEvent)
{
    m_Asio.ResetRings(bufferSwitchEvent);
}
void CAdapterCommon::AsioProcessExit(HANDLE processId)
{
    AsioLockHolder holder(m_AsioLock);
    m_Asio.OnProcessExit(processId);
}

NTSTATUS CAdapterAsioHost::GetEngine(ULONG index, CStreamEngine** engine)
{
    return m_Adapter->GetEngine(index, engine);
}
ULONG CAdapterAsioHost::GetEngineCount()
{
    return m_Adapter->GetEngineCount();
}
NTSTATUS CAdapterAsioHost::GetStreamCapabilities(ULONG streamIndex,
                                                 PENDPOINTCAPABILITIES capabilities)
{
    return m_Adapter->GetStreamCapabilities(streamIndex, capabilities);
}
PDEVICE_OBJECT CAdapterAsioHost::GetDeviceObject()
{
    return m_Adapter->GetDeviceObject();
}
ULONG CAdapterAsioHost::GetPowerState() const
{
    return m_Adapter->GetPowerState();
}
NTSTATUS CAdapterAsioHost::SubmitUrbSync(PURB urb)
{
    return m_Adapter->SubmitUrbSync(urb);
}
BOOLEAN CAdapterAsioHost::ResetPortIfNeeded()
{
    return m_Adapter->ResetPortIfNeeded();
}
const DeviceRecord& CAdapterAsioHost::GetDeviceRecord() const
{
    return m_Adapter->GetDeviceRecord();
}
UCHAR CAdapterAsioHost::GetProductIndex() const
{
    return m_Adapter->GetProductIndex();
}
NTSTATUS CAdapterAsioHost::AsioStart()
{
    return m_Adapter->AsioStart();
}
NTSTATUS CAdapterAsioHost::AsioStop()
{
    return m_Adapter->AsioStop();
}
void CAdapterAsioHost::ResetAsioRings(PKEVENT bufferSwitchEvent)
{
    m_Adapter->ResetAsioRings(bufferSwitchEvent);
}
NTSTATUS CAdapterAsioHost::HoldAsioStopRequest(PIRP request)
{
    return m_Adapter->HoldAsioStopRequest(request);
}
void CAdapterAsioHost::AsioProcessExit(HANDLE processId)
{
    m_Adapter->AsioProcessExit(processId);
}
