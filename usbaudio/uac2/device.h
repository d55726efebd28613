// The audio class 2.0 device class: no model hook, 6-byte status messages
// with a bulk read beside them, and a pause from "Settings" after each wave
// subdevice it renames.
#pragma once

#include "usbaudio/device/usb_audio_device.h"

extern const DeviceClassTraits UAC2_DEVICE_TRAITS;

class CUsbAudio2Device : public CUsbAudioDevice
{
  public:
    CUsbAudio2Device(PUNKNOWN outerUnknown, USHORT idVendor, USHORT idProduct)
        : CUsbAudioDevice(outerUnknown, UAC2_DEVICE_TRAITS, idVendor, idProduct)
    {
    }

    STDMETHODIMP GetEndpointCapabilities(BOOLEAN isInput, ULONG endpointKind,
                                         PENDPOINTCAPABILITIES capabilities) override;
    STDMETHODIMP ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                                   ULONG bytesToEnd) override;
    STDMETHODIMP ParseAudioStreaming(struct _USB_CONFIGURATION_DESCRIPTOR* configuration,
                                     struct _USB_INTERFACE_DESCRIPTOR* firstStreamingInterface,
                                     ULONG bytesToEnd) override;

    // bInfo, bAttribute, wValue (selector, channel), wIndex (entity,
    // interface): a CUR change at an entity of this AudioControl interface.
    void HandleStatusMessage(const UCHAR* message, ULONG length) override;

  protected:
    NTSTATUS FillCapabilityRecord(PUSBDEVICEIO io) override;
    const PollingTraits& PollingKind() const override { return UAC2_POLLING; }
    bool PollingRunsUnits() const override { return false; }
};
