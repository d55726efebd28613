// Device configuration: the device-class choice by AudioControl protocol and
// model string, the factory's arguments, and the ASIO state from defaults,
// "Settings" and the listed devices' sample types.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "tests/driver/adapter_rig.h"

namespace
{
// The listed devices of the ASIO sample type: one packed, three 24 in 32.
constexpr USHORT c_ChipVendor = 0x4C54;
constexpr USHORT c_Packed24Product = 0x3101;
constexpr USHORT c_24In32Products[] = {0x3102, 0x3103, 0x3104};
// The device created, from the factory's log line.
std::string CreatedClass()
{
    for (const std::string& line : ClassScript().Log)
        if (line.rfind("create ", 0) == 0)
            return line.substr(7, line.find(' ', 7) - 7);
    return "";
}

std::unique_ptr<SimUsbDevice> Uac1With(USHORT idVendor, USHORT idProduct)
{
    DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
    SetIds(&bytes, idVendor, idProduct, 1, 2);
    return MakeSimDevice(bytes);
}

// Chooses the class for a protocol-0 device whose model string descriptor
// (0x50) answers with `descriptor`.
std::string ClassForModelString(const std::vector<UCHAR>& descriptor)
{
    UsbAdapterRig rig;
    EXPECT_TRUE(rig.Ok());
    rig.Device()->ScriptRequest(DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 0x50), descriptor);
    EXPECT_EQ(STATUS_SUCCESS, rig.Start());
    return CreatedClass();
}

// The record's last 32-bit field sits at bytes 24 to 27; its bit 1 marks a
// stream of the ASIO interface.
constexpr ULONG c_AsioStreamBit = 0x2;

EndpointCapabilities Caps(ULONG third)
{
    EndpointCapabilities c = {};
    memcpy(reinterpret_cast<UCHAR*>(&c) + 24, &third, 4);
    return c;
}
} // namespace

TEST(Config, AudioClass2DeviceNeverHasItsModelStringRead)
{
    UsbAdapterRig rig(SimCreateReferenceDevice(SimReference::Uac2HighSpeed),
                      u"USB\\VID_4C54&PID_2003\\5&1a2b&0&2");
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ("create UAC2 4c54:2003", ClassScript().Log.at(0));
    EXPECT_EQ(0u, DescriptorReads(rig.Device(), USB_STRING_DESCRIPTOR_TYPE, 0x50));
    EXPECT_EQ(0u, DescriptorReads(rig.Device(), USB_STRING_DESCRIPTOR_TYPE, 0x32));
    // The factory got the adapter's USB I/O interface as outer unknown, and
    // the device object was opened with the three device objects.
    EXPECT_EQ(static_cast<PUNKNOWN>(rig.UsbIo()), ClassScript().Outer);
    EXPECT_EQ("open devices", ClassScript().Log.at(1));
    EXPECT_EQ(0, rig.UsbIo()->GetAudioControlInterfaceNumber());
}

TEST(Config, ModelStringFallsBackToDescriptor32)
{
    // The reference device has no descriptor 0x50; its 0x32 names model B.
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.Device()->ScriptRequest(DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 0x32),
                                StringDescriptor(Utf16(u"4407 Speaker")));
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ("B", CreatedClass());
    EXPECT_EQ(1u, DescriptorReads(rig.Device(), USB_STRING_DESCRIPTOR_TYPE, 0x50));
    EXPECT_EQ(1u, DescriptorReads(rig.Device(), USB_STRING_DESCRIPTOR_TYPE, 0x32));
    // 0x50 first, in US English, into 104 bytes.
    std::vector<const SimRequestRecord*> reads;
    for (const SimRequestRecord& r : rig.Device()->Log())
        if (r.Setup.wValue == (USB_STRING_DESCRIPTOR_TYPE << 8 | 0x50) ||
            r.Setup.wValue == (USB_STRING_DESCRIPTOR_TYPE << 8 | 0x32))
            reads.push_back(&r);
    ASSERT_EQ(2u, reads.size());
    EXPECT_EQ(0x0350, reads[0]->Setup.wValue);
    EXPECT_EQ(0x0409, reads[0]->Setup.wIndex);
    EXPECT_EQ(104, reads[0]->Setup.wLength);
    EXPECT_EQ(0x0332, reads[1]->Setup.wValue);
}

