#include "usbaudio/listed_devices.h"

bool IsListedDevice(const ListedDeviceId* list, ULONG count, USHORT idVendor, USHORT idProduct)
{
    for (ULONG i = 0; i < count; ++i)
        if (list[i].Vendor == idVendor && list[i].Product == idProduct)
            return true;
    return false;
}
