// Doubles and rigs for the device-model tests: the adapter on a simulated
// device with the driver's own device classes or with classes whose walkers
// follow a script (units and render engines with an output-type control),
// and stream engines whose wave subdevice installation is logged.
#pragma once

#include <string>
#include <vector>

#include "framework/stream_engine.h"
#include "tests/driver/adapter_rig.h"
#include "usbaudio/device/usb_audio_device.h"

inline constexpr ULONG kRigTag = POOL_TAG("UaDb");

// Every call the doubles see: "remove SPKOut00", "install HPOut00",
// "ParseAudioControl if=0 bytes=N", "ParseAudioStreaming bytes=N", "PostParse".
std::vector<std::string>& RigLog();

struct RigEngineSpec
{
    ULONG Direction = STREAM_DIRECTION_RENDER;
    std::vector<ULONG> Kinds; // the output-type control's items; none: no control
    std::u16string Name;      // the name start-up gave it
    NTSTATUS InstallStatus = STATUS_SUCCESS;
    NTSTATUS RemoveStatus = STATUS_SUCCESS;
    // Fails installation only while the engine carries this name.
    std::u16string FailInstallFor;
};

// A render engine with an output-type control of the kinds (the first one
// selected), named as start-up named it.
RigEngineSpec RenderEngine(const std::vector<ULONG>& kinds, const char16_t* name = u"");

struct WalkScript
{
    std::vector<ULONG> UnitIds; // created in this order
    std::vector<RigEngineSpec> Engines;
    NTSTATUS AudioControlStatus = STATUS_SUCCESS;
};
WalkScript& Walk();

// The class choice goes to the driver's own classes (walked = false) or to
// classes of the same kinds whose walkers follow Walk().
void UseDeviceClasses(bool walked);

// The device object the adapter created, or null.
CUsbAudioDevice* DeviceOf(const UsbAdapterRig& rig);
// The engine's output-type control (without reference), or null.
POUTPUTTYPECONTROL OutputTypeOf(CUsbAudioDevice* device, ULONG engine);
std::string EngineName(CUsbAudioDevice* device, ULONG engine);
void SetEngineName(CUsbAudioDevice* device, ULONG engine, const char16_t* name);

// A plain unit with an id and kind, referenced once.
CAudioControl* MakeUnit(ULONG id, ULONG kind = 0);

// How many of the debug lines hold `text`.
size_t DbgLinesSaying(const std::string& text);
