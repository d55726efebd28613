// The private device-control codes of the ASIO interface: each code's length
// tests, the one ASIO operation it names, and the bytes it reports.
//
// A request whose buffers are too short for its code completes with success
// and no bytes without reaching the operation; the user-mode client relies on
// that. The input and the output share the system buffer, which holds the
// larger of the two lengths: every read and write stays within the length
// that the code's test checked, and the bytes reported never exceed what was
// written, except for the size a caller without an output buffer asks for.
#include "framework/adapter_interfaces.h"
#include "driver/dispatch.h"
#include "framework/adapter_extension.h"

namespace
{
constexpr ULONG AsioCode(ULONG function, ULONG access)
{
    return CTL_CODE(FILE_DEVICE_SOUND, function, METHOD_BUFFERED, access);
}

constexpr ULONG c_Read = FILE_READ_ACCESS;
constexpr ULONG c_Write = FILE_WRITE_ACCESS;
constexpr ULONG c_Both = FILE_READ_ACCESS | FILE_WRITE_ACCESS;

constexpr ULONG IOCTL_ASIO_GET_DEVICE_NAME = AsioCode(0x800, c_Read);
constexpr ULONG IOCTL_ASIO_GET_CHANNEL_COUNTS = AsioCode(0x801, c_Read);
constexpr ULONG IOCTL_ASIO_GET_CHANNEL_INFO = AsioCode(0x802, c_Both);
constexpr ULONG IOCTL_ASIO_GET_SAMPLE_TYPES = AsioCode(0x803, c_Read);
constexpr ULONG IOCTL_ASIO_GET_LATENCY_TABLE = AsioCode(0x804, c_Read);
constexpr ULONG IOCTL_ASIO_SET_SETTINGS_EVENT = AsioCode(0x805, c_Write);
constexpr ULONG IOCTL_ASIO_GET_OWNER_STATE = AsioCode(0x806, c_Read);
constexpr ULONG IOCTL_ASIO_SET_SAMPLE_TYPE = AsioCode(0x807, c_Write);
constexpr ULONG IOCTL_ASIO_SET_LATENCY = AsioCode(0x808, c_Write);
constexpr ULONG IOCTL_ASIO_GET_LATENCIES = AsioCode(0x809, c_Read);
constexpr ULONG IOCTL_ASIO_GET_SAMPLE_RATE = AsioCode(0x80A, c_Read);
constexpr ULONG IOCTL_ASIO_CAN_SAMPLE_RATE = AsioCode(0x80B, c_Write);
constexpr ULONG IOCTL_ASIO_SET_SAMPLE_RATE = AsioCode(0x80C, c_Write);
constexpr ULONG IOCTL_ASIO_GET_BUFFER_SIZE = AsioCode(0x80D, c_Read);
constexpr ULONG IOCTL_ASIO_MAP_SHARED_BUFFER = AsioCode(0x80E, c_Both);
constexpr ULONG IOCTL_ASIO_UNMAP_SHARED_BUFFER = AsioCode(0x80F, c_Write);
constexpr ULONG IOCTL_ASIO_START_STREAMING = AsioCode(0x810, c_Write);
constexpr ULONG IOCTL_ASIO_STOP_STREAMING = AsioCode(0x811, c_Write);
constexpr ULONG IOCTL_ASIO_RELEASE_SETTINGS_EVENT = AsioCode(0x813, c_Write);
constexpr ULONG IOCTL_ASIO_CHECK_AND_SET_MODE = AsioCode(0x814, c_Write);
constexpr ULONG IOCTL_ASIO_SET_MODE = AsioCode(0x815, c_Write);
constexpr ULONG IOCTL_ASIO_GET_MODE = AsioCode(0x816, c_Read);
static_assert(IOCTL_ASIO_GET_DEVICE_NAME == 0x1D6000 && IOCTL_ASIO_GET_CHANNEL_INFO == 0x1DE008 &&
                  IOCTL_ASIO_SET_SETTINGS_EVENT == 0x1DA014 &&
                  IOCTL_ASIO_MAP_SHARED_BUFFER == 0x1DE038 && IOCTL_ASIO_GET_MODE == 0x1D6058,
              "the codes the user-mode client sends");

// What the fixed-size answers write.
constexpr ULONG c_ChannelCountsBytes = 16;
constexpr ULONG c_ChannelInfoBytes = 52;
constexpr ULONG c_OwnerStateBytes = 4;
constexpr ULONG c_LatencyTableBytes = 44;
constexpr ULONG c_LatenciesBytes = 8;
constexpr ULONG c_SampleRateBytes = 4;
constexpr ULONG c_BufferSizeBytes = 16;
constexpr ULONG c_ModeBytes = 4;
constexpr ULONG c_ValueBytes = 4;
constexpr ULONG c_Handle32Bytes = 4;
constexpr ULONG c_Handle64Bytes = 8;
constexpr ULONG c_UserAddress64Bytes = 8;
constexpr ULONG c_UserAddress32Bytes = 4;
constexpr ULONG MAPPING_POOL_TAG = POOL_TAG("adap");

struct Request
{
    PIRP Irp;
    PVOID Buffer;
    ULONG In;
    ULONG Out;
    bool Is32Bit;
};

ULONG SmallerOf(ULONG a, ULONG b)
{
    return a < b ? a : b;
}

// Bytes reported for an answer of `written` bytes: never more than the
// output holds.
ULONG Reported(const Request& r, ULONG written)
{
    return SmallerOf(r.Out, written);
}

// Bytes reported by an operation that updates the output length: a caller
// without an output buffer learns the size it needs; any other caller is
// told at most what its output holds.
ULONG ReportedByOperation(const Request& r, NTSTATUS status, ULONG updated)
{
    if (r.Out == 0)
        return status == STATUS_BUFFER_OVERFLOW ? updated : 0;
    return SmallerOf(r.Out, updated);
}

bool ReturnsData(NTSTATUS status, bool sizeOnOverflow)
{
    return NT_SUCCESS(status) || (sizeOnOverflow && status == STATUS_BUFFER_OVERFLOW);
}

// The shared buffers of a 32-bit caller: the operation writes 8-byte user
// addresses into a temporary array of twice the output, which are narrowed
// to their low 32 bits in the caller's output.
NTSTATUS MapSharedBuffer32(PASIOPRIVATE asio, PFILE_OBJECT fileObject, Request& r,
                           ULONG_PTR* information)
{
    const ULONGLONG doubled = 2ull * r.Out;
    if (doubled > MAXULONG)
        return STATUS_INVALID_PARAMETER;
    PVOID addresses = nullptr;
    if (doubled != 0)
    {
        addresses = ExAllocatePoolWithTag(PagedPool, (SIZE_T)doubled, MAPPING_POOL_TAG);
        if (addresses == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(addresses, (SIZE_T)doubled);
    }
    ULONG length = (ULONG)doubled;
    NTSTATUS status = asio->AsioMapSharedBuffer(fileObject, r.Buffer, r.In, addresses, &length);
    if (NT_SUCCESS(status))
    {
        const ULONG entries = SmallerOf(length, (ULONG)doubled) / c_UserAddress64Bytes;
        auto wide = static_cast<const ULONGLONG*>(addresses);
        auto narrow = static_cast<PULONG>(r.Buffer);
        for (ULONG i = 0; i < entries; ++i)
            narrow[i] = (ULONG)wide[i];
        *information = entries * c_UserAddress32Bytes;
    }
    if (addresses != nullptr)
        ExFreePoolWithTag(addresses, MAPPING_POOL_TAG);
    return status;
}

// One row per code: the length test the request must pass before its
// operation runs, and the operation with the bytes it reports.
enum class LengthRule
{
    Any,        // the operation checks the output itself
    NoInput,    // no input at all
    InAtLeast,  // input of at least Bytes (a 32-bit value)
    InNonZero,  // some input
    InHandle,   // 4 bytes from a 32-bit process, 8 otherwise
    OutAtLeast, // output of at least Bytes
    InOutExact, // input and output both of exactly Bytes
    OutExact,   // output of exactly Bytes
};

struct AsioCall
{
    PASIOPRIVATE Asio;
    PFILE_OBJECT File;
    Request& R;
    ULONG_PTR* Information;
};

struct AsioCodeRow
{
    ULONG Code;
    LengthRule Rule;
    ULONG Bytes;    // of the length rule
    ULONG Reported; // bytes a fixed-size answer writes
    NTSTATUS (*Run)(const AsioCall& call, const AsioCodeRow& row);
};

bool PassesLengthRule(const Request& r, const AsioCodeRow& row)
{
    const bool buffer = r.Buffer != nullptr;
    switch (row.Rule)
    {
    case LengthRule::Any:
        return true;
    case LengthRule::NoInput:
        return r.In == 0 || !buffer;
    case LengthRule::InAtLeast:
        return buffer && r.In >= row.Bytes;
    case LengthRule::InNonZero:
        return buffer && r.In != 0;
    case LengthRule::InHandle:
        return buffer && r.In == (r.Is32Bit ? c_Handle32Bytes : c_Handle64Bytes);
    case LengthRule::OutAtLeast:
        return buffer && r.Out >= row.Bytes;
    case LengthRule::InOutExact:
        return buffer && r.In == row.Bytes && r.Out == row.Bytes;
    case LengthRule::OutExact:
        return buffer && r.Out == row.Bytes;
    }
    return false;
}

// A fixed-size answer: its bytes when it returned data.
NTSTATUS ReportFixed(const AsioCall& c, const AsioCodeRow& row, NTSTATUS status,
                     bool sizeOnOverflow)
{
    if (ReturnsData(status, sizeOnOverflow))
        *c.Information = Reported(c.R, row.Reported);
    return status;
}

// An answer whose size the operation leaves in the length.
NTSTATUS ReportUpdated(const AsioCall& c, NTSTATUS status, ULONG length)
{
    if (ReturnsData(status, true))
        *c.Information = ReportedByOperation(c.R, status, length);
    return status;
}

ULONG InputU32(const Request& r)
{
    ULONG value = 0;
    RtlCopyMemory(&value, r.Buffer, sizeof(value));
    return value;
}

// The handle the length rule admitted, widened as the system widens a
// 32-bit handle: with its sign.
HANDLE InputHandle(const Request& r)
{
    if (r.Is32Bit)
    {
        LONG value = 0;
        RtlCopyMemory(&value, r.Buffer, sizeof(value));
        return (HANDLE)(LONG_PTR)value;
    }
    HANDLE handle = nullptr;
    RtlCopyMemory(&handle, r.Buffer, sizeof(handle));
    return handle;
}

NTSTATUS RunGetDeviceName(const AsioCall& c, const AsioCodeRow&)
{
    ULONG length = c.R.Out;
    NTSTATUS status = c.Asio->AsioGetDeviceName(c.File, c.R.Buffer, &length);
    return ReportUpdated(c, status, length);
}

NTSTATUS RunGetSampleTypes(const AsioCall& c, const AsioCodeRow&)
{
    ULONG length = c.R.Out;
    NTSTATUS status = c.Asio->AsioGetSampleTypes(c.File, c.R.Buffer, &length);
    return ReportUpdated(c, status, length);
}

NTSTATUS RunGetLatencyTable(const AsioCall& c, const AsioCodeRow& row)
{
    ULONG length = c.R.Out;
    NTSTATUS status = c.Asio->AsioGetLatencyTable(c.File, c.R.Buffer, &length);
    // The table is written whole and the length left as it was.
    return ReportUpdated(c, status, c.R.Out != 0 ? SmallerOf(length, row.Reported) : length);
}

NTSTATUS RunGetChannelCounts(const AsioCall& c, const AsioCodeRow& row)
{
    NTSTATUS status = c.Asio->AsioGetChannelCounts(c.File, c.R.Buffer, c.R.Out);
    return ReportFixed(c, row, status, false);
}

NTSTATUS RunGetChannelInfo(const AsioCall& c, const AsioCodeRow& row)
{
    NTSTATUS status = c.Asio->AsioGetChannelInfo(c.File, c.R.Buffer, c.R.Out);
    return ReportFixed(c, row, status, false);
}

NTSTATUS RunGetOwnerState(const AsioCall& c, const AsioCodeRow& row)
{
    if (c.R.Out == 0)
    {
        *c.Information = row.Reported;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (c.R.Out < row.Reported)
        return STATUS_BUFFER_TOO_SMALL;
    if (c.R.Buffer == nullptr)
        return STATUS_SUCCESS;
    return ReportFixed(c, row, c.Asio->AsioGetOwnerState(c.File, c.R.Buffer), false);
}

NTSTATUS RunSetSettingsEvent(const AsioCall& c, const AsioCodeRow&)
{
    HANDLE handle = InputHandle(c.R);
    return c.Asio->AsioSetSettingsEvent(c.File, &handle);
}

NTSTATUS RunStartStreaming(const AsioCall& c, const AsioCodeRow&)
{
    HANDLE handle = InputHandle(c.R);
    return c.Asio->AsioStartStreaming(c.File, &handle);
}

NTSTATUS RunSetSampleType(const AsioCall& c, const AsioCodeRow&)
{
    return c.Asio->AsioSetSampleType(c.File, InputU32(c.R));
}

NTSTATUS RunSetLatency(const AsioCall& c, const AsioCodeRow& row)
{
    NTSTATUS status = c.Asio->AsioSetLatency(c.File, InputU32(c.R));
    // A latency that was not set is not reported as set.
    if (!NT_SUCCESS(status) || c.R.Out < row.Reported)
        return status;
    return ReportFixed(c, row, c.Asio->AsioGetLatencies(c.File, c.R.Buffer), true);
}

NTSTATUS RunGetLatencies(const AsioCall& c, const AsioCodeRow& row)
{
    return ReportFixed(c, row, c.Asio->AsioGetLatencies(c.File, c.R.Buffer), true);
}

NTSTATUS RunGetSampleRate(const AsioCall& c, const AsioCodeRow& row)
{
    return ReportFixed(c, row, c.Asio->AsioGetSampleRate(c.File, c.R.Buffer), true);
}

NTSTATUS RunCanSampleRate(const AsioCall& c, const AsioCodeRow&)
{
    return c.Asio->AsioCanSampleRate(c.File, c.R.Buffer);
}

NTSTATUS RunSetSampleRate(const AsioCall& c, const AsioCodeRow&)
{
    return c.Asio->AsioSetSampleRate(c.File, c.R.Buffer);
}

NTSTATUS RunGetBufferSize(const AsioCall& c, const AsioCodeRow& row)
{
    return ReportFixed(c, row, c.Asio->AsioGetBufferSize(c.File, c.R.Buffer), false);
}

NTSTATUS RunMapSharedBuffer(const AsioCall& c, const AsioCodeRow&)
{
    if (c.R.Is32Bit)
        return MapSharedBuffer32(c.Asio, c.File, c.R, c.Information);
    ULONG length = c.R.Out;
    NTSTATUS status = c.Asio->AsioMapSharedBuffer(c.File, c.R.Buffer, c.R.In, c.R.Buffer, &length);
    if (NT_SUCCESS(status))
        *c.Information = SmallerOf(c.R.Out, length);
    return status;
}

NTSTATUS RunUnmapSharedBuffer(const AsioCall& c, const AsioCodeRow&)
{
    return c.Asio->AsioUnmapSharedBuffer(c.File);
}

NTSTATUS RunStopStreaming(const AsioCall& c, const AsioCodeRow&)
{
    return c.Asio->AsioStopStreaming(c.File, c.R.Irp);
}

NTSTATUS RunReleaseSettingsEvent(const AsioCall& c, const AsioCodeRow&)
{
    return c.Asio->AsioReleaseSettingsEvent(c.File);
}

NTSTATUS RunCheckAndSetMode(const AsioCall& c, const AsioCodeRow&)
{
    // The mode is checked again as it is set.
    c.Asio->AsioCheckMode(c.File, c.R.Buffer);
    return c.Asio->AsioSetMode(c.File, c.R.Buffer);
}

NTSTATUS RunSetMode(const AsioCall& c, const AsioCodeRow&)
{
    return c.Asio->AsioSetMode(c.File, c.R.Buffer);
}

NTSTATUS RunGetMode(const AsioCall& c, const AsioCodeRow& row)
{
    return ReportFixed(c, row, c.Asio->AsioGetMode(c.File, c.R.Buffer), true);
}

using LR = LengthRule;
constexpr AsioCodeRow c_AsioCodes[] = {
    {IOCTL_ASIO_GET_DEVICE_NAME, LR::Any, 0, 0, RunGetDeviceName},
    {IOCTL_ASIO_GET_CHANNEL_COUNTS, LR::OutExact, c_ChannelCountsBytes, c_ChannelCountsBytes,
     RunGetChannelCounts},
    {IOCTL_ASIO_GET_CHANNEL_INFO, LR::InOutExact, c_ChannelInfoBytes, c_ChannelInfoBytes,
     RunGetChannelInfo},
    {IOCTL_ASIO_GET_SAMPLE_TYPES, LR::Any, 0, 0, RunGetSampleTypes},
    {IOCTL_ASIO_GET_LATENCY_TABLE, LR::Any, 0, c_LatencyTableBytes, RunGetLatencyTable},
    {IOCTL_ASIO_SET_SETTINGS_EVENT, LR::InHandle, 0, 0, RunSetSettingsEvent},
    {IOCTL_ASIO_GET_OWNER_STATE, LR::Any, 0, c_OwnerStateBytes, RunGetOwnerState},
    {IOCTL_ASIO_SET_SAMPLE_TYPE, LR::InAtLeast, c_ValueBytes, 0, RunSetSampleType},
    {IOCTL_ASIO_SET_LATENCY, LR::InAtLeast, c_ValueBytes, c_LatenciesBytes, RunSetLatency},
    {IOCTL_ASIO_GET_LATENCIES, LR::OutAtLeast, c_LatenciesBytes, c_LatenciesBytes, RunGetLatencies},
    {IOCTL_ASIO_GET_SAMPLE_RATE, LR::OutAtLeast, c_SampleRateBytes, c_SampleRateBytes,
     RunGetSampleRate},
    {IOCTL_ASIO_CAN_SAMPLE_RATE, LR::InAtLeast, c_ValueBytes, 0, RunCanSampleRate},
    {IOCTL_ASIO_SET_SAMPLE_RATE, LR::InAtLeast, c_ValueBytes, 0, RunSetSampleRate},
    {IOCTL_ASIO_GET_BUFFER_SIZE, LR::OutAtLeast, c_BufferSizeBytes, c_BufferSizeBytes,
     RunGetBufferSize},
    {IOCTL_ASIO_MAP_SHARED_BUFFER, LR::InNonZero, 0, 0, RunMapSharedBuffer},
    {IOCTL_ASIO_UNMAP_SHARED_BUFFER, LR::Any, 0, 0, RunUnmapSharedBuffer},
    {IOCTL_ASIO_START_STREAMING, LR::InHandle, 0, 0, RunStartStreaming},
    {IOCTL_ASIO_STOP_STREAMING, LR::NoInput, 0, 0, RunStopStreaming},
    {IOCTL_ASIO_RELEASE_SETTINGS_EVENT, LR::NoInput, 0, 0, RunReleaseSettingsEvent},
    {IOCTL_ASIO_CHECK_AND_SET_MODE, LR::InAtLeast, c_ValueBytes, 0, RunCheckAndSetMode},
    {IOCTL_ASIO_SET_MODE, LR::InAtLeast, c_ValueBytes, 0, RunSetMode},
    {IOCTL_ASIO_GET_MODE, LR::OutAtLeast, c_ModeBytes, c_ModeBytes, RunGetMode},
};
static_assert(sizeof(c_AsioCodes) / sizeof(c_AsioCodes[0]) == 22, "one row per code");

// Runs the code's length test and its operation; the status the request
// gets. information is 0 on entry.
NTSTATUS RunAsioCode(PASIOPRIVATE asio, PFILE_OBJECT fileObject, ULONG code, Request& r,
                     ULONG_PTR* information)
{
    for (const AsioCodeRow& row : c_AsioCodes)
    {
        if (row.Code != code)
            continue;
        if (!PassesLengthRule(r, row))
            return STATUS_SUCCESS;
        return row.Run(AsioCall{asio, fileObject, r, information}, row);
    }
    return STATUS_NOT_SUPPORTED;
}
} // namespace

NTSTATUS DispatchAsioDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    Request r;
    r.Irp = irp;
    r.Buffer = irp->AssociatedIrp.SystemBuffer;
    r.Out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    r.In = stack->Parameters.DeviceIoControl.InputBufferLength;
    r.Is32Bit = IoIs32bitProcess(irp) != FALSE;

    AdapterExtension* extension = GetAdapterExtension(deviceObject);
    PASIOPRIVATE asio = nullptr;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    ULONG_PTR information = 0;
    if (extension != nullptr && extension->Adapter != nullptr)
        status = extension->Adapter->QueryInterface(IID_IAsioPrivate, (PVOID*)&asio);
    if (NT_SUCCESS(status) && asio != nullptr)
        status = RunAsioCode(asio, stack->FileObject,
                             stack->Parameters.DeviceIoControl.IoControlCode, r, &information);
    else
        status = STATUS_INVALID_PARAMETER;
    if (asio != nullptr)
        asio->Release();
    // A kept request belongs to the operation now: it is not touched again.
    if (status == STATUS_PENDING)
        return status;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
