#include "usbaudio/table/device_table.h"

namespace
{
// ASIO sample types of converters that take 24-bit samples best.
constexpr ULONG c_Packed24 = 17;
constexpr ULONG c_24In32 = 27;

constexpr DeviceRecord Flags(ULONG flags)
{
    return {flags, CapabilityVariant::Standard, TimedVariant::None, 0};
}
constexpr DeviceRecord Capabilities(CapabilityVariant variant)
{
    return {0, variant, TimedVariant::None, 0};
}
constexpr DeviceRecord Timed(TimedVariant variant)
{
    return {0, CapabilityVariant::Standard, variant, 0};
}
constexpr DeviceRecord Announced(ULONG sampleType)
{
    return {DEVICE_STREAMING_ANNOUNCED, CapabilityVariant::Standard, TimedVariant::None,
            sampleType};
}

const DeviceTableRow c_DeviceTable[] = {
    {0x4C54, DEVICE_ANY_PRODUCT,
     Flags(DEVICE_HEADPHONE_TERMINAL_16 | DEVICE_HEADPHONE_TERMINAL_6 | DEVICE_CHIP_MAKER)},
    {0x4C54, 0x1101, Capabilities(CapabilityVariant::UnreadableFirst)},
    {0x4C54, 0x1102, Capabilities(CapabilityVariant::UnreadableSecond)},
    {0x4C54, 0x1201, Capabilities(CapabilityVariant::FirstFamilyCustomer)},
    {0x4C54, 0x1202, Capabilities(CapabilityVariant::FirstFamilyCustomer)},
    {0x4C54, 0x1203, Capabilities(CapabilityVariant::FirstFamilyCustomer)},
    {0x4C54, 0x1210, Capabilities(CapabilityVariant::ChipMakerProduct)},
    {0x4C54, 0x1301, Capabilities(CapabilityVariant::ModelBListed)},
    {0x4C54, 0x1405, Capabilities(CapabilityVariant::ModelCVariant5)},
    {0x4C54, 0x1406, Capabilities(CapabilityVariant::ModelCVariant6Listed)},
    {0x4C54, 0x1501, Flags(DEVICE_TWO_OUTPUT_TERMINALS)},
    {0x4C54, 0x1601, Timed(TimedVariant::First)},
    {0x4C54, 0x1602, Timed(TimedVariant::Second)},
    {0x4C54, 0x1603, Timed(TimedVariant::Third)},
    {0x4C54, 0x1604, Timed(TimedVariant::Fourth)},
    {0x4C54, 0x2101, Capabilities(CapabilityVariant::Uac2FixedRecords)},
    {0x4C54, 0x3001, Flags(DEVICE_NAMED_PRODUCT)},
    {0x4C54, 0x3002, Flags(DEVICE_NAMED_PRODUCT)},
    {0x4C54, 0x3101, Announced(c_Packed24)},
    {0x4C54, 0x3102, Announced(c_24In32)},
    {0x4C54, 0x3103, Announced(c_24In32)},
    {0x4C54, 0x3104, Announced(c_24In32)},
    {0x4C54, 0x3105, Announced(0)},
};

// What each capability variant changes, in the order of the enumeration.
// The masks and second values are for the user-mode consumer of the
// capability property: the driver tests none of their bits. A mask that is
// its family's less a bit is written so; every other one is the listed
// product's own value, as the product's maker gave it, in the consumer's
// hexadecimal.
// The bit of their family's mask that the chip maker's own product and model
// C's listed product go without.
constexpr ULONG c_ListedClearedBit = 0x1000;
using CS = CapabilitySource;
constexpr CapabilityVariantTraits c_CapabilityTraits[] = {
    {.Variant = CapabilityVariant::Standard},
    {.Variant = CapabilityVariant::UnreadableFirst, .Replaces = CS::Uac1Unreadable, .Mask = 0x24},
    {.Variant = CapabilityVariant::UnreadableSecond,
     .Replaces = CS::Uac1Unreadable,
     .Mask = 0x3C0264,
     .Second = 12},
    {.Variant = CapabilityVariant::FirstFamilyCustomer, .FirstFamilyMask = 0x3E00A5},
    {.Variant = CapabilityVariant::ChipMakerProduct,
     .FirstFamilyMask = CAPABILITY_MASK_FIRST_FAMILY & ~c_ListedClearedBit,
     .Endpoints = EndpointRecordRule::MicrophoneMarked},
    {.Variant = CapabilityVariant::ModelBListed, .Replaces = CS::ModelB, .Mask = 0x24},
    {.Variant = CapabilityVariant::ModelCVariant5,
     .Replaces = CS::ModelC,
     .Mask = 0x20006,
     .Second = 8},
    {.Variant = CapabilityVariant::ModelCVariant6Listed,
     .Replaces = CS::ModelC,
     .Mask = CAPABILITY_MASK_MODEL_C & ~c_ListedClearedBit,
     .Third = CAPABILITY_THIRD_FIRST_FAMILY},
    {.Variant = CapabilityVariant::Uac2FixedRecords, .Endpoints = EndpointRecordRule::Fixed},
};

// What each listed timed device changes, in the order of the enumeration.
// The others take the row of every identified chip. A capability mask, as
// above, is the listed product's own value.
constexpr TimedVariantTraits c_TimedTraits[] = {
    {.Variant = TimedVariant::None,
     .Units = TimedUnitSet::Standard,
     .Overrides = {.NeedsIdentity = TRUE, .SwitchesOn = SwitchBit(Disable8ChOutSupported)}},
    {.Variant = TimedVariant::First,
     .Units = TimedUnitSet::ForcedMuteLineAnalog,
     .Overrides = {.NeedsIdentity = TRUE,
                   .SwitchesOn =
                       SwitchBit(DisableLineInRecUnit) | SwitchBit(DisableStereoMixRecUnit) |
                       SwitchBit(DisableSpdifInTerminal) | SwitchBit(Disable4ChOutSupported) |
                       SwitchBit(Disable8ChOutSupported),
                   .SwitchesOff = TIMED_OUTPUT_SWITCHES,
                   .SetsMask = TRUE,
                   .CapabilityMask = 0x3E0084,
                   .WantsTimer = TRUE,
                   .SetsRegister1 = TRUE,
                   .Register1 = 0x3032},
     .JackNodeOnRenders = TRUE},
    {.Variant = TimedVariant::Second,
     .Units = TimedUnitSet::LineMuteNodes,
     .Overrides = {.NeedsIdentity = TRUE,
                   .SwitchesOn = SwitchBit(Disable8ChOutSupported) |
                                 SwitchBit(DisableLineInTerminal) |
                                 SwitchBit(DisableSpdifInTerminal),
                   .SwitchesOff = TIMED_OUTPUT_SWITCHES}},
    {.Variant = TimedVariant::Third,
     .Units = TimedUnitSet::LineSwitch,
     .Overrides = {.NeedsIdentity = FALSE,
                   .SwitchesOn =
                       SwitchBit(DisableLineInTerminal) | SwitchBit(DisableSpdifInTerminal),
                   .SwitchesOff = TIMED_OUTPUT_SWITCHES,
                   .SetsMask = TRUE,
                   .CapabilityMask = 0x3E09F}},
    {.Variant = TimedVariant::Fourth,
     .Units = TimedUnitSet::Standard,
     .Overrides = {.NeedsIdentity = TRUE,
                   .SwitchesOn =
                       SwitchBit(DisableStereoMixRecUnit) | SwitchBit(DisableSpdifInTerminal) |
                       SwitchBit(Disable2ChOutSupported) | SwitchBit(Disable4ChOutSupported) |
                       SwitchBit(Disable8ChOutSupported),
                   .SwitchesOff = TIMED_OUTPUT_SWITCHES,
                   .SetsMask = TRUE,
                   .CapabilityMask = 0}},
};

// Row i is variant i, so a variant reads its row by its value.
template <typename Row, ULONG N> constexpr bool InVariantOrder(const Row (&rows)[N])
{
    for (ULONG i = 0; i < N; ++i)
        if (static_cast<ULONG>(rows[i].Variant) != i)
            return false;
    return true;
}
static_assert(InVariantOrder(c_CapabilityTraits) &&
              ARRAYSIZE(c_CapabilityTraits) ==
                  static_cast<ULONG>(CapabilityVariant::Uac2FixedRecords) + 1);
static_assert(InVariantOrder(c_TimedTraits) &&
              ARRAYSIZE(c_TimedTraits) == static_cast<ULONG>(TimedVariant::Fourth) + 1);

// The class choice compares 6, 8, 8 and 12 bytes, in this order.
const WCHAR c_TimedModel[] = {0x000B, 0x0005, 0x0050};
struct ClassChoiceRow
{
    const WCHAR* Text;
    ULONG Bytes;
    PDEVICE_CLASS_FACTORY DeviceClassFactories::*Factory;
};
const ClassChoiceRow c_ClassChoice[] = {
    {c_TimedModel, sizeof(c_TimedModel), &DeviceClassFactories::CreateUsbAudioTimedDevice},
    {u"4402", 8, &DeviceClassFactories::CreateUsbAudio1DeviceA},
    {u"4407", 8, &DeviceClassFactories::CreateUsbAudio1DeviceB},
    {u"LTK250", 12, &DeviceClassFactories::CreateUsbAudio1DeviceC},
};
static_assert(sizeof(c_TimedModel) == 6);

// A four-character text of the first family, six of the second and third.
struct ModelFamilyRow
{
    const WCHAR* Text;
    ULONG Bytes;
    ModelFamily Family;
};
const ModelFamilyRow c_ModelFamilies[] = {
    {u"LT40", 8, ModelFamily::First},
    {u"LTA200", 12, ModelFamily::Second},
    {u"LTC300", 12, ModelFamily::Third},
};

template <typename Row, ULONG N>
const Row* FirstTextMatch(const Row (&rows)[N], const UCHAR* descriptor, ULONG valid)
{
    for (const Row& row : rows)
        if (valid >= 2 + row.Bytes &&
            RtlCompareMemory(descriptor + 2, row.Text, row.Bytes) == row.Bytes)
            return &row;
    return nullptr;
}
} // namespace

