// The driver's routines in front of the port-class library's dispatch for
// PnP, create, close and device control. Requests on the private ASIO file
// name are the driver's own; every other request goes to PcDispatchIrp.
// Before each request but a start the device is woken from selective suspend.
#pragma once

#include "platform/io/io.h"

DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchDeviceControl;
// Cleanup of the ASIO file completes the requests the adapter holds for it;
// every cleanup then goes to PcDispatchIrp.
DRIVER_DISPATCH DispatchCleanup;

// A device-control request on the ASIO file name, after the wake: the private
// device-control codes of the ASIO interface. Completes the request unless it
// is left pending; returns its status.
NTSTATUS DispatchAsioDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);

// The file object was opened on the ASIO reference string (letter case aside).
bool IsAsioFileObject(PFILE_OBJECT fileObject);
