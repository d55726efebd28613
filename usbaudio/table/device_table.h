// The device table: what the driver knows of particular devices, as data.
// Rows are keyed by USB vendor and product ID (a row may stand for every
// product of its vendor); the class 1.0 class choice and capability record
// are keyed by the chip maker's model texts. A row names variants; what each
// variant changes is declared beside the table (CapabilityVariantTraits,
// TimedVariantTraits), and the code that acts on a variant reads only that.
// Every ID is of the project's own 0x4C54 family.
//
// The record is a function of the two IDs alone. The device-class factories
// receive nothing else, so it is looked up by FindDeviceRecord in exactly two
// places, one for each object that keeps it: the adapter's class choice
// (CAdapterCommon::SelectDeviceClass, for the names and the ASIO session),
// and the device object's constructor (CUsbAudioDevice, for its walks and
// capability records).
#pragma once

#include "framework/adapter_interfaces.h"
#include "usbaudio/table/timed_switch_kinds.h"

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

// The source record a capability variant replaces with its own.
enum class CapabilitySource : UCHAR
{
    None,
    Uac1Unreadable, // class 1.0 when neither product string can be read
    ModelB,
    ModelC,
};

// How a device's per-endpoint records come from its source record.
enum class EndpointRecordRule : UCHAR
{
    // The class's own: class 1.0 gives S/PDIF nothing and every other kind
    // the source record; class 2.0 masks by direction and kind.
    Masked,
    // Class 1.0: every kind gets the mask and third value (no second), an
    // input microphone also bit 23.
    MicrophoneMarked,
    // Class 2.0: fixed headphone and microphone records, zero for the rest.
    Fixed,
};

// The families' own records that the variants below build on.
// The chip maker's first model family, chip ready: its mask and third value.
inline constexpr ULONG CAPABILITY_MASK_FIRST_FAMILY = 0x3E10A0;
inline constexpr ULONG CAPABILITY_THIRD_FIRST_FAMILY = 65;
// Chip model C's variant 6.
inline constexpr ULONG CAPABILITY_MASK_MODEL_C = 0x3E1084;

struct CapabilityVariantTraits
{
    CapabilityVariant Variant;
    // The source record replaced, and the record that replaces it.
    CapabilitySource Replaces = CapabilitySource::None;
    ULONG Mask = 0;
    ULONG Second = 0;
    ULONG Third = 0;
    // Class 1.0, first model family with the chip ready: the mask instead
    // of the family's (0: the family's own).
    ULONG FirstFamilyMask = 0;
    EndpointRecordRule Endpoints = EndpointRecordRule::Masked;
};

// The listed devices of the timed class.
enum class TimedVariant : UCHAR
{
    None,
    First,
    Second,
    Third,
    Fourth,
};

// Which unit classes the timed walk gives the line inputs.
enum class TimedUnitSet : UCHAR
{
    Standard,
    // The line analog unit carries the jack timer's forced mute.
    ForcedMuteLineAnalog,
    // The line units mute through an always-acting chain node.
    LineMuteNodes,
    // The line units switch the chip's register 1.
    LineSwitch,
};

struct TimedVariantTraits
{
    TimedVariant Variant;
    TimedUnitSet Units = TimedUnitSet::Standard;
    // The switches, capability mask, jack timer and register 1 it sets.
    TimedOverride Overrides;
    // Every render engine gets the jack-state node the jack timer drives.
    BOOLEAN JackNodeOnRenders = FALSE;
};

struct DeviceRecord
{
    ULONG Flags;
    CapabilityVariant Capabilities;
    TimedVariant Timed;
    // The ASIO sample type of a device with none stored; 0 for the default.
    ULONG AsioSampleType;

    bool Has(ULONG flag) const { return (Flags & flag) != 0; }
    const CapabilityVariantTraits& CapabilityTraits() const;
    const TimedVariantTraits& TimedTraits() const;
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
