#include "usbaudio/device_table.h"

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
