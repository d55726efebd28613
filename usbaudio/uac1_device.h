// The audio class 1.0 device class, and the base of the chip-model and timed
// classes: its capability record comes from the product string and, for the
// chip maker's model families, from the chip itself.
#pragma once

#include "usbaudio/usb_audio_device.h"

extern const DeviceClassTraits UAC1_DEVICE_TRAITS;

class CUsbAudio1Device : public CUsbAudioDevice
{
  public:
    CUsbAudio1Device(PUNKNOWN outerUnknown, USHORT idVendor, USHORT idProduct,
                     const DeviceClassTraits& traits = UAC1_DEVICE_TRAITS)
        : CUsbAudioDevice(outerUnknown, traits, idVendor, idProduct)
    {
    }

    STDMETHODIMP GetEndpointCapabilities(BOOLEAN isInput, ULONG endpointKind,
                                         PENDPOINTCAPABILITIES capabilities) override;

  protected:
    NTSTATUS FillCapabilityRecord(PUSBDEVICEIO io) override;
};
