// The stream's AudioStreaming interface: selecting one of its alternate
// settings, the copy of the interface information with the pipe of the
// setting's data endpoint, the adapter's count of active stream interfaces,
// and the audio class 1.0 sampling-frequency request to the data endpoint.
#include "framework/adapter_interfaces.h"
#include "platform/usb/usbdlib.h"
#include "streaming/usb/audio_data_endpoint.h"
#include "streaming/usb/usb_audio_stream.h"

namespace
{
constexpr USHORT c_SamplingFrequencyControl = USB_AUDIO10_EP_SAMPLING_FREQ_CONTROL << 8;
constexpr ULONG c_SamplingFrequencyBytes = 3;
constexpr size_t c_WhyBytes = 96;

// Names a selection that failed, so that no pin fails with a status alone:
// the interface, the setting, what failed and the status.
NTSTATUS NameUnselected(UCHAR interfaceNumber, UCHAR alternateSetting, PCSTR why, NTSTATUS status)
{
    DbgPrint("UsbAudio: AudioStreaming interface %u alternate setting %u not selected: %s: "
             "0x%08X\n",
             interfaceNumber, alternateSetting, why, (unsigned)status);
    return status;
}

// Submits a select-interface request with room for `pipes` pipes. On success
// *urb holds the answered request, which the caller frees.
NTSTATUS SubmitSelectInterface(PUSBDEVICEIO io, UCHAR interfaceNumber, UCHAR alternateSetting,
                               ULONG pipes, PURB* urb)
{
    const ULONG bytes = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
    auto request =
        static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, bytes, USB_STREAM_URB_POOL_TAG));
    if (request == nullptr)
        return NameUnselected(interfaceNumber, alternateSetting,
                              "no memory for the select-interface request",
                              STATUS_INSUFFICIENT_RESOURCES);
    RtlZeroMemory(request, bytes);
    UsbBuildSelectInterfaceRequest(request, (USHORT)bytes, io->GetConfigurationHandle(),
                                   interfaceNumber, alternateSetting);
    NTSTATUS status = io->SubmitUrbSync(request);
    if (!NT_SUCCESS(status))
    {
        ExFreePoolWithTag(request, USB_STREAM_URB_POOL_TAG);
        char why[c_WhyBytes];
        RtlStringCbPrintfA(why, sizeof(why), "the bus refused to open its %u pipe(s)", pipes);
        return NameUnselected(interfaceNumber, alternateSetting, why, status);
    }
    *urb = request;
    return STATUS_SUCCESS;
}

// The interface information of an answered request, if the answer fits the
// request it came in and holds the pipes it counts; else null.
PUSBD_INTERFACE_INFORMATION AnsweredInterface(PURB urb, ULONG pipes)
{
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectInterface.Interface;
    const ULONG room = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes) -
                       (ULONG)offsetof(struct _URB_SELECT_INTERFACE, Interface);
    const ULONG header = (ULONG)offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    if (info->Length < header || info->Length > room || info->NumberOfPipes > pipes ||
        header + info->NumberOfPipes * sizeof(USBD_PIPE_INFORMATION) > info->Length)
        return nullptr;
    return info;
}
} // namespace

NTSTATUS CUsbAudioStream::SelectDataInterface(UCHAR alternateSetting)
{
    PAGED_CODE();
    if (m_InterfaceInfo != nullptr)
        ExFreePoolWithTag(m_InterfaceInfo, USB_STREAM_URB_POOL_TAG);
    m_InterfaceInfo = nullptr;
    m_DataPipeIndex = 0;
    PUSBDEVICEIO io = QueryUsbIo();
    NTSTATUS status = io != nullptr
                          ? SubmitDataInterface(io, alternateSetting)
                          : NameUnselected((UCHAR)m_ConstructionValue, alternateSetting,
                                           "the stream reaches no USB device", STATUS_UNSUCCESSFUL);
    if (io != nullptr)
        io->Release();
    // A stream whose selection failed no longer uses the interface.
    CountInterfaceActive(NT_SUCCESS(status) ? alternateSetting : 0);
    return status;
}

NTSTATUS CUsbAudioStream::SubmitDataInterface(PUSBDEVICEIO io, UCHAR alternateSetting)
{
    PUSB_CONFIGURATION_DESCRIPTOR config = io->GetConfigurationDescriptor();
    const UCHAR number = (UCHAR)m_ConstructionValue;
    PUSB_INTERFACE_DESCRIPTOR intf =
        config == nullptr
            ? nullptr
            : USBD_ParseConfigurationDescriptorEx(config, config, number, alternateSetting,
                                                  USB_DEVICE_CLASS_AUDIO,
                                                  USB_AUDIO_SUBCLASS_AUDIOSTREAMING, -1);
    if (intf == nullptr)
        return NameUnselected(number, alternateSetting,
                              "the configuration describes no such AudioStreaming setting",
                              STATUS_INVALID_PARAMETER);
    const ULONG pipes = intf->bNumEndpoints;
    const USB_ENDPOINT_DESCRIPTOR* data =
        FindAudioDataEndpoint(reinterpret_cast<const UCHAR*>(intf),
                              reinterpret_cast<const UCHAR*>(config) + config->wTotalLength);
    PURB urb = nullptr;
    NTSTATUS status = SubmitSelectInterface(io, number, alternateSetting, pipes, &urb);
    if (!NT_SUCCESS(status))
        return status;
    status = KeepInterfaceInformation(AnsweredInterface(urb, pipes), alternateSetting,
                                      data != nullptr ? data->bEndpointAddress : 0);
    ExFreePoolWithTag(urb, USB_STREAM_URB_POOL_TAG);
    if (!NT_SUCCESS(status))
    {
        // A setting the stream cannot use, or no room to keep it: the
        // interface goes back to its zero-bandwidth setting.
        PURB zero = nullptr;
        if (NT_SUCCESS(SubmitSelectInterface(io, number, 0, 0, &zero)))
            ExFreePoolWithTag(zero, USB_STREAM_URB_POOL_TAG);
    }
    return status;
}

