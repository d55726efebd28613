#include "sim/host/harness/HostStream.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel/emu.h"
#include "platform/usb/EmuUsbBus.h"
#include "sim/clients/audio_engine_client.h"

namespace
{
// Steps of the emulated clock between two visits of the client: well inside
// the cyclic buffer, so no position wraps unseen.
constexpr ULONG kStepMs = 5;
// After the file ends, the time the cyclic buffer and the URBs in flight
// take to play out, past the buffer itself.
constexpr ULONG kPlayOutMs = 40;

std::string FormatText(ULONG channels, ULONG bits, ULONG rate)
{
    return std::to_string(channels) + " channel(s) of " + std::to_string(bits) + " bits at " +
           std::to_string(rate) + " Hz";
}

// A pin open and walked to RUN, and walked back and closed when it goes.
class RunningPin
{
  public:
    RunningPin(AudioEngineClient& client, PFILE_OBJECT pin) : m_Client(client), m_Pin(pin) {}
    ~RunningPin()
    {
        for (KSSTATE s : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP})
            m_Client.SetState(m_Pin, s);
        m_Client.Close(m_Pin);
    }
    NTSTATUS Start()
    {
        NTSTATUS status = STATUS_SUCCESS;
        for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
            if (NT_SUCCESS(status))
                status = m_Client.SetState(m_Pin, s);
        return status;
    }
    // Bytes the position moved since the last call, added up.
    ULONGLONG Position()
    {
        const ULONG size = m_Client.Statistics(m_Pin).BufferSize;
        ULONG now = 0;
        if (size != 0 && NT_SUCCESS(EmuPcPinStream(m_Pin)->GetPosition(&now)))
        {
            m_Total += (now + size - m_Last) % size;
            m_Last = now;
        }
        return m_Total;
    }
    PFILE_OBJECT Pin() const { return m_Pin; }

  private:
    AudioEngineClient& m_Client;
    PFILE_OBJECT m_Pin;
    ULONG m_Last = 0;
    ULONGLONG m_Total = 0;
};

// Packet slots between the packets an endpoint received that held nothing:
// the usual spacing is the smallest one seen.
class PacketGaps
{
  public:
    void Add(const std::vector<SimPacketRecord>& packets)
    {
        for (const SimPacketRecord& p : packets)
        {
            const ULONGLONG slot = (ULONGLONG)p.Frame * 8 + p.Microframe;
            if (m_Seen && slot > m_Last)
                m_Gaps.push_back(slot - m_Last);
            m_Last = slot;
            m_Seen = true;
        }
    }
    ULONG Missing() const
    {
        if (m_Gaps.empty())
            return 0;
        const ULONGLONG step = *std::min_element(m_Gaps.begin(), m_Gaps.end());
        ULONG missing = 0;
        for (ULONGLONG gap : m_Gaps)
            missing += (ULONG)(gap / step - 1);
        return missing;
    }

  private:
    std::vector<ULONGLONG> m_Gaps;
    ULONGLONG m_Last = 0;
    bool m_Seen = false;
};

// The intersection's result with the file's channels and their block and
// byte rate; what else it says stays.
NTSTATUS AsFileFormat(const HostAudio& in, std::vector<UCHAR>* format)
{
    KSDATAFORMAT_WAVEFORMATEX f;
    if (format->size() < sizeof(f))
        return STATUS_INVALID_BUFFER_SIZE;
    memcpy(&f, format->data(), sizeof(f));
    f.WaveFormatEx.nChannels = in.Channels;
    f.WaveFormatEx.nBlockAlign = (USHORT)in.FrameBytes();
    f.WaveFormatEx.nAvgBytesPerSec = in.Rate * in.FrameBytes();
    memcpy(format->data(), &f, sizeof(f));
    return STATUS_SUCCESS;
}

double BytesToMs(LONGLONG bytes, ULONG frameBytes, ULONG rate)
{
    return frameBytes == 0 || rate == 0 ? 0 : (double)bytes / frameBytes * 1000.0 / rate;
}
} // namespace

const EmuPcSubdeviceInfo* HostFindWaveFilter(const std::vector<EmuPcSubdeviceInfo>& subdevices,
                                             KSPIN_DATAFLOW flow, ULONG* pinId)
{
    for (const EmuPcSubdeviceInfo& s : subdevices)
        for (ULONG i = 0; s.WaveCyclic && s.Descriptor != nullptr && i < s.Descriptor->PinCount;
             ++i)
        {
            const PCPIN_DESCRIPTOR* pin = PcFilterPin(s.Descriptor, i);
            if (pin != nullptr && pin->KsPinDescriptor.DataFlow == flow &&
                pin->KsPinDescriptor.Communication == KSPIN_COMMUNICATION_SINK)
            {
                *pinId = i;
                return &s;
            }
        }
    return nullptr;
}

