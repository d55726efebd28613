// The port-class audio library as an adapter driver sees it: adapter
// initialisation and devices, IRP dispatch, ports and miniports, DMA channel
// and stream interfaces, service groups, registry keys, power management,
// subdevice and physical-connection registration, events and DRM forwarding.
#pragma once

#include "platform/io/io.h"
#include "platform/ks/ksmedia.h"
#include "platform/ks/pcautomation.h"
#include "platform/ks/unknown.h"

// ----------------------------------------------------------------------------
// Interface and class ids
DEFINE_GUID(IID_IMiniport, 0xB4C90A24L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5,
            0x44);
DEFINE_GUID(IID_IPort, 0xB4C90A25L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IPortWaveCyclic, 0xB4C90A26L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11,
            0xB5, 0x44);
DEFINE_GUID(IID_IMiniportWaveCyclic, 0xB4C90A27L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9,
            0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IMiniportWaveCyclicStream, 0xB4C90A28L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0,
            0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IPortTopology, 0xB4C90A30L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11,
            0xB5, 0x44);
DEFINE_GUID(IID_IMiniportTopology, 0xB4C90A31L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11,
            0xB5, 0x44);
DEFINE_GUID(CLSID_PortWaveCyclic, 0xB4C90A2AL, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11,
            0xB5, 0x44);
DEFINE_GUID(CLSID_PortTopology, 0xB4C90A32L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11,
            0xB5, 0x44);
DEFINE_GUID(IID_IResourceList, 0x22C6AC60L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38,
            0xAC, 0xFE);
DEFINE_GUID(IID_IDmaChannel, 0x22C6AC61L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC,
            0xFE);
DEFINE_GUID(IID_IServiceSink, 0x22C6AC64L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC,
            0xFE);
DEFINE_GUID(IID_IServiceGroup, 0x22C6AC65L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38,
            0xAC, 0xFE);
DEFINE_GUID(IID_IRegistryKey, 0xE8DA4302L, 0xF304, 0x11D0, 0x95, 0x8B, 0x00, 0xC0, 0x4F, 0xB9, 0x25,
            0xD3);
DEFINE_GUID(IID_IAdapterPowerManagement, 0x793417D0L, 0x35FE, 0x11D1, 0xAD, 0x08, 0x00, 0xA0, 0xC9,
            0x0A, 0xB1, 0xB0);
DEFINE_GUID(IID_IPowerNotify, 0x3DD648B8L, 0x969F, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25,
            0xD3);
DEFINE_GUID(IID_IPortEvents, 0xA80F29C4L, 0x5498, 0x11D2, 0x95, 0xD9, 0x00, 0xC0, 0x4F, 0xB9, 0x25,
            0xD3);
DEFINE_GUID(IID_IPortClsVersion, 0x7D89A7BBL, 0x869B, 0x4567, 0x8D, 0xBE, 0x1E, 0x16, 0x8C, 0xC8,
            0x53, 0xDE);
DEFINE_GUID(IID_IUnregisterSubdevice, 0x16738177L, 0xE199, 0x41F9, 0x9A, 0x87, 0xAB, 0xB2, 0xA5,
            0x43, 0x2F, 0x21);
DEFINE_GUID(IID_IUnregisterPhysicalConnection, 0x6C38E231L, 0x2A0D, 0x428D, 0x81, 0xF8, 0x07, 0xCC,
            0x42, 0x8B, 0xB9, 0xA4);
DEFINE_GUID(IID_IMiniportAudioSignalProcessing, 0xB532678CL, 0xBE50, 0x472D, 0x99, 0x73, 0x8A, 0x6F,
            0x16, 0x59, 0x49, 0x89);
DEFINE_GUID(IID_IDrmAudioStream, 0x1915C967L, 0x3299, 0x48CB, 0xA3, 0xE4, 0x69, 0xFD, 0x1D, 0x1B,
            0x30, 0x6E);

// ----------------------------------------------------------------------------
// Basic types
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;
typedef struct _ADAPTER_OBJECT* PADAPTER_OBJECT;
typedef UCHAR CM_RESOURCE_TYPE;

// Bytes of the device extension that port-class keeps for itself, ahead of the
// adapter driver's own.
#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))

