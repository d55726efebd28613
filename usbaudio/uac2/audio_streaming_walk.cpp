#include <new>

#include "streaming/usb/usb_audio2_capture.h"
#include "streaming/usb/usb_audio2_render.h"
#include "audioclass/controls/control_interfaces.h"
#include "usbaudio/uac1/type_i_coding.h"
#include "usbaudio/uac2/walkers.h"
#include "audioclass/units/uac2_terminals.h"

namespace
{
constexpr ULONG c_DolbyDigitalBit = 1u << 0;
constexpr ULONG c_WmaProBit = 1u << 12;
constexpr USHORT c_DolbyDigitalTag = 0x0092;
constexpr USHORT c_WmaProTag = 0x0164;

PUAC2_STREAM_FACTORY g_StreamFactory = nullptr;

NTSTATUS CreateUac2Stream(ULONG direction, ULONG interfaceNumber, ULONG link, ULONG clock,
                          CUsbAudioStream** stream)
{
    if (direction == STREAM_DIRECTION_RENDER)
        *stream = new (NonPagedPool, UAC2_POOL_TAG)
            CUsbAudio2Render(nullptr, interfaceNumber, link, clock);
    else
        *stream = new (NonPagedPool, UAC2_POOL_TAG)
            CUsbAudio2Capture(nullptr, interfaceNumber, link, clock);
    if (*stream == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    (*stream)->AddRef();
    return STATUS_SUCCESS;
}

ULONG Read4(const UCHAR* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | (ULONG)p[3] << 24;
}

// The clock control of the clock source the terminal names.
NTSTATUS ClockControlOf(CUsbAudioDevice* device, CUacUnit* terminal, PULONG clockControlId)
{
    PCLOCKSOURCELINK link = nullptr;
    NTSTATUS status = terminal->QueryInterface(IID_IClockSourceLink, (PVOID*)&link);
    if (!NT_SUCCESS(status))
        return status;
    ULONG clockId = 0;
    status = link->GetClockSourceId(&clockId);
    link->Release();
    CAudioControl* clock = nullptr;
    if (NT_SUCCESS(status))
        status = device->FindUnitByIdInDevice(clockId, &clock);
    return NT_SUCCESS(status) ? static_cast<CUacUnit*>(clock)->UnitGetFirstValue(clockControlId)
                              : status;
}

NTSTATUS OnAsGeneral(CUsbAudioDevice* device, const UCHAR* d, StreamingInterfaceWalk* walk)
{
    if (walk->Stream == nullptr)
    {
        CUacUnit* terminal = nullptr;
        ULONG direction = 0, link = 0, clock = 0;
        NTSTATUS status = FindStreamTerminal(device, d[3], &terminal, &direction, &link);
        if (NT_SUCCESS(status))
            status = ClockControlOf(device, terminal, &clock);
        if (!NT_SUCCESS(status))
            return status;
        CUsbAudioStream* stream = nullptr;
        status = (g_StreamFactory != nullptr ? g_StreamFactory : CreateUac2Stream)(
            direction, walk->Number, link, clock, &stream);
        if (!NT_SUCCESS(status))
            return status;
        status = AttachStream(device, stream, direction, link, walk);
        if (!NT_SUCCESS(status))
            return status;
        walk->ClockControlId = clock;
    }
    walk->FormatType = d[5];
    walk->Formats = Read4(d + 6);
    walk->Channels = d[10];
    walk->ChannelConfig = Read4(d + 11);
    return STATUS_SUCCESS;
}

NTSTATUS OnFormatType(CUsbAudioDevice* device, const UCHAR* d, StreamingInterfaceWalk* walk)
{
    if (walk->Link < 0 || walk->Stream == nullptr ||
        (walk->FormatType != USB_AUDIO_FORMAT_TYPE_I &&
         walk->FormatType != USB_AUDIO_FORMAT_TYPE_III))
        return STATUS_INVALID_PARAMETER;
    WAVEFORMATEXTENSIBLE record = {};
    record.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    record.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    record.Format.nChannels = walk->Channels;
    record.Format.wBitsPerSample = (USHORT)(8 * d[4]);
    record.Samples.wValidBitsPerSample = d[5];
    record.Format.nBlockAlign =
        (USHORT)(record.Format.nChannels * record.Format.wBitsPerSample / 8);
    record.dwChannelMask = walk->ChannelConfig;
    if (!CheckSampleFields(d[4], d[5], walk->Number, walk->AlternateSetting) ||
        (walk->FormatType == USB_AUDIO_FORMAT_TYPE_I &&
         !CheckTypeICoding(Uac2TypeICoding(walk->Formats), d[4], walk->Number,
                           walk->AlternateSetting, "format bitmap", walk->Formats)))
        return STATUS_SUCCESS;
    return CollectStreamFormatsUac2(device, walk->Stream, walk->ClockControlId, walk->FormatType,
                                    walk->Formats, walk->AlternateSetting, record, &walk->Dropped);
}

const StreamingWalkClass c_Uac2Walker = {AudioDescriptorVersion::Uac2, OnAsGeneral, OnFormatType,
                                         BuildPathsUac2};

// The clock's rates, in a paged list the caller frees.
NTSTATUS ReadClockRates(PCLOCKCONTROL clock, PULONG* rates, PULONG count)
{
    NTSTATUS status = clock->GetCount(count);
    if (!NT_SUCCESS(status))
        return status;
    if (*count == 0)
        return STATUS_UNSUCCESSFUL;
    *rates = static_cast<PULONG>(
        ExAllocatePoolWithTag(PagedPool, *count * sizeof(ULONG), UAC2_POOL_TAG));
    if (*rates == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = clock->GetFrequencies(count, *rates);
    if (!NT_SUCCESS(status))
    {
        ExFreePoolWithTag(*rates, UAC2_POOL_TAG);
        *rates = nullptr;
    }
    return status;
}

struct RateFormats
{
    CUsbAudioDevice* Device;
    CUsbAudioStream* Stream;
    PCLOCKCONTROL Clock;
    UCHAR FormatType;
    ULONG Formats;
    UCHAR AlternateSetting;
    const WAVEFORMATEXTENSIBLE* Template;
    PULONG Dropped;
};

NTSTATUS AddRateFormats(const RateFormats& f, ULONG rate)
{
    const TypeICoding coding = Uac2TypeICoding(f.Formats);
    const auto add = [&](USHORT tag)
    {
        return AddFormatRecord(f.Stream, *f.Template, rate, tag, f.AlternateSetting, f.Dropped,
                               TypeICodingSign(coding));
    };
    if (f.FormatType == USB_AUDIO_FORMAT_TYPE_III)
    {
        NTSTATUS status =
            (f.Formats & c_DolbyDigitalBit) != 0 ? add(c_DolbyDigitalTag) : STATUS_SUCCESS;
        if (NT_SUCCESS(status) && (f.Formats & c_WmaProBit) != 0)
            status = add(c_WmaProTag);
        return status;
    }
    if (!TypeICodingCarries(coding, f.Template->Format.wBitsPerSample / 8))
        return STATUS_SUCCESS;
    if (coding != TypeICoding::RawData)
        return add(WAVE_FORMAT_PCM);
    // Raw data carries the chip maker's own subformat, and only at the
    // rates at which the device accepts the setting.
    if (!NT_SUCCESS(f.Clock->SetFrequency(rate)) ||
        !f.Stream->IsAlternateSettingValid(f.AlternateSetting))
        return STATUS_SUCCESS;
    return add(f.Device->GetVendorId());
}
} // namespace

PUAC2_STREAM_FACTORY SetUac2StreamFactory(PUAC2_STREAM_FACTORY factory)
{
    PUAC2_STREAM_FACTORY previous = g_StreamFactory;
    g_StreamFactory = factory;
    return previous;
}

NTSTATUS CollectStreamFormatsUac2(CUsbAudioDevice* device, CUsbAudioStream* stream,
                                  ULONG clockControlId, UCHAR formatType, ULONG formats,
                                  UCHAR alternateSetting,
                                  const WAVEFORMATEXTENSIBLE& formatTemplate, PULONG dropped)
{
    PAGED_CODE();
    CAudioControl* control = nullptr;
    NTSTATUS status = device->FindUnitById(clockControlId, &control);
    PCLOCKCONTROL clock = nullptr;
    if (NT_SUCCESS(status))
        status = control->QueryInterface(IID_IClockControl, (PVOID*)&clock);
    if (!NT_SUCCESS(status))
        return status;
    PULONG rates = nullptr;
    ULONG count = 0;
    status = ReadClockRates(clock, &rates, &count);
    const RateFormats f = {device,  stream,           clock,           formatType,
                           formats, alternateSetting, &formatTemplate, dropped};
    for (ULONG i = 0; NT_SUCCESS(status) && i < count; ++i)
        status = AddRateFormats(f, rates[i]);
    if (rates != nullptr)
        ExFreePoolWithTag(rates, UAC2_POOL_TAG);
    clock->Release();
    return status;
}

NTSTATUS ParseAudioStreamingUac2(CUsbAudioDevice* device,
                                 PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                 PUSB_INTERFACE_DESCRIPTOR firstInterface, ULONG bytesToEnd)
{
    return WalkAudioStreaming(device, configuration, firstInterface, bytesToEnd, c_Uac2Walker);
}
