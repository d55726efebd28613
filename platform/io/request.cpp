// Requests as the I/O manager builds them for a user-mode caller: files opened
// on devices, device-control requests with their buffering methods.
#include "platform/io/io_internal.h"
#include "platform/kernel/emu.h"
#include "platform/kernel/emu_hooks.h"

namespace
{
const ULONG FILE_TAG = POOL_TAG("File");
const ULONG SYSTEM_BUFFER_TAG = POOL_TAG("IoBf");
const ULONGLONG REQUEST_WAIT_MS = 10000;

void DeleteDeviceFile(void* object)
{
    ExFreePoolWithTag(object, FILE_TAG);
}

const EmuObjectKind& DeviceFileKind()
{
    static EmuObjectKind kind = {*IoFileObjectType, DeleteDeviceFile};
    return kind;
}

void FreeMdls(PIRP irp)
{
    while (irp->MdlAddress != nullptr)
    {
        PMDL next = irp->MdlAddress->Next;
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = next;
    }
}
} // namespace

EmuIoRequest::EmuIoRequest()
{
    KeInitializeEvent(&m_Done, NotificationEvent, FALSE);
}

std::unique_ptr<EmuIoRequest> EmuIoRequest::Build(PFILE_OBJECT fileObject, UCHAR majorFunction,
                                                  KPROCESSOR_MODE mode)
{
    if (fileObject == nullptr || !IoIsDevice(fileObject->DeviceObject))
    {
        EmuReportFailure("request on %p, which is not a file object of a device",
                         (void*)fileObject);
        return nullptr;
    }
    PDEVICE_OBJECT target = IoGetRelatedDeviceObject(fileObject);
    PIRP irp = nullptr;
    {
        EmuPoolUnfailing unfailing; // the I/O manager's own IRP
        irp = IoAllocateSystemIrp(target->StackSize, FALSE);
    }
    if (irp == nullptr)
        return nullptr;
    std::unique_ptr<EmuIoRequest> r(new EmuIoRequest());
    irp->EmuKind = IoIrpEmuRequest;
    irp->RequestorMode = mode;
    irp->EmuRequestorProcess = PsGetCurrentProcess();
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = fileObject;
    irp->Overlay.AsynchronousParameters.UserApcContext = r.get();
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = majorFunction;
    stack->FileObject = fileObject;
    r->m_Irp = irp;
    r->m_Target = target;
    return r;
}

std::unique_ptr<EmuIoRequest> EmuIoRequest::FileRequest(PFILE_OBJECT fileObject,
                                                        UCHAR majorFunction, KPROCESSOR_MODE mode)
{
    if (majorFunction != IRP_MJ_CREATE && majorFunction != IRP_MJ_CLEANUP &&
        majorFunction != IRP_MJ_CLOSE)
    {
        EmuReportFailure("EmuIoRequest::FileRequest with major function 0x%x", majorFunction);
        return nullptr;
    }
    auto r = Build(fileObject, majorFunction, mode);
    if (r == nullptr)
        return nullptr;
    if (majorFunction == IRP_MJ_CREATE)
    {
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(r->m_Irp);
        stack->Parameters.Create.Options = ((ULONG)FILE_OPEN << 24) | FILE_SYNCHRONOUS_IO_NONALERT;
        stack->Parameters.Create.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
        r->m_Irp->Flags = IRP_CREATE_OPERATION;
    }
    else if (majorFunction == IRP_MJ_CLOSE)
        r->m_Irp->Flags = IRP_CLOSE_OPERATION;
    return r;
}

