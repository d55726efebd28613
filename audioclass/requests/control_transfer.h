// One synchronous class or vendor control transfer through the adapter's USB
// device I/O: the request block, the submission and the check that an IN
// reply holds every byte its reader is going to look at.
#pragma once

#include "framework/adapter_interfaces.h"

struct ControlRequest
{
    USHORT Function; // URB_FUNCTION_CLASS_INTERFACE, URB_FUNCTION_VENDOR_OTHER...
    BOOLEAN In;      // device to host
    UCHAR Request;
    USHORT Value;
    USHORT Index;
};

// Fills `urb` (room for a class or vendor request) and submits it. An IN
// buffer is zeroed first, so that bytes the device did not send read as 0.
// *transferred (optional) receives the bytes the device moved.
NTSTATUS SubmitControlRequest(PUSBDEVICEIO io, PURB urb, const ControlRequest& request,
                              PVOID buffer, ULONG length, PULONG transferred);

// As above with the request block on the stack. A successful IN transfer
// that moved fewer than `needed` bytes fails with STATUS_DEVICE_DATA_ERROR:
// a short reply must not be read as if the missing bytes were zero.
NTSTATUS ControlRequestAtLeast(PUSBDEVICEIO io, const ControlRequest& request, PVOID buffer,
                               ULONG length, ULONG needed);
