// What the format, rate and channel converters need to know of a wave
// format: its sample type (an extensible format is known by its subformat),
// whether its rate is one they convert, and how its samples become floats and
// back. One place for all three converters.
#pragma once

#include "platform/ks/ksmedia.h"

// Channels the software converters process at most.
inline constexpr ULONG MAX_SOFTWARE_DSP_PROCESS_CHANNELS = 8;

// The rates the converters run between, in the order of their rate-pair table.
inline constexpr ULONG SRC_RATE_COUNT = 6;
inline constexpr ULONG g_SrcRates[SRC_RATE_COUNT] = {44100, 48000, 88200, 96000, 176400, 192000};

// The format tag, or for WAVE_FORMAT_EXTENSIBLE the first 16 bits of the
// subformat.
USHORT SrcFormatTag(const WAVEFORMATEXTENSIBLE& format);

// Position of the rate in g_SrcRates, or -1.
LONG SrcRateIndex(ULONG rate);

// Conversion of one sample type to and from float samples in [-1, 1).
struct SrcSampleCodec
{
    ULONG BytesPerSample;
    // Float samples already: a caller that places them itself may skip the copy.
    bool Float;
    void (*ToFloat)(const UCHAR* source, float* destination, LONG count);
    void (*FromFloat)(const float* source, UCHAR* destination, LONG count);
};

// The codec of a PCM format of 16, 24 or 32 bits or an IEEE float format of
// 32 bits; null for every other format.
const SrcSampleCodec* SrcCodecOf(const WAVEFORMATEXTENSIBLE& format);

// The float version of a format: same rate and channels, 32-bit IEEE float
// samples (a float format is kept as it is).
WAVEFORMATEXTENSIBLE SrcFloatFormatOf(const WAVEFORMATEXTENSIBLE& format);

// How a sample-rate converter checks its formats.
struct SrcFormatRules
{
    PCSTR Name;              // printed for %s in every message
    bool SameChannels;       // the output must have the input's channel count
    bool OutputBitsMessage;  // the output sample-size failure is printed (else silent)
    PCSTR SplitStageMessage; // printed when the split stage refuses the formats
};

// The checks a sample-rate converter makes of its two formats, in order,
// each printing its message; false at the first failure.
bool SrcCheckConverterFormats(const SrcFormatRules& rules, const WAVEFORMATEXTENSIBLE& input,
                              const WAVEFORMATEXTENSIBLE& output);
