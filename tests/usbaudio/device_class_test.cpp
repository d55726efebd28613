// The device classes as the adapter creates and opens them: the class choice
// with the driver's own table, the interfaces, the set-up order of InitDevice
// and the device's unit list.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "sim/devices/sim_descriptor_text.h"
#include "sim/devices/sim_timed_preset.h"
#include "tests/usbaudio/usbaudio_doubles.h"

namespace
{
// A class 1.0 reference device whose product string (index 0x50) is `text`.
std::unique_ptr<SimUsbDevice> Uac1WithProduct(const std::u16string& text)
{
    DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
    bytes.Strings[0x50] = text;
    return MakeSimDevice(bytes);
}

// The speaker's (or `bytes`') configuration edited, the total length following.
DeviceBytes Edited(void (*edit)(std::vector<UCHAR>&),
                   DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic))
{
    auto& c = bytes.Configuration;
    edit(c), c[2] = (UCHAR)c.size(), c[3] = (UCHAR)(c.size() >> 8);
    return bytes;
}

DeviceBytes QuirkBytes(const char* name)
{
    SimDescriptorSource s;
    EXPECT_EQ("", SimReadDescriptorFile((std::string(LT_QUIRKS_DIR) + "/" + name).c_str(), &s));
    return {s.Device, s.Configurations.at(0), s.Strings, s.Speed.value_or(EmuUsbSpeed::High)};
}

// The first descriptor of the type after the configuration's own.
std::vector<UCHAR>::iterator First(std::vector<UCHAR>& c, UCHAR type)
{
    for (auto at = c.begin() + c[0];; at += *at)
        if (at >= c.end() || at[1] == type)
            return at;
}
} // namespace

// The class choice creates each class from the driver's own table; the class
// 1.0 and 2.0 devices, the chip models and the timed device walk their units
// (clock sources included) and streams and start.
TEST(DeviceClasses, EveryClassGetsPastTheChoiceIntoInitDevice)
{
    struct Case
    {
        std::unique_ptr<SimUsbDevice> Device;
        const char* Name;
        ULONG Units = 0;
        ULONG Engines = 0;
    } cases[] = {
        {SimCreateReferenceDevice(SimReference::Uac1SpeakerMic), "Uac1SpeakerMic", 6, 2},
        {SimCreateReferenceDevice(SimReference::Uac1Surround71), "Uac1Surround71", 9, 2},
        {SimCreateReferenceDevice(SimReference::Uac2HighSpeed), "Uac2HighSpeed", 7, 2},
        {SimCreateReferenceDevice(SimReference::Uac2Spdif), "Uac2Spdif", 7, 2},
        {Uac1WithProduct(u"4402 Chip"), "4402 Chip", 6, 2},
        {Uac1WithProduct(u"4407"), "4407", 6, 2},
        {Uac1WithProduct(u"LTK250 Pro"), "LTK250 Pro", 6, 2},
        {SimCreateTimedDevice().Device, "timed", 14, 2},
    };
    for (Case& c : cases)
    {
        UsbAdapterRig rig(std::move(c.Device));
        ASSERT_TRUE(rig.Ok());
        UseDeviceClasses(false);
        const std::string line = c.Name;
        EXPECT_EQ(STATUS_SUCCESS, rig.Start()) << line;
        CUsbAudioDevice* device = DeviceOf(rig);
        ASSERT_NE(nullptr, device) << line;
        CPtrList* units = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, device->GetUnitList(&units));
        ASSERT_NE(nullptr, units);
        EXPECT_EQ(c.Units, units->GetCount()) << line;
        EXPECT_EQ(c.Engines, device->GetEngineCount()) << line;
    }
}

// The device-model interface and the others through the non-delegating
// unknown; the delegating one goes to the adapter.
TEST(DeviceClasses, InterfacesOfTheDeviceObject)
{
    UsbAdapterRig rig(SimCreateReferenceDevice(SimReference::Uac2HighSpeed));
    ASSERT_TRUE(rig.Ok());
    UseDeviceClasses(false);
    rig.Start();
    PUNKNOWN object = rig.Adapter()->GetDeviceClassObject();
    ASSERT_NE(nullptr, object);
    for (const GUID* iid :
         {&IID_IUnknown, &IID_IAdapterCommon, &IID_IAdapterPowerManagement, &IID_IDeviceModel})
    {
        PUNKNOWN answer = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, object->QueryInterface(*iid, (PVOID*)&answer));
        ASSERT_NE(nullptr, answer);
        answer->Release();
    }
    PUNKNOWN none = nullptr;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, object->QueryInterface(IID_IUsbDeviceIo, (PVOID*)&none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Adapter()->GetDeviceModel()->GetUnitList(nullptr));
    // The class 2.0 table has no model hook.
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, rig.Adapter()->GetDeviceModel()->PostParse());
}

