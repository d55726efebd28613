// The adapter's ASIO table. The ASIO operations themselves are not part of
// the driver yet: every client operation refuses with STATUS_NOT_IMPLEMENTED,
// so a user-mode client learns that the interface cannot be used.
#include "driver/adapter_common.h"

#define ASIO_NOT_YET return STATUS_NOT_IMPLEMENTED

NTSTATUS CAdapterCommon::AsioOpenClient(PFILE_OBJECT)
{
    ASIO_NOT_YET;
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
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioGetDeviceName(PFILE_OBJECT, PVOID, PULONG)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioGetChannelCounts(PFILE_OBJECT, PVOID, ULONG)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioGetChannelInfo(PFILE_OBJECT, PVOID, ULONG)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioSetSettingsEvent(PFILE_OBJECT, PHANDLE)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioReleaseSettingsEvent(PFILE_OBJECT)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioGetOwnerState(PFILE_OBJECT, PVOID)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioGetSampleTypes(PFILE_OBJECT, PVOID, PULONG)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioGetLatencyTable(PFILE_OBJECT, PVOID, PULONG)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioSetSampleType(PFILE_OBJECT, ULONG)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioSetLatency(PFILE_OBJECT, ULONG)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioGetLatencies(PFILE_OBJECT, PVOID)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioGetSampleRate(PFILE_OBJECT, PVOID)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioCanSampleRate(PFILE_OBJECT, PVOID)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioSetSampleRate(PFILE_OBJECT, PVOID)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioGetBufferSize(PFILE_OBJECT, PVOID)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioMapSharedBuffer(PFILE_OBJECT, PVOID, PVOID, PULONG)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioUnmapSharedBuffer(PFILE_OBJECT)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioStartStreaming(PFILE_OBJECT, PHANDLE)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioStopStreaming(PFILE_OBJECT, PIRP)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioCheckMode(PFILE_OBJECT, PVOID)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioSetMode(PFILE_OBJECT, PVOID)
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioGetMode(PFILE_OBJECT, PVOID)
{
    ASIO_NOT_YET;
}

// Streaming never runs without the ASIO operations, so power changes never
// reach these.
NTSTATUS CAdapterCommon::AsioStart()
{
    ASIO_NOT_YET;
}
NTSTATUS CAdapterCommon::AsioStop()
{
    ASIO_NOT_YET;
}
void CAdapterCommon::ResetAsioRings(PKEVENT) {}
