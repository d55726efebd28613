// The simulated microphone's sine as the host harness asks for it, computed
// here on its own, and how a recording is matched against it.
#pragma once

#include <cmath>
#include <vector>

#include "sim/host/harness/host_stream.h"

// Sample k of the sine at 48 kHz before rounding: amplitude times full scale
// of `bits` bits.
inline double MicSineExact(double k, int bits = 16)
{
    return HostStream::kSineAmplitude * std::sin(2.0 * M_PI * HostStream::kSineHz * k / 48000.0) *
           (double)((1 << (bits - 1)) - 1);
}

// Sample k of the 16-bit sine at 48 kHz (or of `bits` bits), rounded.
inline SHORT MicSine(ULONGLONG k, int bits = 16)
{
    return (SHORT)std::llround(MicSineExact((double)k, bits));
}

// How many phases of the sine's 48-sample period match every sample from
// the first frame that is not silent on, each channel of a frame carrying
// the same sample; 1 for a recording that is the sine.
// The first frame that is not silent.
inline size_t MicSineStart(const std::vector<SHORT>& samples, size_t channels)
{
    size_t first = 0;
    while (first < samples.size() && samples[first] == 0)
        ++first;
    return first - first % channels;
}

inline int MicSinePhases(const std::vector<SHORT>& samples, size_t channels = 1, int bits = 16)
{
    const size_t first = MicSineStart(samples, channels);
    int phases = 0;
    for (ULONGLONG phase = 0; phase < 48 && first < samples.size(); ++phase)
    {
        size_t i = first;
        while (i < samples.size() && samples[i] == MicSine(phase + (i - first) / channels, bits))
            ++i;
        phases += i == samples.size();
    }
    return phases;
}
