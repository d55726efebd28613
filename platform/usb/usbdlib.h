// The USB driver library: descriptor parsing, configuration requests and the
// URB builders, with the names and arguments client drivers know.
#pragma once

#include "platform/usb/usbdi.h"

// Pool tag of the URBs that USBD_CreateConfigurationRequestEx returns; the
// caller frees them with ExFreePool.
#define USBD_POOL_TAG POOL_TAG("USBD")

// Finds, from startPosition on, the first descriptor of descriptorType inside
// the totalLength bytes at descriptorBuffer. The walk ends at a descriptor
// whose bLength is below 2 or that runs past the end; null when none.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID descriptorBuffer, ULONG totalLength,
                                             PVOID startPosition, LONG descriptorType);

// Finds, from startPosition on, the first interface descriptor that matches
// every criterion that is not -1. The configuration's wTotalLength bounds the
// walk; an interface descriptor shorter than 9 bytes never matches.
PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                    PVOID startPosition, LONG interfaceNumber,
                                    LONG alternateSetting, LONG interfaceClass,
                                    LONG interfaceSubClass, LONG interfaceProtocol);

// Builds a SELECT_CONFIGURATION URB for the interfaces of the list (ended by
// an entry with a null descriptor); each entry's Interface is pointed at its
// record inside the URB. Null when the list is empty or malformed, or on
// allocation failure.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList);

// ----------------------------------------------------------------------------
// URB builders (the client macros, as functions)
inline void UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType,
                                         UCHAR descriptorIndex, USHORT languageId,
                                         PVOID transferBuffer, struct _MDL* transferBufferMDL,
                                         ULONG transferBufferLength, PURB link)
{
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->UrbHeader.Length = length;
    urb->UrbControlDescriptorRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlDescriptorRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlDescriptorRequest.TransferBuffer = transferBuffer;
    urb->UrbControlDescriptorRequest.DescriptorType = descriptorType;
    urb->UrbControlDescriptorRequest.Index = descriptorIndex;
    urb->UrbControlDescriptorRequest.LanguageId = languageId;
    urb->UrbControlDescriptorRequest.UrbLink = link;
}

inline void UsbBuildSelectConfigurationRequest(PURB urb, USHORT length,
                                               PUSB_CONFIGURATION_DESCRIPTOR configuration)
{
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = length;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configuration;
}

inline void UsbBuildSelectInterfaceRequest(PURB urb, USHORT length,
                                           USBD_CONFIGURATION_HANDLE configurationHandle,
                                           UCHAR interfaceNumber, UCHAR alternateSetting)
{
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbHeader.Length = length;
    urb->UrbSelectInterface.Interface.AlternateSetting = alternateSetting;
    urb->UrbSelectInterface.Interface.InterfaceNumber = interfaceNumber;
    urb->UrbSelectInterface.Interface.Length =
        (USHORT)(length - offsetof(struct _URB_SELECT_INTERFACE, Interface));
    urb->UrbSelectInterface.ConfigurationHandle = configurationHandle;
}

inline void
UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length, USBD_PIPE_HANDLE pipeHandle,
                                       PVOID transferBuffer, struct _MDL* transferBufferMDL,
                                       ULONG transferBufferLength, ULONG transferFlags, PURB link)
{
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbHeader.Length = length;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = transferBufferLength;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = transferBufferMDL;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = transferBuffer;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = transferFlags;
    urb->UrbBulkOrInterruptTransfer.UrbLink = link;
}

// Class and vendor requests; cmd is one of the URB_FUNCTION_CLASS_* or
// URB_FUNCTION_VENDOR_* functions.
inline void UsbBuildVendorRequest(PURB urb, USHORT cmd, USHORT length, ULONG transferFlags,
                                  UCHAR reservedBits, UCHAR request, USHORT value, USHORT index,
                                  PVOID transferBuffer, struct _MDL* transferBufferMDL,
                                  ULONG transferBufferLength, PURB link)
{
    urb->UrbHeader.Function = cmd;
    urb->UrbHeader.Length = length;
    urb->UrbControlVendorClassRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlVendorClassRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlVendorClassRequest.TransferBuffer = transferBuffer;
    urb->UrbControlVendorClassRequest.RequestTypeReservedBits = reservedBits;
    urb->UrbControlVendorClassRequest.Request = request;
    urb->UrbControlVendorClassRequest.Value = value;
    urb->UrbControlVendorClassRequest.Index = index;
    urb->UrbControlVendorClassRequest.TransferFlags = transferFlags;
    urb->UrbControlVendorClassRequest.UrbLink = link;
}

inline void UsbBuildFeatureRequest(PURB urb, USHORT op, USHORT featureSelector, USHORT index,
                                   PURB link)
{
    urb->UrbHeader.Function = op;
    urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    urb->UrbControlFeatureRequest.FeatureSelector = featureSelector;
    urb->UrbControlFeatureRequest.Index = index;
    urb->UrbControlFeatureRequest.UrbLink = link;
}

inline void UsbBuildGetStatusRequest(PURB urb, USHORT op, USHORT index, PVOID transferBuffer,
                                     struct _MDL* transferBufferMDL, PURB link)
{
    urb->UrbHeader.Function = op;
    urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    urb->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);
    urb->UrbControlGetStatusRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlGetStatusRequest.TransferBuffer = transferBuffer;
    urb->UrbControlGetStatusRequest.Index = index;
    urb->UrbControlGetStatusRequest.UrbLink = link;
}

// Pipe requests: abort, reset, clear stall.
inline void UsbBuildPipeRequest(PURB urb, USHORT function, USBD_PIPE_HANDLE pipeHandle)
{
    urb->UrbHeader.Function = function;
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbPipeRequest.PipeHandle = pipeHandle;
}

inline void UsbBuildGetCurrentFrameNumberRequest(PURB urb)
{
    urb->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    urb->UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    urb->UrbGetCurrentFrameNumber.FrameNumber = 0;
}