TEST(Config, ModelStringsChooseTheirClasses)
{
    EXPECT_EQ("A", ClassForModelString(StringDescriptor(Utf16(u"4402"))));
    EXPECT_EQ("A", ClassForModelString(StringDescriptor(Utf16(u"4402-XYZ USB Audio"))));
    EXPECT_EQ("B", ClassForModelString(StringDescriptor(Utf16(u"4407"))));
    EXPECT_EQ("C", ClassForModelString(StringDescriptor(Utf16(u"LTK250 Deluxe"))));
    EXPECT_EQ("Timed", ClassForModelString(StringDescriptor({0x0B, 0x00, 0x05, 0x00, 0x50, 0x00})));
    EXPECT_EQ("Timed",
              ClassForModelString(StringDescriptor({0x0B, 0x00, 0x05, 0x00, 0x50, 0x00, 'x', 0})));
    // Near misses.
    EXPECT_EQ("UAC1", ClassForModelString(StringDescriptor(Utf16(u"4403"))));
    EXPECT_EQ("UAC1", ClassForModelString(StringDescriptor(Utf16(u"LTK25"))));
    EXPECT_EQ("UAC1", ClassForModelString(StringDescriptor(Utf16(u"ltk250"))));
    EXPECT_EQ("UAC1", ClassForModelString(StringDescriptor({0x0B, 0x00, 0x05, 0x00, 0x51, 0x00})));
    EXPECT_EQ("UAC1", ClassForModelString(StringDescriptor(Utf16(u" 4402"))));
}

TEST(Config, ModelTextBeyondWhatTheDeviceSentDoesNotMatch)
{
    // bLength says the text ends after two characters; the bytes after it
    // are not the device's text.
    EXPECT_EQ("UAC1", ClassForModelString(StringDescriptor(Utf16(u"4402"), 6)));
    // The device sends fewer bytes than its descriptor claims.
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.Device()->ScriptRequest(DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 0x50),
                                StringDescriptor(Utf16(u"4402"), 40));
    rig.Device()->InjectControlFault(DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 0x50),
                                     SimFaultKind::ShortRead, 1, 0, 7);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ("UAC1", CreatedClass());
}

// "4402" needs 2 + 8 bytes inside both the descriptor's bLength and what the
// device sent; each bound probed one below, at and one above.
TEST(Config, ModelStringLengthBoundsAtTheirEdges)
{
    struct Case
    {
        UCHAR Length;
        ULONG Sent; // 0: the whole descriptor
        const char* Expected;
    };
    const Case cases[] = {{9, 0, "UAC1"},  {10, 0, "A"},  {11, 0, "A"},
                          {40, 9, "UAC1"}, {40, 10, "A"}, {40, 11, "A"}};
    for (const Case& c : cases)
    {
        UsbAdapterRig rig;
        ASSERT_TRUE(rig.Ok());
        const SimRequestMatch read = DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 0x50);
        rig.Device()->ScriptRequest(read, StringDescriptor(Utf16(u"4402 Audio"), c.Length));
        if (c.Sent != 0)
            rig.Device()->InjectControlFault(read, SimFaultKind::ShortRead, 1, 0, c.Sent);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        EXPECT_EQ(c.Expected, CreatedClass()) << int{c.Length} << " " << c.Sent;
    }
}