std::unique_ptr<EmuIoRequest> EmuIoRequest::DeviceControl(PFILE_OBJECT fileObject,
                                                          ULONG ioControlCode, const void* input,
                                                          ULONG inputLength, ULONG outputLength,
                                                          KPROCESSOR_MODE mode, bool internal)
{
    if (inputLength != 0 && input == nullptr)
    {
        EmuReportFailure("EmuIoRequest::DeviceControl: %u input bytes without a buffer",
                         inputLength);
        return nullptr;
    }
    auto r =
        Build(fileObject, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, mode);
    if (r == nullptr)
        return nullptr;
    PIRP irp = r->m_Irp;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    auto bytes = static_cast<const UCHAR*>(input);
    r->m_Input.assign(bytes, bytes + inputLength);
    r->m_Output.assign(outputLength, 0);
    r->m_OutputLength = outputLength;
    r->m_Control = true;
    r->m_Method = METHOD_FROM_CTL_CODE(ioControlCode);
    EmuPoolUnfailing unfailing; // the request's buffers, as its IRP
    switch (r->m_Method)
    {
    case METHOD_BUFFERED:
    {
        ULONG size = inputLength > outputLength ? inputLength : outputLength;
        if (size != 0)
        {
            r->m_SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, size, SYSTEM_BUFFER_TAG);
            if (r->m_SystemBuffer == nullptr)
                return nullptr; // the destructor frees the IRP
            if (inputLength != 0)
                memcpy(r->m_SystemBuffer, input, inputLength);
            irp->AssociatedIrp.SystemBuffer = r->m_SystemBuffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER |
                         (outputLength != 0 ? IRP_INPUT_OPERATION : 0);
        }
        irp->UserBuffer = outputLength != 0 ? r->m_Output.data() : nullptr;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (inputLength != 0)
        {
            r->m_SystemBuffer =
                ExAllocatePoolWithTag(NonPagedPoolNx, inputLength, SYSTEM_BUFFER_TAG);
            if (r->m_SystemBuffer == nullptr)
                return nullptr;
            memcpy(r->m_SystemBuffer, input, inputLength);
            irp->AssociatedIrp.SystemBuffer = r->m_SystemBuffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (outputLength != 0)
        {
            PMDL mdl = IoAllocateMdl(r->m_Output.data(), outputLength, FALSE, FALSE, irp);
            if (mdl == nullptr)
                return nullptr;
            mdl->MdlFlags |= MDL_PAGES_LOCKED;
        }
        break;
    default:
        stack->Parameters.DeviceIoControl.Type3InputBuffer =
            inputLength != 0 ? r->m_Input.data() : nullptr;
        irp->UserBuffer = outputLength != 0 ? r->m_Output.data() : nullptr;
        break;
    }
    return r;
}

EmuIoRequest::~EmuIoRequest()
{
    if (m_Irp == nullptr)
        return;
    if (!m_Sent)
    {
        if (m_SystemBuffer != nullptr)
            ExFreePoolWithTag(m_SystemBuffer, SYSTEM_BUFFER_TAG);
        FreeMdls(m_Irp);
        IoFreeIrpInternal(m_Irp);
        return;
    }
    EmuReportFailure("request IRP %p is still held by a driver when its sender goes away",
                     (void*)m_Irp);
    m_Irp->Overlay.AsynchronousParameters.UserApcContext = nullptr;
    Io().Requests.erase(this);
}

NTSTATUS EmuIoRequest::Send()
{
    if (m_Sent || m_Irp == nullptr)
    {
        EmuReportFailure("EmuIoRequest sent twice");
        return STATUS_INVALID_PARAMETER;
    }
    m_Sent = true;
    Io().Requests.insert(this);
    return IoCallDriver(m_Target, m_Irp);
}

bool EmuIoRequest::Wait(ULONGLONG maxMs)
{
    if (m_Completed)
        return true;
    if (!m_Sent)
        return false;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)maxMs * 10000;
    KeWaitForSingleObject(&m_Done, Executive, KernelMode, FALSE, &timeout);
    return m_Completed;
}

BOOLEAN EmuIoRequest::Cancel()
{
    if (!m_Sent || m_Completed || m_Irp == nullptr)
        return FALSE;
    return IoCancelIrp(m_Irp);
}

