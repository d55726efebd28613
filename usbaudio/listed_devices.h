// Device data: the vendor and product ID pairs and the chip maker's model
// texts that decide a device class's capability values. Every pair is of the
// project's own 0x4C54 family.
#pragma once

#include "platform/kernel/nt_types.h"

struct ListedDeviceId
{
    USHORT Vendor;
    USHORT Product;
};

// True when (idVendor, idProduct) is one of the `count` pairs.
bool IsListedDevice(const ListedDeviceId* list, ULONG count, USHORT idVendor, USHORT idProduct);
template <ULONG N>
bool IsListedDevice(const ListedDeviceId (&list)[N], USHORT idVendor, USHORT idProduct)
{
    return IsListedDevice(list, N, idVendor, idProduct);
}

// Audio class 1.0 devices whose product string cannot be read.
inline constexpr ListedDeviceId UAC1_UNREADABLE_FIRST[] = {{0x4C54, 0x1101}};
inline constexpr ListedDeviceId UAC1_UNREADABLE_SECOND[] = {{0x4C54, 0x1102}};
// One customer's products of the first model family.
inline constexpr ListedDeviceId UAC1_FIRST_FAMILY_CUSTOMER[] = {
    {0x4C54, 0x1201}, {0x4C54, 0x1202}, {0x4C54, 0x1203}};
// The chip maker's own product of the first model family; its endpoint
// records are derived differently (microphone bit, no second value).
inline constexpr ListedDeviceId UAC1_CHIP_OWN_PRODUCT[] = {{0x4C54, 0x1210}};
// The audio class 1.0 device whose terminals 16 and 64 must both be outputs.
inline constexpr ListedDeviceId UAC1_TWO_OUTPUT_DEVICE[] = {{0x4C54, 0x1501}};
// Chip model B's listed device.
inline constexpr ListedDeviceId MODEL_B_LISTED[] = {{0x4C54, 0x1301}};
// The customer vendor of chip model B whose output terminal 6 is headphones.
inline constexpr USHORT MODEL_B_HEADPHONE_VENDOR = 0x4C54;
// Chip model C: the products of variant 5 (every other is variant 6), and
// the one listed device of variant 6.
inline constexpr ListedDeviceId MODEL_C_VARIANT5[] = {{0x4C54, 0x1405}};
inline constexpr ListedDeviceId MODEL_C_VARIANT6_LISTED[] = {{0x4C54, 0x1406}};
// The timed family's listed devices: the first three choose unit variants
// and every one of them has its own switches; the first also runs the jack
// timer.
inline constexpr ListedDeviceId TIMED_FIRST_LISTED[] = {{0x4C54, 0x1601}};
inline constexpr ListedDeviceId TIMED_SECOND_LISTED[] = {{0x4C54, 0x1602}};
inline constexpr ListedDeviceId TIMED_THIRD_LISTED[] = {{0x4C54, 0x1603}};
inline constexpr ListedDeviceId TIMED_FOURTH_LISTED[] = {{0x4C54, 0x1604}};
// The audio class 2.0 customer device with fixed endpoint records.
inline constexpr ListedDeviceId UAC2_FIXED_RECORDS[] = {{0x4C54, 0x2101}};

// The chip maker's model texts (UTF-16 little-endian, compared from the
// first character of the product string): a four-character text of the
// first model family and six-character texts of the second and third.
inline constexpr WCHAR MODEL_TEXT_FIRST_FAMILY[] = u"LT40";
inline constexpr WCHAR MODEL_TEXT_SECOND_FAMILY[] = u"LTA200";
inline constexpr WCHAR MODEL_TEXT_THIRD_FAMILY[] = u"LTC300";
