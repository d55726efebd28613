// The capability record of each device class and condition, the requests the
// class 1.0 device sends for it (byte-exact, from the device's log), and the
// per-endpoint records derived from it.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "sim/devices/sim_vendor_presets.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "usbaudio/device/endpoint_capabilities.h"

namespace
{
struct Record
{
    ULONG Mask, Second, Third;
};

void ExpectRecord(const Record& expected, const EndpointCapabilities& actual, const char* what)
{
    EXPECT_EQ(expected.Mask, actual.CapabilityMask) << what;
    EXPECT_EQ(expected.Second, actual.SecondValue) << what;
    EXPECT_EQ(expected.Third, actual.ThirdValue) << what;
    const ULONG* words = reinterpret_cast<const ULONG*>(&actual);
    for (int i : {1, 2, 3, 5, 7})
        EXPECT_EQ(0u, words[i]) << what << " word " << i;
}

DeviceBytes Uac1Bytes(USHORT idProduct, const std::u16string& product)
{
    DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
    SetIds(&bytes, 0x4C54, idProduct, 1, 2);
    bytes.Strings.erase(0x32);
    bytes.Strings.erase(0x50);
    if (!product.empty())
        bytes.Strings[0x50] = product;
    return bytes;
}

// The string-descriptor and vendor requests of the log, as text.
std::vector<std::string> ChipRequests(const SimUsbDevice* device)
{
    std::vector<std::string> rows;
    for (const SimRequestRecord& r : device->Log())
    {
        const std::string text = r.Text();
        // The model-string reads; the adapter's own string reads come later.
        if (text.rfind("80 06 0350", 0) == 0 || text.rfind("80 06 0332", 0) == 0)
            rows.push_back(text.substr(0, 20) +
                           (r.Result == EmuUsbHandshake::Stall ? " STALL" : ""));
        else if (text.rfind("C3 ", 0) == 0)
            rows.push_back(text);
    }
    return rows;
}

const std::string kRead50 = "80 06 0350 0409 0068";
const std::string kRead32 = "80 06 0332 0409 0068";
} // namespace

