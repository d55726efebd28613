// The private device-control codes of the ASIO interface: each code's length
// tests, the one ASIO operation it names, and the bytes it reports.
//
// A request whose buffers are too short for its code completes with success
// and no bytes without reaching the operation; the user-mode client relies on
// that. The input and the output share the system buffer, which holds the
// larger of the two lengths: every read and write stays within the length
// that the code's test checked, and the bytes reported never exceed what was
// written, except for the size a caller without an output buffer asks for.
#include "driver/adapter_interfaces.h"
#include "driver/dispatch.h"
#include "driver/driver_entry.h"

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

// The 32-bit value at the start of the buffer, when the input holds one.
bool InputValue(const Request& r, ULONG* value)
{
    if (r.In < c_ValueBytes || r.Buffer == nullptr)
        return false;
    RtlCopyMemory(value, r.Buffer, sizeof(*value));
    return true;
}

// A user event handle: 4 bytes from a 32-bit process, 8 otherwise; the
// 32-bit value is sign-extended as the system widens such handles.
bool InputHandle(const Request& r, HANDLE* handle)
{
    if (r.Buffer == nullptr || r.In != (r.Is32Bit ? c_Handle32Bytes : c_Handle64Bytes))
        return false;
    if (r.Is32Bit)
    {
        LONG value = 0;
        RtlCopyMemory(&value, r.Buffer, sizeof(value));
        *handle = (HANDLE)(LONG_PTR)value;
    }
    else
        RtlCopyMemory(handle, r.Buffer, sizeof(*handle));
    return true;
}

