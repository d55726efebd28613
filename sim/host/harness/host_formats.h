// The formats of a wave filter's streaming pin as the audio engine sees
// them: the pin format it builds for a file through the driver's own
// data-range intersection, and the data ranges the pin offers.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/host_wav.h"

// "2 channel(s) of 24 bits at 48000 Hz", with " in 32" when the container
// is wider than the valid bits.
std::string HostFormatText(ULONG channels, USHORT containerBits, USHORT validBits, ULONG rate);

// The pin format for `in`: the driver's own record of the file's channels,
// valid bits and rate (the intersection's result), in whatever container the
// driver keeps them; with the file's channel count when the record has
// another (the pin create then has the last word). The intersection's
// status when it finds none.
NTSTATUS HostPinFormat(AudioEngineClient& client, PFILE_OBJECT filter, ULONG pinId,
                       const HostAudio& in, std::vector<UCHAR>* format);
// The container bits of a pin format HostPinFormat or an intersection made.
USHORT HostFormatContainer(const std::vector<UCHAR>& format);

// One kind of sample frame a pin offers, and the rates it takes it at: runs
// of the rates a stream could run at, each its lowest and highest.
struct HostOfferedFormat
{
    ULONG Channels;
    USHORT ContainerBits;
    USHORT ValidBits;
    std::vector<std::pair<ULONG, ULONG>> Rates;
    bool operator==(const HostOfferedFormat&) const = default;
};

// What the streaming pin offers: each PCM data range's channel counts and
// valid bits that the driver's own intersection takes, with their
// containers, at the rates (the range's bounds and the standard rates
// between) it takes them at, those next to each other in one kind.
std::vector<HostOfferedFormat> HostOfferedFormats(AudioEngineClient& client, PFILE_OBJECT filter,
                                                  const EmuPcSubdeviceInfo& info, ULONG pinId);
// One line a kind: "  2 channel(s) of 24 bits in 32 at 44100 to 48000 and
// 96000 Hz".
std::string HostOfferedText(const std::vector<HostOfferedFormat>& formats);