// Every condition of the class 1.0 device's record, with the requests that
// decided it: the class choice's string read, then InitDevice's own.
TEST(Capabilities, Uac1RecordPerCondition)
{
    struct Case
    {
        const char* What;
        USHORT Product;
        std::u16string Text;
        int Status; // model status byte, -1: not scripted
        int Config[2];
        NTSTATUS Expected;
        Record Values;
        std::vector<std::string> Requests;
    };
    const std::string status = "C3 02 0051 0000 0001 > ";
    const Case cases[] = {
        {"other product",
         0x1001,
         u"Speaker",
         -1,
         {-1, -1},
         STATUS_SUCCESS,
         {0, 0, 0},
         {kRead50, kRead50}},
        {"first family ready",
         0x1001,
         u"LT40 Mk2",
         0x1F,
         {-1, -1},
         STATUS_SUCCESS,
         {0x3E10A0, 0, 65},
         {kRead50, kRead50, status + "1F"}},
        {"first family customer",
         0x1202,
         u"LT40",
         0x1F,
         {-1, -1},
         STATUS_SUCCESS,
         {0x3E00A5, 0, 65},
         {kRead50, kRead50, status + "1F"}},
        {"first family chip maker's own",
         0x1210,
         u"LT40",
         0x1F,
         {-1, -1},
         STATUS_SUCCESS,
         {0x3E00A0, 0, 65},
         {kRead50, kRead50, status + "1F"}},
        {"first family not ready",
         0x1202,
         u"LT40",
         0x1E,
         {-1, -1},
         STATUS_SUCCESS,
         {0, 0, 0},
         {kRead50, kRead50, status + "1E"}},
        {"first family status refused",
         0x1001,
         u"LT40",
         -1,
         {-1, -1},
         STATUS_UNSUCCESSFUL,
         {0, 0, 0},
         {kRead50, kRead50, "C3 02 0051 0000 0001 STALL"}},
        {"second family",
         0x1001,
         u"LTA200",
         -1,
         {-1, -1},
         STATUS_SUCCESS,
         {0x3FE0FF, 0, 0},
         {kRead50, kRead50}},
        {"third family bits 8",
         0x1001,
         u"LTC300",
         -1,
         {0x09, 0xFD},
         STATUS_SUCCESS,
         {0x3E087, 0, 0},
         {kRead50, kRead50, "C3 00 001A 0000 0001 > 09", "C3 00 0020 0000 0001 > FD"}},
        {"third family bits 0E",
         0x1001,
         u"LTC300",
         -1,
         {0x0F, 0x00},
         STATUS_SUCCESS,
         {0x3E087, 0, 2},
         {kRead50, kRead50, "C3 00 001A 0000 0001 > 0F", "C3 00 0020 0000 0001 > 00"}},
        {"third family blocked",
         0x1001,
         u"LTC300",
         -1,
         {0x08, 0x02},
         STATUS_UNSUCCESSFUL,
         {0, 0, 0},
         {kRead50, kRead50, "C3 00 001A 0000 0001 > 08", "C3 00 0020 0000 0001 > 02"}},
        {"third family other bits",
         0x1001,
         u"LTC300",
         -1,
         {0x04, 0x00},
         STATUS_UNSUCCESSFUL,
         {0, 0, 0},
         {kRead50, kRead50, "C3 00 001A 0000 0001 > 04", "C3 00 0020 0000 0001 > 00"}},
        // A name shorter than a model text is another product, not a failure.
        {"short name", 0x1001, u"LT4", -1, {-1, -1}, STATUS_SUCCESS, {0, 0, 0}, {kRead50, kRead50}},
        {"unreadable, first listed",
         0x1101,
         u"",
         -1,
         {-1, -1},
         STATUS_SUCCESS,
         {0x24, 0, 0},
         {kRead50 + " STALL", kRead32 + " STALL", kRead50 + " STALL", kRead32 + " STALL"}},
        {"unreadable, second listed",
         0x1102,
         u"",
         -1,
         {-1, -1},
         STATUS_SUCCESS,
         {0x3C0264, 12, 0},
         {kRead50 + " STALL", kRead32 + " STALL", kRead50 + " STALL", kRead32 + " STALL"}},
        // Ordinary devices have no model string: they start as an unknown model.
        {"unreadable, not listed",
         0x1001,
         u"",
         -1,
         {-1, -1},
         STATUS_SUCCESS,
         {0, 0, 0},
         {kRead50 + " STALL", kRead32 + " STALL", kRead50 + " STALL", kRead32 + " STALL"}},
    };
    for (const Case& c : cases)
    {
        auto device = MakeSimDevice(Uac1Bytes(c.Product, c.Text));
        if (c.Status >= 0)
            SimPresetModelStatus(*device, (UCHAR)c.Status);
        if (c.Config[0] >= 0)
            SimPresetModelConfiguration(*device, (UCHAR)c.Config[0], (UCHAR)c.Config[1]);
        UsbAdapterRig rig(std::move(device));
        ASSERT_TRUE(rig.Ok());
        UseDeviceClasses(false);
        EXPECT_EQ(c.Expected, rig.Start()) << c.What;
        ASSERT_NE(nullptr, DeviceOf(rig)) << c.What;
        if (NT_SUCCESS(c.Expected))
            ExpectRecord(c.Values, DeviceOf(rig)->GetCapabilityRecord(), c.What);
        EXPECT_EQ(c.Requests, ChipRequests(rig.Device())) << c.What;
    }
}

// A device pulled out while its model string is read does not start, listed
// or not.
TEST(Capabilities, Uac1StringReadOfAGoneDevice)
{
    for (USHORT product : {0x1001, 0x1101})
    {
        UsbAdapterRig rig(MakeSimDevice(Uac1Bytes(product, u"")));
        ASSERT_TRUE(rig.Ok());
        UseDeviceClasses(false);
        // The class choice reads both indexes first; the device goes at the
        // device class's own read of 0x50.
        rig.Device()->InjectControlFault({0x80, 0x06, 0x0350, -1}, SimFaultKind::Unplug, 1, 1);
        EXPECT_EQ(STATUS_NO_SUCH_DEVICE, rig.Start()) << product;
    }
}

// The fallback string: index 0x50 refused, 0x32 read.
TEST(Capabilities, Uac1StringReads)
{
    {
        DeviceBytes bytes = Uac1Bytes(0x1001, u"");
        bytes.Strings[0x32] = u"LTA200";
        UsbAdapterRig rig(MakeSimDevice(bytes));
        ASSERT_TRUE(rig.Ok());
        UseDeviceClasses(false);
        EXPECT_EQ(STATUS_SUCCESS, rig.Start());
        ExpectRecord({0x3FE0FF, 0, 0}, DeviceOf(rig)->GetCapabilityRecord(), "fallback");
        const std::vector<std::string> expected = {kRead50 + " STALL", kRead32, kRead50 + " STALL",
                                                   kRead32};
        EXPECT_EQ(expected, ChipRequests(rig.Device()));
    }
}

