// The device table's lookup: a vendor's row reaches every product of that
// vendor and no other; a product's own row adds its variants and sample type
// to the vendor's flags, and its neighbours get none of them.
#include <gtest/gtest.h>

#include "usbaudio/table/device_table.h"

TEST(DeviceTable, VendorRowsAndProductRows)
{
    constexpr ULONG vendor =
        DEVICE_HEADPHONE_TERMINAL_16 | DEVICE_HEADPHONE_TERMINAL_6 | DEVICE_CHIP_MAKER;
    using C = CapabilityVariant;
    using T = TimedVariant;
    struct Case
    {
        USHORT Vendor, Product;
        ULONG Flags;
        C Capabilities;
        T Timed;
        ULONG SampleType;
    } cases[] = {
        {0x4C55, 0x1210, 0, C::Standard, T::None, 0},
        {0x4C53, 0x3101, 0, C::Standard, T::None, 0},
        {0x4C54, 0x0000, vendor, C::Standard, T::None, 0},
        {0x4C54, 0xFFFF, vendor, C::Standard, T::None, 0},
        {0x4C54, 0x1210, vendor, C::ChipMakerProduct, T::None, 0},
        {0x4C54, 0x120F, vendor, C::Standard, T::None, 0},
        {0x4C54, 0x1211, vendor, C::Standard, T::None, 0},
        {0x4C54, 0x1501, vendor | DEVICE_TWO_OUTPUT_TERMINALS, C::Standard, T::None, 0},
        {0x4C54, 0x1604, vendor, C::Standard, T::Fourth, 0},
        {0x4C54, 0x3002, vendor | DEVICE_NAMED_PRODUCT, C::Standard, T::None, 0},
        {0x4C54, 0x3101, vendor | DEVICE_STREAMING_ANNOUNCED, C::Standard, T::None, 17},
        {0x4C54, 0x3104, vendor | DEVICE_STREAMING_ANNOUNCED, C::Standard, T::None, 27},
        {0x4C54, 0x3105, vendor | DEVICE_STREAMING_ANNOUNCED, C::Standard, T::None, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << c.Vendor << ":" << c.Product);
        const DeviceRecord record = FindDeviceRecord(c.Vendor, c.Product);
        EXPECT_EQ(c.Flags, record.Flags);
        EXPECT_EQ(c.Capabilities, record.Capabilities);
        EXPECT_EQ(c.Timed, record.Timed);
        EXPECT_EQ(c.SampleType, record.AsioSampleType);
    }
}