// InitDevice: capability record, then the AudioControl walk with the
// interface and the bytes to the end, then the AudioStreaming walk, then the
// model hook for the chip models and the timed class only.
TEST(DeviceClasses, InitDeviceOrder)
{
    struct Case
    {
        std::u16string Product;
        bool Hook;
    } cases[] = {{u"Speaker", false}, {u"4402", true}, {u"LTK250", true}};
    for (const Case& c : cases)
    {
        UsbAdapterRig rig(Uac1WithProduct(c.Product));
        ASSERT_TRUE(rig.Ok());
        Walk() = WalkScript();
        UseDeviceClasses(true);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        const auto& config = SimReferenceDescriptors(SimReference::Uac1SpeakerMic).Configuration;
        // Offsets of the first AudioControl and AudioStreaming interfaces.
        size_t ac = 0, as = 0;
        for (size_t pos = 0; pos + 7 < config.size(); pos += config[pos])
            if (config[pos + 1] == 4 && config[pos + 5] == 1)
            {
                if (config[pos + 6] == 1 && ac == 0)
                    ac = pos;
                if (config[pos + 6] == 2 && as == 0)
                    as = pos;
            }
        std::vector<std::string> expected = {
            "ParseAudioControl if=0 bytes=" + std::to_string(config.size() - ac),
            "ParseAudioStreaming if=1 bytes=" + std::to_string(config.size() - as)};
        if (c.Hook)
            expected.push_back("PostParse");
        EXPECT_EQ(expected, RigLog());
        EXPECT_EQ(0, DeviceOf(rig)->GetAudioControlInterfaceNumber());
        // No unit was made: nothing is found.
        CAudioControl* found = reinterpret_cast<CAudioControl*>(1);
        EXPECT_EQ(STATUS_UNSUCCESSFUL, DeviceOf(rig)->FindUnitByIdInDevice(0, &found));
        EXPECT_EQ(nullptr, found);
    }
}

// A configuration without AudioStreaming interface parses the AudioControl
// interface and succeeds without engines; CreateMiniports then fails.
TEST(DeviceClasses, NoStreamingInterface)
{
    DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
    auto& c = bytes.Configuration;
    for (size_t pos = 0; pos + 7 < c.size(); pos += c[pos])
        if (c[pos + 1] == 4 && c[pos + 5] == 1 && c[pos + 6] == 2)
            c[pos + 5] = 0xFF; // vendor class: no longer audio streaming
    UsbAdapterRig rig(MakeSimDevice(bytes));
    ASSERT_TRUE(rig.Ok());
    Walk() = WalkScript();
    UseDeviceClasses(true);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    ASSERT_EQ(1u, RigLog().size());
    EXPECT_EQ(0u, RigLog()[0].rfind("ParseAudioControl", 0));
    EXPECT_EQ(0u, DeviceOf(rig)->GetEngineCount());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Adapter()->GetDeviceModel()->CreateMiniports(0));
}

// Units of the device's list are found by id; of two with one id the one
// created first, while the control list's search gives the later one.
TEST(DeviceClasses, FindUnitByIdInDevice)
{
    UsbAdapterRig rig(Uac1WithProduct(u"Speaker"));
    ASSERT_TRUE(rig.Ok());
    Walk() = WalkScript();
    Walk().UnitIds = {3, 7, 3};
    UseDeviceClasses(true);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    CUsbAudioDevice* device = DeviceOf(rig);
    CPtrList* units = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, device->GetUnitList(&units));
    ASSERT_EQ(3u, units->GetCount());
    PVOID newest = nullptr, oldest = nullptr;
    units->GetHeadData(&newest);
    units->GetTailData(&oldest);

    CAudioControl* found = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, device->FindUnitByIdInDevice(3, &found));
    EXPECT_EQ(oldest, found);
    EXPECT_EQ(STATUS_SUCCESS, device->FindUnitByIdInDevice(7, &found));
    EXPECT_EQ(7u, found->GetId());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, device->FindUnitByIdInDevice(4, &found));
    EXPECT_EQ(nullptr, found);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, device->FindUnitByIdInDevice(3, nullptr));

    // The same two units in the control list, in creation order: the
    // frame's search returns the later one.
    CAudioControl* first = static_cast<CAudioControl*>(oldest);
    CAudioControl* second = static_cast<CAudioControl*>(newest);
    ASSERT_EQ(STATUS_SUCCESS, device->AddUnitObject(first));
    ASSERT_EQ(STATUS_SUCCESS, device->AddUnitObject(second));
    EXPECT_EQ(STATUS_SUCCESS, device->FindUnitById(3, &found));
    EXPECT_EQ(second, found);
}

