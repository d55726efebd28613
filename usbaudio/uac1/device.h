// The audio class 1.0 device class, and the base of the chip-model and timed
// classes: its capability record comes from the product string and, for the
// chip maker's model families, from the chip itself.
#pragma once

#include "usbaudio/device/usb_audio_device.h"

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
    // The class 1.0 walks; the chip models and the timed class replace
    // those they have their own of.
    STDMETHODIMP ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                                   ULONG bytesToEnd) override;
    STDMETHODIMP ParseAudioStreaming(struct _USB_CONFIGURATION_DESCRIPTOR* configuration,
                                     struct _USB_INTERFACE_DESCRIPTOR* firstStreamingInterface,
                                     ULONG bytesToEnd) override;

  protected:
    NTSTATUS FillCapabilityRecord(PUSBDEVICEIO io) override;
};
