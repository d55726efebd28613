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
    // it is asked of the driver at the range's lowest rate, which tells the
    // kinds it takes and their containers; the rates are the range's.
    std::vector<HostOfferedFormat> formats;
    for (const KSDATARANGE_AUDIO& r : PcmRanges(info, pinId))
        for (ULONG channels = 1; channels <= r.MaximumChannels; ++channels)
            for (ULONG bits = r.MinimumBitsPerSample; bits <= r.MaximumBitsPerSample; ++bits)
            {
                const ULONG rate = r.MinimumSampleFrequency;
                const KSDATARANGE_AUDIO probe =
                    AudioClientRange(KSDATAFORMAT_SUBTYPE_PCM, channels, bits, bits, rate, rate);
                std::vector<UCHAR> format;
                KSDATAFORMAT_WAVEFORMATEXTENSIBLE f;
                if (!NT_SUCCESS(client.Intersect(filter, pinId, &probe.DataRange, &format)) ||
                    !ReadRecord(format, &f) || f.WaveFormatExt.Format.nChannels != channels)
                    continue;
                const HostOfferedFormat kind{channels, f.WaveFormatExt.Format.wBitsPerSample,
                                             (USHORT)bits, r.MinimumSampleFrequency,
                                             r.MaximumSampleFrequency};
                if (std::find(formats.begin(), formats.end(), kind) == formats.end())
                    formats.push_back(kind);
            }
    return formats;
}

std::string HostOfferedText(const std::vector<HostOfferedFormat>& formats)
{
    if (formats.empty())
        return "  no PCM format\n";
    std::string text;
    for (const HostOfferedFormat& f : formats)
        text += "  " + HostFormatText(f.Channels, f.ContainerBits, f.ValidBits, 0) + " at " +
                std::to_string(f.LowestRate) +
                (f.HighestRate > f.LowestRate ? " to " + std::to_string(f.HighestRate) : "") +
                " Hz\n";
    return text;
}
