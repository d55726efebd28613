#include <cstring>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "platform/ks/ksmedia.h"
#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/ScenarioHost.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_targets.h"

namespace
{
const char* const kDevices[] = {"Uac1SpeakerMic", "Uac1Surround71", "Uac2HighSpeed", "Uac2Spdif"};

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
// KSPROPERTY and whatever the input adds after it) and the value buffer the
// reply goes into, preset with the input's bytes for a set.
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
    const std::vector<UCHAR> value = in.Bytes(valueLength);
    if (file == nullptr)
        return;
    std::unique_ptr<EmuIoRequest> r = EmuIoRequest::DeviceControl(
        file, IOCTL_KS_PROPERTY, request.data(), (ULONG)request.size(), valueLength, UserMode);
    if (r == nullptr)
        return;
    if (!value.empty())
        memcpy(r->Irp()->UserBuffer, value.data(), value.size());
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

// On each device: the render pin (pin 0 of the first wave filter, the one
// after the topology filter) created with 48 kHz 16-bit stereo, run, a property of
// every set read from the topology filter, then stopped.
std::vector<FuzzInputBytes> FuzzKsRequestsSeeds()
{
    std::vector<FuzzInputBytes> seeds;
    KSDATAFORMAT_WAVEFORMATEX f = {};
    f.DataFormat.FormatSize = sizeof(f);
    f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    f.WaveFormatEx.wFormatTag = WAVE_FORMAT_PCM;
    f.WaveFormatEx.nChannels = 2;
    f.WaveFormatEx.nSamplesPerSec = 48000;
    f.WaveFormatEx.wBitsPerSample = 16;
    f.WaveFormatEx.nBlockAlign = 4;
    f.WaveFormatEx.nAvgBytesPerSec = 192000;
    f.DataFormat.SampleSize = 4;
    const uint8_t* fb = reinterpret_cast<const uint8_t*>(&f);
    for (uint8_t device = 0; device < std::size(kDevices); ++device)
    {
        FuzzInputBytes seed{device, OpenPin, 1, 0, (uint8_t)sizeof(f)};
        seed.insert(seed.end(), fb, fb + sizeof(f));
        for (ULONG state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
        {
            seed.insert(seed.end(), {Property, kPinBit, 4, 0, 1, 0});
            FuzzPutWord(&seed, 4);
            FuzzPutDword(&seed, state);
        }
        seed.insert(seed.end(), {Wait, 20});
        for (uint8_t set = 0; set < std::size(kSets); ++set)
        {
            seed.insert(seed.end(), {Property, 0, set, 0, 3, 8});
            FuzzPutDword(&seed, 0);
            FuzzPutDword(&seed, 0);
            FuzzPutWord(&seed, 64);
        }
        seed.insert(seed.end(), {ClosePin, 0});
        seeds.push_back(seed);
    }
    return seeds;
}
