#include "sim/host/harness/host_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "platform/kernel/emu.h"
#include "platform/usb/emu_usb_bus.h"
#include "sim/host/harness/host_formats.h"
#include "sim/host/harness/host_interrupt.h"

namespace
{
// Steps of the emulated clock between two visits of the client: well inside
// the cyclic buffer, so no position wraps unseen.
constexpr ULONG kStepMs = 5;
// After the file ends, the time the cyclic buffer and the URBs in flight
// take to play out, past the buffer itself.
constexpr ULONG kPlayOutMs = 40;

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
// the usual spacing is the smallest one seen. Gaps are counted by size, so a
// run of any length keeps a few numbers.
class PacketGaps
{
  public:
    void Add(const std::vector<SimPacketRecord>& packets)
    {
        for (const SimPacketRecord& p : packets)
        {
            const ULONGLONG slot = (ULONGLONG)p.Frame * 8 + p.Microframe;
            if (m_Seen && slot > m_Last)
                ++m_Gaps[slot - m_Last];
            m_Last = slot;
            m_Seen = true;
        }
    }
    ULONG Missing() const
    {
        if (m_Gaps.empty())
            return 0;
        const ULONGLONG step = m_Gaps.begin()->first;
        ULONG missing = 0;
        for (const auto& [gap, count] : m_Gaps)
            missing += (ULONG)(gap / step - 1) * count;
        return missing;
    }

  private:
    std::map<ULONGLONG, ULONG> m_Gaps;
    ULONGLONG m_Last = 0;
    bool m_Seen = false;
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

// The device's received frames against the file's, as they come: the file
// from its first frame of sound on, once a received frame of sound is that
// frame (the stream starts with silence). Sound before it is left over from
// something else; a frame of the file that then differs is changed. The
// silence the device received before the file's first sound, less the
// file's own, is the lead-in the path adds.
class WireCompare
{
  public:
    WireCompare(const HostAudio& file) : m_File(file), m_FrameBytes(file.FrameBytes())
    {
        m_Silence = file.BitsPerSample == 8 ? 0x80 : 0x00;
        while (m_Next < file.Data.size() && IsSilence(&file.Data[m_Next]))
            m_Next += m_FrameBytes;
        m_FirstSound = m_Next;
    }
    void Feed(const std::vector<UCHAR>& bytes)
    {
        for (UCHAR b : bytes)
        {
            m_WireSound = m_WireSound || b != m_Silence;
            m_WireLead += m_WireSound ? 0 : 1;
            m_Frame.push_back(b);
            if (m_Frame.size() == m_FrameBytes)
                TakeFrame();
        }
    }
    // The verdict once the play ended: given whether the device took the
    // file's own format on one endpoint, and whether packets were late or
    // missing.
    HostWire Result(bool sameFormat, bool oneEndpoint, bool gaps, HostStreamSummary* summary) const
    {
        summary->ChangedAtFrame = m_Next / m_FrameBytes;
        summary->FileAtFrame = FileStart();
        summary->LeftoverFrames = m_Leftover;
        if (!oneEndpoint)
            return HostWire::SeveralPaths;
        if (!sameFormat)
            return HostWire::OtherFormat;
        if (m_FirstSound == m_File.Data.size())
            return m_Leftover == 0 ? HostWire::Silent : HostWire::Changed;
        // A lost packet shifts what follows it: that is no processing.
        if (m_Changed && gaps)
            return HostWire::Broken;
        // Sound that never became the file is the file changed from its start.
        if (m_Changed || (!m_Started && m_Leftover != 0))
            return HostWire::Changed;
        if (m_Next != m_File.Data.size())
            return HostWire::Partial;
        return m_Leftover != 0 ? HostWire::Leftover : HostWire::Exact;
    }
    // The lead-in in milliseconds; false while the device received no
    // sound to place the file's frames by.
    bool LeadInMs(ULONG deviceFrameBytes, ULONG rate, double* ms) const
    {
        if (rate == 0 || deviceFrameBytes == 0 || !m_WireSound)
            return false;
        // A file that never started (another format): the wire's silence
        // before its first sound, less the file's own.
        const double frames = m_Started ? (double)FileStart()
                                        : (double)(m_WireLead / deviceFrameBytes) -
                                              (double)(m_FirstSound / m_FrameBytes);
        *ms = frames * 1000.0 / rate;
        return true;
    }

