// The device table: what the driver knows of particular devices, as data.
// Rows are keyed by USB vendor and product ID (a row may stand for every
// product of its vendor); the class 1.0 class choice and capability record
// are keyed by the chip maker's model texts. A device's rows are read once,
// when its class is chosen, into the DeviceRecord that the adapter and the
// device object keep and every later check consults. Every ID is of the
// project's own 0x4C54 family.
#pragma once

#include "framework/adapter_interfaces.h"

// Bits of DeviceRecord::Flags.
enum DeviceRecordFlag : ULONG
{
    // Class 1.0: output terminal 16 that reports a speaker is a headphone.
    DEVICE_HEADPHONE_TERMINAL_16 = 0x01,
    // Chip model B: output terminal 6 that reports a speaker is a headphone.
    DEVICE_HEADPHONE_TERMINAL_6 = 0x02,
    // Class 1.0: terminals 16 and 64 must both be output terminals.
    DEVICE_TWO_OUTPUT_TERMINALS = 0x04,
    // The chip maker's vendor: its manufacturer string names only the
    // products marked DEVICE_NAMED_PRODUCT, and those even at index 0.
    DEVICE_CHIP_MAKER = 0x08,
    DEVICE_NAMED_PRODUCT = 0x10,
    // Told by a vendor request when ASIO streaming starts and stops.
    DEVICE_STREAMING_ANNOUNCED = 0x20,
};

// Which of its class's capability records the device gets.
enum class CapabilityVariant : UCHAR
{
    Standard,
    UnreadableFirst, // class 1.0 without a readable model string
    UnreadableSecond,
    FirstFamilyCustomer, // class 1.0, first model family: one customer's mask
    ChipMakerProduct,    // class 1.0: the chip maker's own product
    ModelBListed,
    ModelCVariant5, // chip model C: variant 5 (every other is variant 6)
    ModelCVariant6Listed,
    Uac2FixedRecords, // class 2.0: fixed endpoint records
};

// The listed devices of the timed class: the first three choose unit
// variants, each has its own switches, the first also runs the jack timer.
enum class TimedVariant : UCHAR
{
    None,
    First,
    Second,
    Third,
    Fourth,
};

struct DeviceRecord
{
    ULONG Flags;
    CapabilityVariant Capabilities;
    TimedVariant Timed;
    // The ASIO sample type of a device with none stored; 0 for the default.
    ULONG AsioSampleType;

    bool Has(ULONG flag) const { return (Flags & flag) != 0; }
};

// A row's product for every product of its vendor.
inline constexpr ULONG DEVICE_ANY_PRODUCT = 0x10000;

struct DeviceTableRow
{
    USHORT Vendor;
    ULONG Product; // or DEVICE_ANY_PRODUCT
    DeviceRecord Record;
};

// The flags of every row that names the device (its vendor's rows and its
// own), and the variants and sample type of its own row.
DeviceRecord FindDeviceRecord(USHORT idVendor, USHORT idProduct);

// The model texts are UTF-16 little-endian, compared from byte 2 of the
// string descriptor; only the `valid` bytes the device sent and its
// descriptor claims take part, so a shorter text is another product.

// The class 1.0 class choice: the factory of the first model text the
// descriptor begins with, else the plain class 1.0 factory.
PDEVICE_CLASS_FACTORY ChooseUac1DeviceClass(const DeviceClassFactories& factories,
                                            const UCHAR* descriptor, ULONG valid);

// The chip maker's model families of the class 1.0 capability record.
enum class ModelFamily
{
    None,
    First,
    Second,
    Third
};
ModelFamily FindModelFamily(const UCHAR* descriptor, ULONG valid);