// The port-class library version an adapter can ask for.
enum
{
    kVersionInvalid = -1,
    kVersionWin98 = 1,
    kVersionWin98SE,
    kVersionWin2K,
    kVersionWin98SE_QFE2,
    kVersionWin2K_SP2,
    kVersionWinME,
    kVersionWin98SE_QFE3,
    kVersionWinME_QFE1,
    kVersionWinXP,
    kVersionWinXPSP1,
    kVersionWinServer2003,
    kVersionWin2K_UAAQFE,
    kVersionWinXP_UAAQFE,
    kVersionWinServer2003_UAAQFE
};

typedef enum
{
    GeneralRegistryKey,
    DeviceRegistryKey,
    DriverRegistryKey,
    HwProfileRegistryKey,
    DeviceInterfaceRegistryKey
} PORT_CLASS_REGISTRY_KEY_TYPE;

typedef struct
{
    BOOL CopyProtect;
    ULONG Reserved;
    BOOL DigitalOutputDisable;
} DRMRIGHTS, *PDRMRIGHTS;
typedef const DRMRIGHTS* PCDRMRIGHTS;

typedef struct
{
    ULONG Flags;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PVOID Context;
} DRMFORWARD, *PDRMFORWARD;
typedef const DRMFORWARD* PCDRMFORWARD;

// ----------------------------------------------------------------------------
// Interfaces
DECLARE_INTERFACE_(IResourceList, IUnknown)
{
    STDMETHOD_(ULONG, NumberOfEntries)() PURE;
    STDMETHOD_(ULONG, NumberOfEntriesOfType)(CM_RESOURCE_TYPE type) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindTranslatedEntry)
    (CM_RESOURCE_TYPE type, ULONG index) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindUntranslatedEntry)
    (CM_RESOURCE_TYPE type, ULONG index) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, TranslatedList)() PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, UntranslatedList)() PURE;
};
typedef IResourceList* PRESOURCELIST;

DECLARE_INTERFACE_(IServiceSink, IUnknown)
{
    STDMETHOD_(void, RequestService)() PURE;
};
typedef IServiceSink* PSERVICESINK;

// Requests reach the members from a DPC, never inside the caller's
// RequestService.
DECLARE_INTERFACE_(IServiceGroup, IServiceSink)
{
    STDMETHOD(AddMember)(PSERVICESINK serviceSink) PURE;
    STDMETHOD_(void, RemoveMember)(PSERVICESINK serviceSink) PURE;
    STDMETHOD_(void, SupportDelayedService)() PURE;
    STDMETHOD_(void, RequestDelayedService)(ULONGLONG delay100ns) PURE;
    STDMETHOD_(void, CancelDelayedService)() PURE;
};
typedef IServiceGroup* PSERVICEGROUP;

DECLARE_INTERFACE_(IRegistryKey, IUnknown)
{
    STDMETHOD(QueryKey)
    (KEY_INFORMATION_CLASS keyInformationClass, PVOID keyInformation, ULONG length,
     PULONG resultLength) PURE;
    STDMETHOD(QueryValueKey)
    (PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
     PVOID keyValueInformation, ULONG length, PULONG resultLength) PURE;
    STDMETHOD(SetValueKey)(PUNICODE_STRING valueName, ULONG type, PVOID data, ULONG dataSize) PURE;
    // Opens the subkey, creating it when missing.
    STDMETHOD(NewSubKey)
    (IRegistryKey * *registrySubKey, PUNKNOWN outerUnknown, ACCESS_MASK desiredAccess,
     PUNICODE_STRING subKeyName, ULONG createOptions, PULONG disposition) PURE;
};
typedef IRegistryKey* PREGISTRYKEY;

