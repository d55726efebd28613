// The device classes of the chip models A, B and C: class 1.0 devices whose
// capability records are fixed per model (and listed device), and whose walks
// replace single units, terminals and streams.
#pragma once

#include "usbaudio/uac1/device.h"

extern const DeviceClassTraits MODEL_A_DEVICE_TRAITS;
extern const DeviceClassTraits MODEL_B_DEVICE_TRAITS;
extern const DeviceClassTraits MODEL_C_DEVICE_TRAITS;

class CUsbAudio1DeviceA : public CUsbAudio1Device
{
  public:
    CUsbAudio1DeviceA(PUNKNOWN outerUnknown, USHORT idVendor, USHORT idProduct)
        : CUsbAudio1Device(outerUnknown, idVendor, idProduct, MODEL_A_DEVICE_TRAITS)
    {
    }
    STDMETHODIMP ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                                   ULONG bytesToEnd) override;

  protected:
    NTSTATUS FillCapabilityRecord(PUSBDEVICEIO io) override;
};

class CUsbAudio1DeviceB : public CUsbAudio1Device
{
  public:
    CUsbAudio1DeviceB(PUNKNOWN outerUnknown, USHORT idVendor, USHORT idProduct)
        : CUsbAudio1Device(outerUnknown, idVendor, idProduct, MODEL_B_DEVICE_TRAITS)
    {
    }
    STDMETHODIMP ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                                   ULONG bytesToEnd) override;

  protected:
    NTSTATUS FillCapabilityRecord(PUSBDEVICEIO io) override;
};

class CUsbAudio1DeviceC : public CUsbAudio1Device
{
  public:
    CUsbAudio1DeviceC(PUNKNOWN outerUnknown, USHORT idVendor, USHORT idProduct)
        : CUsbAudio1Device(outerUnknown, idVendor, idProduct, MODEL_C_DEVICE_TRAITS)
    {
    }
    STDMETHODIMP ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                                   ULONG bytesToEnd) override;
    STDMETHODIMP ParseAudioStreaming(struct _USB_CONFIGURATION_DESCRIPTOR* configuration,
                                     struct _USB_INTERFACE_DESCRIPTOR* firstStreamingInterface,
                                     ULONG bytesToEnd) override;

  protected:
    NTSTATUS FillCapabilityRecord(PUSBDEVICEIO io) override;
};