// A status reply without its byte fails the start instead of reading as 0;
// the descriptor's own length limits the text that is compared.
TEST(Capabilities, ShortRepliesAndShortNames)
{
    {
        auto device = MakeSimDevice(Uac1Bytes(0x1001, u"LT40"));
        SimPresetModelStatus(*device, 0x1F);
        device->InjectControlFault({0xC3, 0x02, 0x0051, 0x0000}, SimFaultKind::ShortRead, 1, 0, 0);
        UsbAdapterRig rig(std::move(device));
        ASSERT_TRUE(rig.Ok());
        UseDeviceClasses(false);
        EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, rig.Start());
    }
    {
        // bLength 6 covers "LT" only, although all of "LT40" was sent.
        auto device = MakeSimDevice(Uac1Bytes(0x1001, u"Other"));
        device->ScriptRequest(DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 0x50),
                              StringDescriptor(Utf16(u"LT40"), 6));
        SimPresetModelStatus(*device, 0x1F);
        UsbAdapterRig rig(std::move(device));
        ASSERT_TRUE(rig.Ok());
        UseDeviceClasses(false);
        EXPECT_EQ(STATUS_SUCCESS, rig.Start());
        ExpectRecord({0, 0, 0}, DeviceOf(rig)->GetCapabilityRecord(), "bLength");
        EXPECT_EQ((std::vector<std::string>{kRead50, kRead50}), ChipRequests(rig.Device()));
    }
}

// The chip models, the timed class and class 2.0 write fixed records.
TEST(Capabilities, FixedRecordsPerClass)
{
    struct Case
    {
        const char* What;
        std::u16string Text; // empty: the class 2.0 reference device
        USHORT Product;
        Record Values;
    };
    const Case cases[] = {
        {"model A", u"4402", 0x1001, {0x3FE02F, 12, 0}},
        {"model B listed", u"4407", 0x1301, {0x24, 0, 0}},
        {"model B", u"4407", 0x1300, {0xF, 0, 0}},
        {"model C variant 5", u"LTK250", 0x1405, {0x20006, 8, 0}},
        {"model C variant 6 listed", u"LTK250", 0x1406, {0x3E0084, 0, 65}},
        {"model C variant 6", u"LTK250", 0x1407, {0x3E1084, 0, 65}},
        {"class 2.0", u"", 0x2003, {0x3FE0FF, 0, 18}},
    };
    for (const Case& c : cases)
    {
        DeviceBytes bytes = c.Text.empty() ? ReferenceBytes(SimReference::Uac2HighSpeed)
                                           : Uac1Bytes(c.Product, c.Text);
        SetIds(&bytes, 0x4C54, c.Product, 1, 2);
        UsbAdapterRig rig(MakeSimDevice(bytes));
        ASSERT_TRUE(rig.Ok());
        UseDeviceClasses(false);
        // Every class here starts (the timed class's records are with its
        // own tests).
        EXPECT_EQ(STATUS_SUCCESS, rig.Start()) << c.What;
        ExpectRecord(c.Values, DeviceOf(rig)->GetCapabilityRecord(), c.What);
        // Only the class 1.0 device reads the chip: no vendor request here.
        for (const std::string& row : ChipRequests(rig.Device()))
            EXPECT_NE(0u, row.rfind("C3", 0)) << c.What << " " << row;
    }
}

// The records of the class 1.0 family per endpoint kind and direction.
TEST(Capabilities, Uac1EndpointRecords)
{
    const EndpointCapabilities source = MakeCapabilityRecord(0x3E10A0, 12, 65);
    struct Case
    {
        USHORT Product;
        BOOLEAN Input;
        ULONG Kind;
        Record Expected;
    } cases[] = {
        {0x1001, FALSE, ENDPOINT_KIND_SPK, {0x3E10A0, 12, 65}},
        {0x1001, TRUE, ENDPOINT_KIND_MIC, {0x3E10A0, 12, 65}},
        {0x1001, FALSE, ENDPOINT_KIND_SPDIF, {0, 0, 0}},
        {0x1001, TRUE, ENDPOINT_KIND_SPDIF, {0, 0, 0}},
        {0x1001, FALSE, ENDPOINT_KIND_HDMI, {0x3E10A0, 12, 65}},
        // The chip maker's own product: the microphone bit, no second value.
        {0x1210, TRUE, ENDPOINT_KIND_MIC, {0xBE10A0, 0, 65}},
        {0x1210, FALSE, ENDPOINT_KIND_MIC, {0x3E10A0, 0, 65}},
        {0x1210, TRUE, ENDPOINT_KIND_LINE, {0x3E10A0, 0, 65}},
        {0x1210, FALSE, ENDPOINT_KIND_SPDIF, {0x3E10A0, 0, 65}},
    };
    for (const Case& c : cases)
    {
        EndpointCapabilities record;
        memset(&record, 0xEE, sizeof(record));
        DeriveUac1EndpointRecord(source, FindDeviceRecord(0x4C54, c.Product), c.Input, c.Kind,
                                 &record);
        ExpectRecord(c.Expected, record, "class 1.0");
    }
}