TEST(Config, UnreadableModelStringsGiveTheAudioClass1Device)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.Device()->InjectControlFault(DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 0x32),
                                     SimFaultKind::Stall);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ("create UAC1 4c54:1001", ClassScript().Log.at(0));
    // The choice frees its buffers.
    EXPECT_EQ(0u, EmuPoolOutstandingCount(POOL_TAG("pmet")));
}

TEST(Config, OtherProtocolsAndMissingAudioControlCreateNothing)
{
    {
        DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
        SetAudioControlProtocol(&bytes, 0x30);
        UsbAdapterRig rig(MakeSimDevice(bytes));
        ASSERT_TRUE(rig.Ok());
        EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Start());
        EXPECT_TRUE(ClassScript().Log.empty());
        EXPECT_EQ(0u, DescriptorReads(rig.Device(), USB_STRING_DESCRIPTOR_TYPE, 0x50));
    }
    {
        UsbAdapterRig rig;
        ASSERT_TRUE(rig.Ok());
        // The interface that was AudioControl is vendor-specific now.
        auto config = rig.Device()->Descriptors().Configuration();
        for (size_t pos = 0; pos + 9 <= config.size(); pos += config[pos])
            if (config[pos + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && config[pos + 6] == 1)
                config[pos + 5] = 0xFF;
        rig.Device()->ScriptRequest(DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0),
                                    config);
        EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Start());
        EXPECT_TRUE(ClassScript().Log.empty());
    }
}

TEST(Config, DriverTableHoldsEveryDeviceClass)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    const DeviceClassFactories* fakes = SetDeviceClassFactories(nullptr);
    EXPECT_EQ(&FakeClassFactories(), fakes);
    const DeviceClassFactories* driverTable = GetDeviceClassFactories();
    for (PDEVICE_CLASS_FACTORY factory :
         {driverTable->CreateUsbAudio2Device, driverTable->CreateUsbAudioTimedDevice,
          driverTable->CreateUsbAudio1DeviceA, driverTable->CreateUsbAudio1DeviceB,
          driverTable->CreateUsbAudio1DeviceC, driverTable->CreateUsbAudio1Device})
        EXPECT_NE(nullptr, factory);
    SetDeviceClassFactories(fakes);
}

TEST(Config, TableWithoutTheChosenClassRefusesTheChoice)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    static const DeviceClassFactories none = {};
    const DeviceClassFactories* fakes = SetDeviceClassFactories(&none);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, rig.Start());
    SetDeviceClassFactories(fakes);
}

// ----------------------------------------------------------------------------
// ASIO state

TEST(Config, AsioDefaultsWithoutSettingsOrEngines)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ(16u, rig.Adapter()->GetAsioSampleType());
    EXPECT_EQ(4u, rig.Adapter()->GetAsioLatencyIndex());
    EXPECT_EQ(48000u, rig.Adapter()->GetAsioSampleRate());
    ULONG value = 0;
    EXPECT_FALSE(rig.GetSetting(u"ASIOMLDataBitDepth", &value));
}

TEST(Config, AsioSettingsOverrideTheDefaults)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.SetSetting(u"ASIOMLDataBitDepth", 27);
    rig.SetSetting(u"ASIOMLDataLatency", 2);
    rig.SetSetting(u"ASIOMLSampleRate", 96000);
    // Streams that want ASIO do not change a stored type.
    ClassScript().EngineCount = 1;
    ClassScript().Capabilities = {Caps(c_AsioStreamBit)};
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ(27u, rig.Adapter()->GetAsioSampleType());
    EXPECT_EQ(2u, rig.Adapter()->GetAsioLatencyIndex());
    EXPECT_EQ(96000u, rig.Adapter()->GetAsioSampleRate());
}

