// The private device-control codes of the ASIO interface. The ASIO operations
// are not part of the driver yet, so no code is routed to them: every request
// is refused, and a user-mode client learns at once that it cannot go on.
#include "driver/dispatch.h"

NTSTATUS DispatchAsioDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    PAGED_CODE();
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}
