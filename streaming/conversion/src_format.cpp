#include "streaming/conversion/src_format.h"

#include "primitives/convert/DspConvertFullScale.h"
#include "primitives/dsp.h"

namespace
{
void Pcm16ToFloat(const UCHAR* source, float* destination, LONG count)
{
    DspConvert16sTo32fScaled(reinterpret_cast<const int16_t*>(source), destination, count, 15);
}

void Pcm24ToFloat(const UCHAR* source, float* destination, LONG count)
{
    DspConvert24sTo32fFullScale(source, destination, count);
}

void Pcm32ToFloat(const UCHAR* source, float* destination, LONG count)
{
    DspConvert32sTo32fScaled(reinterpret_cast<const int32_t*>(source), destination, count, 31);
}

void FloatToFloat(const UCHAR* source, float* destination, LONG count)
{
    RtlCopyMemory(destination, source, (SIZE_T)count * sizeof(float));
}

void FloatToPcm16(const float* source, UCHAR* destination, LONG count)
{
    DspConvert32fTo16sScaled(source, reinterpret_cast<int16_t*>(destination), count, DspRndZero,
                             -15);
}

void FloatToPcm24(const float* source, UCHAR* destination, LONG count)
{
    DspConvert32fTo24sScaled(source, destination, count, -23);
}

void FloatToPcm32(const float* source, UCHAR* destination, LONG count)
{
    DspConvert32fTo32sScaled(source, reinterpret_cast<int32_t*>(destination), count, DspRndZero,
                             -31);
}

void FloatFromFloat(const float* source, UCHAR* destination, LONG count)
{
    RtlCopyMemory(destination, source, (SIZE_T)count * sizeof(float));
}

struct CodecEntry
{
    USHORT Tag;
    USHORT Bits;
    SrcSampleCodec Codec;
};

const CodecEntry c_Codecs[] = {
    {WAVE_FORMAT_PCM, 16, {2, false, Pcm16ToFloat, FloatToPcm16}},
    {WAVE_FORMAT_PCM, 24, {3, false, Pcm24ToFloat, FloatToPcm24}},
    {WAVE_FORMAT_PCM, 32, {4, false, Pcm32ToFloat, FloatToPcm32}},
    {WAVE_FORMAT_IEEE_FLOAT, 32, {4, true, FloatToFloat, FloatFromFloat}},
};

bool TagAccepted(const WAVEFORMATEXTENSIBLE& format)
{
    const USHORT tag = SrcFormatTag(format);
    return tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT;
}

bool ChannelsAccepted(ULONG channels)
{
    // No channel at all is as unusable as too many.
    return channels >= 1 && channels <= MAX_SOFTWARE_DSP_PROCESS_CHANNELS;
}

bool BitsAccepted(const WAVEFORMATEXTENSIBLE& format)
{
    return SrcCodecOf(format) != nullptr;
}

// One check of a converter's formats: passes, or prints its message (none
// when message is null) and fails the whole check.
struct FormatCheck
{
    bool Passed;
    PCSTR Message;
};
} // namespace

USHORT SrcFormatTag(const WAVEFORMATEXTENSIBLE& format)
{
    if (format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE)
    {
        return (USHORT)(format.SubFormat.Data1 & 0xFFFF);
    }
    return format.Format.wFormatTag;
}

LONG SrcRateIndex(ULONG rate)
{
    for (ULONG i = 0; i < SRC_RATE_COUNT; ++i)
    {
        if (g_SrcRates[i] == rate)
        {
            return (LONG)i;
        }
    }
    return -1;
}

const SrcSampleCodec* SrcCodecOf(const WAVEFORMATEXTENSIBLE& format)
{
    const USHORT tag = SrcFormatTag(format);
    for (const CodecEntry& entry : c_Codecs)
    {
        if (entry.Tag == tag && entry.Bits == format.Format.wBitsPerSample)
        {
            return &entry.Codec;
        }
    }
    return nullptr;
}

WAVEFORMATEXTENSIBLE SrcFloatFormatOf(const WAVEFORMATEXTENSIBLE& format)
{
    WAVEFORMATEXTENSIBLE result = format;
    if (SrcFormatTag(format) == WAVE_FORMAT_IEEE_FLOAT)
    {
        return result;
    }
    if (format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE)
    {
        result.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        result.Samples.wValidBitsPerSample = 32;
    }
    else
    {
        result.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    }
    result.Format.wBitsPerSample = 32;
    result.Format.nBlockAlign = (USHORT)(format.Format.nChannels * sizeof(float));
    result.Format.nAvgBytesPerSec = format.Format.nSamplesPerSec * result.Format.nBlockAlign;
    return result;
}

bool SrcCheckConverterFormats(const SrcFormatRules& rules, const WAVEFORMATEXTENSIBLE& input,
                              const WAVEFORMATEXTENSIBLE& output)
{
    const FormatCheck checks[] = {
        {TagAccepted(input), "%s Tag not PCM\n"},
        {ChannelsAccepted(input.Format.nChannels),
         "%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
        {SrcRateIndex(input.Format.nSamplesPerSec) >= 0,
         "%s InFormat.Format.nSamplesPerSec not in List\n"},
        {BitsAccepted(input), "%s InFormat.Format.wBitsPerSample not in List\n"},
        {TagAccepted(output), "%s Output Tag not PCM\n"},
        {ChannelsAccepted(output.Format.nChannels) &&
             (!rules.SameChannels || output.Format.nChannels == input.Format.nChannels),
         "%s Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
        {SrcRateIndex(output.Format.nSamplesPerSec) >= 0,
         "%s OutFormat.Format.nSamplesPerSec not in List\n"},
        {BitsAccepted(output),
         rules.OutputBitsMessage ? "%s OutFormat.Format.wBitsPerSample not in List\n" : nullptr},
    };
    for (const FormatCheck& check : checks)
    {
        if (!check.Passed)
        {
            if (check.Message != nullptr)
            {
                DbgPrint(check.Message, rules.Name);
            }
            return false;
        }
    }
    return true;
}
