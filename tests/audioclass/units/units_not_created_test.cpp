// A unit whose creation fails for want of a device answer, not because the
// driver refuses what the device says, is named in the start's debug output
// by its descriptor and the failure: a clock whose RANGE stalls, a feature
// unit whose level range ends with the device pulled out.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "tests/usbaudio/walk_doubles.h"

TEST(UnitsNotCreated, TheStartNamesTheDescriptorAndTheFailure)
{
    const struct
    {
        SimReference Device;
        int Request, Value, Unit; // the class-specific GET that fails
        SimFaultKind Fault;
        const char* Descriptor; // subtype, id and length
        const char* Status;
    } cases[] = {
        {SimReference::Uac2HighSpeed, 0x02, 0x0100, SimRef3::Clock, SimFaultKind::Stall,
         "0x0A id 16 length 8", "0xC0000001"},
        {SimReference::Uac2HighSpeed, 0x02, -1, SimRef3::FeaturePlay, SimFaultKind::Unplug,
         "0x06 id 2 length 18", "0xC000000E"},
        {SimReference::Uac1SpeakerMic, 0x82, -1, SimRef1::FeaturePlay, SimFaultKind::Unplug,
         "0x06 id 2 length 10", "0xC000000E"},
    };
    ScopedTestStreams streams;
    for (const auto& c : cases)
    {
        auto device = SimCreateReferenceDevice(c.Device);
        device->InjectControlFault({0xA1, c.Request, c.Value, c.Unit << 8}, c.Fault, 100);
        UsbAdapterRig rig(std::move(device));
        UseDeviceClasses(false);
        EmuDbgClear();
        EXPECT_FALSE(NT_SUCCESS(rig.Start())) << c.Descriptor;
        EXPECT_EQ(1u, DbgLinesSaying("UsbAudio: AudioControl interface 0: descriptor subtype " +
                                     std::string(c.Descriptor) +
                                     " refused (could not be created): " + c.Status + "\n"))
            << c.Descriptor;
    }
}
