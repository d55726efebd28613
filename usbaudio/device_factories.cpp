#include "usbaudio/device_factories.h"

#include "usbaudio/chip_model/devices.h"
#include "usbaudio/timed/device.h"
#include "usbaudio/uac2/device.h"

namespace
{
template <typename T>
NTSTATUS CreateDevice(PUNKNOWN* object, PUNKNOWN adapter, USHORT idVendor, USHORT idProduct,
                      ULONG tag)
{
    PAGED_CODE();
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    auto device = new (NonPagedPool, tag) T(adapter, idVendor, idProduct);
    if (device == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *object = device->GetNonDelegatingUnknown();
    (*object)->AddRef();
    return STATUS_SUCCESS;
}
} // namespace

NTSTATUS CreateUsbAudio1Device(PUNKNOWN* object, PUNKNOWN adapter, USHORT idVendor,
                               USHORT idProduct)
{
    return CreateDevice<CUsbAudio1Device>(object, adapter, idVendor, idProduct, UAC1_POOL_TAG);
}

NTSTATUS CreateUsbAudio2Device(PUNKNOWN* object, PUNKNOWN adapter, USHORT idVendor,
                               USHORT idProduct)
{
    return CreateDevice<CUsbAudio2Device>(object, adapter, idVendor, idProduct, UAC2_POOL_TAG);
}

NTSTATUS CreateUsbAudioTimedDevice(PUNKNOWN* object, PUNKNOWN adapter, USHORT idVendor,
                                   USHORT idProduct)
{
    return CreateDevice<CUsbAudioTimedDevice>(object, adapter, idVendor, idProduct, TIMED_POOL_TAG);
}

NTSTATUS CreateUsbAudio1DeviceA(PUNKNOWN* object, PUNKNOWN adapter, USHORT idVendor,
                                USHORT idProduct)
{
    return CreateDevice<CUsbAudio1DeviceA>(object, adapter, idVendor, idProduct, MODEL_A_POOL_TAG);
}

NTSTATUS CreateUsbAudio1DeviceB(PUNKNOWN* object, PUNKNOWN adapter, USHORT idVendor,
                                USHORT idProduct)
{
    return CreateDevice<CUsbAudio1DeviceB>(object, adapter, idVendor, idProduct, MODEL_B_POOL_TAG);
}

NTSTATUS CreateUsbAudio1DeviceC(PUNKNOWN* object, PUNKNOWN adapter, USHORT idVendor,
                                USHORT idProduct)
{
    return CreateDevice<CUsbAudio1DeviceC>(object, adapter, idVendor, idProduct, MODEL_C_POOL_TAG);
}
