// The ASIO figures every client operation shares: the sample types with the
// stream format each selects, the nine latency steps, and the arithmetic that
// turns a rate, a mode and a latency index into latencies, buffer sizes and
// the URB split of a ring. Values arrive from user mode and from the
// registry alike, so every routine here checks what it is given.
#pragma once

#include "framework/interfaces.h"

inline constexpr ULONG ASIO_POOL_TAG = POOL_TAG("USBd");

inline constexpr ULONG ASIO_MODE_PCM = 0;
inline constexpr ULONG ASIO_MODE_DSD = 1;
inline constexpr ULONG ASIO_SAMPLE_TYPE_DSD = 33;
// Rates from here on are DSD bit rates; below, PCM sample rates.
inline constexpr ULONG ASIO_DSD_MIN_RATE = 2822400;
// Below this a PCM period of 1 ms holds no frame.
inline constexpr ULONG ASIO_MIN_PCM_RATE = 8000;
inline constexpr ULONG ASIO_LATENCY_STEPS = 9;
inline constexpr ULONG ASIO_LATENCY_MS[ASIO_LATENCY_STEPS] = {2, 4, 6, 8, 10, 20, 30, 40, 50};
// Fill byte of an idle DSD stream.
inline constexpr UCHAR ASIO_DSD_IDLE_BYTE = 0x69;

struct AsioSampleTypeInfo
{
    ULONG Type;
    USHORT BitsPerSample;
    USHORT ValidBits;
    ULONG RingBytes; // per sample and channel in the ring
};

// The entry of a known type, or null.
const AsioSampleTypeInfo* FindAsioSampleType(ULONG type);
// The PCM type a stream format carries (16, 17, 24, 27 or 18).
ULONG AsioTypeOfFormat(const WAVEFORMATEXTENSIBLE& format);
// The type an engine's format record carries in the mode, 0 for none: its
// PCM type by its container, or the DSD type for a 64-bit DSD record. The
// types offered and the record a ring maps both follow it.
ULONG AsioTypeOfRecord(const WAVEFORMATEXTENSIBLE& format, ULONG mode);
// The types offered, in the order the client lists them.
inline constexpr ULONG ASIO_OFFERED_TYPES[] = {16, 17, 24, 27, 18};

// Frames of one millisecond: R / 1000 for PCM, R / 64000 for DSD.
ULONG AsioFramesPerMs(ULONG mode, ULONG rate);
// Mode and rate agree: PCM from 8000 Hz up to the DSD rates, DSD from there on.
bool AsioModeFitsRate(ULONG mode, ULONG rate);

// Input and output latency in frames; false for an index of 9 or more.
bool AsioLatencies(ULONG mode, ULONG rate, ULONG latencyIndex, ULONG latencies[2]);
// Minimum, maximum, preferred and granularity in frames.
NTSTATUS AsioBufferSizes(ULONG mode, ULONG rate, ULONG latencyIndex, ULONG sizes[4]);
// The buffer size is one AsioBufferSizes states at the rate: from the
// minimum to the maximum, in steps of the granularity.
bool AsioBufferSizeOffered(ULONG mode, ULONG rate, ULONG frames);

struct AsioUrbSplit
{
    ULONG MsPerUrb;
    ULONG UrbCount; // URBs in flight: a count above 2 lowered by one
};
// From the buffer size in frames; null periods give the smallest split.
AsioUrbSplit AsioSplitBuffer(ULONG mode, ULONG rate, ULONG bufferFrames);

// The stream format a ring asks for; false for an unknown sample type.
bool AsioBuildFormat(ULONG mode, ULONG rate, ULONG sampleType, ULONG channels,
                     WAVEFORMATEXTENSIBLE* format);
// A format record of the mode at the rate (one-channel DSD records never are).
bool AsioFormatPlaysRate(const WAVEFORMATEXTENSIBLE& format, ULONG mode, ULONG rate);
// The record belongs to the mode (PCM or DSD sub-format).
bool AsioFormatIsMode(const WAVEFORMATEXTENSIBLE& format, ULONG mode);
