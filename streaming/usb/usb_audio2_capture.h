// The capture stream of an audio class 2.0 AudioStreaming interface: the
// class 1.0 capture stream with the rate set on the device's clock instead
// of the endpoint, and the interface asked which alternate settings it may
// use at that rate.
#pragma once

#include "streaming/usb/usb_audio1_capture.h"

class CUsbAudio2Capture : public CUsbAudio1Capture
{
  public:
    CUsbAudio2Capture(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalLink,
                      ULONG clockControlId);

    NTSTATUS SelectInterface(UCHAR alternateSetting, PSTREAMCLIENT client) override;
    NTSTATUS PrepareStream(PSTREAMCLIENT client, PULONG frameNumber) override;
    BOOLEAN IsAlternateSettingValid(UCHAR alternateSetting) override;

    ULONG GetClockControlId() const { return m_ClockControlId; }

  private:
    ULONG m_ClockControlId;
};
typedef CUsbAudio2Capture* PUSBAUDIO2CAPTURE;
