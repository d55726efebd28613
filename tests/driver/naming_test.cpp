// Device naming: the product and manufacturer strings as the enumeration
// key's "FriendlyName" and "Mfg", the value writer's key walk, and the
// component id built from the USB IDs.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "tests/driver/adapter_rig.h"

namespace
{
// The chip maker and its two products that its manufacturer string names.
constexpr USHORT c_ChipVendor = 0x4C54;
constexpr USHORT c_NamedProduct1 = 0x3001;
constexpr USHORT c_NamedProduct2 = 0x3002;
const std::u16string c_Ccs = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet";
// A vendor other than the chip maker, kept inside the project's own ID range.
constexpr USHORT c_OtherVendor = 0x4C55;

std::unique_ptr<SimUsbDevice> DeviceWith(USHORT idVendor, USHORT idProduct, UCHAR iManufacturer,
                                         UCHAR iProduct)
{
    DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
    SetIds(&bytes, idVendor, idProduct, iManufacturer, iProduct);
    return MakeSimDevice(bytes);
}

// A value of the device's enumeration key as text with its byte size.
bool EnumValue(const UsbAdapterRig& rig, const std::u16string& name, std::u16string* text,
               size_t* bytes, ULONG* type = nullptr)
{
    ULONG t = 0;
    std::vector<UCHAR> data;
    if (!EmuRegistryGetValue(rig.EnumKeyPath(), name, &t, &data))
        return false;
    if (type != nullptr)
        *type = t;
    *bytes = data.size();
    text->clear();
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        text->push_back((char16_t)(data[i] | data[i + 1] << 8));
    return true;
}

// The product name a product string descriptor (index 2) gives.
struct NameResult
{
    bool Written = false;
    std::u16string Text;
    size_t Bytes = 0;
};
NameResult ProductName(const std::vector<UCHAR>& descriptor)
{
    UsbAdapterRig rig;
    EXPECT_TRUE(rig.Ok());
    // Every rig of a test names the same device instance.
    EmuRegistryDeleteValue(rig.EnumKeyPath(), u"FriendlyName");
    rig.Device()->ScriptRequest(DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 2), descriptor);
    EXPECT_EQ(STATUS_SUCCESS, rig.Start());
    NameResult r;
    r.Written = EnumValue(rig, u"FriendlyName", &r.Text, &r.Bytes);
    return r;
}
} // namespace

TEST(Naming, ComponentIdFromTheUsbIds)
{
    UsbAdapterRig rig(DeviceWith(0x4C54, 0x1001, 1, 2));
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    KSCOMPONENTID id;
    memset(&id, 0xCC, sizeof(id));
    EXPECT_EQ(STATUS_SUCCESS, rig.Primary()->GetComponentId(nullptr, &id));
    const GUID manufacturer = {
        0x4E1D3926, 0x1679, 0x463B, {0xA7, 0x2F, 0xA5, 0xBF, 0x64, 0xC8, 0x6E, 0xBA}};
    const GUID product = {
        0xABCC6A5F, 0xC263, 0x463B, {0xA7, 0x2F, 0xA5, 0xBF, 0x64, 0xC8, 0x6E, 0xBA}};
    const GUID component = {
        0x8F1275F0, 0x26E9, 0x4264, {0xBA, 0x4D, 0x39, 0xFF, 0xF0, 0x1D, 0x94, 0xAA}};
    const GUID zero = {};
    EXPECT_TRUE(IsEqualGUID(manufacturer, id.Manufacturer));
    EXPECT_TRUE(IsEqualGUID(product, id.Product));
    EXPECT_TRUE(IsEqualGUID(component, id.Component));
    EXPECT_TRUE(IsEqualGUID(zero, id.Name));
    EXPECT_EQ(0u, id.Version);
    EXPECT_EQ(0u, id.Revision);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Primary()->GetComponentId(nullptr, nullptr));
}

TEST(Naming, ProductStringBecomesTheFriendlyNameWithoutTrailingBlanks)
{
    NameResult r = ProductName(StringDescriptor(Utf16(u"USB Audio  ")));
    ASSERT_TRUE(r.Written);
    EXPECT_EQ(20u, r.Bytes);
    EXPECT_EQ(std::u16string(u"USB Audio") + u'\0', r.Text);
}

