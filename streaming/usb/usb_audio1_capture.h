// The capture stream of an audio class 1.0 AudioStreaming interface: selects
// the alternate setting of the active format, sets the endpoint's sampling
// frequency, keeps IN URBs in flight and moves what they bring into the
// capture ring, from which whole frames go through the processing chain to
// the active client (capture-data notifications, then the byte count). An
// empty packet becomes silence so the capture timeline keeps its length,
// unless the rate gives less than one frame a packet: then empty packets
// are the device's own pacing and carry nothing.
#pragma once

#include "streaming/usb/usb_audio_stream.h"

class CUsbAudio1Capture : public CUsbAudioStream
{
  public:
    CUsbAudio1Capture(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalLink);

    NTSTATUS SelectInterface(UCHAR alternateSetting, PSTREAMCLIENT client) override;
    NTSTATUS SendStreamUrb() override;
    NTSTATUS OnStreamUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp,
                                 PTRANSFERCONTEXT context) override;
    // Under the stream lock: closed -> prepared for the client's format. A
    // client with less than 10 ms in flight gets more URBs, in its record too.
    NTSTATUS PrepareStream(PSTREAMCLIENT client, PULONG frameNumber) override;
    // The completed URB's packets into the ring, then every whole frame out
    // (at DISPATCH_LEVEL, under the capture-ring lock).
    virtual void ProcessCapturedData(PTRANSFERCONTEXT context);

  protected:
    // The capture path's own steps, for the capture streams that share it.
    NTSTATUS SendCaptureUrb();
    NTSTATUS CompleteCaptureUrb(PIRP irp, PTRANSFERCONTEXT context);
    // Sizes the transfers for `packetBytes` per packet (the endpoint's
    // largest) and builds the prepared stream.
    NTSTATUS PrepareCapture(PSTREAMCLIENT client, UCHAR alternateSetting, ULONG packetBytes,
                            PULONG frameNumber);
    // Copies into the ring at the write index, wrapping at its end; never
    // more than the ring has room for.
    void AppendToRing(const UCHAR* data, ULONG bytes);
    // Processes and hands over every whole frame the ring holds.
    void DeliverWholeFrames();
    void DeliverPiece(PUCHAR data, ULONG bytes);

    KSPIN_LOCK m_CaptureLock;
    ULONG m_BlockAlign;   // of the prepared format
    ULONG m_PacketStride; // each packet's share of the data buffer
    // Written for an empty packet, within its share; none below one frame a
    // packet.
    ULONG m_SilenceBytes;
};
typedef CUsbAudio1Capture* PUSBAUDIO1CAPTURE;
