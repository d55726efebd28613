// The render stream of an audio class 1.0 AudioStreaming interface: selects
// the alternate setting of the active format, sets the endpoint's sampling
// frequency, and keeps OUT URBs in flight, each filled by the active client
// (render-data notification), run through the processing chain and paced to
// the format's rate. The timed and repacking render streams derive from it.
#pragma once

#include "streaming/usb/usb_audio_stream.h"

class CUsbAudio1Render : public CUsbAudioStream
{
  public:
    CUsbAudio1Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalLink);

    NTSTATUS SelectInterface(UCHAR alternateSetting, PSTREAMCLIENT client) override;
    NTSTATUS SendStreamUrb() override;
    NTSTATUS OnStreamUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp,
                                 PTRANSFERCONTEXT context) override;
    // Under the stream lock: closed -> prepared for the client's format.
    NTSTATUS PrepareStream(PSTREAMCLIENT client, PULONG frameNumber) override;
};
typedef CUsbAudio1Render* PUSBAUDIO1RENDER;
