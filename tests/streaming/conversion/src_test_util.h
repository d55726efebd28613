// Shared pieces of the converter tests: wave formats, converters made and
// destroyed around a test, and the spectrum measurement of the quality tests.
#pragma once

#include <string>
#include <vector>

#include "platform/ks/ksmedia.h"

// A plain (non-extensible) format with a consistent block size.
WAVEFORMATEXTENSIBLE MakeFormat(USHORT tag, USHORT channels, ULONG rate, USHORT bits);
// The same as WAVE_FORMAT_EXTENSIBLE with the tag as subformat.
WAVEFORMATEXTENSIBLE MakeExtensible(USHORT tag, USHORT channels, ULONG rate, USHORT bits);
inline WAVEFORMATEXTENSIBLE FloatFormat(USHORT channels, ULONG rate)
{
    return MakeFormat(WAVE_FORMAT_IEEE_FLOAT, channels, rate, 32);
}

// Every debugger line printed so far, joined.
std::string DbgText();

// Amplitude spectrum of a block (flat-top window, scaled so a sine of
// amplitude A reads A at its peak).
std::vector<double> AmplitudeSpectrum(const std::vector<float>& block);

// Largest amplitude of the spectrum in bins [first, last].
double PeakIn(const std::vector<double>& spectrum, size_t first, size_t last);

double Db(double ratio);

// n samples of a sine at freq Hz sampled at rate.
std::vector<float> Sine(double rate, double freq, double amplitude, size_t n);

class CDspInterleaveSrc;
// Runs interleaved float input through the converter in calls of at most
// chunk input frames, with ample output room, until all input is taken.
std::vector<float> ConvertFloat(CDspInterleaveSrc& src, const std::vector<float>& input,
                                ULONG channels, ULONG chunk);
