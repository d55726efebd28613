// Vendor and product IDs the driver treats specially: the chip maker's own
// devices whose names and ASIO sample types differ from the rule.
#pragma once

#include "platform/kernel/nt_types.h"

// The chip maker's vendor ID.
inline constexpr USHORT CHIP_VENDOR_ID = 0x4C54;
// The chip maker's products that carry their manufacturer string although
// their vendor is the chip maker.
inline constexpr USHORT CHIP_NAMED_PRODUCT_1 = 0x3001;
inline constexpr USHORT CHIP_NAMED_PRODUCT_2 = 0x3002;
// Devices whose converters take 24-bit samples best: one packed, three in
// 32-bit containers.
inline constexpr USHORT ASIO_PACKED24_PRODUCT = 0x3101;
inline constexpr USHORT ASIO_24IN32_PRODUCTS[] = {0x3102, 0x3103, 0x3104};

// Whether the device's manufacturer string names it: every other vendor's
// device with a manufacturer string, and the two listed products of the chip
// maker (whose string index is read even when it is 0).
bool IsManufacturerNameWanted(USHORT idVendor, USHORT idProduct, UCHAR iManufacturer);

// The ASIO sample type of a device that has none stored: 17 (24-bit packed)
// or 27 (24 bits in 32) for the listed devices, 16 for every other.
ULONG AsioDefaultSampleType(USHORT idVendor, USHORT idProduct);
