#include "driver/device_ids.h"

bool IsManufacturerNameWanted(USHORT idVendor, USHORT idProduct, UCHAR iManufacturer)
{
    if (idVendor != CHIP_VENDOR_ID)
        return iManufacturer != 0;
    return idProduct == CHIP_NAMED_PRODUCT_1 || idProduct == CHIP_NAMED_PRODUCT_2;
}

ULONG AsioDefaultSampleType(USHORT idVendor, USHORT idProduct)
{
    if (idVendor != CHIP_VENDOR_ID)
        return 16;
    if (idProduct == ASIO_PACKED24_PRODUCT)
        return 17;
    for (USHORT product : ASIO_24IN32_PRODUCTS)
        if (idProduct == product)
            return 27;
    return 16;
}
