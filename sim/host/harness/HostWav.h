// WAV files of the host program, read and written through libsndfile: the
// samples stay the little-endian integer PCM bytes the driver's pins take.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel/nt_types.h"

struct HostAudio
{
    ULONG Rate = 0;
    USHORT Channels = 0;
    USHORT BitsPerSample = 0; // 8, 16, 24 or 32
    std::vector<UCHAR> Data;  // interleaved frames, little-endian

    ULONG FrameBytes() const { return (ULONG)Channels * (BitsPerSample / 8); }
    ULONGLONG Frames() const { return FrameBytes() == 0 ? 0 : Data.size() / FrameBytes(); }
};

// Reads an integer PCM WAV file; false with *error saying why.
bool HostReadWav(const std::string& path, HostAudio* audio, std::string* error);
// Writes the audio as an integer PCM WAV file; false with *error saying why.
bool HostWriteWav(const std::string& path, const HostAudio& audio, std::string* error);
