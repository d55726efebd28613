#include <new>

#include "streaming/usb/usb_audio1_capture.h"
#include "streaming/usb/usb_audio1_render.h"
#include "audioclass/controls/control_interfaces.h"
#include "audioclass/descriptor_rules.h"
#include "audioclass/uac1_rates.h"
#include "usbaudio/uac1/left_out_streams.h"
#include "usbaudio/uac1/stream_factory.h"
#include "usbaudio/uac1/type_i_coding.h"
#include "usbaudio/uac1/walkers.h"
#include "audioclass/controls/uac_unit.h"
#include "platform/usb/usbdlib.h"

namespace
{
constexpr ULONG c_InterfaceBytes = 9;
constexpr USHORT c_CompressedTagBits = 0x2001;
constexpr USHORT c_DolbyDigitalTag = 0x0092;
constexpr USHORT c_WmaProTag = 0x0164;
constexpr ULONG c_FewChannels = 4; // capture below it is offered twice

struct ChannelMaskRow
{
    ULONG Channels;
    ULONG Playback;
    ULONG Capture;
};
constexpr ChannelMaskRow c_ChannelMasks[] = {
    {1, 0x4, 0x4}, {2, 0x3, 0x3}, {4, 0x33, 0}, {6, 0x3F, 0}, {8, 0x63F, 0}};

PUAC1_STREAM_FACTORY g_StreamFactory = nullptr;

ULONG Read3(const UCHAR* p)
{
    return p[0] | p[1] << 8 | p[2] << 16;
}

bool UsableRecord(const WAVEFORMATEXTENSIBLE& record)
{
    return record.Format.nSamplesPerSec != 0 &&
           SampleFieldsUsable(record.Format.wBitsPerSample / STREAM_BITS_PER_BYTE,
                              record.Samples.wValidBitsPerSample) &&
           record.Format.nChannels != 0 && record.Format.nChannels <= STREAM_MAX_CHANNELS;
}

// A format the walk refuses on purpose, named in words: a Type II format,
// or a class 1.0 continuous range that Uac1FormatRates refuses or finds no
// standard rate in. False for any other refusal.
bool ReportUnsupportedFormat(const StreamingWalkClass& walker, const UCHAR* d,
                             const StreamingInterfaceWalk& walk, NTSTATUS status)
{
    // Without its stream the format-type step refused the order, not the format.
    if (d[2] != USB_AUDIO_FORMAT_TYPE || walk.Stream == nullptr || walk.Link < 0)
        return false;
    const bool classOne = walker.Version == AudioDescriptorVersion::Uac1;
    if ((classOne ? d[3] : walk.FormatType) == USB_AUDIO_FORMAT_TYPE_II)
    {
        DbgPrint("UsbAudio: AudioStreaming interface %u alternate setting %u: Type II format is "
                 "not supported by this driver: 0x%08X\n",
                 walk.Number, walk.AlternateSetting, (unsigned)status);
        return true;
    }
    if (!classOne || d[7] != 0)
        return false; // only a class 1.0 continuous range is refused for its rates
    ULONG rates[ARRAYSIZE(UAC1_STANDARD_RATES)] = {};
    ULONG count = 0;
    const NTSTATUS ranged = Uac1FormatRates(d, rates, &count);
    if (NT_SUCCESS(ranged) && count != 0)
        return false;
    DbgPrint("UsbAudio: AudioStreaming interface %u alternate setting %u: continuous rate range "
             "%u to %u Hz, %s %u Hz, is not supported by this driver: 0x%08X\n",
             walk.Number, walk.AlternateSetting, Read3(d + 8), Read3(d + 11),
             NT_SUCCESS(ranged) ? "holding no standard rate up to"
                                : "reaching more than 0.5% above",
             UAC1_STANDARD_RATES[ARRAYSIZE(UAC1_STANDARD_RATES) - 1], (unsigned)status);
    return true;
}

// Names a descriptor the walk refuses: a format refused on purpose in
// words, any other by its fields, "malformed" when the rules refuse it.
void ReportStreamingRefusal(const StreamingWalkClass& walker, const UCHAR* d,
                            const StreamingInterfaceWalk& walk, DescriptorVerdict verdict,
                            NTSTATUS status)
{
    const bool wellFormed =
        verdict == DescriptorVerdict::Valid || verdict == DescriptorVerdict::NoRule;
    if (!wellFormed || !ReportUnsupportedFormat(walker, d, walk, status))
        ReportRefusedDescriptor("AudioStreaming", walk.Number, d, status,
                                wellFormed ? nullptr : "malformed");
}

NTSTATUS OnAsGeneral(CUsbAudioDevice* device, const UCHAR* d, StreamingInterfaceWalk* walk)
{
    return OnUac1General(device, d, walk, CreateUac1FamilyStream<CUsbAudio1Render, UAC1_POOL_TAG>);
}

// Walks one interface's descriptors from its interface descriptor at
// `position`, past the settings judged malformed; *end is where its walk
// stopped.
NTSTATUS WalkInterface(CUsbAudioDevice* device, const StreamingWalkClass& walker,
                       const StreamingSettings& settings, PUCHAR configurationEnd, PUCHAR position,
                       StreamingInterfaceWalk* walk, PUCHAR* end)
{
    NTSTATUS status = STATUS_SUCCESS;
    bool malformed = false;
    while (position < configurationEnd && NT_SUCCESS(status))
    {
        const ULONG left = (ULONG)(configurationEnd - position);
        const UCHAR* d = position;
        status = CheckDescriptorFits("AudioStreaming", walk->Number, d, left);
        if (!NT_SUCCESS(status))
            return status;
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE)
        {
            if (d[0] < c_InterfaceBytes || d[2] != walk->Number)
                break;
            walk->AlternateSetting = d[3];
            malformed = settings.IsMalformed(d[3]); // left out, named before the walk
        }
        else if (d[1] == USB_AUDIO_CS_INTERFACE && !malformed)
        {
            const DescriptorVerdict verdict =
                CheckAudioDescriptor(walker.Version, AudioInterfaceKind::AudioStreaming, d, left);
            if (verdict != DescriptorVerdict::Valid && verdict != DescriptorVerdict::NoRule)
                status = STATUS_UNSUCCESSFUL;
            else if (d[2] == USB_AUDIO_AS_GENERAL)
            {
                walk->General = walk->General != nullptr ? walk->General : d;
                status = walker.OnGeneral(device, d, walk);
            }
            else if (d[2] == USB_AUDIO_FORMAT_TYPE)
                status = walker.OnFormatType(device, d, walk);
            if (!NT_SUCCESS(status))
                ReportStreamingRefusal(walker, d, *walk, verdict, status);
        }
        else if (d[1] != USB_ENDPOINT_DESCRIPTOR_TYPE && d[1] != USB_AUDIO_CS_ENDPOINT &&
                 d[1] != USB_AUDIO_CS_INTERFACE)
            break;
        position += d[0];
    }
    *end = position;
    return status;
}

