// The device end of the emulated USB wire: what the emulated host controller
// asks of the device plugged into its port. The simulated devices implement
// it; the bus (EmuUsbBus) drives it from its frame clock.
#pragma once

#include "platform/usb/usbdi.h"

enum class EmuUsbSpeed
{
    Full, // 12 Mbit/s: one packet per 1 ms frame
    High  // 480 Mbit/s: eight 125 us microframes per frame
};

// How the device answered a control transfer.
enum class EmuUsbHandshake
{
    Ack,        // data stage and status stage done
    Stall,      // request error: STALL on the data or status stage
    NoResponse, // the device never answers; the transfer pends until cancelled
    Unplug      // the device is pulled out while it handles the request
};

struct EmuControlAnswer
{
    EmuUsbHandshake Handshake = EmuUsbHandshake::Ack;
    ULONG Length = 0; // bytes of the data stage actually moved
};

class EmuUsbFunction
{
  public:
    virtual ~EmuUsbFunction() = default;

    virtual EmuUsbSpeed Speed() const = 0;

    // One control transfer on endpoint 0. data has setup.wLength bytes: the
    // OUT data stage to read, or room for the IN data stage. frame is the bus
    // frame in which the transfer runs.
    virtual EmuControlAnswer ControlTransfer(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                             UCHAR* data, ULONG frame) = 0;

    // One isochronous packet in (frame, microframe); microframe is 0 at full
    // speed. The result goes into the packet's status.
    virtual USBD_STATUS IsochOut(UCHAR endpoint, ULONG frame, ULONG microframe, const UCHAR* data,
                                 ULONG length) = 0;
    virtual USBD_STATUS IsochIn(UCHAR endpoint, ULONG frame, ULONG microframe, UCHAR* data,
                                ULONG capacity, ULONG* length) = 0;

    // Interrupt or bulk IN: USBD_STATUS_PENDING when the endpoint NAKs
    // (nothing to send yet), USBD_STATUS_STALL_PID when it stalls.
    virtual USBD_STATUS InterruptOrBulkIn(UCHAR endpoint, UCHAR* data, ULONG capacity,
                                          ULONG* length) = 0;
    virtual USBD_STATUS InterruptOrBulkOut(UCHAR endpoint, const UCHAR* data, ULONG length) = 0;

    // Bus reset on the port: the device goes back to its default state.
    virtual void BusReset() = 0;
    // Called once per frame before the frame's transfers run.
    virtual void StartOfFrame(ULONG frame) { (void)frame; }
};
