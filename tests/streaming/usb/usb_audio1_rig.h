// The audio class 1.0 streams built by hand on a simulated device, as the
// AudioStreaming walker builds them (InitStream, the formats, the processing
// buffers), a client that keeps every record and byte it is handed, and a
// chain node that scales samples.
#pragma once

#include <memory>
#include <vector>

#include "streaming/usb/usb_audio1_capture.h"
#include "streaming/usb/usb_audio1_render.h"
#include "tests/streaming/usb/usb_stream_rig.h"

class TestCapture : public CUsbAudio1Capture
{
  public:
    using CUsbAudio1Capture::CUsbAudio1Capture;
    PUCHAR Ring() const { return m_CaptureRing; }
    ULONG RingSize() const { return m_CaptureRingSize; }
    ULONG UrbsInFlight() const { return m_UrbsInFlight; }
    ULONG Stride() const { return m_PacketStride; }
    ULONG Silence() const { return m_SilenceBytes; }
    LONG State() const { return m_StreamState; }
    PTRANSFERCONTEXT TakeContext() { return GetTransferContext(); }
    void GiveContext(PTRANSFERCONTEXT context) { PutTransferContext(context); }
};

struct DataPiece
{
    PUCHAR Buffer;
    ULONG Bytes;
};

// Keeps the capture-data records of each completion, closed by the byte
// count that follows them (and whether it was their sum), and the captured
// words and bytes; takes records of no client too (a prepared stream names
// none). Fills render buffers with a 16-bit counter, unless told not to.
class RecordingClient
{
  public:
    static void Callback(PVOID context, PVOID argument1, PVOID argument2);
    PVOID Key() const { return Record != nullptr ? Record->Registration : nullptr; }

    PSTREAMCLIENT Record = nullptr;
    std::vector<std::vector<DataPiece>> Completions;
    std::vector<DataPiece> Open;
    std::vector<ULONG> ByteCounts;
    bool CountsAreSums = true;
    std::vector<USHORT> Captured;
    std::vector<UCHAR> CapturedBytes;
    USHORT NextRenderSample = 0;
    bool FillsRender = true;
};

// Multiplies every sample of the per-channel buffers.
class GainNode : public CUnknown, public IChainNode
{
  public:
    explicit GainNode(float gain) : CUnknown(nullptr), Gain(gain) {}
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP SetFormat(PWAVEFORMATEX) override { return STATUS_SUCCESS; }
    STDMETHODIMP ResetStages() override { return STATUS_SUCCESS; }
    STDMETHODIMP Process(PWAVEFORMATEX format, PVOID buffer, ULONG frames) override;
    STDMETHODIMP Flush(PWAVEFORMATEX, PVOID, ULONG) override { return STATUS_SUCCESS; }
    float Gain;
};

// A stream of class T on one interface of the device with its formats (each
// on its alternate setting, coded on the wire with `sign`), and optionally a
// gain node in its chain.
template <class T> class Audio1Rig
{
  public:
    Audio1Rig(std::unique_ptr<SimUsbDevice> device, UCHAR interfaceNumber, ULONG direction,
              const std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>>& formats, float gain = 1.0f,
              WireSampleSign sign = WireSampleSign::TwosComplement);
    ~Audio1Rig();
    bool Ok() const { return m_Stream != nullptr; }
    T* Stream() const { return m_Stream; }
    PUSBSTREAMCONTROL Control() const { return m_Stream; }
    UsbAdapterRig& Adapter() { return m_Adapter; }
    SimUsbDevice* Device() { return m_Adapter.Device(); }
    NTSTATUS Register(RecordingClient* client, const WAVEFORMATEX& format, ULONG msPerUrb,
                      ULONG urbCount);
    // Registers, opens, and starts at the frame OpenClient returned plus 2.
    NTSTATUS Start(RecordingClient* client, const WAVEFORMATEX& format, ULONG msPerUrb,
                   ULONG urbCount);
    void Leave(RecordingClient* client);

  private:
    UsbAdapterRig m_Adapter;
    T* m_Stream = nullptr;
};

// The reference descriptors with one endpoint's wMaxPacketSize replaced.
std::unique_ptr<SimUsbDevice> DeviceWithPacketSize(SimReference which, UCHAR endpoint,
                                                   USHORT maxPacket);