bool OutputHolds(const Request& r, ULONG bytes)
{
    return r.Out >= bytes && r.Buffer != nullptr;
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
    NTSTATUS status = asio->AsioMapSharedBuffer(fileObject, r.Buffer, addresses, &length);
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

// Runs the code's tests and its operation; the status the request gets.
// information is 0 on entry.
NTSTATUS RunAsioCode(PASIOPRIVATE asio, PFILE_OBJECT fileObject, ULONG code, Request& r,
                     ULONG_PTR* information)
{
    NTSTATUS status = STATUS_SUCCESS;
    ULONG value = 0;
    HANDLE handle = nullptr;
    ULONG length = r.Out;
    switch (code)
    {
    case IOCTL_ASIO_GET_DEVICE_NAME:
        status = asio->AsioGetDeviceName(fileObject, r.Buffer, &length);
        if (ReturnsData(status, true))
            *information = ReportedByOperation(r, status, length);
        break;
    case IOCTL_ASIO_GET_CHANNEL_COUNTS:
        status = asio->AsioGetChannelCounts(fileObject, r.Buffer, r.Out);
        if (NT_SUCCESS(status))
            *information = Reported(r, c_ChannelCountsBytes);
        break;
    case IOCTL_ASIO_GET_CHANNEL_INFO:
        status = asio->AsioGetChannelInfo(fileObject, r.Buffer, r.Out);
        if (NT_SUCCESS(status))
            *information = Reported(r, c_ChannelInfoBytes);
        break;
    case IOCTL_ASIO_GET_SAMPLE_TYPES:
        status = asio->AsioGetSampleTypes(fileObject, r.Buffer, &length);
        if (ReturnsData(status, true))
            *information = ReportedByOperation(r, status, length);
        break;
    case IOCTL_ASIO_GET_LATENCY_TABLE:
        status = asio->AsioGetLatencyTable(fileObject, r.Buffer, &length);
        // The table is written whole and the length left as it was.
        if (ReturnsData(status, true))
            *information = ReportedByOperation(
                r, status, r.Out != 0 ? SmallerOf(length, c_LatencyTableBytes) : length);
        break;
    case IOCTL_ASIO_SET_SETTINGS_EVENT:
        if (InputHandle(r, &handle))
            status = asio->AsioSetSettingsEvent(fileObject, &handle);
        break;
    case IOCTL_ASIO_GET_OWNER_STATE:
        if (r.Out == 0)
        {
            status = STATUS_BUFFER_OVERFLOW;
            *information = c_OwnerStateBytes;
        }
        else if (r.Out < c_OwnerStateBytes)
            status = STATUS_BUFFER_TOO_SMALL;
        else if (r.Buffer != nullptr)
        {
            status = asio->AsioGetOwnerState(fileObject, r.Buffer);
            if (NT_SUCCESS(status))
                *information = c_OwnerStateBytes;
        }
        break;
    case IOCTL_ASIO_SET_SAMPLE_TYPE:
        if (InputValue(r, &value))
            status = asio->AsioSetSampleType(fileObject, value);
        break;
    case IOCTL_ASIO_SET_LATENCY:
        if (!InputValue(r, &value))
            break;
        status = asio->AsioSetLatency(fileObject, value);
        // A latency that was not set is not reported as set.
        if (NT_SUCCESS(status) && OutputHolds(r, c_LatenciesBytes))
        {
            status = asio->AsioGetLatencies(fileObject, r.Buffer);
            if (ReturnsData(status, true))
                *information = Reported(r, c_LatenciesBytes);
        }
        break;
    case IOCTL_ASIO_GET_LATENCIES:
        if (OutputHolds(r, c_LatenciesBytes))
        {
            status = asio->AsioGetLatencies(fileObject, r.Buffer);
            if (ReturnsData(status, true))
                *information = Reported(r, c_LatenciesBytes);
        }
        break;
    case IOCTL_ASIO_GET_SAMPLE_RATE:
        if (OutputHolds(r, c_SampleRateBytes))
        {
            status = asio->AsioGetSampleRate(fileObject, r.Buffer);
            if (ReturnsData(status, true))
                *information = Reported(r, c_SampleRateBytes);
        }
        break;
    case IOCTL_ASIO_CAN_SAMPLE_RATE:
        if (r.In >= c_ValueBytes && r.Buffer != nullptr)
            status = asio->AsioCanSampleRate(fileObject, r.Buffer);
        break;
    case IOCTL_ASIO_SET_SAMPLE_RATE:
        if (r.In >= c_ValueBytes && r.Buffer != nullptr)
            status = asio->AsioSetSampleRate(fileObject, r.Buffer);
        break;
    case IOCTL_ASIO_GET_BUFFER_SIZE:
        if (OutputHolds(r, c_BufferSizeBytes))
        {
            status = asio->AsioGetBufferSize(fileObject, r.Buffer);
            if (NT_SUCCESS(status))
                *information = Reported(r, c_BufferSizeBytes);
        }
        break;
    case IOCTL_ASIO_MAP_SHARED_BUFFER:
        if (r.In == 0 || r.Buffer == nullptr)
            break;
        if (r.Is32Bit)
            return MapSharedBuffer32(asio, fileObject, r, information);
        status = asio->AsioMapSharedBuffer(fileObject, r.Buffer, r.Buffer, &length);
        if (NT_SUCCESS(status))
            *information = SmallerOf(r.Out, length);
        break;
    case IOCTL_ASIO_UNMAP_SHARED_BUFFER:
        status = asio->AsioUnmapSharedBuffer(fileObject);
        break;
    case IOCTL_ASIO_START_STREAMING:
        if (InputHandle(r, &handle))
            status = asio->AsioStartStreaming(fileObject, &handle);
        break;
    case IOCTL_ASIO_STOP_STREAMING:
        if (r.In == 0 || r.Buffer == nullptr)
            status = asio->AsioStopStreaming(fileObject, r.Irp);
        break;
    case IOCTL_ASIO_RELEASE_SETTINGS_EVENT:
        if (r.In == 0 || r.Buffer == nullptr)
            status = asio->AsioReleaseSettingsEvent(fileObject);
        break;
    case IOCTL_ASIO_CHECK_AND_SET_MODE:
        if (r.In >= c_ValueBytes && r.Buffer != nullptr)
        {
            // The mode is checked again as it is set.
            asio->AsioCheckMode(fileObject, r.Buffer);
            status = asio->AsioSetMode(fileObject, r.Buffer);
        }
        break;
    case IOCTL_ASIO_SET_MODE:
        if (r.In >= c_ValueBytes && r.Buffer != nullptr)
            status = asio->AsioSetMode(fileObject, r.Buffer);
        break;
    case IOCTL_ASIO_GET_MODE:
        if (OutputHolds(r, c_ModeBytes))
        {
            status = asio->AsioGetMode(fileObject, r.Buffer);
            if (ReturnsData(status, true))
                *information = c_ModeBytes;
        }
        break;
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    return status;
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
