// The adapter common object's own interfaces: the USB device I/O that every
// device class, stream and the ASIO code reach the device through, and the
// ASIO operations that the private device-control codes are routed to. The
// slot order is fixed: callers hold only the table.
#pragma once

#include "framework/interfaces.h"
#include "platform/usb/usbdi.h"

// The language every string descriptor is read in.
inline constexpr USHORT STRING_LANGUAGE_EN_US = 0x0409;

// ----------------------------------------------------------------------------
// Synchronous URBs, IRPs to the lower driver, port recovery and the device's
// configuration. Every operation but CallLowerDriver, GetCurrentFrameNumber,
// FreeIrp and IsHighSpeed runs at PASSIVE_LEVEL.
DECLARE_INTERFACE_(IUsbDeviceIo, IUnknown)
{
    STDMETHOD_(PUSB_CONFIGURATION_DESCRIPTOR, GetConfigurationDescriptor)() PURE;
    STDMETHOD_(USBD_CONFIGURATION_HANDLE, GetConfigurationHandle)() PURE;
    STDMETHOD_(UCHAR, GetAudioControlInterfaceNumber)() PURE;
    STDMETHOD(SetDevicePresent)(UCHAR present) PURE;
    // The caller has filled the IRP's next stack location.
    STDMETHOD(CallLowerDriver)(PIRP irp) PURE;
    // Waits at most 0.5 s, then cancels the request and waits for it; the
    // URB keeps its own status and transferred length.
    STDMETHOD(SubmitUrbSync)(PURB urb) PURE;
    // Callers read only the out value, which is 0 when the bus has no answer.
    STDMETHOD(GetCurrentFrameNumber)(PULONG frameNumber) PURE;
    // An IRP with room for the adapter's location above the lower stack.
    STDMETHOD_(PIRP, AllocateIrp)() PURE;
    STDMETHOD(FreeIrp)(PIRP irp) PURE;
    STDMETHOD_(BOOLEAN, IsHighSpeed)() PURE;
    // TRUE when the device is gone. A check that could not be sent for want
    // of memory knows nothing and answers FALSE: the caller goes on as with a
    // device that is there, whose own requests then tell.
    STDMETHOD_(BOOLEAN, ResetPortIfNeeded)() PURE;
    // Cycles the port at most once in the adapter's life; TRUE when the
    // device is gone, which it always is once the port has been cycled. A
    // cycle that could not be sent leaves the device as it was.
    STDMETHOD_(BOOLEAN, CyclePort)() PURE;
    STDMETHOD_(PDEVICE_OBJECT, GetLowerDeviceObject)() PURE;
    // Streams raise the count after selecting a non-zero alternate setting
    // and lower it after selecting setting 0; the idle check relies on it.
    STDMETHOD_(LONG, IncrementActiveStreamCount)() PURE;
    STDMETHOD_(LONG, DecrementActiveStreamCount)() PURE;
    STDMETHOD(SelectDeviceClass)() PURE;
};
typedef IUsbDeviceIo* PUSBDEVICEIO;