DECLARE_INTERFACE_(IDmaChannel, IUnknown)
{
    STDMETHOD(AllocateBuffer)(ULONG bufferSize, PPHYSICAL_ADDRESS physicalAddressConstraint) PURE;
    STDMETHOD_(void, FreeBuffer)() PURE;
    STDMETHOD_(ULONG, TransferCount)() PURE;
    STDMETHOD_(ULONG, MaximumBufferSize)() PURE;
    STDMETHOD_(ULONG, AllocatedBufferSize)() PURE;
    STDMETHOD_(ULONG, BufferSize)() PURE;
    STDMETHOD_(void, SetBufferSize)(ULONG bufferSize) PURE;
    STDMETHOD_(PVOID, SystemAddress)() PURE;
    STDMETHOD_(PHYSICAL_ADDRESS, PhysicalAddress)() PURE;
    STDMETHOD_(PADAPTER_OBJECT, GetAdapterObject)() PURE;
    STDMETHOD_(void, CopyTo)(PVOID destination, PVOID source, ULONG byteCount) PURE;
    STDMETHOD_(void, CopyFrom)(PVOID destination, PVOID source, ULONG byteCount) PURE;
};
typedef IDmaChannel* PDMACHANNEL;

DECLARE_INTERFACE_(IDrmAudioStream, IUnknown)
{
    STDMETHOD(SetContentId)(ULONG contentId, PCDRMRIGHTS drmRights) PURE;
};
typedef IDrmAudioStream* PDRMAUDIOSTREAM;

DECLARE_INTERFACE_(IPowerNotify, IUnknown)
{
    STDMETHOD_(void, PowerChangeNotify)(POWER_STATE powerState) PURE;
};
typedef IPowerNotify* PPOWERNOTIFY;

DECLARE_INTERFACE_(IAdapterPowerManagement, IUnknown)
{
    STDMETHOD_(void, PowerChangeState)(POWER_STATE newState) PURE;
    STDMETHOD(QueryPowerChangeState)(POWER_STATE newStateQuery) PURE;
    STDMETHOD(QueryDeviceCapabilities)(PDEVICE_CAPABILITIES powerDeviceCaps) PURE;
};
typedef IAdapterPowerManagement* PADAPTERPOWERMANAGEMENT;

DECLARE_INTERFACE_(IPortEvents, IUnknown)
{
    STDMETHOD_(void, AddEventToEventList)(PKSEVENT_ENTRY eventEntry) PURE;
    STDMETHOD_(void, GenerateEventList)
    (GUID * set, ULONG eventId, BOOL pinEvent, ULONG pinId, BOOL nodeEvent, ULONG nodeId) PURE;
};
typedef IPortEvents* PPORTEVENTS;

DECLARE_INTERFACE_(IPortClsVersion, IUnknown)
{
    STDMETHOD_(DWORD, GetVersion)() PURE;
};
typedef IPortClsVersion* PPORTCLSVERSION;

DECLARE_INTERFACE_(IUnregisterSubdevice, IUnknown)
{
    STDMETHOD(UnregisterSubdevice)(PDEVICE_OBJECT deviceObject, PUNKNOWN unknown) PURE;
};
typedef IUnregisterSubdevice* PUNREGISTERSUBDEVICE;

DECLARE_INTERFACE_(IUnregisterPhysicalConnection, IUnknown)
{
    STDMETHOD(UnregisterPhysicalConnection)
    (PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown, ULONG fromPin, PUNKNOWN toUnknown,
     ULONG toPin) PURE;
};
typedef IUnregisterPhysicalConnection* PUNREGISTERPHYSICALCONNECTION;

DECLARE_INTERFACE_(IPort, IUnknown)
{
    STDMETHOD(Init)
    (PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
     PRESOURCELIST resourceList) PURE;
    STDMETHOD(GetDeviceProperty)
    (DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength, PVOID propertyBuffer,
     PULONG resultLength) PURE;
    STDMETHOD(NewRegistryKey)
    (PREGISTRYKEY * outRegistryKey, PUNKNOWN outerUnknown, ULONG registryKeyType,
     ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes, ULONG createOptions,
     PULONG disposition) PURE;
};
typedef IPort* PPORT;

DECLARE_INTERFACE_(IPortWaveCyclic, IPort)
{
    // Asks the service group to serve its members (the port among them).
    STDMETHOD_(void, Notify)(PSERVICEGROUP serviceGroup) PURE;
};
typedef IPortWaveCyclic* PPORTWAVECYCLIC;

DECLARE_INTERFACE_(IPortTopology, IPort){};
typedef IPortTopology* PPORTTOPOLOGY;

