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

std::vector<KSDATARANGE_AUDIO> HostOfferedRanges(const EmuPcSubdeviceInfo& info, ULONG pinId)
{
    // Each range of the descriptor may be followed by its attribute list,
    // which is no range.
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

std::string HostOfferedText(const std::vector<KSDATARANGE_AUDIO>& ranges)
{
    if (ranges.empty())
        return "  no PCM format\n";
    // "16 bits", or "16 to 24 bits" across a range.
    const auto span = [](ULONG lowest, ULONG highest, const char* unit)
    {
        return std::to_string(lowest) +
               (highest > lowest ? " to " + std::to_string(highest) : std::string()) + unit;
    };
    std::string text;
    for (const KSDATARANGE_AUDIO& r : ranges)
        text += "  " + span(1, r.MaximumChannels, " channel(s)") + " of " +
                span(r.MinimumBitsPerSample, r.MaximumBitsPerSample, " bits") + " at " +
                span(r.MinimumSampleFrequency, r.MaximumSampleFrequency, " Hz") + "\n";
    return text;
}
