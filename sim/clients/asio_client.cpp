#include "sim/clients/asio_client.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

#include "platform/kernel/emu.h"

namespace
{
// The codes, as the user-mode driver's header spells them.
constexpr ULONG kGetDeviceName = 0x1D6000;
constexpr ULONG kGetChannelCounts = 0x1D6004;
constexpr ULONG kGetSampleTypes = 0x1D600C;
constexpr ULONG kSetSampleType = 0x1DA01C;
constexpr ULONG kGetSampleRate = 0x1D6028;
constexpr ULONG kCanSampleRate = 0x1DA02C;
constexpr ULONG kSetSampleRate = 0x1DA030;
constexpr ULONG kGetBufferSize = 0x1D6034;
constexpr ULONG kMapSharedBuffer = 0x1DE038;
constexpr ULONG kUnmapSharedBuffer = 0x1DA03C;
constexpr ULONG kStartStreaming = 0x1DA040;
constexpr ULONG kStopStreaming = 0x1DA044;

constexpr ULONG kHeaderBytes = 40;
// Header fields, by u32 index.
constexpr ULONG kIsInput = 1, kChannels = 2, kDataBytes = 4, kSignal = 8, kSwitchCount = 9;

// The PCM sample types the client writes: the container's bytes and the
// valid bits at its top, as the stream format the driver selects for each
// has them (wBitsPerSample, wValidBitsPerSample).
struct SampleFormat
{
    ULONG Type;
    ULONG Bytes;
    ULONG ValidBits;
};
constexpr SampleFormat kSampleFormats[] = {
    {16, 2, 16}, {17, 3, 24}, {18, 4, 32}, {24, 4, 16}, {25, 4, 18}, {26, 4, 20}, {27, 4, 24},
};

const SampleFormat* FindSampleFormat(ULONG type)
{
    for (const SampleFormat& format : kSampleFormats)
        if (format.Type == type)
            return &format;
    return nullptr;
}

// The rates asked, in order, where the current one is not played: the
// usual two, then the host's standard rates; no request names the rates the
// device has.
constexpr ULONG kUsualRates[] = {48000, 44100};
constexpr ULONG kStandardRates[] = {8000,  11025, 12000, 16000, 22050,  24000,  32000,  44100,
                                    48000, 64000, 88200, 96000, 176400, 192000, 352800, 384000};

// The reply's current type and count, then the count's types.
constexpr ULONG kTypesHeaderBytes = 8;
constexpr ULONG kMostTypes = 6;

ULONG HeaderField(const AsioClientRing& ring, ULONG index)
{
    ULONG value = 0;
    memcpy(&value, ring.Base + 4 * index, sizeof(value));
    return value;
}

// The client's own process for one request, the caller's again after it: a
// request of one client runs in its process whatever other clients attached
// meanwhile, as a user-mode call does.
class InProcess
{
  public:
    explicit InProcess(PEPROCESS process) : m_Previous(PsGetCurrentProcess())
    {
        EmuAttachProcess(process);
    }
    ~InProcess() { EmuAttachProcess(m_Previous); }
    InProcess(const InProcess&) = delete;
    InProcess& operator=(const InProcess&) = delete;

  private:
    PEPROCESS m_Previous;
};

void Append(std::vector<UCHAR>* bytes, ULONG value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes->push_back((UCHAR)(value >> shift));
}
} // namespace

ULONG AsioChooseSampleType(const AsioSampleTypes& types)
{
    const auto writable = [](ULONG type) { return FindSampleFormat(type) != nullptr; };
    const std::vector<ULONG>& offered = types.Offered;
    if (writable(types.Current) &&
        std::find(offered.begin(), offered.end(), types.Current) != offered.end())
        return types.Current;
    const auto first = std::find_if(offered.begin(), offered.end(), writable);
    return first != offered.end() ? *first : 0;
}

std::string AsioSampleTypeText(ULONG type)
{
    const SampleFormat* format = FindSampleFormat(type);
    if (format == nullptr)
        return std::to_string(type) + " (not a type this client writes)";
    return std::to_string(type) + " (" + std::to_string(format->ValidBits) + " bits in " +
           std::to_string(format->Bytes) + " bytes)";
}

ULONG AsioMsPerUrb(ULONG frames, ULONG rate)
{
    const ULONG perMs = rate / 1000;
    ULONG ms = perMs != 0 ? frames / perMs : 0;
    if (ms < 2)
        ms = 2;
    return ms >= 20 ? 5 : ms >= 16 ? 4 : ms >= 8 ? 2 : 1;
}

ULONG AsioExpectedSwitches(ULONG ms, ULONG msPerUrb, ULONG lead)
{
    return ms > lead && msPerUrb != 0 ? (ms - lead) / msPerUrb : 0;
}

AsioTestClient::AsioTestClient(PDEVICE_OBJECT adapterDevice)
    : m_Device(adapterDevice), m_Process(EmuCreateProcess(false))
{
    EmuAttachProcess(m_Process);
}

