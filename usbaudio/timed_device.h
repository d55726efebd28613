// The timed device class: a class 1.0 device of one chip family whose
// registers, switches and jack timer come with the timed-class set-up; its
// renamed engines are installed through the unit's control change.
#pragma once

#include "usbaudio/uac1_device.h"

extern const DeviceClassTraits TIMED_DEVICE_TRAITS;

class CUsbAudioTimedDevice : public CUsbAudio1Device
{
  public:
    CUsbAudioTimedDevice(PUNKNOWN outerUnknown, USHORT idVendor, USHORT idProduct)
        : CUsbAudio1Device(outerUnknown, idVendor, idProduct, TIMED_DEVICE_TRAITS)
    {
    }

    // The register refresh of the chip.
    STDMETHODIMP PostParse() override;

  protected:
    NTSTATUS FillCapabilityRecord(PUSBDEVICEIO io) override;
};
