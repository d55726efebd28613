#include "sim/host/harness/host_formats.h"

#include <algorithm>
#include <cstring>

namespace
{
bool ReadRecord(const std::vector<UCHAR>& format, KSDATAFORMAT_WAVEFORMATEXTENSIBLE* record)
{
    if (format.size() < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX))
        return false;
    memset(record, 0, sizeof(*record));
    memcpy(record, format.data(), std::min(format.size(), sizeof(*record)));
    return true;
}

// The pin's PCM data ranges; each range of the descriptor may be followed
// by its attribute list, which is no range.
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
// The rates a stream could run at in a range: its bounds and the standard
// rates between them, lowest first.
std::vector<ULONG> RangeRates(const KSDATARANGE_AUDIO& r)
{
    static constexpr ULONG kStandard[] = {8000,   11025,  12000,  16000,  22050,  24000,
                                          32000,  44100,  48000,  64000,  88200,  96000,
                                          176400, 192000, 352800, 384000, 705600, 768000};
    std::vector<ULONG> rates{r.MinimumSampleFrequency};
    for (ULONG rate : kStandard)
        if (rate > r.MinimumSampleFrequency && rate < r.MaximumSampleFrequency)
            rates.push_back(rate);
    if (r.MaximumSampleFrequency > r.MinimumSampleFrequency)
        rates.push_back(r.MaximumSampleFrequency);
    return rates;
}

// The container the driver's own intersection keeps `channels` of `bits`
// valid bits in at `rate`; 0 where it finds no such format.
USHORT Opens(AudioEngineClient& client, PFILE_OBJECT filter, ULONG pinId, ULONG channels,
             ULONG bits, ULONG rate)
{
    const KSDATARANGE_AUDIO probe =
        AudioClientRange(KSDATAFORMAT_SUBTYPE_PCM, channels, bits, bits, rate, rate);
    std::vector<UCHAR> format;
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE f;
    if (!NT_SUCCESS(client.Intersect(filter, pinId, &probe.DataRange, &format)) ||
        !ReadRecord(format, &f))
        return 0;
    const WAVEFORMATEX& w = f.WaveFormatExt.Format;
    const USHORT valid = w.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format.size() >= sizeof(f)
                             ? f.WaveFormatExt.Samples.wValidBitsPerSample
                             : w.wBitsPerSample;
    return w.nChannels == channels && valid == bits && w.nSamplesPerSec == rate ? w.wBitsPerSample
                                                                                : 0;
}

// The kind at one more rate: the run of the rate before it goes on to it
// where `next` is true.
void Offer(std::vector<HostOfferedFormat>* formats, HostOfferedFormat kind, bool next)
{
    const auto same = std::find_if(formats->begin(), formats->end(),
                                   [&kind](const HostOfferedFormat& f)
                                   {
                                       return f.Channels == kind.Channels &&
                                              f.ContainerBits == kind.ContainerBits &&
                                              f.ValidBits == kind.ValidBits;
                                   });
    if (same == formats->end())
        return formats->push_back(std::move(kind));
    const ULONG rate = kind.Rates.front().first;
    if (next && !same->Rates.empty())
        same->Rates.back().second = std::max(same->Rates.back().second, rate);
    else if (std::none_of(same->Rates.begin(), same->Rates.end(),
                          [rate](const auto& run)
                          { return rate >= run.first && rate <= run.second; }))
        same->Rates.push_back({rate, rate});
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
    // A range gives only bounds: each channel count and valid-bit count in
    // it is asked of the driver at each rate a stream could run at in it,
    // which tells the kinds it takes, their containers, and at which rates.
    std::vector<HostOfferedFormat> formats;
    for (const KSDATARANGE_AUDIO& r : PcmRanges(info, pinId))
        for (ULONG channels = 1; channels <= r.MaximumChannels; ++channels)
            for (ULONG bits = r.MinimumBitsPerSample; bits <= r.MaximumBitsPerSample; ++bits)
            {
                USHORT last = 0;
                for (ULONG rate : RangeRates(r))
                {
                    const USHORT container = Opens(client, filter, pinId, channels, bits, rate);
                    if (container != 0)
                        Offer(&formats, {channels, container, (USHORT)bits, {{rate, rate}}},
                              container == last);
                    last = container;
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
        {
            const auto [low, high] = f.Rates[i];
            text += (i == 0                    ? ""
                     : i + 1 == f.Rates.size() ? " and "
                                               : ", ") +
                    std::to_string(low) + (high > low ? " to " + std::to_string(high) : "");
        }
        text += " Hz\n";
    }
    return text;
}
