// A device with no model behind it: it sends the bytes it was given as they
// stand, with none of the simulator's checks, so that only the driver's own
// defences stand between them and the driver. The device and configuration
// descriptors are its own two blocks; every other IN request, isochronous IN
// packet and interrupt IN transfer is served from one pool of reply bytes,
// in order, wrapping round. OUT data is taken and dropped.
#pragma once

#include <vector>

#include "platform/usb/emu_usb_function.h"

class SimRawDevice : public EmuUsbFunction
{
  public:
    SimRawDevice(std::vector<UCHAR> device, std::vector<UCHAR> configuration,
                 std::vector<UCHAR> replies, EmuUsbSpeed speed);

    // The device descriptor's ids, 0 where its bytes end before them.
    USHORT VendorId() const { return Word(8); }
    USHORT ProductId() const { return Word(10); }
    USHORT Revision() const { return Word(12); }

    EmuUsbSpeed Speed() const override { return m_Speed; }
    EmuControlAnswer ControlTransfer(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data,
                                     ULONG frame) override;
    USBD_STATUS IsochOut(UCHAR endpoint, ULONG frame, ULONG microframe, const UCHAR* data,
                         ULONG length) override;
    USBD_STATUS IsochIn(UCHAR endpoint, ULONG frame, ULONG microframe, UCHAR* data, ULONG capacity,
                        ULONG* length) override;
    USBD_STATUS InterruptOrBulkIn(UCHAR endpoint, UCHAR* data, ULONG capacity,
                                  ULONG* length) override;
    USBD_STATUS InterruptOrBulkOut(UCHAR endpoint, const UCHAR* data, ULONG length) override;
    void BusReset() override {}

  private:
    // The next reply byte (0 from an empty pool).
    UCHAR Next();
    // Copies up to `capacity` bytes of the pool; the count copied.
    ULONG Fill(UCHAR* data, ULONG length);
    USHORT Word(size_t at) const;

    std::vector<UCHAR> m_Device;
    std::vector<UCHAR> m_Configuration;
    std::vector<UCHAR> m_Replies;
    size_t m_Next = 0;
    EmuUsbSpeed m_Speed;
};