std::vector<UCHAR> HostDataEndpoints(const SimUsbDevice& device, bool in)
{
    std::vector<UCHAR> endpoints;
    for (const SimAltSetting& alt : device.Descriptors().AltSettings())
        for (const SimEndpointInfo& ep : alt.Endpoints)
            if ((ep.Attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS &&
                (ep.Attributes & USB_ENDPOINT_USAGE_MASK) != USB_ENDPOINT_USAGE_FEEDBACK &&
                USB_ENDPOINT_DIRECTION_IN(ep.Address) == in &&
                std::find(endpoints.begin(), endpoints.end(), ep.Address) == endpoints.end())
                endpoints.push_back(ep.Address);
    return endpoints;
}

NTSTATUS HostStream::Play(const HostAudio& in, const HostStreamOptions& options,
                          HostAudio* received, HostStreamSummary* summary)
{
    m_Error.clear();
    *summary = {};
    AudioEngineClient client(m_Host.Fdo());
    ULONG pinId = 0;
    const std::vector<EmuPcSubdeviceInfo> subdevices = client.Subdevices();
    const EmuPcSubdeviceInfo* filterInfo =
        HostFindWaveFilter(subdevices, KSPIN_DATAFLOW_IN, &pinId);
    if (filterInfo == nullptr)
    {
        m_Error = "the device has no render wave filter";
        return STATUS_NOT_FOUND;
    }
    PFILE_OBJECT filter = nullptr;
    NTSTATUS status = client.OpenFilter(filterInfo->Name, &filter);
    KSDATARANGE_AUDIO wanted =
        AudioClientRange(KSDATAFORMAT_SUBTYPE_PCM, in.Channels, in.BitsPerSample, in.BitsPerSample,
                         in.Rate, in.Rate);
    std::vector<UCHAR> format;
    PFILE_OBJECT pinFile = nullptr;
    if (NT_SUCCESS(status))
        status = client.Intersect(filter, pinId, &wanted.DataRange, &format);
    // A range gives the most channels only: the pin is asked for the file's
    // format as it is, and the driver has the last word.
    if (NT_SUCCESS(status))
        status = AsFileFormat(in, &format);
    if (NT_SUCCESS(status))
        status = client.OpenPin(filter, pinId, format.data(), (ULONG)format.size(), &pinFile);
    if (!NT_SUCCESS(status))
    {
        m_Error = "the render pin refused " + FormatText(in.Channels, in.BitsPerSample, in.Rate);
        return status;
    }
    RunningPin pin(client, pinFile);
    const ULONG frameBytes = in.FrameBytes();
    size_t offset = client.Write(pinFile, in.Data.data(), (ULONG)in.Data.size());
    status = pin.Start();
    if (!NT_SUCCESS(status))
    {
        m_Error = "the render pin did not run";
        return status;
    }
    const std::vector<UCHAR> endpoints = HostDataEndpoints(*m_Host.Device(), false);
    *received = {in.Rate, in.Channels, in.BitsPerSample, {}};
    ULONGLONG deviceBytes = 0;
    PacketGaps gaps;
    ULONGLONG silence = client.Statistics(pinFile).SilenceBytes;
    const ULONG bufferMs =
        (ULONG)BytesToMs(client.Statistics(pinFile).BufferSize, frameBytes, in.Rate);
    const ULONG totalMs = (ULONG)(in.Frames() * 1000 / in.Rate) + bufferMs + kPlayOutMs;
    ULONG elapsed = 0;
    bool ended = false; // the file's last byte has left the client queue
    ULONG endedAt = 0;
    while (!ended || elapsed < endedAt + bufferMs + kPlayOutMs)
    {
        if (UnplugWhenDue(options, elapsed, summary))
            break;
        if (offset < in.Data.size())
            offset +=
                client.Write(pinFile, in.Data.data() + offset, (ULONG)(in.Data.size() - offset));
        ULONG queued = 0;
        EmuPcPinQueued(pinFile, &queued);
        if (!ended && offset == in.Data.size() && queued == 0)
        {
            ended = true;
            endedAt = elapsed;
        }
        EmuAdvanceMs(kStepMs);
        elapsed += kStepMs;
        const PcPinStatistics stats = client.Statistics(pinFile);
        if (stats.SilenceBytes != silence && !ended)
            ++summary->Underruns;
        silence = stats.SilenceBytes;
        pin.Position();
        for (UCHAR ep : endpoints)
        {
            // A device may take fewer channels than the pin (the chip whose
            // stream keeps two of eight): what it received is in its format.
            UCHAR channels = 0, subslot = 0;
            if (m_Host.Device()->Streaming().SelectedFormat(ep, &channels, &subslot))
            {
                received->Channels = channels;
                received->BitsPerSample = (USHORT)(8 * subslot);
            }
            const SimOutRecord& record = m_Host.Device()->Streaming().OutRecord(ep);
            deviceBytes += record.Data.size();
            gaps.Add(record.Packets);
            if (options.KeepReceived)
                received->Data.insert(received->Data.end(), record.Data.begin(), record.Data.end());
        }
        m_Host.Device()->Streaming().ClearRecords();
        if (options.Progress && elapsed % 1000 < kStepMs)
            options.Progress(elapsed, totalMs);
    }
    const PcPinStatistics stats = client.Statistics(pinFile);
    summary->Frames = frameBytes ? stats.DataBytes / frameBytes : 0;
    const ULONG deviceFrameBytes = received->FrameBytes();
    summary->DriftMs =
        frameBytes == 0 || deviceFrameBytes == 0 || in.Rate == 0
            ? 0
            : ((double)pin.Position() / frameBytes - (double)deviceBytes / deviceFrameBytes) *
                  1000.0 / in.Rate;
    summary->MissingPackets = gaps.Missing();
    summary->Overruns = stats.Overruns;
    return RunEnd(*summary, elapsed, "play");
}

NTSTATUS HostStream::Record(ULONG ms, const HostStreamOptions& options, HostAudio* recorded,
                            HostStreamSummary* summary)
{
    m_Error.clear();
    *summary = {};
    AudioEngineClient client(m_Host.Fdo());
    ULONG pinId = 0;
    const std::vector<EmuPcSubdeviceInfo> subdevices = client.Subdevices();
    const EmuPcSubdeviceInfo* filterInfo =
        HostFindWaveFilter(subdevices, KSPIN_DATAFLOW_OUT, &pinId);
    if (filterInfo == nullptr)
    {
        m_Error = "the device has no capture wave filter";
        return STATUS_NOT_FOUND;
    }
    for (UCHAR ep : HostDataEndpoints(*m_Host.Device(), true))
        m_Host.Device()->Streaming().SetInPattern(ep, SimInPattern::Sine, kSineHz, kSineAmplitude);
    PFILE_OBJECT filter = nullptr;
    NTSTATUS status = client.OpenFilter(filterInfo->Name, &filter);
    // Any PCM format: the driver chooses the one it prefers.
    KSDATARANGE_AUDIO wanted = AudioClientRange(KSDATAFORMAT_SUBTYPE_PCM, 32, 8, 32, 1, 768000);
    std::vector<UCHAR> format;
    PFILE_OBJECT pinFile = nullptr;
    if (NT_SUCCESS(status))
        status = client.OpenPinWithRange(filter, pinId, &wanted.DataRange, &pinFile, &format);
    if (NT_SUCCESS(status) && format.size() < sizeof(KSDATAFORMAT_WAVEFORMATEX))
        status = STATUS_INVALID_BUFFER_SIZE;
    if (!NT_SUCCESS(status))
    {
        m_Error = "the capture pin could not be opened in any PCM format";
        return status;
    }
    RunningPin pin(client, pinFile);
    KSDATAFORMAT_WAVEFORMATEX chosen;
    memcpy(&chosen, format.data(), sizeof(chosen));
    *recorded = {chosen.WaveFormatEx.nSamplesPerSec,
                 chosen.WaveFormatEx.nChannels,
                 chosen.WaveFormatEx.wBitsPerSample,
                 {}};
    status = pin.Start();
    if (!NT_SUCCESS(status))
    {
        m_Error = "the capture pin did not run";
        return status;
    }
    const ULONG frameBytes = recorded->FrameBytes();
    std::vector<UCHAR> chunk(64 * 1024);
    ULONG elapsed = 0;
    while (elapsed < ms)
    {
        if (UnplugWhenDue(options, elapsed, summary))
            break;
        const ULONG step = std::min(kStepMs, ms - elapsed);
        EmuAdvanceMs(step);
        elapsed += step;
        pin.Position();
        ULONG got;
        while ((got = client.Read(pinFile, chunk.data(), (ULONG)chunk.size())) != 0)
            recorded->Data.insert(recorded->Data.end(), chunk.begin(), chunk.begin() + got);
        if (options.Progress && elapsed % 1000 < kStepMs)
            options.Progress(elapsed, ms);
    }
    const PcPinStatistics stats = client.Statistics(pinFile);
    summary->Frames = frameBytes ? recorded->Data.size() / frameBytes : 0;
    // The device clock: its nominal rate moved by its deviation.
    const double deviceFrames = (double)elapsed * recorded->Rate / 1000.0 *
                                (1.0 + m_Host.Device()->Streaming().ClockDriftPpm() / 1e6);
    summary->DriftMs = ((double)pin.Position() / (frameBytes ? frameBytes : 1) - deviceFrames) *
                       1000.0 / recorded->Rate;
    summary->Overruns = stats.Overruns + (stats.DroppedBytes != 0 ? 1 : 0);
    return RunEnd(*summary, elapsed, "recording");
}

bool HostStream::UnplugWhenDue(const HostStreamOptions& options, ULONG elapsed,
                               HostStreamSummary* summary)
{
    if (options.UnplugAfterMs == 0 || elapsed < options.UnplugAfterMs)
        return false;
    summary->Unplugged = true;
    m_Host.Bus()->Unplug();
    EmuAdvanceMs(kStepMs); // the driver sees its transfers fail
    return true;
}

NTSTATUS HostStream::RunEnd(const HostStreamSummary& summary, ULONG elapsed, const char* run)
{
    if (!summary.Unplugged)
        return STATUS_SUCCESS;
    m_Error = "the device was unplugged after " + std::to_string(elapsed) + " ms of " + run;
    return STATUS_DEVICE_NOT_CONNECTED;
}
