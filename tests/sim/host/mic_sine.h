// The simulated microphone's sine as the host harness asks for it, its
// frames marked, computed here on its own, and how a recording is matched
// against it.
#pragma once

#include <algorithm>
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

// Frame k's mark: the 64-bit finalizer of a splitmix generator, of k + 1.
inline ULONGLONG MicMark(ULONGLONG k)
{
    ULONGLONG x = k + 1;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Sample k of the 16-bit sine at 48 kHz (or of `bits` bits), rounded, its
// lowest bits (one in eight) frame k's mark.
inline SHORT MicSine(ULONGLONG k, int bits = 16)
{
    const LONGLONG low = (1LL << std::max(1, bits / 8)) - 1;
    const LONGLONG v = std::llround(MicSineExact((double)k, bits));
    return (SHORT)((v & ~low) | (LONGLONG)(MicMark(k) & (ULONGLONG)low));
}

// The first frame that is not silent.
inline size_t MicSineStart(const std::vector<SHORT>& samples, size_t channels)
{
    size_t first = 0;
    while (first < samples.size() && samples[first] == 0)
        ++first;
    return first - first % channels;
}

// How many phases of the sine's 48-sample period match every sample from
// the first frame that is not silent on, each channel of a frame carrying
// the same sample; 1 for a recording that is the sine (its marks match at
// one phase only).
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
