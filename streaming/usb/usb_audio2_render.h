// The render stream of an audio class 2.0 AudioStreaming interface: the
// class 1.0 render stream with the rate set on the device's clock, and,
// where the setting has an isochronous feedback endpoint, a feedback URB
// sent beside every data URB whose values set the rate the packets follow.
// Its recovery resets the pipes and restarts the transfers in place; only
// when that leaves nothing in flight does it fall back to selecting the
// interface again.
#pragma once

#include "streaming/usb/usb_audio1_render.h"

class CUsbAudio2Render : public CUsbAudio1Render
{
  public:
    CUsbAudio2Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalLink,
                     ULONG clockControlId);
    // Stops and unprepares with this class's operations, so that the
    // feedback contexts go back and the interface is deselected.
    ~CUsbAudio2Render() override;

    NTSTATUS SelectInterface(UCHAR alternateSetting, PSTREAMCLIENT client) override;
    void FreeTransferContexts() override;
    NTSTATUS AbortPipe() override;
    NTSTATUS RecoverFromError() override;
    NTSTATUS SendStreamUrb() override;
    NTSTATUS OnStreamUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp,
                                 PTRANSFERCONTEXT context) override;
    NTSTATUS PrepareStream(PSTREAMCLIENT client, PULONG frameNumber) override;
    BOOLEAN IsAlternateSettingValid(UCHAR alternateSetting) override;

    NTSTATUS SendFeedbackUrb();
    NTSTATUS OnFeedbackUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PTRANSFERCONTEXT context);
    // The values of a completed feedback URB into the pacing rate.
    void ApplyFeedback(PTRANSFERCONTEXT context);

    ULONG GetClockControlId() const { return m_ClockControlId; }
    ULONG GetPacingRate() const { return m_FeedbackPacing.Rate; }
    BOOLEAN HasFeedbackPipe() const { return m_HasFeedbackPipe; }

  private:
    static NTSTATUS FeedbackCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
    NTSTATUS BuildFeedbackContexts();
    PTRANSFERCONTEXT GetFeedbackContext();
    void PutFeedbackContext(PTRANSFERCONTEXT context);
    // A synchronous pipe request (abort, or reset and clear stall).
    NTSTATUS PipeRequest(PUSBDEVICEIO io, USHORT function, USBD_PIPE_HANDLE pipe);
    // Whether the IN pipe beside the data pipe can carry feedback values;
    // a line says why not.
    bool CarriesFeedback(UCHAR alternateSetting, const USBD_PIPE_INFORMATION& pipe);
    UCHAR EndpointAttributes(UCHAR alternateSetting, const USBD_PIPE_INFORMATION& pipe);
    USBD_PIPE_HANDLE FeedbackPipeHandle() const;
    ULONG FeedbackPacketBytes() const;

    ULONG m_ClockControlId;
    RenderPacing m_FeedbackPacing = {};
    ULONG m_FeedbackPipeIndex = 0;
    // Packets the feedback endpoint answers a millisecond, and the packets
    // the feedback contexts' URBs and buffers were sized for.
    ULONG m_FeedbackPacketsPerFrame = 1;
    ULONG m_FeedbackUrbPackets = 0;
    TransferContextLists m_FeedbackLists = {};
    BOOLEAN m_HasFeedbackPipe = FALSE;
    BOOLEAN m_HighSpeed = FALSE;
    KSPIN_LOCK m_FeedbackLock;
    PTRANSFERCONTEXT volatile m_FeedbackBusy[USB_STREAM_MAX_URBS] = {};
    PTRANSFERCONTEXT m_FeedbackFree[USB_STREAM_MAX_URBS] = {};
};
typedef CUsbAudio2Render* PUSBAUDIO2RENDER;

// URBs a recovery sends before the completions keep the stream going.
inline constexpr ULONG UAC2_RECOVERY_URBS = 3;