TEST(Capabilities, Uac2EndpointRecords)
{
    const EndpointCapabilities source = MakeCapabilityRecord(0xFFFFFFFF, 12, 7);
    struct Case
    {
        USHORT Product;
        BOOLEAN Input;
        ULONG Kind;
        ULONG Engines;
        Record Expected;
    } cases[] = {
        {0x2003, TRUE, ENDPOINT_KIND_MIC, 2, {0x28000, 0, 18}},
        {0x2003, TRUE, ENDPOINT_KIND_FMIC, 2, {0x28000, 0, 18}},
        {0x2003, TRUE, ENDPOINT_KIND_REC, 2, {0x28000, 0, 18}},
        {0x2003, TRUE, ENDPOINT_KIND_LINE, 2, {0, 0, 18}},
        {0x2003, TRUE, ENDPOINT_KIND_SPDIF, 1, {0, 0, 0}},
        {0x2003, FALSE, ENDPOINT_KIND_SPK, 2, {0x3FE0FF, 0, 7}},
        {0x2003, FALSE, ENDPOINT_KIND_SPDIF, 1, {0, 0, 7}},
        {0x2003, FALSE, ENDPOINT_KIND_SPDIF, 2, {0, 0, 0}},
        {0x2003, FALSE, ENDPOINT_KIND_SPDIF, 0, {0, 0, 0}},
        // The listed customer device: fixed records, either direction.
        {0x2101, FALSE, ENDPOINT_KIND_HP, 2, {0x603F, 0, 3}},
        {0x2101, TRUE, ENDPOINT_KIND_HP, 2, {0x603F, 0, 3}},
        {0x2101, TRUE, ENDPOINT_KIND_MIC, 2, {0x29000, 0, 0}},
        {0x2101, FALSE, ENDPOINT_KIND_SPK, 2, {0, 0, 0}},
    };
    for (const Case& c : cases)
    {
        EndpointCapabilities record;
        memset(&record, 0xEE, sizeof(record));
        DeriveUac2EndpointRecord(source, FindDeviceRecord(0x4C54, c.Product), c.Input, c.Kind,
                                 c.Engines, &record);
        ExpectRecord(c.Expected, record, "class 2.0");
    }
}

// The stream capability query walks to the engine (the last one for an
// index past it) and asks for its kind and direction; without engines it
// asks for kind 0 as output.
TEST(Capabilities, StreamCapabilitiesFollowTheEngines)
{
    DeviceBytes bytes = Uac1Bytes(0x1001, u"LT40");
    auto device = MakeSimDevice(bytes);
    SimPresetModelStatus(*device, 0x1F);
    UsbAdapterRig rig(std::move(device));
    ASSERT_TRUE(rig.Ok());
    Walk() = WalkScript();
    Walk().Engines = {RenderEngine({ENDPOINT_KIND_SPK}), RenderEngine({ENDPOINT_KIND_SPDIF})};
    UseDeviceClasses(true);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    CUsbAudioDevice* hal = DeviceOf(rig);
    EndpointCapabilities record = {};
    EXPECT_EQ(STATUS_SUCCESS, hal->GetStreamCapabilities(0, &record));
    ExpectRecord({0x3E10A0, 0, 65}, record, "engine 0");
    for (ULONG index : {1u, 2u, 50u})
    {
        EXPECT_EQ(STATUS_SUCCESS, hal->GetStreamCapabilities(index, &record));
        ExpectRecord({0, 0, 0}, record, "S/PDIF engine");
    }
    EXPECT_EQ(STATUS_UNSUCCESSFUL, hal->GetStreamCapabilities(0, nullptr));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, hal->GetEndpointCapabilities(FALSE, 1, nullptr));
    // The adapter forwards to the device.
    EXPECT_EQ(STATUS_SUCCESS, rig.Adapter()->GetStreamCapabilities(0, &record));
    ExpectRecord({0x3E10A0, 0, 65}, record, "through the adapter");
}

TEST(Capabilities, StreamCapabilitiesWithoutEngines)
{
    UsbAdapterRig rig(SimCreateReferenceDevice(SimReference::Uac2HighSpeed));
    ASSERT_TRUE(rig.Ok());
    Walk() = WalkScript();
    UseDeviceClasses(true);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EndpointCapabilities record = {};
    EXPECT_EQ(STATUS_SUCCESS, DeviceOf(rig)->GetStreamCapabilities(3, &record));
    ExpectRecord({0x3FE0FF, 0, 18}, record, "kind 0 output");
}