  private:
    // The wire frame the file's first frame came in: its first sound's,
    // less the file's own silent start.
    ULONGLONG FileStart() const
    {
        const ULONGLONG lead = m_FirstSound / m_FrameBytes;
        return m_FileAt > lead ? m_FileAt - lead : 0;
    }
    bool IsSilence(const UCHAR* frame) const
    {
        return std::all_of(frame, frame + m_FrameBytes, [this](UCHAR b) { return b == m_Silence; });
    }
    void TakeFrame()
    {
        const bool same = m_Next < m_File.Data.size() &&
                          std::equal(m_Frame.begin(), m_Frame.end(), &m_File.Data[m_Next]);
        if (!m_Started && same)
        {
            m_Started = true;
            m_FileAt = m_WireFrames;
        }
        else if (!m_Started && !IsSilence(m_Frame.data()))
            ++m_Leftover;
        if (m_Started && !m_Changed && m_Next < m_File.Data.size())
        {
            m_Changed = !same;
            m_Next += same ? m_FrameBytes : 0;
        }
        ++m_WireFrames;
        m_Frame.clear();
    }

    const HostAudio& m_File;
    const size_t m_FrameBytes;
    UCHAR m_Silence;
    std::vector<UCHAR> m_Frame;
    size_t m_Next = 0;
    size_t m_FirstSound = 0;
    ULONGLONG m_WireFrames = 0;
    ULONGLONG m_FileAt = 0;
    ULONGLONG m_Leftover = 0;
    ULONGLONG m_WireLead = 0; // the wire's silent bytes before its first sound
    bool m_WireSound = false;
    bool m_Started = false;
    bool m_Changed = false;
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
    for (const SimAltSetting& alt : device.Descriptors().AltSettings())
        for (const SimEndpointInfo& ep : alt.Endpoints)
            if ((ep.Attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS &&
                (ep.Attributes & USB_ENDPOINT_USAGE_MASK) != USB_ENDPOINT_USAGE_FEEDBACK &&
                USB_ENDPOINT_DIRECTION_IN(ep.Address) == in &&
                std::find(endpoints.begin(), endpoints.end(), ep.Address) == endpoints.end())
                endpoints.push_back(ep.Address);
    return endpoints;
}

NTSTATUS HostStream::Play(const HostAudio& file, const HostStreamOptions& options,
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
    std::vector<UCHAR> format;
    status = HostPinFormat(client, filter, pinId, file, &format);
    const USHORT container = NT_SUCCESS(status) ? HostFormatContainer(format) : file.BitsPerSample;
    if (!IsContainer(container))
        status = STATUS_INVALID_PARAMETER;
    // The samples as the pin takes them: the same valid bits, perhaps in
    // another container.
    const bool repack = NT_SUCCESS(status) && container != file.BitsPerSample;
    const HostAudio repacked = repack ? HostRepack(file, container) : HostAudio{};
    const HostAudio& in = repack ? repacked : file;
    PFILE_OBJECT pinFile = nullptr;
    if (NT_SUCCESS(status))
        status = client.OpenPin(filter, pinId, format.data(), (ULONG)format.size(), &pinFile);
    if (!NT_SUCCESS(status))
        return Refused(client, filter, *filterInfo, pinId,
                       "the render pin refused " + HostFormatText(file.Channels, file.BitsPerSample,
                                                                  file.Valid(), file.Rate),
                       status);
    RunningPin pin(client, pinFile);
    const ULONG frameBytes = in.FrameBytes();
    size_t offset = client.Write(pinFile, in.Data.data(), (ULONG)in.Data.size());
    // What the device received before this play (the last URBs of a client
    // that stopped before it) is not the play's.
    m_Host.Device()->Streaming().ClearRecords();
    status = pin.Start();
    if (!NT_SUCCESS(status))
    {
        m_Error = "the render pin did not run";
        return status;
    }
    const std::vector<UCHAR> endpoints = HostDataEndpoints(*m_Host.Device(), false);
    *received = {in.Rate, in.Channels, in.BitsPerSample, {}, in.ValidBits};
    ULONGLONG deviceBytes = 0;
    PacketGaps gaps;
    ClockGap clock;
    WireCompare wire(in);
    // The endpoint the play arrives on: the first that receives anything. A
    // function the driver does not run has endpoints that stay idle.
    UCHAR wireEndpoint = 0;
    bool severalEndpoints = false;
    ULONGLONG silence = client.Statistics(pinFile).SilenceBytes;
    const ULONG bufferBytes = client.Statistics(pinFile).BufferSize;
    const ULONG bufferMs = (ULONG)BytesToMs(bufferBytes, frameBytes, in.Rate);
    const ULONG totalMs = (ULONG)(in.Frames() * 1000 / in.Rate) + bufferMs + kPlayOutMs;
    ULONG elapsed = 0;
    bool ended = false; // the file's last byte has left the client queue
    ULONG endedAt = 0;
    while (!ended || elapsed < endedAt + bufferMs + kPlayOutMs)
    {
        if (EndsEarly(options, elapsed, summary))
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
        // Silence after the file's last byte went in is the play-out.
        if (stats.SilenceBytes != silence && stats.DataBytes < in.Data.size())
            ++summary->Underruns;
        silence = stats.SilenceBytes;
        for (UCHAR ep : endpoints)
        {
            // A device may take fewer channels than the pin (the chip whose
            // stream keeps two of eight): what it received is in its format.
            UCHAR channels = 0, subslot = 0;
            if (m_Host.Device()->Streaming().SelectedFormat(ep, &channels, &subslot))
            {
                received->Channels = channels;
                received->BitsPerSample = (USHORT)(8 * subslot);
                received->ValidBits = in.Valid() < received->BitsPerSample ? in.Valid() : 0;
            }
            const SimOutRecord& record = m_Host.Device()->Streaming().OutRecord(ep);
            deviceBytes += record.Data.size();
            gaps.Add(record.Packets);
            // As the device means its bytes: 8-bit samples of a file are
            // unsigned, those of a device's PCM two's complement.
            std::vector<UCHAR> meant = record.Data;
            if (subslot == 1 && !m_Host.Device()->Streaming().SelectedUnsigned(ep))
                for (UCHAR& b : meant)
                    b ^= 0x80;
            if (!meant.empty() && wireEndpoint == 0)
                wireEndpoint = ep;
            severalEndpoints = severalEndpoints || (!meant.empty() && ep != wireEndpoint);
            if (ep == wireEndpoint)
                wire.Feed(meant);
            if (!meant.empty()) // the device's format is known
                ToOut(options, *received, meant.data(), meant.size());
            if (options.KeepReceived)
                received->Data.insert(received->Data.end(), meant.begin(), meant.end());
        }
        m_Host.Device()->Streaming().ClearRecords();
        const ULONG deviceFrameBytes = received->FrameBytes();
        if (deviceFrameBytes != 0)
            clock.Sample(elapsed, BytesToMs((LONGLONG)pin.Position(), frameBytes, in.Rate) -
                                      BytesToMs((LONGLONG)deviceBytes, deviceFrameBytes, in.Rate));
        if (options.Progress && elapsed % 1000 < kStepMs)
            options.Progress(elapsed, totalMs);
    }
    const PcPinStatistics stats = client.Statistics(pinFile);
    summary->Frames = frameBytes ? stats.DataBytes / frameBytes : 0;
    summary->ExpectedFrames = in.Frames();
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
    summary->MissingPackets = gaps.Missing();
    summary->Overruns = stats.Overruns;
    summary->Wire = wire.Result(received->Channels == in.Channels &&
                                    received->BitsPerSample == in.BitsPerSample,
                                !severalEndpoints, summary->MissingPackets != 0, summary);
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
    for (UCHAR ep : HostDataEndpoints(*m_Host.Device(), true))
        m_Host.Device()->Streaming().SetInPattern(ep, SimInPattern::Sine, kSineHz, kSineAmplitude);
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
    status = pin.Start();
    if (!NT_SUCCESS(status))
    {
        m_Error = "the capture pin did not run";
        return status;
    }
    const ULONG frameBytes = recorded->FrameBytes();
    const ULONG bufferBytes = client.Statistics(pinFile).BufferSize;
    const ULONG periodMs =
        std::max(kStepMs, (ULONG)BytesToMs(bufferBytes, frameBytes, w.nSamplesPerSec));
    const ULONGLONG expected = (ULONGLONG)ms * recorded->Rate / 1000;
    const size_t expectedBytes = (size_t)expected * frameBytes;
    const double devicePpm = m_Host.Device()->Streaming().ClockDriftPpm();
    ClockGap clock;
    std::vector<UCHAR> chunk(64 * 1024);
    ULONG elapsed = 0;
    size_t kept = 0; // bytes of the recording so far, up to those asked
    // The file is made once the pin runs, even if nothing arrives.
    ToOut(options, *recorded, nullptr, 0);
    // The capture path's latency is made up at the end, within one period.
    while (kept < expectedBytes && elapsed < ms + periodMs)
    {
        if (EndsEarly(options, elapsed, summary))
            break;
        EmuAdvanceMs(kStepMs);
        elapsed += kStepMs;
        ULONG got;
        while ((got = client.Read(pinFile, chunk.data(), (ULONG)chunk.size())) != 0)
        {
            const size_t take = std::min<size_t>(got, expectedBytes - kept);
            ToOut(options, *recorded, chunk.data(), take);
            if (options.KeepReceived)
                recorded->Data.insert(recorded->Data.end(), chunk.begin(), chunk.begin() + take);
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
    return RunEnd(summary, elapsed, "recording");
}

void HostStream::ToOut(const HostStreamOptions& options, const HostAudio& format, const UCHAR* data,
                       size_t bytes)
{
    if (options.Out == nullptr || !m_OutError.empty())
        return;
    if (!options.Out->IsOpen() && !options.Out->Open(format, &m_OutError))
        return;
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