TEST(Naming, ReferenceDeviceNamesItselfAsREG_SZ)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    std::u16string text;
    size_t bytes = 0;
    ULONG type = 0;
    ASSERT_TRUE(EnumValue(rig, u"FriendlyName", &text, &bytes, &type));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(std::u16string(u"USB Speaker Mic") + u'\0', text);
    // The chip maker's own unlisted device keeps its manufacturer unnamed.
    EXPECT_FALSE(EnumValue(rig, u"Mfg", &text, &bytes));
    // The name buffers are gone again.
    EXPECT_EQ(0u, EmuPoolOutstandingCount(POOL_TAG("str ")));
}

TEST(Naming, DescriptorLengthsBoundTheText)
{
    // Shorter than one character: no string at all.
    for (int bLength : {0, 1, 2, 3})
        EXPECT_FALSE(ProductName(StringDescriptor(Utf16(u"AB"), bLength)).Written) << bLength;
    // An odd length drops the half character.
    NameResult odd = ProductName(StringDescriptor(Utf16(u"ABCD"), 7));
    ASSERT_TRUE(odd.Written);
    EXPECT_EQ(std::u16string(u"AB") + u'\0', odd.Text);
    // A length beyond what the device sent counts only what it sent.
    NameResult claimed = ProductName(StringDescriptor(Utf16(u"ABCD"), 60));
    ASSERT_TRUE(claimed.Written);
    EXPECT_EQ(std::u16string(u"ABCD") + u'\0', claimed.Text);
    // Nothing but blanks names nothing.
    EXPECT_FALSE(ProductName(StringDescriptor(Utf16(u"   "))).Written);
    // An embedded NUL ends the name.
    NameResult nul = ProductName(StringDescriptor(Utf16(std::u16string(u"AB\0CD", 5))));
    ASSERT_TRUE(nul.Written);
    EXPECT_EQ(6u, nul.Bytes);
}

TEST(Naming, LongNamesAreCutToFortyNineCharacters)
{
    NameResult fortyNine = ProductName(StringDescriptor(Utf16(std::u16string(49, u'n'))));
    ASSERT_TRUE(fortyNine.Written);
    EXPECT_EQ(100u, fortyNine.Bytes);
    NameResult longer = ProductName(StringDescriptor(Utf16(std::u16string(120, u'n'))));
    ASSERT_TRUE(longer.Written);
    EXPECT_EQ(100u, longer.Bytes);
    EXPECT_EQ(std::u16string(49, u'n') + u'\0', longer.Text);
}

TEST(Naming, UnreadableProductStringIsNotWritten)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.Device()->InjectControlFault(DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 2),
                                     SimFaultKind::Stall);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    std::u16string text;
    size_t bytes = 0;
    EXPECT_FALSE(EnumValue(rig, u"FriendlyName", &text, &bytes));
}

TEST(Naming, DeviceWithoutProductStringGetsNoFriendlyName)
{
    UsbAdapterRig rig(DeviceWith(c_OtherVendor, 0x1001, 1, 0));
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    std::u16string text;
    size_t bytes = 0;
    EXPECT_FALSE(EnumValue(rig, u"FriendlyName", &text, &bytes));
    // Another vendor's manufacturer string is written.
    ASSERT_TRUE(EnumValue(rig, u"Mfg", &text, &bytes));
    EXPECT_EQ(std::u16string(u"Lintra Audio") + u'\0', text);
}

TEST(Naming, OtherVendorWithoutManufacturerStringGetsNoMfg)
{
    UsbAdapterRig rig(DeviceWith(c_OtherVendor, 0x1001, 0, 2));
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    std::u16string text;
    size_t bytes = 0;
    EXPECT_FALSE(EnumValue(rig, u"Mfg", &text, &bytes));
    EXPECT_EQ(0u, DescriptorReads(rig.Device(), USB_STRING_DESCRIPTOR_TYPE, 0));
    EXPECT_TRUE(EnumValue(rig, u"FriendlyName", &text, &bytes));
}