// Open runs once; its unit list comes from the class's list tag.
TEST(DeviceClasses, OpenAllocatesTheUnitListOnce)
{
    for (bool uac2 : {false, true})
    {
        UsbAdapterRig rig(SimCreateReferenceDevice(uac2 ? SimReference::Uac2HighSpeed
                                                        : SimReference::Uac1SpeakerMic));
        ASSERT_TRUE(rig.Ok());
        Walk() = WalkScript();
        UseDeviceClasses(true);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        CPtrList* units = nullptr;
        DeviceOf(rig)->GetUnitList(&units);
        ULONG tag = 0;
        ASSERT_TRUE(EmuPoolIsBlock(units, nullptr, &tag));
        EXPECT_EQ(uac2 ? POOL_TAG("UAC2") : POOL_TAG("UAC1"), tag);
        EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
                  DeviceOf(rig)->OpenAudioHalCallback(nullptr, rig.Fdo(), rig.Lower(), rig.Pdo()));
    }
}

// A return to full power runs the model hook before the units are restored;
// the class 2.0 table has no hook to run.
TEST(DeviceClasses, ReturnToFullPowerRunsTheModelHook)
{
    for (bool uac2 : {false, true})
    {
        UsbAdapterRig rig(uac2 ? SimCreateReferenceDevice(SimReference::Uac2HighSpeed)
                               : Uac1WithProduct(u"4402"));
        ASSERT_TRUE(rig.Ok());
        Walk() = WalkScript();
        UseDeviceClasses(true);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        RigLog().clear();
        PADAPTERPOWERMANAGEMENT power = rig.Adapter()->GetDevicePower();
        POWER_STATE state;
        state.DeviceState = PowerDeviceD3;
        power->PowerChangeState(state);
        EXPECT_TRUE(RigLog().empty());
        state.DeviceState = PowerDeviceD0;
        power->PowerChangeState(state);
        EXPECT_EQ(uac2 ? std::vector<std::string>{} : std::vector<std::string>{"PostParse"},
                  RigLog());
        EXPECT_EQ((ULONG)PowerDeviceD0, DeviceOf(rig)->GetPowerState());
    }
}

// A device class set-up that fails ends the start with a debug line that
// names what it tried, where, and the status it got.
TEST(DeviceClasses, EachFailedSetUpStepEndsWithALineNamingIt)
{
    const struct
    {
        DeviceBytes Bytes;
        NTSTATUS Status;
        const char* Line;
    } cases[] = {
        {Edited([](auto& c) { c.erase(First(c, 5), c.end()); }), // cut short inside AC
         STATUS_INVALID_PARAMETER,
         "UsbAudio: configuration 1 not selected: interface 0 declares 1 endpoint(s), its "
         "descriptors hold 0: 0xC000000D"},
        {Edited([](auto& c) { c.erase(First(c, 0x0B), First(c, 0x0B) + 8); },
                QuirkBytes("midi-first-uac3-function.txt")), // two functions, no association
         STATUS_INVALID_PARAMETER,
         "UsbAudio: AudioStreaming interface 3 is not one of audio class 1.0: 9 bytes, class 1, "
         "subclass 2, protocol 0x30 (0x00 expected): 0xC000000D"},
        {Edited([](auto& c) { std::fill(c.end() - 19, c.end() - 16, 0); }), // capture 0 Hz
         STATUS_UNSUCCESSFUL,
         "UsbAudio: AudioStreaming interface 2: none of its formats can be offered (a rate of 0 "
         "Hz, channels or samples the driver does not carry): 0xC0000001"},
        {Edited([](auto& c) { First(c, 4)[6] = 0xFF; }), STATUS_UNSUCCESSFUL, // no AC
         "UsbAudio: configuration 1 has no AudioControl interface: 0xC0000001"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "row " << &c - cases);
        UsbAdapterRig rig(MakeSimDevice(c.Bytes));
        UseDeviceClasses(false);
        EmuDbgClear();
        EXPECT_EQ(c.Status, rig.Start());
        EXPECT_EQ(c.Line + std::string("\n"), EmuDbgOutput().empty() ? "" : EmuDbgOutput().back());
    }
}