DECLARE_INTERFACE_(IMiniport, IUnknown)
{
    STDMETHOD(GetDescription)(PPCFILTER_DESCRIPTOR * description) PURE;
    STDMETHOD(DataRangeIntersection)
    (ULONG pinId, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange, ULONG outputBufferLength,
     PVOID resultantFormat, PULONG resultantFormatLength) PURE;
};
typedef IMiniport* PMINIPORT;

DECLARE_INTERFACE_(IMiniportWaveCyclicStream, IUnknown)
{
    STDMETHOD(SetFormat)(PKSDATAFORMAT dataFormat) PURE;
    STDMETHOD_(ULONG, SetNotificationFreq)(ULONG interval, PULONG framingSize) PURE;
    STDMETHOD(SetState)(KSSTATE state) PURE;
    STDMETHOD(GetPosition)(PULONG position) PURE;
    STDMETHOD(NormalizePhysicalPosition)(PLONGLONG physicalPosition) PURE;
    STDMETHOD_(void, Silence)(PVOID buffer, ULONG byteCount) PURE;
};
typedef IMiniportWaveCyclicStream* PMINIPORTWAVECYCLICSTREAM;

DECLARE_INTERFACE_(IMiniportWaveCyclic, IMiniport)
{
    STDMETHOD(Init)(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTWAVECYCLIC port) PURE;
    STDMETHOD(NewStream)
    (PMINIPORTWAVECYCLICSTREAM * stream, PUNKNOWN outerUnknown, POOL_TYPE poolType, ULONG pin,
     BOOLEAN capture, PKSDATAFORMAT dataFormat, PDMACHANNEL * dmaChannel,
     PSERVICEGROUP * serviceGroup) PURE;
};
typedef IMiniportWaveCyclic* PMINIPORTWAVECYCLIC;

// The signal-processing modes a miniport's pin offers.
DECLARE_INTERFACE_(IMiniportAudioSignalProcessing, IUnknown)
{
    STDMETHOD(GetModes)(ULONG pin, GUID * signalProcessingModes, PULONG modeCount) PURE;
};
typedef IMiniportAudioSignalProcessing* PMINIPORTAUDIOSIGNALPROCESSING;

DECLARE_INTERFACE_(IMiniportTopology, IMiniport)
{
    STDMETHOD(Init)(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTTOPOLOGY port) PURE;
};
typedef IMiniportTopology* PMINIPORTTOPOLOGY;

// ----------------------------------------------------------------------------
// Routines
typedef NTSTATUS (*PCPFNSTARTDEVICE)(PDEVICE_OBJECT deviceObject, PIRP irp,
                                     PRESOURCELIST resourceList);

// Sets the driver's AddDevice and points every major function at PcDispatchIrp.
NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPathName,
                                   PDRIVER_ADD_DEVICE addDevice);
// Creates the adapter device (extension: the port-class area, then the
// driver's) on top of the physical device's stack, with room for maxObjects
// subdevices; startDevice runs when the device is started.
NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject,
                            PCPFNSTARTDEVICE startDevice, ULONG maxObjects,
                            ULONG deviceExtensionSize);
NTSTATUS PcDispatchIrp(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS PcCompleteIrp(PDEVICE_OBJECT deviceObject, PIRP irp, NTSTATUS status);

NTSTATUS PcNewPort(PPORT* outPort, REFCLSID classId);
NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT deviceObject, PCWSTR name, PUNKNOWN unknown);
NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown,
                                      ULONG fromPin, PUNKNOWN toUnknown, ULONG toPin);
NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN unknown, PVOID deviceObject);
NTSTATUS PcNewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN outerUnknown,
                          ULONG registryKeyType, ACCESS_MASK desiredAccess, PVOID deviceObject,
                          PVOID subDevice, POBJECT_ATTRIBUTES objectAttributes, ULONG createOptions,
                          PULONG disposition);
NTSTATUS PcGetDeviceProperty(PVOID deviceObject, DEVICE_REGISTRY_PROPERTY deviceProperty,
                             ULONG bufferLength, PVOID propertyBuffer, PULONG resultLength);
NTSTATUS PcNewServiceGroup(PSERVICEGROUP* outServiceGroup, PUNKNOWN outerUnknown);
NTSTATUS PcForwardContentToDeviceObject(ULONG contentId, PVOID reserved, PCDRMFORWARD drmForward);