// Whether the stream offers a PCM format: the audio engine plays and
// records no stream without one, compressed and raw data being offered
// beside PCM only.
bool OffersPcm(CUsbAudioStream* stream)
{
    const ULONG formats = stream->GetFormatCount();
    for (ULONG i = 0; i < formats; ++i)
    {
        WAVEFORMATEXTENSIBLE record = {};
        if (NT_SUCCESS(stream->GetFormatAt(i, &record)) &&
            IsEqualGUID(record.SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
            return true;
    }
    return false;
}

// A stream with PCM formats joins the device: the engine list, its path and
// buffers. One whose formats the driver cannot carry ends the start (as no
// rates); one left with none (its packets carry none), or with compressed or
// raw-data formats only, is left out, and so is a playback stream that
// reaches output terminals of the USB side only.
NTSTATUS JoinStream(CUsbAudioDevice* device, const StreamingWalkClass& walker,
                    const StreamingInterfaceWalk& walk, LeftOutInterfaces* leftOut)
{
    CUsbAudioStream* stream = walk.Stream;
    NTSTATUS status = STATUS_SUCCESS;
    // What the step that fails tried; the terminal link names itself.
    PCSTR step = "none of its formats can be offered (a rate of 0 Hz, channels or samples the "
                 "driver does not carry)";
    const bool none = stream->GetFormatCount() == 0;
    bool usbOnly = false;
    if (none && walk.Dropped != 0)
        status = STATUS_UNSUCCESSFUL;
    else if (none || !OffersPcm(stream))
    {
        DbgPrint("UsbAudio: AudioStreaming interface %u has no %sformat to offer%s: left out\n",
                 walk.Number, none ? "" : "PCM ", none ? "" : ", only compressed or raw-data ones");
        leftOut->Add(walk.Number);
        return STATUS_SUCCESS;
    }
    else if (stream->GetDirection() == STREAM_DIRECTION_RENDER &&
             NT_SUCCESS(PlaysToUsbSideOnly(device, (ULONG)walk.Link, &usbOnly)) && usbOnly)
    {
        // Its path ends at the USB side of the device again: its filter
        // would have nothing to join on the topology filter's other side.
        DbgPrint("UsbAudio: AudioStreaming interface %u plays to no output terminal that names "
                 "an endpoint (a speaker, a line), only to the USB side: left out\n",
                 walk.Number);
        leftOut->Add(walk.Number);
        return STATUS_SUCCESS;
    }
    else
    {
        step = "its stream could not join the device's engines";
        status = device->AddStreamObject(stream);
    }
    if (NT_SUCCESS(status))
    {
        step = nullptr;
        status = ConnectStreamPins(device, stream, (ULONG)walk.Link);
        if (!NT_SUCCESS(status))
            ReportRefusedDescriptor("AudioStreaming", walk.Number, walk.General, status);
    }
    if (NT_SUCCESS(status))
    {
        step = "the controls of its path could not be built";
        status = walker.BuildPaths(device, stream);
    }
    if (NT_SUCCESS(status))
    {
        step = "its stream buffers could not be allocated";
        status = stream->AllocateStreamBuffers();
    }
    if (!NT_SUCCESS(status) && step != nullptr)
        DbgPrint("UsbAudio: AudioStreaming interface %u: %s: 0x%08X\n", walk.Number, step,
                 (unsigned)status);
    return status;
}

// The interface's end: after a walk that went well its stream joins the
// device or is left out; the walk's reference goes either way.
NTSTATUS FinishInterface(CUsbAudioDevice* device, const StreamingWalkClass& walker,
                         StreamingInterfaceWalk* walk, NTSTATUS status, LeftOutInterfaces* leftOut)
{
    if (walk->Stream == nullptr)
        return status;
    if (NT_SUCCESS(status))
        status = JoinStream(device, walker, *walk, leftOut);
    walk->Stream->Release();
    walk->Stream = nullptr;
    return status;
}
const StreamingWalkClass c_Uac1Walker = {AudioDescriptorVersion::Uac1, OnAsGeneral,
                                         OnUac1FormatType, BuildPathsUac1};
} // namespace

NTSTATUS OnUac1General(CUsbAudioDevice* device, const UCHAR* d, StreamingInterfaceWalk* walk,
                       PUAC1_STREAM_FACTORY factory)
{
    if (walk->Stream == nullptr)
    {
        CUacUnit* terminal = nullptr;
        ULONG direction = 0, link = 0;
        NTSTATUS status = FindStreamTerminal(device, d[3], &terminal, &direction, &link);
        if (!NT_SUCCESS(status))
            return status;
        CUsbAudioStream* stream = nullptr;
        status = (g_StreamFactory != nullptr ? g_StreamFactory : factory)(direction, walk->Number,
                                                                          link, &stream);
        if (!NT_SUCCESS(status))
            return status;
        status = AttachStream(device, stream, direction, link, walk);
        if (!NT_SUCCESS(status))
            return status;
    }
    walk->FormatTag = (USHORT)(d[5] | d[6] << 8);
    return STATUS_SUCCESS;
}

NTSTATUS OnUac1FormatType(CUsbAudioDevice*, const UCHAR* d, StreamingInterfaceWalk* walk)
{
    if (walk->Link < 0 || walk->Stream == nullptr ||
        (d[3] != USB_AUDIO_FORMAT_TYPE_I && d[3] != USB_AUDIO_FORMAT_TYPE_III))
        return STATUS_INVALID_PARAMETER;
    WAVEFORMATEXTENSIBLE record = {};
    record.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    record.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    record.Format.nChannels = d[4];
    record.Format.wBitsPerSample = (USHORT)(8 * d[5]);
    record.Samples.wValidBitsPerSample = d[6];
    record.Format.nBlockAlign =
        (USHORT)(record.Format.nChannels * record.Format.wBitsPerSample / 8);
    if (!CheckSampleFields(d[5], d[6], walk->Number, walk->AlternateSetting) ||
        (d[3] == USB_AUDIO_FORMAT_TYPE_I &&
         !CheckTypeICoding(Uac1TypeICoding(walk->FormatTag), d[5], walk->Number,
                           walk->AlternateSetting, "format tag", walk->FormatTag)))
        return STATUS_SUCCESS;
    const ULONG direction = walk->Stream->GetDirection();
    record.dwChannelMask = Uac1ChannelMask(d[4], direction);
    NTSTATUS status = CollectStreamFormats(walk->Stream, d, walk->FormatTag, walk->AlternateSetting,
                                           record, &walk->Dropped);
    // The same formats again without a mask: those left out were named in
    // the first pass.
    if (NT_SUCCESS(status) && direction == STREAM_DIRECTION_CAPTURE && d[4] < c_FewChannels)
    {
        record.dwChannelMask = 0;
        status = CollectStreamFormats(walk->Stream, d, walk->FormatTag, walk->AlternateSetting,
                                      record, &walk->Dropped, false);
    }
    return status;
}

NTSTATUS FindStreamTerminal(CUsbAudioDevice* device, ULONG terminalId, CUacUnit** terminal,
                            PULONG direction, PULONG link)
{
    CAudioControl* unit = nullptr;
    NTSTATUS status = device->FindUnitByIdInDevice(terminalId, &unit);
    if (!NT_SUCCESS(status))
        return status;
    if (unit->GetKind() == USB_AUDIO_INPUT_TERMINAL)
        *direction = STREAM_DIRECTION_RENDER;
    else if (unit->GetKind() == USB_AUDIO_OUTPUT_TERMINAL)
        *direction = STREAM_DIRECTION_CAPTURE;
    else
        return STATUS_INVALID_PARAMETER;
    *terminal = static_cast<CUacUnit*>(unit);
    return (*terminal)->UnitGetFirstValue(link);
}

NTSTATUS AttachStream(CUsbAudioDevice* device, CUsbAudioStream* stream, ULONG direction, ULONG link,
                      StreamingInterfaceWalk* walk)
{
    const NTSTATUS status = stream->InitStream(direction, static_cast<IAdapterCommon*>(device));
    if (!NT_SUCCESS(status))
    {
        stream->Release();
        return status;
    }
    walk->Stream = stream;
    walk->Link = (LONG)link;
    return STATUS_SUCCESS;
}

bool SampleFieldsUsable(ULONG sampleBytes, ULONG resolution)
{
    return sampleBytes <= STREAM_MAX_SAMPLE_BYTES && resolution != 0 &&
           resolution <= STREAM_BITS_PER_BYTE * sampleBytes;
}

bool CheckSampleFields(ULONG sampleBytes, ULONG resolution, UCHAR interfaceNumber,
                       UCHAR alternateSetting)
{
    if (SampleFieldsUsable(sampleBytes, resolution))
        return true;
    DbgPrint("UsbAudio: AudioStreaming interface %u alternate setting %u: %u bits of resolution "
             "in %u bytes a sample is not a sample the driver carries (1 to %u bytes, at most %u "
             "bits a byte): left out\n",
             interfaceNumber, alternateSetting, resolution, sampleBytes, STREAM_MAX_SAMPLE_BYTES,
             STREAM_BITS_PER_BYTE);
    return false;
}

NTSTATUS AddFormatRecord(CUsbAudioStream* stream, WAVEFORMATEXTENSIBLE record, ULONG rate,
                         USHORT subTag, UCHAR alternateSetting, PULONG dropped, WireSampleSign sign,
                         bool nameLeftOut)
{
    record.Format.nSamplesPerSec = rate;
    record.Format.nAvgBytesPerSec = record.Format.nBlockAlign * rate;
    record.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    record.SubFormat.Data1 = subTag;
    if (!UsableRecord(record))
    {
        ++*dropped;
        return STATUS_SUCCESS;
    }
    ULONG needed = 0, carried = 0;
    if (!stream->CarriesNominalPacket(alternateSetting, record.Format, &needed, &carried))
    {
        if (nameLeftOut)
            DbgPrint("UsbAudio: AudioStreaming interface %u alternate setting %u: %u Hz of %u-byte "
                     "frames needs %u-byte packets, the endpoint carries %u: format left out\n",
                     stream->GetConstructionValue(), alternateSetting, rate,
                     record.Format.nBlockAlign, needed, carried);
        return STATUS_SUCCESS;
    }
    return stream->AddStreamFormat(&record, alternateSetting, sign);
}

PUAC1_STREAM_FACTORY SetUac1StreamFactory(PUAC1_STREAM_FACTORY factory)
{
    PUAC1_STREAM_FACTORY previous = g_StreamFactory;
    g_StreamFactory = factory;
    return previous;
}

ULONG Uac1ChannelMask(ULONG channels, ULONG direction)
{
    for (const ChannelMaskRow& row : c_ChannelMasks)
        if (row.Channels == channels)
            return direction == STREAM_DIRECTION_RENDER ? row.Playback : row.Capture;
    return 0;
}

NTSTATUS CollectStreamFormats(CUsbAudioStream* stream, const UCHAR* formatType, USHORT formatTag,
                              UCHAR alternateSetting, const WAVEFORMATEXTENSIBLE& formatTemplate,
                              PULONG dropped, bool nameLeftOut)
{
    PAGED_CODE();
    ULONG rates[256] = {};
    ULONG count = 0;
    NTSTATUS status = Uac1FormatRates(formatType, rates, &count);
    if (!NT_SUCCESS(status))
        return status;
    if (count == 0)
        return STATUS_UNSUCCESSFUL;
    const TypeICoding coding = Uac1TypeICoding(formatTag);
    const bool carried = TypeICodingCarries(coding, formatTemplate.Format.wBitsPerSample / 8);
    for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i)
    {
        if (formatType[3] == USB_AUDIO_FORMAT_TYPE_I && carried)
            status =
                AddFormatRecord(stream, formatTemplate, rates[i], WAVE_FORMAT_PCM, alternateSetting,
                                dropped, TypeICodingSign(coding), nameLeftOut);
        else if (formatType[3] == USB_AUDIO_FORMAT_TYPE_III &&
                 (formatTag & c_CompressedTagBits) != 0)
        {
            status = AddFormatRecord(stream, formatTemplate, rates[i], c_DolbyDigitalTag,
                                     alternateSetting, dropped, WireSampleSign::TwosComplement,
                                     nameLeftOut);
            if (NT_SUCCESS(status))
                status =
                    AddFormatRecord(stream, formatTemplate, rates[i], c_WmaProTag, alternateSetting,
                                    dropped, WireSampleSign::TwosComplement, nameLeftOut);
        }
    }
    return status;
}