AsioTestClient::~AsioTestClient()
{
    Close();
    if (m_Event != nullptr)
        EmuCloseUserHandle(m_Process, m_Event);
    EmuAttachProcess(nullptr);
    EmuDeleteProcess(m_Process);
}

NTSTATUS AsioTestClient::Open()
{
    InProcess own(m_Process);
    return EmuOpenFile(m_Device, u"\\LTASIOPrivateInterface", &m_File);
}

void AsioTestClient::Close()
{
    if (m_File == nullptr)
        return;
    if (m_Started)
        Stop();
    if (m_Mapped)
        Unmap();
    InProcess own(m_Process);
    EmuCloseFile(m_File);
    m_File = nullptr;
}

NTSTATUS AsioTestClient::Control(ULONG code, const void* input, ULONG inputLength, void* output,
                                 ULONG outputLength, ULONG_PTR* information)
{
    ULONG_PTR ignored = 0;
    InProcess own(m_Process);
    return EmuDeviceControl(m_File, code, input, inputLength, output, outputLength,
                            information != nullptr ? information : &ignored);
}

NTSTATUS AsioTestClient::GetDeviceName(std::string* name)
{
    ULONG_PTR needed = 0;
    NTSTATUS status = Control(kGetDeviceName, nullptr, 0, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_OVERFLOW)
        return status;
    std::vector<char> text(needed + 1, 0);
    status = Control(kGetDeviceName, nullptr, 0, text.data(), (ULONG)needed);
    if (NT_SUCCESS(status))
        *name = text.data();
    return status;
}

NTSTATUS AsioTestClient::GetChannelCounts(ULONG counts[4])
{
    return Control(kGetChannelCounts, nullptr, 0, counts, 16);
}

NTSTATUS AsioTestClient::GetSampleRate(ULONG* rate)
{
    return Control(kGetSampleRate, nullptr, 0, rate, 4);
}

NTSTATUS AsioTestClient::CanSampleRate(ULONG rate)
{
    return Control(kCanSampleRate, &rate, sizeof(rate), nullptr, 0);
}

NTSTATUS AsioTestClient::SetSampleRate(ULONG rate)
{
    return Control(kSetSampleRate, &rate, sizeof(rate), nullptr, 0);
}

