#include <algorithm>
#include <cstring>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "platform/ks/ksmedia.h"
#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/scenario_host.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_targets.h"

namespace
{
const char* const kDevices[] = {"Uac1SpeakerMic", "Uac1Surround71", "Uac2HighSpeed", "Uac2Spdif",
                                "ChipModelA",     "ChipModelB",     "ChipModelC"};

const GUID* const kSets[] = {
    &KSPROPSETID_Pin,           &KSPROPSETID_Topology,      &KSPROPSETID_Audio,
    &KSPROPSETID_General,       &KSPROPSETID_Connection,    &KSPROPSETID_Jack,
    &KSPROPSETID_DevicePrivate, &KSPROPSETID_PseudoControl, &KSPROPSETID_EndpointCapabilities,
    &KSPROPSETID_OutputType,    &KSPROPSETID_NodeIdentity,
};
const ULONG kFlags[] = {
    KSPROPERTY_TYPE_GET,
    KSPROPERTY_TYPE_SET,
    KSPROPERTY_TYPE_BASICSUPPORT,
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY,
    KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY,
    KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_TOPOLOGY,
};
constexpr UCHAR kRawFlags = 0xFF;
constexpr ULONG kMaxOperations = 40;
constexpr ULONG kMaxValue = 1024;
constexpr ULONG kMaxPins = 4;
constexpr UCHAR kPinBit = 0x80;

enum Operation : UCHAR
{
    Property,
    OpenPin,
    ClosePin,
    Wait,
    Operations
};

// The files a user-mode audio client has open on the adapter device.
struct UserFiles
{
    PDEVICE_OBJECT Device;
    std::vector<PFILE_OBJECT> Filters;
    std::vector<PFILE_OBJECT> Pins;
    // A pin when the top bit is set and there is one, else a filter.
    PFILE_OBJECT Pick(UCHAR b) const
    {
        if ((b & kPinBit) != 0 && !Pins.empty())
            return Pins[b % Pins.size()];
        return Filters.empty() ? nullptr : Filters[b % Filters.size()];
    }
};

// A property request as a user-mode caller sends it: the request (a
// KSPROPERTY and the input's bytes after it) and the value buffer the reply
// goes into, its first bytes preset from the input (the value of a set).
void SendProperty(const UserFiles& files, FuzzInput& in)
{
    PFILE_OBJECT file = files.Pick(in.Byte());
    KSPROPERTY property = {};
    property.Set = *kSets[in.Byte() % std::size(kSets)];
    property.Id = in.Byte() % 48;
    const UCHAR flags = in.Byte();
    property.Flags = flags == kRawFlags ? in.Dword() : kFlags[flags % std::size(kFlags)];
    std::vector<UCHAR> request(sizeof(property));
    memcpy(request.data(), &property, sizeof(property));
    const std::vector<UCHAR> extra = in.Bytes(in.Byte() % 48);
    request.insert(request.end(), extra.begin(), extra.end());
    const ULONG valueLength = in.Word() % kMaxValue;
    const std::vector<UCHAR> preset = in.Bytes(std::min<ULONG>(in.Byte(), valueLength));
    if (file == nullptr)
        return;
    std::unique_ptr<EmuIoRequest> r = EmuIoRequest::DeviceControl(
        file, IOCTL_KS_PROPERTY, request.data(), (ULONG)request.size(), valueLength, UserMode);
    if (r == nullptr)
        return;
    if (!preset.empty())
        memcpy(r->Irp()->UserBuffer, preset.data(), preset.size());
    if (r->Send() == STATUS_PENDING)
        r->Wait();
}

// A pin create on a filter: its pin id and the data format after the
// connection request come from the input.
void OpenUserPin(UserFiles& files, FuzzInput& in)
{
    const UCHAR which = in.Byte();
    const ULONG pinId = in.Byte() % 4;
    const std::vector<UCHAR> format = in.Bytes(in.Byte());
    if (files.Filters.empty() || files.Pins.size() >= kMaxPins)
        return;
    const std::vector<UCHAR> name =
        AudioEngineClient::PinCreateName(pinId, format.data(), (ULONG)format.size());
    PFILE_OBJECT pin = nullptr;
    if (NT_SUCCESS(EmuOpenFile(files.Device, name.data(), (ULONG)name.size(),
                               files.Filters[which % files.Filters.size()], UserMode, &pin)))
        files.Pins.push_back(pin);
}

void RunOperation(UserFiles& files, FuzzInput& in)
{
    switch (in.Byte() % Operations)
    {
    case Property:
        SendProperty(files, in);
        break;
    case OpenPin:
        OpenUserPin(files, in);
        break;
    case ClosePin:
    {
        const UCHAR which = in.Byte();
        if (!files.Pins.empty())
        {
            const size_t i = which % files.Pins.size();
            EmuCloseFile(files.Pins[i]);
            files.Pins.erase(files.Pins.begin() + (ptrdiff_t)i);
        }
        break;
    }
    default:
        EmuAdvanceMs(in.Byte() % 32);
        break;
    }
}

void UserSession(PDEVICE_OBJECT fdo, FuzzInput& in)
{
    UserFiles files{fdo, {}, {}};
    for (const EmuPcSubdeviceInfo& s : EmuPcSubdevices(fdo))
    {
        const std::u16string path = u"\\" + s.Name;
        PFILE_OBJECT filter = nullptr;
        if (NT_SUCCESS(EmuOpenFile(fdo, path.data(), (ULONG)(path.size() * sizeof(WCHAR)), nullptr,
                                   UserMode, &filter)))
            files.Filters.push_back(filter);
    }
    for (ULONG i = 0; i < kMaxOperations && !in.Empty(); ++i)
        RunOperation(files, in);
    for (PFILE_OBJECT pin : files.Pins)
        EmuCloseFile(pin);
    for (PFILE_OBJECT filter : files.Filters)
        EmuCloseFile(filter);
}

void RunInProcess(void* context)
{
    auto* args = static_cast<std::pair<PDEVICE_OBJECT, FuzzInput*>*>(context);
    UserSession(args->first, *args->second);
}
} // namespace

