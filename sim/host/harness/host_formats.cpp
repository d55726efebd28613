#include "sim/host/harness/host_formats.h"

#include <algorithm>
#include <cstring>

namespace
{
// The depths and the standard rates a pin is probed at, besides each
// range's own bounds: a range gives only bounds, so every standard rate
// within them is asked.
constexpr USHORT kDepths[] = {8, 16, 20, 24, 32};
constexpr ULONG kRates[] = {8000,  11025, 12000, 16000, 22050,  24000,  32000,  44100,
                            48000, 64000, 88200, 96000, 176400, 192000, 352800, 384000};

bool ReadRecord(const std::vector<UCHAR>& format, KSDATAFORMAT_WAVEFORMATEXTENSIBLE* record)
{
    if (format.size() < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX))
        return false;
    memset(record, 0, sizeof(*record));
    memcpy(record, format.data(), std::min(format.size(), sizeof(*record)));
    return true;
}

USHORT ValidBitsOf(const WAVEFORMATEXTENSIBLE& w)
{
    return w.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && w.Samples.wValidBitsPerSample != 0
               ? w.Samples.wValidBitsPerSample
               : w.Format.wBitsPerSample;
}

void Add(std::vector<HostOfferedFormat>* formats, const WAVEFORMATEXTENSIBLE& w)
{
    for (HostOfferedFormat& f : *formats)
        if (f.Channels == w.Format.nChannels && f.ContainerBits == w.Format.wBitsPerSample &&
            f.ValidBits == ValidBitsOf(w))
        {
            if (std::find(f.Rates.begin(), f.Rates.end(), w.Format.nSamplesPerSec) == f.Rates.end())
                f.Rates.push_back(w.Format.nSamplesPerSec);
            return;
        }
    formats->push_back(
        {w.Format.nChannels, w.Format.wBitsPerSample, ValidBitsOf(w), {w.Format.nSamplesPerSec}});
}

// The pin's PCM ranges; each range of the descriptor may be followed by its
// attribute list, which is no range.
std::vector<KSDATARANGE_AUDIO> PcmRanges(const EmuPcSubdeviceInfo& info, ULONG pinId)
{
    std::vector<KSDATARANGE_AUDIO> ranges;
    const PCPIN_DESCRIPTOR* pin =
        info.Descriptor != nullptr ? PcFilterPin(info.Descriptor, pinId) : nullptr;
    for (ULONG i = 0; pin != nullptr && i < pin->KsPinDescriptor.DataRangesCount; ++i)
    {
        const KSDATARANGE* r = pin->KsPinDescriptor.DataRanges[i];
        if (r->FormatSize >= sizeof(KSDATARANGE_AUDIO) &&
            IsEqualGUID(r->SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
            ranges.push_back(*reinterpret_cast<const KSDATARANGE_AUDIO*>(r));
        if ((r->Flags & KSDATARANGE_ATTRIBUTES) != 0)
            ++i;
    }
    return ranges;
}
} // namespace

std::string HostFormatText(ULONG channels, USHORT containerBits, USHORT validBits, ULONG rate)
{
    std::string text =
        std::to_string(channels) + " channel(s) of " + std::to_string(validBits) + " bits";
    if (containerBits != validBits)
        text += " in " + std::to_string(containerBits);
    return rate == 0 ? text : text + " at " + std::to_string(rate) + " Hz";
}

NTSTATUS HostPinFormat(AudioEngineClient& client, PFILE_OBJECT filter, ULONG pinId,
                       const HostAudio& in, std::vector<UCHAR>* format)
{
    const KSDATARANGE_AUDIO wanted = AudioClientRange(KSDATAFORMAT_SUBTYPE_PCM, in.Channels,
                                                      in.Valid(), in.Valid(), in.Rate, in.Rate);
    NTSTATUS status = client.Intersect(filter, pinId, &wanted.DataRange, format);
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE f;
    if (!NT_SUCCESS(status))
        return status;
    if (!ReadRecord(*format, &f))
        return STATUS_INVALID_BUFFER_SIZE;
    WAVEFORMATEX& w = f.WaveFormatExt.Format;
    if (w.nChannels != in.Channels)
    {
        w.nChannels = in.Channels;
        w.nBlockAlign = (USHORT)(in.Channels * (w.wBitsPerSample / 8));
        w.nAvgBytesPerSec = w.nBlockAlign * w.nSamplesPerSec;
        f.DataFormat.SampleSize = w.nBlockAlign;
        memcpy(format->data(), &f, std::min(format->size(), sizeof(f)));
    }
    return STATUS_SUCCESS;
}

USHORT HostFormatContainer(const std::vector<UCHAR>& format)
{
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE f;
    return ReadRecord(format, &f) ? f.WaveFormatExt.Format.wBitsPerSample : 0;
}

std::vector<HostOfferedFormat> HostOfferedFormats(AudioEngineClient& client, PFILE_OBJECT filter,
                                                  const EmuPcSubdeviceInfo& info, ULONG pinId)
{
    std::vector<HostOfferedFormat> formats;
    for (const KSDATARANGE_AUDIO& range : PcmRanges(info, pinId))
    {
        std::vector<ULONG> rates = {range.MinimumSampleFrequency};
        for (ULONG rate : kRates)
            if (rate > range.MinimumSampleFrequency && rate < range.MaximumSampleFrequency)
                rates.push_back(rate);
        if (range.MaximumSampleFrequency > range.MinimumSampleFrequency)
            rates.push_back(range.MaximumSampleFrequency);
        for (ULONG channels = 1; channels <= range.MaximumChannels; ++channels)
            for (USHORT bits : kDepths)
                for (ULONG rate : rates)
                {
                    if (bits < range.MinimumBitsPerSample || bits > range.MaximumBitsPerSample)
                        continue;
                    const KSDATARANGE_AUDIO probe = AudioClientRange(
                        KSDATAFORMAT_SUBTYPE_PCM, channels, bits, bits, rate, rate);
                    std::vector<UCHAR> format;
                    KSDATAFORMAT_WAVEFORMATEXTENSIBLE f;
                    if (NT_SUCCESS(client.Intersect(filter, pinId, &probe.DataRange, &format)) &&
                        ReadRecord(format, &f) && f.WaveFormatExt.Format.nChannels == channels)
                        Add(&formats, f.WaveFormatExt);
                }
    }
    return formats;
}

std::string HostOfferedText(const std::vector<HostOfferedFormat>& formats)
{
    if (formats.empty())
        return "  no PCM format\n";
    std::string text;
    for (const HostOfferedFormat& f : formats)
    {
        text += "  " + HostFormatText(f.Channels, f.ContainerBits, f.ValidBits, 0) + " at ";
        for (size_t i = 0; i < f.Rates.size(); ++i)
            text += (i != 0 ? ", " : "") + std::to_string(f.Rates[i]);
        text += " Hz\n";
    }
    return text;
}