NTSTATUS AsioTestClient::FirstPlayedRate(ULONG current, ULONG* rate)
{
    std::vector<ULONG> asked = {current};
    asked.insert(asked.end(), std::begin(kUsualRates), std::end(kUsualRates));
    asked.insert(asked.end(), std::begin(kStandardRates), std::end(kStandardRates));
    *rate = 0;
    for (auto r = asked.begin(); r != asked.end(); ++r)
    {
        if (std::find(asked.begin(), r, *r) != r)
            continue; // asked already
        const NTSTATUS status = CanSampleRate(*r);
        if (NT_SUCCESS(status))
            *rate = *r;
        if (status != STATUS_UNSUCCESSFUL)
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS AsioTestClient::ChooseSampleRate(ULONG* current, ULONG* chosen)
{
    *chosen = 0;
    NTSTATUS status = GetSampleRate(current);
    ULONG rate = 0;
    if (NT_SUCCESS(status))
        status = FirstPlayedRate(*current, &rate);
    if (NT_SUCCESS(status) && rate != 0 && rate != *current)
        status = SetSampleRate(rate);
    if (NT_SUCCESS(status))
        *chosen = rate;
    return status;
}

bool AsioReadSampleTypes(const ULONG* reply, ULONG_PTR bytes, AsioSampleTypes* types)
{
    if (bytes < kTypesHeaderBytes || bytes > kTypesHeaderBytes + kMostTypes * 4 ||
        reply[1] > (bytes - kTypesHeaderBytes) / 4)
        return false;
    types->Current = reply[0];
    types->Offered.assign(reply + 2, reply + 2 + reply[1]);
    return true;
}

NTSTATUS AsioTestClient::GetSampleTypes(AsioSampleTypes* types)
{
    ULONG buffer[kTypesHeaderBytes / 4 + kMostTypes] = {};
    ULONG_PTR bytes = 0;
    NTSTATUS status = Control(kGetSampleTypes, nullptr, 0, buffer, sizeof(buffer), &bytes);
    if (!NT_SUCCESS(status))
        return status;
    if (!AsioReadSampleTypes(buffer, bytes, types))
        return STATUS_INVALID_BUFFER_SIZE;
    m_SampleType = types->Current;
    return status;
}

NTSTATUS AsioTestClient::SetSampleType(ULONG type)
{
    NTSTATUS status = Control(kSetSampleType, &type, sizeof(type), nullptr, 0);
    if (NT_SUCCESS(status))
        m_SampleType = type;
    return status;
}

NTSTATUS AsioTestClient::ChooseSampleType(AsioSampleTypes* types, ULONG* chosen)
{
    *chosen = 0;
    NTSTATUS status = GetSampleTypes(types);
    if (!NT_SUCCESS(status))
        return status;
    const ULONG type = AsioChooseSampleType(*types);
    if (type != 0 && type != types->Current)
        status = SetSampleType(type);
    if (NT_SUCCESS(status))
        *chosen = type;
    return status;
}

NTSTATUS AsioTestClient::GetBufferSize(ULONG sizes[4])
{
    return Control(kGetBufferSize, nullptr, 0, sizes, 16);
}

NTSTATUS AsioTestClient::MapAll(ULONG bufferFrames)
{
    AsioSampleTypes types;
    NTSTATUS status = GetSampleTypes(&types);
    if (!NT_SUCCESS(status))
        return status;
    ULONG counts[4] = {};
    status = GetChannelCounts(counts);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<UCHAR> input;
    Append(&input, 0);
    Append(&input, counts[1] + counts[2]);
    Append(&input, bufferFrames);
    for (ULONG isInput = 0; isInput < 2; ++isInput)
        for (ULONG channel = 0; channel < counts[isInput != 0 ? 1 : 2]; ++channel)
        {
            Append(&input, isInput);
            Append(&input, channel);
        }
    const ULONG addressBytes = 8; // one user address per ring
    std::vector<UCHAR> output(counts[0] * addressBytes);
    ULONG_PTR returned = 0;
    status = Control(kMapSharedBuffer, input.data(), (ULONG)input.size(), output.data(),
                     counts[0] * addressBytes, &returned);
    if (!NT_SUCCESS(status))
        return status;
    m_Mapped = true;
    m_Rings.clear();
    for (ULONG i = 0; i < returned / addressBytes; ++i)
    {
        ULONGLONG address = 0;
        memcpy(&address, output.data() + i * addressBytes, addressBytes);
        AsioClientRing ring = {reinterpret_cast<PUCHAR>((ULONG_PTR)address), false, 0, 0};
        ring.IsInput = HeaderField(ring, kIsInput) != 0;
        ring.Channels = HeaderField(ring, kChannels);
        ring.DataBytes = HeaderField(ring, kDataBytes);
        m_Rings.push_back(ring);
    }
    return STATUS_SUCCESS;
}

NTSTATUS AsioTestClient::Start()
{
    if (m_Event == nullptr)
    {
        NTSTATUS status =
            EmuCreateUserEvent(m_Process, SynchronizationEvent, FALSE, &m_Event, &m_KernelEvent);
        if (!NT_SUCCESS(status))
            return status;
    }
    ULONGLONG handle = (ULONGLONG)(ULONG_PTR)m_Event;
    NTSTATUS status = Control(kStartStreaming, &handle, sizeof(handle), nullptr, 0);
    m_Started = NT_SUCCESS(status);
    return status;
}

NTSTATUS AsioTestClient::Stop()
{
    NTSTATUS status = Control(kStopStreaming, nullptr, 0, nullptr, 0);
    m_Started = false;
    return status;
}

NTSTATUS AsioTestClient::Unmap()
{
    NTSTATUS status = Control(kUnmapSharedBuffer, nullptr, 0, nullptr, 0);
    m_Mapped = false;
    m_Rings.clear();
    return status;
}

void AsioTestClient::WriteSine(double sineHz, ULONG rate)
{
    const SampleFormat* format = FindSampleFormat(m_SampleType);
    if (format == nullptr)
        return;
    const double step = 2.0 * 3.14159265358979323846 * sineHz / rate;
    const double amplitude = std::ldexp(16000.0, (int)format->ValidBits - 16);
    const ULONG shift = 8 * format->Bytes - format->ValidBits;
    for (const AsioClientRing& ring : m_Rings)
    {
        if (ring.IsInput || ring.Channels == 0)
            continue;
        PUCHAR sample = ring.Base + kHeaderBytes;
        const ULONG frames = ring.DataBytes / (format->Bytes * ring.Channels);
        for (ULONG f = 0; f < frames; ++f)
        {
            const ULONG value = (ULONG)std::lround(amplitude * std::sin(step * f)) << shift;
            for (ULONG c = 0; c < ring.Channels; ++c, sample += format->Bytes)
                memcpy(sample, &value, format->Bytes); // little-endian: the low bytes
        }
    }
}

void AsioTestClient::Run(ULONG ms)
{
    for (ULONG i = 0; i < ms; ++i)
    {
        EmuAdvanceMs(1);
        if (m_KernelEvent != nullptr && KeReadStateEvent(m_KernelEvent) != 0)
        {
            ++m_EventSwitches;
            KeClearEvent(m_KernelEvent);
        }
    }
}

ULONG AsioTestClient::RingSampleBytes() const
{
    const SampleFormat* format = FindSampleFormat(m_SampleType);
    return format != nullptr ? format->Bytes : 0;
}

ULONG AsioTestClient::HeaderSwitches() const
{
    for (const AsioClientRing& ring : m_Rings)
        if (HeaderField(ring, kSignal) != 0)
            return HeaderField(ring, kSwitchCount);
    return 0;
}