// ----------------------------------------------------------------------------
// The ASIO operations. Each client operation takes the caller's file object
// first: it names the client.
DECLARE_INTERFACE_(IAsioPrivate, IUnknown)
{
    STDMETHOD(AsioOpenClient)(PFILE_OBJECT fileObject) PURE;
    // Reached by no request.
    STDMETHOD(AsioUnused)(PFILE_OBJECT fileObject) PURE;
    STDMETHOD(AsioCloseClient)(PFILE_OBJECT fileObject) PURE;
    STDMETHOD(AsioGetDeviceName)(PFILE_OBJECT fileObject, PVOID buffer, PULONG outputLength) PURE;
    STDMETHOD(AsioGetChannelCounts)(PFILE_OBJECT fileObject, PVOID buffer, ULONG outputLength) PURE;
    STDMETHOD(AsioGetChannelInfo)(PFILE_OBJECT fileObject, PVOID buffer, ULONG outputLength) PURE;
    STDMETHOD(AsioSetSettingsEvent)(PFILE_OBJECT fileObject, PHANDLE userEvent) PURE;
    STDMETHOD(AsioReleaseSettingsEvent)(PFILE_OBJECT fileObject) PURE;
    STDMETHOD(AsioGetOwnerState)(PFILE_OBJECT fileObject, PVOID buffer) PURE;
    STDMETHOD(AsioGetSampleTypes)(PFILE_OBJECT fileObject, PVOID buffer, PULONG outputLength) PURE;
    STDMETHOD(AsioGetLatencyTable)(PFILE_OBJECT fileObject, PVOID buffer, PULONG outputLength) PURE;
    STDMETHOD(AsioSetSampleType)(PFILE_OBJECT fileObject, ULONG sampleType) PURE;
    STDMETHOD(AsioSetLatency)(PFILE_OBJECT fileObject, ULONG latencyIndex) PURE;
    STDMETHOD(AsioGetLatencies)(PFILE_OBJECT fileObject, PVOID buffer) PURE;
    STDMETHOD(AsioGetSampleRate)(PFILE_OBJECT fileObject, PVOID buffer) PURE;
    STDMETHOD(AsioCanSampleRate)(PFILE_OBJECT fileObject, PVOID buffer) PURE;
    STDMETHOD(AsioSetSampleRate)(PFILE_OBJECT fileObject, PVOID buffer) PURE;
    STDMETHOD(AsioGetBufferSize)(PFILE_OBJECT fileObject, PVOID buffer) PURE;
    // Reads at most inputLength bytes of input.
    STDMETHOD(AsioMapSharedBuffer)
    (PFILE_OBJECT fileObject, PVOID input, ULONG inputLength, PVOID outputArray,
     PULONG outputLength) PURE;
    STDMETHOD(AsioUnmapSharedBuffer)(PFILE_OBJECT fileObject) PURE;
    STDMETHOD(AsioStartStreaming)(PFILE_OBJECT fileObject, PHANDLE bufferSwitchEvent) PURE;
    // May hold the request and return STATUS_PENDING.
    STDMETHOD(AsioStopStreaming)(PFILE_OBJECT fileObject, PIRP request) PURE;
    STDMETHOD(AsioCheckMode)(PFILE_OBJECT fileObject, PVOID buffer) PURE;
    STDMETHOD(AsioSetMode)(PFILE_OBJECT fileObject, PVOID buffer) PURE;
    STDMETHOD(AsioGetMode)(PFILE_OBJECT fileObject, PVOID buffer) PURE;
};
typedef IAsioPrivate* PASIOPRIVATE;

// The last handle to an ASIO file is closing (cleanup): requests the adapter
// holds for that file must complete now, since the file's close cannot come
// while any request on it is outstanding. The device is going (surprise
// removal or removal): every request held completes, since the device state
// they wait for will not come.
DEFINE_GUID(IID_IAsioCleanup, 0x6AA84599L, 0x9C58, 0x43E4, 0xA1, 0xBA, 0xD6, 0x93, 0x45, 0x57, 0xEB,
            0x3A);
DECLARE_INTERFACE_(IAsioCleanup, IUnknown)
{
    STDMETHOD_(void, CancelHeldRequests)(PFILE_OBJECT fileObject) PURE;
    STDMETHOD_(void, CancelAllHeldRequests)() PURE;
};
typedef IAsioCleanup* PASIOCLEANUP;

// ----------------------------------------------------------------------------
// Device classes. Each factory creates its device object aggregated under the
// outer unknown and hands out the object's non-delegating unknown with one
// reference.
typedef NTSTATUS (*PDEVICE_CLASS_FACTORY)(PUNKNOWN* deviceObject, PUNKNOWN outerUnknown,
                                          USHORT idVendor, USHORT idProduct);

struct DeviceClassFactories
{
    PDEVICE_CLASS_FACTORY CreateUsbAudio2Device;
    PDEVICE_CLASS_FACTORY CreateUsbAudioTimedDevice;
    PDEVICE_CLASS_FACTORY CreateUsbAudio1DeviceA;
    PDEVICE_CLASS_FACTORY CreateUsbAudio1DeviceB;
    PDEVICE_CLASS_FACTORY CreateUsbAudio1DeviceC;
    PDEVICE_CLASS_FACTORY CreateUsbAudio1Device;
};

// The table the class choice calls through. It starts as the driver's own
// table of its six device classes; a table without the chosen class's
// factory fails the choice with STATUS_NOT_SUPPORTED. Set-up code and tests may install another
// table and get the previous one back; null restores the driver's own.
const DeviceClassFactories* SetDeviceClassFactories(const DeviceClassFactories* table);
const DeviceClassFactories* GetDeviceClassFactories();