namespace
{
bool EngineHolds(CStreamEngine* engine, ULONG id)
{
    const ULONG count = engine->GetControlCount();
    for (ULONG i = 0; i < count; ++i)
    {
        CAudioControl* control = nullptr;
        if (NT_SUCCESS(engine->GetControlAt(i, &control)) && control != nullptr &&
            control->GetId() == id)
            return true;
    }
    return false;
}

// An engine that plays through the terminal also carries the terminal's
// output-type control: its kind names the engine, and a change of type
// renames and reinstalls the engine's wave filter.
void AttachOutputType(CUsbAudioDevice* device, CAudioControl* outputType, ULONG terminalControl)
{
    const ULONG engines = device->GetEngineCount();
    for (ULONG i = 0; i < engines; ++i)
    {
        CStreamEngine* engine = nullptr;
        if (NT_SUCCESS(device->GetEngine(i, &engine)) && EngineHolds(engine, terminalControl) &&
            !EngineHolds(engine, outputType->GetId()))
            engine->AddPathControl(outputType);
    }
}
} // namespace

void PassOutputTypes(CUsbAudioDevice* device)
{
    PAGED_CODE();
    const ULONG controls = device->GetUnitCount();
    for (ULONG i = 0; i < controls; ++i)
    {
        CAudioControl* control = nullptr;
        POUTPUTTYPECONTROL outputType = nullptr;
        if (!NT_SUCCESS(device->GetUnit(i, &control)) || control->GetKind() != CONTROL_KIND_LIST ||
            !NT_SUCCESS(control->QueryInterface(IID_IOutputTypeControl, (PVOID*)&outputType)))
            continue;
        ULONG kind = 0, id = 0, one = 1;
        outputType->GetCurrent(&kind);
        control->GetValues(&one, &id);
        if (one == 1)
            AttachOutputType(device, control, id); // its source is the terminal's first control
        // Each step goes one control upstream; a loop ends after every
        // control has been passed once.
        for (ULONG step = 0; step < controls && one == 1; ++step)
        {
            CAudioControl* upstream = nullptr;
            if (!NT_SUCCESS(device->FindUnitById(id, &upstream)) || upstream->GetValueCount() != 1)
                break;
            PCONTROLMODESETUP mode = nullptr;
            if (NT_SUCCESS(upstream->QueryInterface(IID_IControlModeSetup, (PVOID*)&mode)))
            {
                mode->SetMode(kind, nullptr);
                outputType->AddListener(mode);
                mode->Release();
            }
            upstream->GetValues(&one, &id);
        }
        outputType->Release();
    }
}

