#include "sim/host/harness/host_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "platform/kernel/emu.h"
#include "platform/usb/emu_usb_bus.h"
#include "sim/host/harness/host_formats.h"
#include "sim/host/harness/host_path_watch.h"
#include "sim/host/harness/host_record_compare.h"
#include "sim/host/harness/host_wire_compare.h"
#include "sim/host/harness/host_interrupt.h"

namespace
{
// Steps of the emulated clock between two visits of the client: well inside
// the cyclic buffer, so no position wraps unseen.
constexpr ULONG kStepMs = 5;
// After the file ends, the time the cyclic buffer and the URBs in flight
// take to play out, past the buffer itself.
constexpr ULONG kPlayOutMs = 40;

// Hands take(data, bytes, change, at) the `bytes` from byte `before` of a
// stream of frames of `frame` bytes, in stretches each weighed against what
// could change it as the driver took it (`at`: the stretch's first byte).
template <typename Take>
void Weigh(const HostPathWatch& path, ULONGLONG before, const UCHAR* data, size_t bytes,
           ULONG frame, Take take)
{
    if (frame == 0)
        return take(data, bytes, HostPathChange{}, before);
    const ULONGLONG end = before + bytes;
    ULONGLONG at = before;
    path.Split(before / frame, (end + frame - 1) / frame - before / frame,
               [&](ULONGLONG frames, const HostPathChange& change)
               {
                   const ULONGLONG stop = std::min(end, (at / frame + frames) * frame);
                   take(data + (at - before), (size_t)(stop - at), change, at);
                   at = stop;
               });
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

// Packet slots of an endpoint that held nothing, from the slot of the
// stream's first transfer to the run's last step: the usual spacing is the
// smallest one seen between two packets, or the endpoint's interval where
// fewer than two came. Gaps are counted by size, so a run of any length
// keeps a few numbers.
class PacketGaps
{
  public:
    explicit PacketGaps(ULONGLONG interval = 8) : m_Interval(interval) {}
    void Add(const SimOutRecord& record)
    {
        if (record.Tried && !m_Started)
        {
            m_Started = true;
            m_First = Slot(record.FirstFrame, record.FirstMicroframe);
        }
        for (const SimPacketRecord& p : record.Packets)
        {
            const ULONGLONG slot = Slot(p.Frame, p.Microframe);
            if (!m_Seen)
                m_FirstPacket = slot;
            else if (slot > m_Last)
                ++m_Gaps[slot - m_Last];
            m_Last = slot;
            m_Seen = true;
        }
    }
    // The slots missing up to `end`, the last slot of the run.
    ULONG Missing(ULONGLONG end) const
    {
        if (!m_Started)
            return 0;
        const ULONGLONG step = m_Gaps.empty() ? m_Interval : m_Gaps.begin()->first;
        if (!m_Seen)
            return end >= m_First ? (ULONG)((end - m_First) / step + 1) : 0;
        ULONGLONG missing = 0;
        for (const auto& [gap, count] : m_Gaps)
            missing += (gap / step - 1) * count;
        missing += m_FirstPacket > m_First ? (m_FirstPacket - m_First) / step : 0;
        missing += end > m_Last ? (end - m_Last) / step : 0;
        return (ULONG)missing;
    }
    static ULONGLONG Slot(ULONG frame, ULONG microframe)
    {
        return (ULONGLONG)frame * 8 + microframe;
    }

  private:
    ULONGLONG m_Interval;
    std::map<ULONGLONG, ULONG> m_Gaps;
    ULONGLONG m_First = 0, m_FirstPacket = 0, m_Last = 0;
    bool m_Started = false, m_Seen = false;
};

// The position against the device clock: the difference once the stream
// has settled is its offset (the latency of the path), and how far the
// difference moves from there is drift.
class ClockGap
{
  public:
    void Sample(ULONG elapsedMs, double differenceMs)
    {
        if (!m_Settled && elapsedMs >= kSettleMs)
        {
            m_Offset = differenceMs;
            m_Settled = true;
        }
        m_Last = differenceMs;
    }
    bool Settled() const { return m_Settled; }
    double Offset() const { return m_Settled ? m_Offset : m_Last; }
    double Drift() const { return m_Last - Offset(); }

  private:
    static constexpr ULONG kSettleMs = 100;
    double m_Offset = 0;
    double m_Last = 0;
    bool m_Settled = false;
};

double BytesToMs(LONGLONG bytes, ULONG frameBytes, ULONG rate)
{
    return frameBytes == 0 || rate == 0 ? 0 : (double)bytes / frameBytes * 1000.0 / rate;
}

// Container sizes a sample can be moved into.
bool IsContainer(USHORT bits)
{
    return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// Class 1.0 endpoint descriptors are 9 bytes, with bRefresh and bSynchAddress.
constexpr UCHAR kRefreshAt = 7, kSynchAddressAt = 8;

// A class 1.0 synch endpoint of `alt`: one a data endpoint names as its
// synch endpoint, or one with a refresh rate, which a data endpoint has not.
bool IsSynchEndpoint(const std::vector<UCHAR>& c, const SimAltSetting& alt,
                     const SimEndpointInfo& ep)
{
    const auto field = [&c](const SimEndpointInfo& e, UCHAR at)
    { return e.Offset + 9 <= c.size() && c[e.Offset] >= 9 ? c[e.Offset + at] : 0; };
    return field(ep, kRefreshAt) != 0 ||
           std::any_of(alt.Endpoints.begin(), alt.Endpoints.end(),
                       [&](const SimEndpointInfo& e)
                       { return field(e, kSynchAddressAt) == ep.Address; });
}

// An isochronous endpoint that may carry samples: its address, and the
// packet slots between two of its packets.
struct IsochEndpoint
{
    UCHAR Address;
    ULONGLONG Interval;
};

// The isochronous endpoints of the device in one direction that may carry
// samples (feedback endpoints excluded), with or without synch endpoints;
// an address that several interfaces declare, once.
std::vector<IsochEndpoint> IsochEndpoints(const SimUsbDevice& device, bool in, bool synch)
{
    std::vector<IsochEndpoint> endpoints;
    const std::vector<UCHAR>& c = device.Descriptors().Configuration();
    for (const SimAltSetting& alt : device.Descriptors().AltSettings())
        for (const SimEndpointInfo& ep : alt.Endpoints)
            if ((ep.Attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS &&
                (ep.Attributes & USB_ENDPOINT_USAGE_MASK) != USB_ENDPOINT_USAGE_FEEDBACK &&
                USB_ENDPOINT_DIRECTION_IN(ep.Address) == in &&
                (synch || !IsSynchEndpoint(c, alt, ep)) &&
                std::none_of(endpoints.begin(), endpoints.end(),
                             [&ep](const IsochEndpoint& e) { return e.Address == ep.Address; }))
            {
                // A packet a frame at full speed; at high speed every
                // 2^(bInterval-1) microframes, as the bus schedules them.
                const UCHAR interval = std::clamp<UCHAR>(ep.Interval, 1, 4);
                endpoints.push_back(
                    {ep.Address, device.Speed() == EmuUsbSpeed::High ? 1u << (interval - 1) : 8u});
            }
    return endpoints;
}

// The rate the device runs an endpoint's stream at: that of the interface
// whose selected setting holds the endpoint (another interface may declare
// its address too); None where none does.
SimStreamRate StreamRateOf(SimUsbDevice& device, UCHAR address)
{
    for (const SimAltSetting& alt : device.Descriptors().AltSettings())
        if (device.AlternateSetting(alt.InterfaceNumber) == alt.AlternateSetting &&
            std::any_of(alt.Endpoints.begin(), alt.Endpoints.end(),
                        [address](const SimEndpointInfo& ep) { return ep.Address == address; }))
            return device.Audio().StreamRate(alt.InterfaceNumber);
    return {};
}

// What the endpoint moved, as the device means its samples: 8-bit ones of
// a file are unsigned, those of a device's PCM two's complement.
std::vector<UCHAR> Meant(const SimStreaming& streaming, UCHAR ep, UCHAR subslot,
                         const std::vector<UCHAR>& data)
{
    std::vector<UCHAR> meant = data;
    if (subslot == 1 && !streaming.SelectedUnsigned(ep))
        for (UCHAR& b : meant)
            b ^= 0x80;
    return meant;
}

// The device's side of a stream, a step at a time: what each endpoint the
// stream may move on received (play) or sent (record), its packet slots
// counted, the endpoint the stream moves on, and the rate the device runs
// it at. That endpoint is, for a play, the first that receives anything (a
// function the driver does not run has endpoints that stay idle); for a
// recording, the one the driver reads, whether or not its packets came,
// synch endpoint or not.
class DeviceSide
{
  public:
    // `rate`: the stream's.
    DeviceSide(SimUsbDevice& device, const EmuUsbBus& bus, bool in, ULONG rate)
        : m_Device(device), m_Streaming(device.Streaming()), m_Bus(bus), m_In(in),
          m_StreamRate(rate), m_Endpoints(IsochEndpoints(device, in, true))
    {
    }
    // After a step: calls take(channels, subslot, bytes, stream) for each
    // endpoint with its format (channels 0 while it has none), its bytes as
    // the device means them and whether the stream moves on it; then clears
    // the device's records.
    template <typename Take> void Step(Take take)
    {
        m_LastSlot = PacketGaps::Slot(m_Bus.CurrentFrame() - 1, 7);
        for (const IsochEndpoint& e : m_Endpoints)
        {
            const UCHAR ep = e.Address;
            const SimOutRecord& record =
                m_In ? m_Streaming.InRecord(ep) : m_Streaming.OutRecord(ep);
            m_Gaps.try_emplace(ep, e.Interval).first->second.Add(record);
            UCHAR channels = 0, subslot = 0;
            m_Streaming.SelectedFormat(ep, &channels, &subslot);
            const size_t moved = m_In ? (record.Tried ? 1 : 0) : record.Data.size();
            if (moved != 0 && m_Stream == 0)
                m_Stream = ep;
            m_Several = m_Several || (moved != 0 && ep != m_Stream);
            if (ep == m_Stream)
                NoteRate(StreamRateOf(m_Device, ep));
            take(channels, subslot, Meant(m_Streaming, ep, subslot, record.Data), ep == m_Stream);
        }
        m_Streaming.ClearRecords();
    }
    // The packet slots missing on every endpoint, to the last step's end.
    ULONG Missing() const
    {
        ULONG missing = 0;
        for (const auto& [ep, gaps] : m_Gaps)
            missing += gaps.Missing(m_LastSlot);
        return missing;
    }
    bool Several() const { return m_Several; }
    // The rate the device ran the stream at: one other than the stream's
    // once it ran at one, or that it follows the stream's data; None while
    // its interface did not stream.
    SimStreamRate Rate() const { return m_Rate; }

  private:
    // A rate read while the stream runs: one other than the stream's stays.
    void NoteRate(SimStreamRate rate)
    {
        const bool other = m_Rate.Is == SimStreamRate::Own && m_Rate.Hz != m_StreamRate;
        if (rate.Is != SimStreamRate::None && !other)
            m_Rate = rate;
    }

    SimUsbDevice& m_Device;
    SimStreaming& m_Streaming;
    const EmuUsbBus& m_Bus;
    const bool m_In;
    const ULONG m_StreamRate;
    const std::vector<IsochEndpoint> m_Endpoints;
    std::map<UCHAR, PacketGaps> m_Gaps;
    ULONGLONG m_LastSlot = 0;
    UCHAR m_Stream = 0;
    bool m_Several = false;
    SimStreamRate m_Rate;
};

// The file handed to the pin as the client queue takes it, a block read
// ahead at most: a play holds a few periods of its file, whatever its length.
class PinFeed
{
  public:
    PinFeed(AudioEngineClient& client, PFILE_OBJECT pin, HostPinFrames& frames)
        : m_Client(client), m_Pin(pin), m_Frames(frames)
    {
    }
    // Tops the client queue up; true once the file's last byte went in.
    bool Top()
    {
        for (;;)
        {
            if (m_At == m_Block.size())
            {
                m_Block = m_Done ? std::vector<UCHAR>{} : m_Frames.Next();
                m_At = 0;
                m_Done = m_Block.empty();
                if (m_Done)
                    return true;
            }
            m_At += m_Client.Write(m_Pin, m_Block.data() + m_At, (ULONG)(m_Block.size() - m_At));
            if (m_At < m_Block.size())
                return false;
        }
    }

  private:
    AudioEngineClient& m_Client;
    PFILE_OBJECT m_Pin;
    HostPinFrames& m_Frames;
    std::vector<UCHAR> m_Block;
    size_t m_At = 0;
    bool m_Done = false;
};
} // namespace

bool HostStreamSummary::Kept() const
{
    const ULONGLONG apart =
        Frames > ExpectedFrames ? Frames - ExpectedFrames : ExpectedFrames - Frames;
    return apart <= PeriodFrames && std::fabs(DriftMs) <= PeriodMs;
}

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
    for (const IsochEndpoint& e : IsochEndpoints(device, in, false))
        endpoints.push_back(e.Address);
    return endpoints;
}

NTSTATUS HostStream::Play(const HostAudio& file, const HostStreamOptions& options,
                          HostAudio* received, HostStreamSummary* summary)
{
    HostMemorySource source(file);
    return Play(source, options, received, summary);
}

NTSTATUS HostStream::Play(HostPlaySource& file, const HostStreamOptions& options,
                          HostAudio* received, HostStreamSummary* summary)
{
    m_Error.clear();
    m_OutError.clear();
    m_Offered.clear();
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
    if (!NT_SUCCESS(status))
    {
        m_Error = "the render filter did not open";
        return status;
    }
    const HostAudio& f = file.Format();
    std::vector<UCHAR> format;
    status = HostPinFormat(client, filter, pinId, f, &format);
    // The samples as the pin takes them: the same valid bits, perhaps in
    // another container.
    const USHORT container = NT_SUCCESS(status) ? HostFormatContainer(format) : f.BitsPerSample;
    if (!IsContainer(container))
        status = STATUS_INVALID_PARAMETER;
    PFILE_OBJECT pinFile = nullptr;
    if (NT_SUCCESS(status))
        status = client.OpenPin(filter, pinId, format.data(), (ULONG)format.size(), &pinFile);
    if (!NT_SUCCESS(status))
        return Refused(client, filter, *filterInfo, pinId,
                       "the render pin refused " +
                           HostFormatText(f.Channels, f.BitsPerSample, f.Valid(), f.Rate),
                       status);
    RunningPin pin(client, pinFile);
    std::unique_ptr<HostPlaySource> again = file.Again(&m_Error);
    if (again == nullptr)
        return STATUS_UNSUCCESSFUL;
    HostPinFrames frames(file, container);
    HostPlayCompare wire(std::move(again), container, {false, ""});
    const HostAudio& in = frames.Format();
    const ULONG frameBytes = in.FrameBytes();
    const ULONGLONG fileBytes = file.Frames() * frameBytes;
    const ULONG bufferBytes = client.Statistics(pinFile).BufferSize;
    const ULONG bufferMs = (ULONG)BytesToMs(bufferBytes, frameBytes, in.Rate);
    // A few periods queued ahead of the pin: more than a step's worth.
    const ULONG stepBytes = (ULONG)((ULONGLONG)in.Rate * kStepMs / 1000) * frameBytes;
    EmuPcPinSetQueueLimit(pinFile, 4 * std::max(bufferBytes, stepBytes));
    PinFeed feed(client, pinFile, frames);
    bool fed = feed.Top();
    HostPathWatch path(m_Host.Fdo(), filterInfo->Name);
    // What the device received before this play (the last URBs of a client
    // that stopped before it) is not the play's.
    m_Host.Device()->Streaming().ClearRecords();
    status = pin.Start();
    if (!NT_SUCCESS(status))
    {
        m_Error = "the render pin did not run";
        return status;
    }
    summary->Ran = true;
    DeviceSide device(*m_Host.Device(), *m_Host.Bus(), false, in.Rate);
    *received = {in.Rate, in.Channels, in.BitsPerSample, {}, in.ValidBits};
    ULONGLONG deviceBytes = 0, streamBytes = 0;
    std::vector<UCHAR> piece; // a stretch of them on its way to the compare
    // The position against what the device received, and the time run
    // against what it received, each positive where the device falls
    // behind: a device that follows its data keeps no other time.
    ClockGap clock, data;
    ULONGLONG silence = client.Statistics(pinFile).SilenceBytes;
    const ULONG totalMs = (ULONG)(file.Frames() * 1000 / in.Rate) + bufferMs + kPlayOutMs;
    // A device slower than its rate takes longer; a play that stalls ends a
    // second past that.
    const double slowest = 1.0 + std::abs(m_Host.Device()->Streaming().ClockDriftPpm()) / 1e6;
    const ULONG limitMs = (ULONG)(totalMs * slowest) + bufferMs + 1000;
    // The most the device can receive: every frame of the time run.
    if (options.Out != nullptr)
        options.Out->SetMaxFrames((ULONGLONG)((limitMs + 2 * kStepMs) * slowest * in.Rate / 1000) +
                                  1);
    ULONG elapsed = 0;
    bool ended = false; // the file's last byte has left the client queue
    ULONG endedAt = 0;
    while ((!ended || elapsed < endedAt + bufferMs + kPlayOutMs) && elapsed < limitMs)
    {
        if (EndsEarly(options, elapsed, summary))
            break;
        fed = feed.Top();
        ULONG queued = 0;
        EmuPcPinQueued(pinFile, &queued);
        if (!ended && fed && queued == 0)
        {
            ended = true;
            endedAt = elapsed;
        }
        path.Look();
        EmuAdvanceMs(kStepMs);
        elapsed += kStepMs;
        const PcPinStatistics stats = client.Statistics(pinFile);
        // Silence after the file's last byte went in is the play-out.
        if (stats.SilenceBytes != silence && stats.DataBytes < fileBytes)
            ++summary->Underruns;
        silence = stats.SilenceBytes;
        path.Step();
        device.Step(
            [&](UCHAR channels, UCHAR subslot, const std::vector<UCHAR>& meant, bool stream)
            {
                // A device may take fewer channels than the pin (the chip
                // whose stream keeps two of eight): what it received is in
                // its format.
                if (channels != 0)
                {
                    received->Channels = channels;
                    received->BitsPerSample = (USHORT)(8 * subslot);
                    received->ValidBits = in.Valid() < received->BitsPerSample ? in.Valid() : 0;
                }
                // The chain runs as a transfer is built: each frame is
                // weighed against what could change it then, not when it
                // reached the device.
                if (stream)
                    Weigh(path, streamBytes, meant.data(), meant.size(), received->FrameBytes(),
                          [&](const UCHAR* data, size_t bytes, const HostPathChange& change,
                              ULONGLONG at)
                          {
                              piece.assign(data, data + bytes);
                              if (options.Tap)
                                  options.Tap(deviceBytes + (at - streamBytes), piece);
                              wire.SetPath(change);
                              wire.Feed(piece);
                          });
                streamBytes += stream ? meant.size() : 0;
                deviceBytes += meant.size();
                if (!meant.empty()) // the device's format is known
                    ToOut(options, *received, meant.data(), meant.size());
                if (options.KeepReceived)
                    received->Data.insert(received->Data.end(), meant.begin(), meant.end());
            });
        const ULONG deviceFrameBytes = received->FrameBytes();
        const double deviceMs = BytesToMs((LONGLONG)deviceBytes, deviceFrameBytes, in.Rate);
        if (deviceFrameBytes != 0)
        {
            // The driver's position reaches into the transfer under way by
            // the time since it began, a byte at a time: only whole frames
            // are the device's (at 44.1 kHz a step ends inside one).
            const ULONGLONG played = pin.Position() / frameBytes * frameBytes;
            clock.Sample(elapsed, BytesToMs((LONGLONG)played, frameBytes, in.Rate) - deviceMs);
            data.Sample(elapsed, elapsed - deviceMs);
        }
        if (options.Progress && elapsed % 1000 < kStepMs)
            options.Progress(elapsed, totalMs);
    }
    const PcPinStatistics stats = client.Statistics(pinFile);
    summary->Frames = frameBytes ? stats.DataBytes / frameBytes : 0;
    summary->ExpectedFrames = file.Frames();
    summary->PeriodFrames = frameBytes ? bufferBytes / frameBytes : 0;
    summary->PeriodMs = bufferMs;
    // The position against the file's frames the device received: the
    // silence the path adds before them is latency too.
    double leadInMs = 0;
    summary->OffsetMeasured =
        wire.LeadInMs(received->FrameBytes(), in.Rate, &leadInMs) && clock.Settled();
    summary->DriftMeasured = clock.Settled();
    summary->OffsetMs = clock.Offset() + leadInMs;
    summary->DriftMs = clock.Drift();
    summary->DataDriftMs = data.Drift();
    summary->MissingPackets = device.Missing();
    summary->DeviceRate = device.Rate();
    summary->Overruns = stats.Overruns;
    summary->DeviceChannels = received->Channels;
    summary->DeviceBits = received->BitsPerSample;
    summary->Wire = wire.Result(received->Channels == in.Channels &&
                                    received->BitsPerSample == in.BitsPerSample,
                                !device.Several(), summary->MissingPackets != 0, summary);
    const std::string& readError = frames.Error().empty() ? wire.Error() : frames.Error();
    if (!readError.empty() && !summary->Unplugged && m_OutError.empty())
    {
        m_Error = "reading failed after " + std::to_string(elapsed) + " ms of play: " + readError;
        return STATUS_UNSUCCESSFUL;
    }
    return RunEnd(summary, elapsed, "play");
}

NTSTATUS HostStream::Record(ULONG ms, const HostStreamOptions& options, HostAudio* recorded,
                            HostStreamSummary* summary)
{
    m_Error.clear();
    m_OutError.clear();
    m_Offered.clear();
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
    SimStreaming& streaming = m_Host.Device()->Streaming();
    for (UCHAR ep : HostDataEndpoints(*m_Host.Device(), true))
        streaming.SetInPattern(ep, options.RecordPattern, kSineHz, kSineAmplitude);
    PFILE_OBJECT filter = nullptr;
    NTSTATUS status = client.OpenFilter(filterInfo->Name, &filter);
    if (!NT_SUCCESS(status))
    {
        m_Error = "the capture filter did not open";
        return status;
    }
    // Any PCM format: the driver chooses the one it prefers.
    KSDATARANGE_AUDIO wanted = AudioClientRange(KSDATAFORMAT_SUBTYPE_PCM, 32, 8, 32, 1, 768000);
    std::vector<UCHAR> format;
    PFILE_OBJECT pinFile = nullptr;
    status = client.OpenPinWithRange(filter, pinId, &wanted.DataRange, &pinFile, &format);
    if (NT_SUCCESS(status) && format.size() < sizeof(KSDATAFORMAT_WAVEFORMATEX))
        status = STATUS_INVALID_BUFFER_SIZE;
    if (!NT_SUCCESS(status))
        return Refused(client, filter, *filterInfo, pinId,
                       "the capture pin could not be opened in any PCM format", status);
    RunningPin pin(client, pinFile);
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE chosen = {};
    memcpy(&chosen, format.data(), std::min(format.size(), sizeof(chosen)));
    const WAVEFORMATEX& w = chosen.WaveFormatExt.Format;
    *recorded = {w.nSamplesPerSec, w.nChannels, w.wBitsPerSample, {}};
    if (w.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
        chosen.WaveFormatExt.Samples.wValidBitsPerSample < w.wBitsPerSample)
        recorded->ValidBits = chosen.WaveFormatExt.Samples.wValidBitsPerSample;
    HostPathWatch path(m_Host.Fdo(), filterInfo->Name);
    // What the device sends is the recording's from the start.
    streaming.ClearRecords();
    status = pin.Start();
    if (!NT_SUCCESS(status))
    {
        m_Error = "the capture pin did not run";
        return status;
    }
    summary->Ran = true;
    const ULONG frameBytes = recorded->FrameBytes();
    const ULONG bufferBytes = client.Statistics(pinFile).BufferSize;
    const ULONG periodMs =
        std::max(kStepMs, (ULONG)BytesToMs(bufferBytes, frameBytes, w.nSamplesPerSec));
    const ULONGLONG expected = (ULONGLONG)ms * recorded->Rate / 1000;
    const size_t expectedBytes = (size_t)expected * frameBytes;
    const double devicePpm = streaming.ClockDriftPpm();
    ClockGap clock;
    DeviceSide device(*m_Host.Device(), *m_Host.Bus(), true, recorded->Rate);
    // The path's delay: a transfer in flight, the cyclic buffer and a step.
    const ULONGLONG lagFrames = (ULONGLONG)(2 * periodMs + 4 * kStepMs) * recorded->Rate / 1000;
    HostRecordCompare wire(frameBytes, recorded->BitsPerSample == 8 ? 0x80 : 0x00, lagFrames,
                           {false, ""});
    std::vector<UCHAR> chunk(64 * 1024), piece;
    ULONG elapsed = 0;
    size_t kept = 0; // bytes of the recording so far, up to those asked
    // The file is made once the pin runs, even if nothing arrives.
    if (options.Out != nullptr)
        options.Out->SetMaxFrames(expected);
    ToOut(options, *recorded, nullptr, 0);
    // The capture path's latency is made up at the end, within one period.
    while (kept < expectedBytes && elapsed < ms + periodMs)
    {
        if (EndsEarly(options, elapsed, summary))
            break;
        path.Look();
        EmuAdvanceMs(kStepMs);
        elapsed += kStepMs;
        path.Step();
        // What the device sent first: the recording's frames come after it.
        device.Step(
            [&](UCHAR channels, UCHAR subslot, const std::vector<UCHAR>& meant, bool stream)
            {
                if (!stream || channels == 0)
                    return;
                summary->DeviceChannels = channels;
                summary->DeviceBits = (USHORT)(8 * subslot);
                wire.Wire(meant.data(), meant.size());
            });
        ULONG got;
        while ((got = client.Read(pinFile, chunk.data(), (ULONG)chunk.size())) != 0)
        {
            const size_t take = std::min<size_t>(got, expectedBytes - kept);
            ToOut(options, *recorded, chunk.data(), take);
            if (options.KeepReceived)
                recorded->Data.insert(recorded->Data.end(), chunk.begin(), chunk.begin() + take);
            // The chain ran as the driver delivered the frames.
            Weigh(path, kept, chunk.data(), take, frameBytes,
                  [&](const UCHAR* data, size_t bytes, const HostPathChange& change, ULONGLONG at)
                  {
                      wire.SetPath(change);
                      if (!options.Tap)
                          return wire.File(data, bytes);
                      piece.assign(data, data + bytes);
                      options.Tap(at, piece);
                      wire.File(piece.data(), piece.size());
                  });
            kept += take;
        }
        // The device clock: its nominal rate moved by its deviation.
        clock.Sample(elapsed, BytesToMs((LONGLONG)pin.Position(), frameBytes, recorded->Rate) -
                                  elapsed * (1.0 + devicePpm / 1e6));
        if (options.Progress && elapsed % 1000 < kStepMs)
            options.Progress(std::min(elapsed, ms), ms);
    }
    // After a failed write the recording is what the file holds.
    if (!m_OutError.empty())
        kept = std::min<size_t>(kept, (size_t)options.Out->Frames() * frameBytes);
    if (options.KeepReceived)
        recorded->Data.resize(kept);
    const PcPinStatistics stats = client.Statistics(pinFile);
    summary->Frames = frameBytes ? kept / frameBytes : 0;
    summary->ExpectedFrames = expected;
    summary->PeriodFrames = frameBytes ? bufferBytes / frameBytes : 0;
    summary->PeriodMs = periodMs;
    summary->OffsetMeasured = summary->DriftMeasured = clock.Settled();
    summary->OffsetMs = clock.Offset();
    summary->DriftMs = clock.Drift();
    summary->Overruns = stats.Overruns + (stats.DroppedBytes != 0 ? 1 : 0);
    summary->MissingPackets = device.Missing();
    summary->DeviceRate = device.Rate();
    // A device that sent nothing sent no other format.
    summary->Wire = wire.Result(summary->DeviceChannels == 0 ||
                                    (summary->DeviceChannels == recorded->Channels &&
                                     summary->DeviceBits == recorded->BitsPerSample),
                                !device.Several(), summary->MissingPackets != 0, summary);
    return RunEnd(summary, elapsed, "recording");
}

void HostStream::ToOut(const HostStreamOptions& options, const HostAudio& format, const UCHAR* data,
                       size_t bytes)
{
    if (options.Out == nullptr || !m_OutError.empty())
        return;
    if (!options.Out->IsOpen())
    {
        // Once interrupted, an output not made yet is left as it was.
        HostProbeInterrupt("output");
        if (HostInterrupted() || !options.Out->Open(format, &m_OutError))
            return;
    }
    options.Out->Write(data, bytes, &m_OutError);
}

NTSTATUS HostStream::Refused(AudioEngineClient& client, PFILE_OBJECT filter,
                             const EmuPcSubdeviceInfo& info, ULONG pinId, const std::string& what,
                             NTSTATUS status)
{
    m_Error = what;
    m_Offered = HostOfferedText(HostOfferedFormats(client, filter, info, pinId));
    return status;
}

bool HostStream::EndsEarly(const HostStreamOptions& options, ULONG elapsed,
                           HostStreamSummary* summary)
{
    if (!m_OutError.empty())
        return true;
    if (HostInterrupted())
        return summary->Interrupted = true;
    if (options.UnplugAfterMs == 0 || elapsed < options.UnplugAfterMs)
        return false;
    summary->Unplugged = true;
    m_Host.Bus()->Unplug();
    EmuAdvanceMs(kStepMs); // the driver sees its transfers fail
    return true;
}

NTSTATUS HostStream::RunEnd(HostStreamSummary* summary, ULONG elapsed, const char* run)
{
    const std::string after = " after " + std::to_string(elapsed) + " ms of " + run;
    summary->OutFailed = !m_OutError.empty();
    if (summary->OutFailed)
    {
        m_Error = "writing failed" + after + ": " + m_OutError;
        return STATUS_UNSUCCESSFUL;
    }
    if (summary->Interrupted)
    {
        m_Error = std::string("interrupted by ") + HostInterruptName() + after;
        return STATUS_CANCELLED;
    }
    if (!summary->Unplugged)
        return STATUS_SUCCESS;
    m_Error = "the device was unplugged" + after;
    return STATUS_DEVICE_NOT_CONNECTED;
}
