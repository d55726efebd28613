// The host program's command line: its options read into one record, and
// everything a run needs checked before the driver loads (the device named,
// the file to play read, every output found writable).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "sim/devices/sim_usb_device.h"
#include "sim/host/stream_run.h"

enum class HostAction
{
    Run,
    Help,
    List,
    SelfCheck
};

inline constexpr char kHostDefaultDevice[] = "Uac1SpeakerMic";

struct HostOptions
{
    HostAction Action = HostAction::Run;
    std::string Device = kHostDefaultDevice;
    bool FromFile = false;    // --descriptor-file
    bool DeviceNamed = false; // --device
    std::optional<EmuUsbSpeed> Speed;
    ULONG AsioMs = 0; // 0: no ASIO run
    bool Verbose = false;
    StreamRunOptions Stream;
};

// The longest run any option takes, in seconds.
inline constexpr ULONG kHostMaxSeconds = 3600;

// Reads the command line; false with *error saying what is wrong.
bool HostParseOptions(int argc, char** argv, HostOptions* options, std::string* error);

// What a run has ready before the driver loads.
struct HostPrepared
{
    std::unique_ptr<SimUsbDevice> DeviceFromFile; // --descriptor-file
    std::unique_ptr<HostWavReader> Play;          // --play, opened
};

// Checks the device, opens the file to play and checks every output; false
// with *error saying why. *warning says what is odd but usable.
bool HostPrepareRun(const HostOptions& options, HostPrepared* prepared, std::string* error,
                    std::string* warning);
