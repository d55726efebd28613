// The render stream of the chip model whose device plays two channels while
// its clients write more: every frame of a processed URB keeps channels 0
// and 1, packed to the front of the buffer, and the URB's lengths shrink by
// k = nChannels / 2. The client is told the bytes of its own format.
#pragma once

#include "streaming/usb/usb_audio1_render.h"

// Repacks `frames` frames of `blockAlign` bytes in place to their first two
// samples; frame 0 stays where it is, every later one moves forward.
typedef void (*PREPACK_FRAMES)(PUCHAR buffer, ULONG frames, ULONG blockAlign);

class CRV4410Render : public CUsbAudio1Render
{
  public:
    CRV4410Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalLink)
        : CUsbAudio1Render(outerUnknown, interfaceNumber, terminalLink)
    {
    }

    NTSTATUS OnStreamUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp,
                                 PTRANSFERCONTEXT context) override;
    // Refuses, with STATUS_INVALID_PARAMETER and nothing prepared, a client
    // format of an odd channel count or fewer than two channels (there is
    // no whole number of device frames per client frame) or of samples
    // other than 2, 3 or 4 bytes; then the class 1.0 preparation.
    NTSTATUS PrepareStream(PSTREAMCLIENT client, PULONG frameNumber) override;

  protected:
    // The device's two channels of the client's samples.
    ULONG WireFrameBytes(const WAVEFORMATEX& format) const override;
    void AdaptRenderUrb(PTRANSFERCONTEXT context) override;
    ULONG ClientBytesOf(PTRANSFERCONTEXT context) const override;

  private:
    // k of the prepared format (1: the data goes out as it is) and its repack.
    ULONG m_Fold = 1;
    ULONG m_BlockAlign = 0;
    PREPACK_FRAMES m_Repack = nullptr;
};

// The repack of a sample size in bytes (2, 3 or 4), or null.
PREPACK_FRAMES RepackFramesFor(ULONG sampleBytes);