TEST(Naming, ListedChipProductsReadTheirManufacturerStringEvenAtIndexZero)
{
    for (USHORT product : {c_NamedProduct1, c_NamedProduct2})
    {
        UsbAdapterRig rig(DeviceWith(c_ChipVendor, product, 0, 2));
        ASSERT_TRUE(rig.Ok());
        EmuRegistryDeleteValue(rig.EnumKeyPath(), u"Mfg");
        rig.Device()->ScriptRequest(DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 0),
                                    StringDescriptor(Utf16(u"Lintra")));
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        EXPECT_EQ(1u, DescriptorReads(rig.Device(), USB_STRING_DESCRIPTOR_TYPE, 0));
        std::u16string text;
        size_t bytes = 0;
        ASSERT_TRUE(EnumValue(rig, u"Mfg", &text, &bytes));
        EXPECT_EQ(std::u16string(u"Lintra") + u'\0', text);
    }
}

TEST(Naming, RegistryValueKindsAndRefusals)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    auto before = EmuRegistryValueNames(rig.EnumKeyPath());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Adapter()->WriteDeviceRegistryValue(1, 4, u"x"));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Adapter()->WriteDeviceRegistryValue(7, 4, u"x"));
    EXPECT_EQ(before, EmuRegistryValueNames(rig.EnumKeyPath()));
    EXPECT_EQ(STATUS_SUCCESS, rig.Adapter()->WriteDeviceRegistryValue(0, 10, u"Desc"));
    std::u16string text;
    size_t bytes = 0;
    ASSERT_TRUE(EnumValue(rig, u"DeviceDesc", &text, &bytes));
    EXPECT_EQ(std::u16string(u"Desc") + u'\0', text);
    EXPECT_EQ(STATUS_SUCCESS, rig.Adapter()->WriteDeviceRegistryValue(8, 6, u"Mf"));
    ASSERT_TRUE(EnumValue(rig, u"Mfg", &text, &bytes));
    EXPECT_EQ(std::u16string(u"Mf") + u'\0', text);
}

TEST(Naming, EveryHardwareIdIsTriedAndTheLastDecides)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    const std::u16string deviceId = u"USB\\VID_4C54&PID_1001";
    // The device's key comes last: success, written there.
    EmuSetHardwareIds(rig.Pdo(), {deviceId + u"&REV_0100", deviceId});
    EXPECT_EQ(STATUS_SUCCESS, rig.Adapter()->WriteDeviceRegistryValue(0, 4, u"A"));
    std::u16string text;
    size_t bytes = 0;
    ASSERT_TRUE(EnumValue(rig, u"DeviceDesc", &text, &bytes));
    EXPECT_EQ(std::u16string(u"A") + u'\0', text);
    // The device's key first: written, but the missing key's status is the
    // result.
    EmuSetHardwareIds(rig.Pdo(), {deviceId, deviceId + u"&REV_0100"});
    EXPECT_FALSE(NT_SUCCESS(rig.Adapter()->WriteDeviceRegistryValue(0, 4, u"B")));
    ASSERT_TRUE(EnumValue(rig, u"DeviceDesc", &text, &bytes));
    EXPECT_EQ(std::u16string(u"B") + u'\0', text);
    // The first ID ends at a comma; what followed it is tried as an ID of
    // its own, and has no key.
    EmuSetHardwareIds(rig.Pdo(), {deviceId + u",something"});
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, rig.Adapter()->WriteDeviceRegistryValue(0, 4, u"C"));
    ASSERT_TRUE(EnumValue(rig, u"DeviceDesc", &text, &bytes));
    EXPECT_EQ(std::u16string(u"C") + u'\0', text);
    // The buffers are freed on every path: what stays is the configuration
    // descriptor and the interface information.
    EXPECT_EQ(rig.Adapter()->GetInterfaceCount() + 2, EmuPoolOutstandingCount(POOL_TAG("USBd")));
}

TEST(Naming, OldEnumerationRootIsTheFallback)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    const std::u16string oldKey = u"\\Registry\\Machine\\Enum\\USB\\VID_OLD\\5&1a2b&0&1";
    ASSERT_TRUE(EmuRegistryCreateKey(oldKey));
    EmuSetHardwareIds(rig.Pdo(), {u"USB\\VID_OLD"});
    EXPECT_EQ(STATUS_SUCCESS, rig.Adapter()->WriteDeviceRegistryValue(9, 6, u"Hi"));
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_TRUE(EmuRegistryGetValue(oldKey, u"FriendlyName", &type, &data));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(6u, data.size());
}