TEST(Config, RingArrayHasOneZeroedEntryPerEngine)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ClassScript().EngineCount = 3;
    ClassScript().Capabilities = {Caps(0), Caps(0), Caps(0)};
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    const AsioRingEntry* rings = rig.Adapter()->GetAsioRings();
    ASSERT_NE(nullptr, rings);
    SIZE_T size = 0;
    ULONG tag = 0;
    POOL_TYPE type = PagedPool;
    ASSERT_TRUE(EmuPoolIsBlock(rings, &size, &tag, &type));
    EXPECT_EQ(3 * sizeof(AsioRingEntry), size);
    EXPECT_EQ(POOL_TAG("USBd"), tag);
    EXPECT_EQ(NonPagedPool, type);
    const AsioRingEntry zero[3] = {};
    EXPECT_EQ(0, memcmp(zero, rings, sizeof(zero)));
}

TEST(Config, AsioStreamOfAnUnlistedDeviceKeepsSixteenBitsAndWritesNothing)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ClassScript().EngineCount = 2;
    ClassScript().Capabilities = {Caps(0), Caps(c_AsioStreamBit)};
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ(16u, rig.Adapter()->GetAsioSampleType());
    ULONG value = 0;
    EXPECT_FALSE(rig.GetSetting(u"ASIOMLDataBitDepth", &value));
}

TEST(Config, OnlyBitOneOfTheThirdFieldMarksAnAsioStream)
{
    UsbAdapterRig rig(Uac1With(c_ChipVendor, c_Packed24Product),
                      u"USB\\VID_4C54&PID_3101\\5&1a2b&0&1");
    ASSERT_TRUE(rig.Ok());
    EndpointCapabilities other = Caps(~c_AsioStreamBit);
    other.CapabilityMask = 0xFFFFFFFF;
    other.SecondValue = 0xFFFFFFFF;
    ClassScript().EngineCount = 1;
    ClassScript().Capabilities = {other};
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ(16u, rig.Adapter()->GetAsioSampleType());
    ULONG value = 0;
    EXPECT_FALSE(rig.GetSetting(u"ASIOMLDataBitDepth", &value));
}

TEST(Config, ListedDevicesGetAndKeepTheirSampleType)
{
    struct Case
    {
        USHORT Product;
        ULONG Type;
    };
    const Case cases[] = {{c_Packed24Product, 17},
                          {c_24In32Products[0], 27},
                          {c_24In32Products[1], 27},
                          {c_24In32Products[2], 27}};
    for (const Case& c : cases)
    {
        UsbAdapterRig rig(Uac1With(c_ChipVendor, c.Product));
        ASSERT_TRUE(rig.Ok());
        ClassScript().EngineCount = 2;
        ClassScript().Capabilities = {Caps(c_AsioStreamBit), Caps(0)};
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        EXPECT_EQ(c.Type, rig.Adapter()->GetAsioSampleType()) << std::hex << c.Product;
        ULONG stored = 0;
        ASSERT_TRUE(rig.GetSetting(u"ASIOMLDataBitDepth", &stored));
        EXPECT_EQ(c.Type, stored);
        // The next start reads it as a stored value: a changed one stays.
        rig.Release();
        rig.SetSetting(u"ASIOMLDataBitDepth", 16);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        EXPECT_EQ(16u, rig.Adapter()->GetAsioSampleType());
        ASSERT_TRUE(rig.GetSetting(u"ASIOMLDataBitDepth", &stored));
        EXPECT_EQ(16u, stored);
    }
}

TEST(Config, DeviceWithoutEnginesKeepsItsSettings)
{
    UsbAdapterRig rig(Uac1With(c_ChipVendor, c_Packed24Product));
    ASSERT_TRUE(rig.Ok());
    rig.SetSetting(u"ASIOMLDataLatency", 7);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ(16u, rig.Adapter()->GetAsioSampleType());
    EXPECT_EQ(7u, rig.Adapter()->GetAsioLatencyIndex());
    EXPECT_EQ(nullptr, rig.Adapter()->GetAsioRings());
    ULONG value = 0;
    EXPECT_FALSE(rig.GetSetting(u"ASIOMLDataBitDepth", &value));
}