const CapabilityVariantTraits& DeviceRecord::CapabilityTraits() const
{
    return c_CapabilityTraits[static_cast<ULONG>(Capabilities)];
}

const TimedVariantTraits& DeviceRecord::TimedTraits() const
{
    return c_TimedTraits[static_cast<ULONG>(Timed)];
}

DeviceRecord FindDeviceRecord(USHORT idVendor, USHORT idProduct)
{
    DeviceRecord record = Flags(0);
    for (const DeviceTableRow& row : c_DeviceTable)
    {
        if (row.Vendor != idVendor)
            continue;
        if (row.Product == DEVICE_ANY_PRODUCT)
            record.Flags |= row.Record.Flags;
        else if (row.Product == idProduct)
            record = {record.Flags | row.Record.Flags, row.Record.Capabilities, row.Record.Timed,
                      row.Record.AsioSampleType};
    }
    return record;
}

PDEVICE_CLASS_FACTORY ChooseUac1DeviceClass(const DeviceClassFactories& factories,
                                            const UCHAR* descriptor, ULONG valid)
{
    const ClassChoiceRow* row = FirstTextMatch(c_ClassChoice, descriptor, valid);
    return row != nullptr ? factories.*(row->Factory) : factories.CreateUsbAudio1Device;
}

ModelFamily FindModelFamily(const UCHAR* descriptor, ULONG valid)
{
    const ModelFamilyRow* row = FirstTextMatch(c_ModelFamilies, descriptor, valid);
    return row != nullptr ? row->Family : ModelFamily::None;
}
