// The driver's own block in the adapter device's extension, and the names of
// the two private device interfaces whose links it keeps. Driver entry fills
// both; dispatch and start-up read them.
#pragma once

#include "framework/interfaces.h"
#include "platform/portcls/portcls.h"

// Device interface classes of the private interfaces.
DEFINE_GUID(GUID_DEVINTERFACE_ASIO_PRIVATE, 0xA105A47CL, 0xD19E, 0x4770, 0xBF, 0x3A, 0x41, 0x45,
            0x95, 0x78, 0xFD, 0x2B);
DEFINE_GUID(GUID_DEVINTERFACE_ENUM_PRIVATE, 0x14BAB7C3L, 0x2FB3, 0x445A, 0xA2, 0x4D, 0x9B, 0xE7,
            0x89, 0xC0, 0xC8, 0x1A);

// Running name indices kept per endpoint kind and direction.
inline constexpr ULONG ADAPTER_NAME_COUNTERS = 22;

// The driver's block in the adapter device's extension, behind the area that
// the port-class library keeps for itself. Zeroed when the device is added.
struct AdapterExtension
{
    // The adapter common object with one reference; null until a start-up
    // succeeds and again once removal has released it.
    PADAPTERCOMMON Adapter;
    PDEVICE_OBJECT FunctionalDeviceObject;
    // Referenced; the reference is dropped on removal.
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    UCHAR OutputNameCounters[ADAPTER_NAME_COUNTERS];
    UCHAR InputNameCounters[ADAPTER_NAME_COUNTERS];
    BOOLEAN AsioLinkRegistered;
    UNICODE_STRING AsioSymbolicLink;
    BOOLEAN AsioInterfaceEnabled;
    BOOLEAN EnumLinkRegistered;
    UNICODE_STRING EnumSymbolicLink;
    BOOLEAN EnumInterfaceEnabled;
    KMUTEX ExtensionMutex;
};

// The extension block of an adapter device; null for a device without one.
AdapterExtension* GetAdapterExtension(PDEVICE_OBJECT deviceObject);

// Set once at driver entry and never changed.
extern UNICODE_STRING g_AsioReferenceString; // "LTASIOPrivateInterface"
extern UNICODE_STRING g_AsioFileName;        // "\LTASIOPrivateInterface"
extern UNICODE_STRING g_EnumReferenceString; // "LTEnumPrivateInterface"
extern UNICODE_STRING g_EnumFileName;        // "\LTEnumPrivateInterface"