std::string FuzzKsRequests(const uint8_t* data, size_t size)
{
    FuzzSession session;
    FuzzInput in(data, size);
    {
        ScenarioHost host(kDevices[in.Byte() % std::size(kDevices)]);
        if (host.Plugged() && NT_SUCCESS(host.Start()))
        {
            PEPROCESS process = EmuCreateProcess(false);
            std::pair<PDEVICE_OBJECT, FuzzInput*> args{host.Host().Fdo(), &in};
            EmuRunInProcess(process, RunInProcess, &args);
            EmuDeleteProcess(process);
        }
    }
    return session.End();
}

// A property request of the seeds: no extra request bytes but for a node
// property's node and reserved words, `length` bytes of value of which the
// first four are `value`.
void PutProperty(FuzzInputBytes* seed, UCHAR file, UCHAR set, UCHAR flags, bool node, USHORT length,
                 const ULONG* value)
{
    seed->insert(seed->end(), {Property, file, set, 0, flags, (uint8_t)(node ? 8 : 0)});
    if (node)
        seed->insert(seed->end(), 8, 0);
    FuzzPutWord(seed, length);
    seed->push_back(value != nullptr ? 4 : 0);
    if (value != nullptr)
        FuzzPutDword(seed, *value);
}

// On each device: the render pin (pin 0 of the first wave filter, the one
// after the topology filter) created with 48 kHz 16-bit stereo as the driver
// states it, run, a property of every set read from node 0 of the topology
// filter, then stopped and closed.
std::vector<FuzzInputBytes> FuzzKsRequestsSeeds()
{
    std::vector<FuzzInputBytes> seeds;
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE f = {};
    f.DataFormat.FormatSize = sizeof(f);
    f.DataFormat.SampleSize = 4;
    f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    f.WaveFormatExt.Format = {WAVE_FORMAT_EXTENSIBLE,    2, 48000, 192000, 4, 16,
                              WAVEFORMATEXTENSIBLE_EXTRA};
    f.WaveFormatExt.Samples.wValidBitsPerSample = 16;
    f.WaveFormatExt.dwChannelMask = KSAUDIO_SPEAKER_STEREO;
    f.WaveFormatExt.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    const uint8_t* fb = reinterpret_cast<const uint8_t*>(&f);
    const UCHAR connection = 4, set = 1;
    for (uint8_t device = 0; device < std::size(kDevices); ++device)
    {
        FuzzInputBytes seed{device, OpenPin, 1, 0, (uint8_t)sizeof(f)};
        seed.insert(seed.end(), fb, fb + sizeof(f));
        for (ULONG state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
            PutProperty(&seed, kPinBit, connection, set, false, 4, &state);
        seed.insert(seed.end(), {Wait, 20});
        for (uint8_t s = 0; s < std::size(kSets); ++s)
            PutProperty(&seed, 0, s, 3, true, 64, nullptr);
        const ULONG stop = KSSTATE_STOP;
        PutProperty(&seed, kPinBit, connection, set, false, 4, &stop);
        seed.insert(seed.end(), {ClosePin, 0});
        seeds.push_back(seed);
    }
    return seeds;
}