NTSTATUS WalkAudioStreaming(CUsbAudioDevice* device, PUSB_CONFIGURATION_DESCRIPTOR configuration,
                            PUSB_INTERFACE_DESCRIPTOR firstInterface, ULONG bytesToEnd,
                            const StreamingWalkClass& walker)
{
    PAGED_CODE();
    NTSTATUS status =
        CheckWalkedInterface(configuration != nullptr ? firstInterface : nullptr, bytesToEnd,
                             USB_AUDIO_SUBCLASS_AUDIOSTREAMING, walker.Version);
    if (!NT_SUCCESS(status))
        return status;
    const PUCHAR end = reinterpret_cast<PUCHAR>(firstInterface) + bytesToEnd;
    // The configuration's bytes, where a setting described twice is found.
    const PUCHAR start =
        reinterpret_cast<PUCHAR>(configuration) <= reinterpret_cast<PUCHAR>(firstInterface)
            ? reinterpret_cast<PUCHAR>(configuration)
            : reinterpret_cast<PUCHAR>(firstInterface);
    PUSB_INTERFACE_DESCRIPTOR current = firstInterface;
    LeftOutInterfaces leftOut;
    while (current != nullptr && NT_SUCCESS(status))
    {
        StreamingInterfaceWalk walk;
        walk.Number = current->bInterfaceNumber;
        walk.AlternateSetting = current->bAlternateSetting;
        PUCHAR stopped = nullptr;
        const PUCHAR at = reinterpret_cast<PUCHAR>(current);
        StreamingSettings settings(device, walker, start, end);
        // A stream cannot leave the engine list once it joined it: an
        // interface with nothing to carry is left out before it does.
        if (!settings.CarriesAFormat(at, walk.Number, &stopped))
        {
            DbgPrint("UsbAudio: AudioStreaming interface %u has no format of 1 to %u channels "
                     "the driver carries (PCM, or PCM8 at 8 bits; 1 to %u bytes a sample, at "
                     "most %u bits a byte): %s: left out\n",
                     walk.Number, STREAM_MAX_CHANNELS, STREAM_MAX_SAMPLE_BYTES,
                     STREAM_BITS_PER_BYTE, settings.Findings());
            leftOut.Add(walk.Number);
        }
        else
            status = WalkInterface(device, walker, settings, end, at, &walk, &stopped);
        status = FinishInterface(device, walker, &walk, status, &leftOut);
        if (!NT_SUCCESS(status) || stopped >= end || stopped <= at)
            break;
        current = device->NextFunctionStreamingInterface(configuration, stopped);
    }
    if (NT_SUCCESS(status) && leftOut.Any() && device->GetEngineCount() == 0)
    {
        leftOut.ReportNoStreamLeft();
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status))
        PassOutputTypes(device);
    return status;
}

NTSTATUS ParseAudioStreamingUac1(CUsbAudioDevice* device,
                                 PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                 PUSB_INTERFACE_DESCRIPTOR firstInterface, ULONG bytesToEnd)
{
    return WalkAudioStreaming(device, configuration, firstInterface, bytesToEnd, c_Uac1Walker);
}
