// A unit whose creation fails for want of a device answer, not because the
// driver refuses what the device says, is named in the start's debug output
// by its descriptor and the failure.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "tests/usbaudio/walk_doubles.h"

// A clock whose RANGE stalls; a feature unit whose level range ends with the
// device pulled out, which is no range of several subranges.
TEST(UnitsNotCreated, TheStartNamesTheDescriptorAndTheFailure)
{
    struct Case
    {
        const char* What;
        SimReference Device;
        SimRequestMatch Request;
        SimFaultKind Fault;
        const char* Line;
    } cases[] = {
        {"clock RANGE stalled",
         SimReference::Uac2HighSpeed,
         {0xA1, 0x02, 0x0100, SimRef3::Clock << 8},
         SimFaultKind::Stall,
         "descriptor subtype 0x0A id 16 length 8 refused (could not be created): 0xC0000001"},
        {"volume RANGE, pulled out",
         SimReference::Uac2HighSpeed,
         {0xA1, 0x02, -1, SimRef3::FeaturePlay << 8},
         SimFaultKind::Unplug,
         "descriptor subtype 0x06 id 2 length 18 refused (could not be created): 0xC000000E"},
        {"volume MIN, pulled out",
         SimReference::Uac1SpeakerMic,
         {0xA1, 0x82, -1, SimRef1::FeaturePlay << 8},
         SimFaultKind::Unplug,
         "descriptor subtype 0x06 id 2 length 10 refused (could not be created): 0xC000000E"},
    };
    ScopedTestStreams streams;
    for (const Case& c : cases)
    {
        auto device = SimCreateReferenceDevice(c.Device);
        device->InjectControlFault(c.Request, c.Fault, 100);
        UsbAdapterRig rig(std::move(device));
        UseDeviceClasses(false);
        EmuDbgClear();
        EXPECT_FALSE(NT_SUCCESS(rig.Start())) << c.What;
        EXPECT_EQ(
            1u, DbgLinesSaying("UsbAudio: AudioControl interface 0: " + std::string(c.Line) + "\n"))
            << c.What;
        EXPECT_EQ(0u, DbgLinesSaying("subranges")) << c.What;
    }
}