NTSTATUS CUsbAudioStream::KeepInterfaceInformation(PUSBD_INTERFACE_INFORMATION answer,
                                                   UCHAR alternateSetting, UCHAR dataEndpoint)
{
    const UCHAR number = (UCHAR)m_ConstructionValue;
    if (answer == nullptr)
        return NameUnselected(number, alternateSetting, "the bus's answer does not fit the request",
                              STATUS_UNSUCCESSFUL);
    // An endpoint that runs against the stream carries none of its audio.
    const bool wantIn = m_Direction != STREAM_DIRECTION_RENDER;
    bool found = false;
    for (ULONG i = 0; i < answer->NumberOfPipes && !found; ++i)
    {
        const UCHAR address = answer->Pipes[i].EndpointAddress;
        if (address == dataEndpoint && USB_ENDPOINT_DIRECTION_IN(address) == wantIn)
        {
            m_DataPipeIndex = i;
            found = true;
        }
    }
    if (!found && alternateSetting != 0)
    {
        char why[c_WhyBytes];
        if (dataEndpoint == 0)
            RtlStringCbPrintfA(why, sizeof(why), "it has no data endpoint");
        else
            RtlStringCbPrintfA(why, sizeof(why),
                               "no %s pipe of the %u the bus opened is its data endpoint 0x%02X",
                               wantIn ? "IN" : "OUT", answer->NumberOfPipes, dataEndpoint);
        return NameUnselected(number, alternateSetting, why, STATUS_DEVICE_CONFIGURATION_ERROR);
    }
    m_InterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, answer->Length, USB_STREAM_URB_POOL_TAG));
    if (m_InterfaceInfo == nullptr)
        return NameUnselected(number, alternateSetting,
                              "no memory to keep its interface information",
                              STATUS_INSUFFICIENT_RESOURCES);
    RtlCopyMemory(m_InterfaceInfo, answer, answer->Length);
    return STATUS_SUCCESS;
}

void CUsbAudioStream::CountInterfaceActive(UCHAR alternateSetting)
{
    const BOOLEAN active = alternateSetting != 0;
    if (active == m_InterfaceCounted)
        return;
    PUSBDEVICEIO io = QueryUsbIo();
    if (io == nullptr)
        return;
    if (active)
        io->IncrementActiveStreamCount();
    else
        io->DecrementActiveStreamCount();
    io->Release();
    m_InterfaceCounted = active;
}

NTSTATUS CUsbAudioStream::SetEndpointSamplingFrequency(ULONG rate)
{
    PAGED_CODE();
    if (m_InterfaceInfo == nullptr || m_DataPipeIndex >= m_InterfaceInfo->NumberOfPipes)
        return STATUS_INVALID_DEVICE_STATE;
    PUSBDEVICEIO io = QueryUsbIo();
    if (io == nullptr)
        return STATUS_UNSUCCESSFUL;
    UCHAR data[c_SamplingFrequencyBytes] = {(UCHAR)rate, (UCHAR)(rate >> 8), (UCHAR)(rate >> 16)};
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urb = {};
    UsbBuildVendorRequest(reinterpret_cast<PURB>(&urb), URB_FUNCTION_CLASS_ENDPOINT,
                          (USHORT)sizeof(urb), USBD_TRANSFER_DIRECTION_OUT, 0, USB_AUDIO10_SET_CUR,
                          c_SamplingFrequencyControl,
                          m_InterfaceInfo->Pipes[m_DataPipeIndex].EndpointAddress, data, nullptr,
                          c_SamplingFrequencyBytes, nullptr);
    NTSTATUS status = io->SubmitUrbSync(reinterpret_cast<PURB>(&urb));
    io->Release();
    return status;
}

NTSTATUS CUsbAudioStream::SelectAudio1Interface(UCHAR alternateSetting, PSTREAMCLIENT client)
{
    PAGED_CODE();
    NTSTATUS status = SelectDataInterface(alternateSetting);
    if (NT_SUCCESS(status) && alternateSetting != 0 && client != nullptr)
        SetEndpointSamplingFrequency(client->Format.Format.nSamplesPerSec);
    return status;
}
