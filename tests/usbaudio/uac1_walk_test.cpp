// The class 1.0 walks on the reference devices and on descriptor sets that
// bend the rules: the units, controls, paths, formats and the starts that
// fail, with the double stream class standing in for the stream classes.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "tests/usbaudio/walk_doubles.h"
#include "usbaudio/uac1_walkers.h"
#include "usbaudio/units/uac_unit.h"

namespace
{
// "id:kind{sources}" of every control of the device, in list order.
std::string Controls(CUsbAudioDevice* device)
{
    std::string text;
    for (ULONG i = 0; i < device->GetUnitCount(); ++i)
    {
        CAudioControl* control = nullptr;
        device->GetUnit(i, &control);
        ULONG values[16] = {}, count = 16;
        control->GetValues(&count, values);
        text += (i ? " " : "") + std::to_string(control->GetId()) + ":" + std::to_string(control->GetKind()) + "{";
        for (ULONG v = 0; v < count; ++v)
            text += (v ? "," : "") + std::to_string(values[v]);
        text += "}";
    }
    return text;
}

// "direction link: control ids | rate/bits/channels/mask per format".
std::string Engine(CUsbAudioDevice* device, ULONG index)
{
    CStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(device->GetEngine(index, &engine)))
        return "none";
    std::string text = std::to_string(engine->GetDirection()) + " " +
                       std::to_string(static_cast<CUsbAudioStream*>(engine)->GetTerminalLink()) + ":";
    for (ULONG i = 0; i < engine->GetControlCount(); ++i)
    {
        CAudioControl* control = nullptr;
        engine->GetControlAt(i, &control);
        text += " " + std::to_string(control->GetId());
    }
    text += " |";
    for (ULONG i = 0; i < engine->GetFormatCount(); ++i)
    {
        WAVEFORMATEXTENSIBLE f = {};
        engine->GetFormatAt(i, &f);
        char one[64];
        snprintf(one, sizeof(one), " %lu/%u/%u/%lx", (unsigned long)f.Format.nSamplesPerSec, f.Format.wBitsPerSample,
                 f.Format.nChannels, (unsigned long)f.dwChannelMask);
        text += one;
    }
    return text;
}

struct Started
{
    explicit Started(std::unique_ptr<SimUsbDevice> device) : Rig(std::move(device))
    {
        UseDeviceClasses(false);
        Status = Rig.Ok() ? Rig.Start() : STATUS_UNSUCCESSFUL;
    }
    CUsbAudioDevice* Device() { return DeviceOf(Rig); }
    ScopedTestStreams Streams;
    UsbAdapterRig Rig;
    NTSTATUS Status;
};
} // namespace

// The reference devices parse to their units' controls, each linked to the
// first control of its source unit, and to one stream per AudioStreaming
// interface with the path from its terminal and a record per alternate
// setting and rate (capture below four channels twice, the second with
// mask 0).
TEST(Uac1Walk, ReferenceDevices)
{
    struct Case
    {
        SimReference Which;
        const char* Controls;
        const char* Playback;
        const char* Capture;
    } cases[] = {
        {SimReference::Uac1SpeakerMic, "0:0{} 1:2{0} 2:3{1} 3:1{1} 4:0{} 5:2{4} 6:3{5} 7:1{5}",
         "0 0: 3 1 0 | 48000/16/2/3 44100/16/2/3 48000/24/2/3", "1 7: 7 5 4 | 48000/16/1/4 48000/16/1/0"},
        {SimReference::Uac1Surround71,
         "0:0{} 1:0{} 2:5{0,1} 3:2{2} 4:3{3} 5:9{4} 6:11{5} 7:7{6} 8:1{3} 9:0{} 10:4{9,1} 11:2{10} "
         "12:3{11} 13:6{12} 14:1{11}",
         "0 0: 8 3 2 | 48000/16/8/63f 44100/16/8/63f 48000/16/2/3",
         "1 14: 14 11 10 9 1 | 8000/16/2/3 11025/16/2/3 16000/16/2/3 22050/16/2/3 32000/16/2/3 "
         "44100/16/2/3 48000/16/2/3 8000/16/2/0 11025/16/2/0 16000/16/2/0 22050/16/2/0 32000/16/2/0 "
         "44100/16/2/0 48000/16/2/0"},
    };
    for (const Case& c : cases)
    {
        Started s(SimCreateReferenceDevice(c.Which));
        ASSERT_EQ(STATUS_SUCCESS, s.Status);
        EXPECT_EQ(c.Controls, Controls(s.Device()));
        EXPECT_EQ(c.Playback, Engine(s.Device(), 0));
        EXPECT_EQ(c.Capture, Engine(s.Device(), 1));
        EXPECT_EQ(2u, s.Device()->GetEngineCount());
    }
}