void EmuIoRequest::OnComplete(PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR n = irp->IoStatus.Information;
    // With no output buffer a warning may name the size needed (the size
    // protocol); bytes claimed beyond a real output buffer are a fault.
    bool claimsTooMuch = m_OutputLength != 0 ? !NT_ERROR(status) : NT_SUCCESS(status);
    if (m_Control && claimsTooMuch && n > m_OutputLength)
    {
        EmuReportFailure("IRP %p returned %llu bytes for an output buffer of %u", (void*)irp,
                         (unsigned long long)n, m_OutputLength);
        n = m_OutputLength;
    }
    if (m_Method == METHOD_BUFFERED && (irp->Flags & IRP_INPUT_OPERATION) != 0 &&
        !NT_ERROR(status) && n != 0)
        memcpy(m_Output.data(), m_SystemBuffer, n);
    if (m_SystemBuffer != nullptr)
        ExFreePoolWithTag(m_SystemBuffer, SYSTEM_BUFFER_TAG);
    m_SystemBuffer = nullptr;
    irp->AssociatedIrp.SystemBuffer = nullptr;
    FreeMdls(irp);
    m_Status = status;
    m_Information = irp->IoStatus.Information;
    m_Completed = true;
    Io().Requests.erase(this);
    IoFreeIrpInternal(irp);
    m_Irp = nullptr;
    KeSetEvent(&m_Done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS EmuDeviceControl(PFILE_OBJECT fileObject, ULONG ioControlCode, const void* input,
                          ULONG inputLength, void* output, ULONG outputLength,
                          ULONG_PTR* information, KPROCESSOR_MODE mode)
{
    if (information != nullptr)
        *information = 0;
    auto r = EmuIoRequest::DeviceControl(fileObject, ioControlCode, input, inputLength,
                                         outputLength, mode);
    if (r == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    r->Send();
    if (!r->Wait(REQUEST_WAIT_MS))
        return STATUS_PENDING; // reported when r goes
    if (output != nullptr && outputLength != 0)
        memcpy(output, r->Output().data(), outputLength);
    if (information != nullptr)
        *information = r->Information();
    return r->Status();
}

// ----------------------------------------------------------------------------
// Files on devices

NTSTATUS EmuOpenFile(PDEVICE_OBJECT device, const void* fileName, ULONG fileNameBytes,
                     PFILE_OBJECT relatedFileObject, KPROCESSOR_MODE mode, PFILE_OBJECT* fileObject)
{
    *fileObject = nullptr;
    if (!IoIsDevice(device))
    {
        EmuReportFailure("EmuOpenFile on %p, which is not a device object", (void*)device);
        return STATUS_INVALID_PARAMETER;
    }
    if (fileNameBytes > MAXUSHORT - 2 || (fileNameBytes != 0 && fileName == nullptr))
        return STATUS_OBJECT_NAME_INVALID;
    SIZE_T size = sizeof(FILE_OBJECT) + fileNameBytes + sizeof(WCHAR);
    UCHAR* block = nullptr;
    {
        EmuPoolUnfailing unfailing; // the I/O manager's own file object
        block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, FILE_TAG));
    }
    if (block == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(block, 0, size);
    auto file = reinterpret_cast<PFILE_OBJECT>(block);
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->RelatedFileObject = relatedFileObject;
    file->Flags = FO_SYNCHRONOUS_IO;
    file->ReadAccess = TRUE;
    file->WriteAccess = TRUE;
    file->SharedRead = TRUE;
    file->SharedWrite = TRUE;
    file->FileName.Buffer = reinterpret_cast<PWSTR>(block + sizeof(FILE_OBJECT));
    file->FileName.Length = (USHORT)fileNameBytes;
    file->FileName.MaximumLength = (USHORT)(fileNameBytes + sizeof(WCHAR));
    if (fileNameBytes != 0)
        memcpy(file->FileName.Buffer, fileName, fileNameBytes);
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    InitializeListHead(&file->IrpList);
    EmuObRegister(file, &DeviceFileKind());
    device->ReferenceCount++;

    NTSTATUS status;
    {
        auto r = EmuIoRequest::FileRequest(file, IRP_MJ_CREATE, mode);
        if (r == nullptr)
            status = STATUS_INSUFFICIENT_RESOURCES;
        else
        {
            r->Send();
            status = r->Wait(REQUEST_WAIT_MS) ? r->Status() : STATUS_PENDING;
        }
    }
    if (!NT_SUCCESS(status) || status == STATUS_PENDING)
    {
        device->ReferenceCount--;
        ObDereferenceObject(file);
        return status == STATUS_PENDING ? STATUS_IO_TIMEOUT : status;
    }
    *fileObject = file;
    return status;
}

NTSTATUS EmuOpenFile(PDEVICE_OBJECT device, const WCHAR* fileName, PFILE_OBJECT* fileObject)
{
    ULONG bytes = 0;
    while (fileName != nullptr && fileName[bytes / sizeof(WCHAR)] != 0)
        bytes += sizeof(WCHAR);
    return EmuOpenFile(device, fileName, bytes, nullptr, UserMode, fileObject);
}

NTSTATUS EmuCloseFile(PFILE_OBJECT fileObject)
{
    NTSTATUS status = STATUS_SUCCESS;
    for (UCHAR major : {(UCHAR)IRP_MJ_CLEANUP, (UCHAR)IRP_MJ_CLOSE})
    {
        auto r = EmuIoRequest::FileRequest(fileObject, major);
        if (r == nullptr)
            return STATUS_INVALID_PARAMETER;
        r->Send();
        status = r->Wait(REQUEST_WAIT_MS) ? r->Status() : STATUS_IO_TIMEOUT;
    }
    fileObject->DeviceObject->ReferenceCount--;
    ObDereferenceObject(fileObject);
    return status;
}
