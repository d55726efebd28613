#include "streaming/usb/usb_audio2_capture.h"

#include "streaming/usb/uac2_stream_requests.h"

CUsbAudio2Capture::CUsbAudio2Capture(PUNKNOWN outerUnknown, ULONG interfaceNumber,
                                     ULONG terminalLink, ULONG clockControlId)
    : CUsbAudio1Capture(outerUnknown, interfaceNumber, terminalLink),
      m_ClockControlId(clockControlId)
{
    m_CaptureRingTag = USB_STREAM_UAC2_RING_TAG;
}

NTSTATUS CUsbAudio2Capture::SelectInterface(UCHAR alternateSetting, PSTREAMCLIENT)
{
    return SelectDataInterface(alternateSetting);
}

NTSTATUS CUsbAudio2Capture::PrepareStream(PSTREAMCLIENT client, PULONG frameNumber)
{
    PAGED_CODE();
    NTSTATUS status = PrepareStreamClock(this, m_ClockControlId, client, frameNumber);
    return NT_SUCCESS(status) ? CUsbAudio1Capture::PrepareStream(client, frameNumber) : status;
}

BOOLEAN CUsbAudio2Capture::IsAlternateSettingValid(UCHAR alternateSetting)
{
    return QueryStreamAlternateSettingValid(this, alternateSetting);
}
