#include "asio/asio_tables.h"

#include "platform/ks/ksmedia.h"

namespace
{
// {00004C54-0000-0010-8000-00AA00389B71}
const GUID c_DsdSubFormat = {
    0x00004C54, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

constexpr AsioSampleTypeInfo c_SampleTypes[] = {
    {16, 16, 16, 2}, {17, 24, 24, 3}, {18, 32, 32, 4}, {24, 32, 16, 4},
    {25, 32, 18, 4}, {26, 32, 20, 4}, {27, 32, 24, 4}, {ASIO_SAMPLE_TYPE_DSD, 64, 64, 8},
};

// DSD periods: 44 frames of a millisecond per multiple of 44100, else 48.
struct DsdBase
{
    ULONG Multiple; // k
    ULONG Frames;   // f
};
bool DsdBaseOf(ULONG rate, DsdBase* base)
{
    if (rate < ASIO_DSD_MIN_RATE)
        return false;
    if (rate % 44100 == 0)
        *base = {rate / 44100, 44};
    else if (rate % 48000 == 0)
        *base = {rate / 48000, 48};
    else
        return false;
    return true;
}
} // namespace

const AsioSampleTypeInfo* FindAsioSampleType(ULONG type)
{
    for (const AsioSampleTypeInfo& info : c_SampleTypes)
        if (info.Type == type)
            return &info;
    return nullptr;
}

ULONG AsioTypeOfFormat(const WAVEFORMATEXTENSIBLE& format)
{
    switch (format.Format.wBitsPerSample)
    {
    case 16:
        return 16;
    case 24:
        return 17;
    case 32:
        if (format.Samples.wValidBitsPerSample == 16)
            return 24;
        return format.Samples.wValidBitsPerSample == 24 ? 27 : 18;
    default:
        return 0;
    }
}

ULONG AsioTypeOfRecord(const WAVEFORMATEXTENSIBLE& format, ULONG mode)
{
    if (!AsioFormatIsMode(format, mode))
        return 0;
    if (mode == ASIO_MODE_PCM)
        return AsioTypeOfFormat(format);
    const AsioSampleTypeInfo* dsd = FindAsioSampleType(ASIO_SAMPLE_TYPE_DSD);
    return format.Format.wBitsPerSample == dsd->BitsPerSample &&
                   format.Samples.wValidBitsPerSample == dsd->ValidBits
               ? ASIO_SAMPLE_TYPE_DSD
               : 0;
}

ULONG AsioFramesPerMs(ULONG mode, ULONG rate)
{
    return mode == ASIO_MODE_DSD ? rate / 64000 : rate / 1000;
}

bool AsioModeFitsRate(ULONG mode, ULONG rate)
{
    if (mode == ASIO_MODE_DSD)
        return rate >= ASIO_DSD_MIN_RATE;
    return mode == ASIO_MODE_PCM && rate >= ASIO_MIN_PCM_RATE && rate < ASIO_DSD_MIN_RATE;
}

bool AsioLatencies(ULONG mode, ULONG rate, ULONG latencyIndex, ULONG latencies[2])
{
    if (latencyIndex >= ASIO_LATENCY_STEPS)
        return false;
    const ULONGLONG ms = ASIO_LATENCY_MS[latencyIndex];
    ULONGLONG input;
    if (mode != ASIO_MODE_DSD)
        input = ms * rate / 1000;
    else if (rate < ASIO_DSD_MIN_RATE)
        input = ms * 2816;
    else if (rate % 44100 == 0)
        input = ms * (rate / 44100) * 44;
    else
        input = ms * (rate / 48000) * 48;
    latencies[0] = (ULONG)input;
    latencies[1] = (ULONG)(2 * input);
    return true;
}

NTSTATUS AsioBufferSizes(ULONG mode, ULONG rate, ULONG latencyIndex, ULONG sizes[4])
{
    if (latencyIndex >= ASIO_LATENCY_STEPS)
        return STATUS_INVALID_PARAMETER;
    if (mode != ASIO_MODE_DSD)
    {
        sizes[0] = ASIO_LATENCY_MS[0] * rate / 1000;
        sizes[1] = (ULONG)((ULONGLONG)ASIO_LATENCY_MS[8] * rate / 1000);
        sizes[2] = (ULONG)((ULONGLONG)ASIO_LATENCY_MS[latencyIndex] * rate / 1000);
        sizes[3] = 1;
        return STATUS_SUCCESS;
    }
    DsdBase base;
    if (!DsdBaseOf(rate, &base))
        return STATUS_INVALID_PARAMETER;
    const ULONG perMs = base.Multiple * base.Frames;
    sizes[0] = ASIO_LATENCY_MS[1] * perMs;
    sizes[1] = ASIO_LATENCY_MS[8] * perMs;
    sizes[2] = ASIO_LATENCY_MS[latencyIndex < 1 ? 1 : latencyIndex] * perMs;
    sizes[3] = base.Multiple;
    return STATUS_SUCCESS;
}

bool AsioBufferSizeOffered(ULONG mode, ULONG rate, ULONG frames)
{
    ULONG sizes[4];
    return NT_SUCCESS(AsioBufferSizes(mode, rate, 0, sizes)) && frames >= sizes[0] &&
           frames <= sizes[1] && (frames - sizes[0]) % sizes[3] == 0;
}

AsioUrbSplit AsioSplitBuffer(ULONG mode, ULONG rate, ULONG bufferFrames)
{
    const ULONG perMs = AsioFramesPerMs(mode, rate);
    ULONG ms = perMs != 0 ? bufferFrames / perMs : 0;
    if (ms < 2)
        ms = 2;
    // Rows: from this many milliseconds up, the milliseconds per URB and the
    // URB count (at most 5 for the longest buffers).
    struct SplitRow
    {
        ULONG FromMs, MsPerUrb, MaxCount;
    };
    constexpr SplitRow c_Rows[] = {{20, 5, 5}, {16, 4, ~0u}, {8, 2, ~0u}, {0, 1, ~0u}};
    AsioUrbSplit split = {};
    for (const SplitRow& row : c_Rows)
        if (ms >= row.FromMs)
        {
            ULONG count = ms / row.MsPerUrb;
            count = count < row.MaxCount ? count : row.MaxCount;
            split.MsPerUrb = row.MsPerUrb;
            split.UrbCount = count > 2 ? count - 1 : count;
            break;
        }
    return split;
}

bool AsioBuildFormat(ULONG mode, ULONG rate, ULONG sampleType, ULONG channels,
                     WAVEFORMATEXTENSIBLE* format)
{
    const AsioSampleTypeInfo* info =
        FindAsioSampleType(mode == ASIO_MODE_DSD ? ASIO_SAMPLE_TYPE_DSD : sampleType);
    if (info == nullptr || (mode == ASIO_MODE_PCM && info->Type == ASIO_SAMPLE_TYPE_DSD))
        return false;
    RtlZeroMemory(format, sizeof(*format));
    format->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format->Format.nChannels = (USHORT)channels;
    format->Format.nSamplesPerSec = mode == ASIO_MODE_DSD ? rate / 64 : rate;
    format->Format.wBitsPerSample = info->BitsPerSample;
    format->Format.nBlockAlign = (USHORT)(channels * info->BitsPerSample / 8);
    format->Format.nAvgBytesPerSec = format->Format.nSamplesPerSec * format->Format.nBlockAlign;
    format->Format.cbSize = 22;
    format->Samples.wValidBitsPerSample = info->ValidBits;
    format->SubFormat = mode == ASIO_MODE_DSD ? c_DsdSubFormat : KSDATAFORMAT_SUBTYPE_PCM;
    return true;
}

bool AsioFormatIsMode(const WAVEFORMATEXTENSIBLE& format, ULONG mode)
{
    return IsEqualGUID(format.SubFormat,
                       mode == ASIO_MODE_DSD ? c_DsdSubFormat : KSDATAFORMAT_SUBTYPE_PCM) != 0;
}

bool AsioFormatPlaysRate(const WAVEFORMATEXTENSIBLE& format, ULONG mode, ULONG rate)
{
    if (!AsioFormatIsMode(format, mode))
        return false;
    if (mode != ASIO_MODE_DSD)
        return format.Format.nSamplesPerSec == rate;
    const ULONG bits = format.Format.wBitsPerSample;
    if (bits == 16)
        return format.Format.nSamplesPerSec == rate / 16;
    // A one-channel record has no channel pairs to divide by.
    const ULONG pairs = format.Format.nChannels / 2u;
    if (bits == 0 || pairs == 0)
        return false;
    return format.Format.nSamplesPerSec == rate / bits / pairs;
}
