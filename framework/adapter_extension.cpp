// The adapter device's extension block and the private interface names.
#include "framework/adapter_extension.h"

UNICODE_STRING g_AsioReferenceString;
UNICODE_STRING g_AsioFileName;
UNICODE_STRING g_EnumReferenceString;
UNICODE_STRING g_EnumFileName;

AdapterExtension* GetAdapterExtension(PDEVICE_OBJECT deviceObject)
{
    if (deviceObject == nullptr || deviceObject->DeviceExtension == nullptr)
        return nullptr;
    return reinterpret_cast<AdapterExtension*>(static_cast<PUCHAR>(deviceObject->DeviceExtension) +
                                               PORT_CLASS_DEVICE_EXTENSION_SIZE);
}
