// The audio class 1.0 render and capture streams built by hand on a simulated
// device, as the AudioStreaming walker builds them (InitStream, the formats,
// the processing buffers), with a client that keeps every notification and
// every byte the stream hands over, and a chain node that scales samples.
#pragma once

#include <memory>
#include <vector>

#include "streaming/usb_audio1_capture.h"
#include "streaming/usb_audio1_render.h"
#include "tests/streaming/usb_stream_rig.h"

// What a test looks at inside the streams.
class TestCapture : public CUsbAudio1Capture
{
  public:
    TestCapture(ULONG interfaceNumber) : CUsbAudio1Capture(nullptr, interfaceNumber, 0x66) {}
    PUCHAR Ring() const { return m_CaptureRing; }
    ULONG RingSize() const { return m_CaptureRingSize; }
    ULONG BaseSamples() const { return m_BaseSamplesPerPacket; }
    ULONG UrbsInFlight() const { return m_UrbsInFlight; }
    ULONG Stride() const { return m_PacketStride; }
    ULONG Silence() const { return m_SilenceBytes; }
    LONG State() const { return m_StreamState; }
    LONG Outstanding() const { return m_OutstandingUrbs; }
    PTRANSFERCONTEXT TakeContext() { return GetTransferContext(); }
    void GiveContext(PTRANSFERCONTEXT context) { PutTransferContext(context); }
};

class TestRender : public CUsbAudio1Render
{
  public:
    TestRender(ULONG interfaceNumber) : CUsbAudio1Render(nullptr, interfaceNumber, 0x55) {}
    ULONG RingSize() const { return m_CaptureRingSize; }
    LONG State() const { return m_StreamState; }
    ULONG BaseSamples() const { return m_BaseSamplesPerPacket; }
};

struct DataPiece
{
    PUCHAR Buffer;
    ULONG Bytes;
};

// Keeps the records addressed to it (or to no client) in order, the captured bytes, and
// fills render buffers from a 16-bit counter of its own.
class RecordingClient
{
  public:
    explicit RecordingClient(ULONG kind = STREAM_CLIENT_KIND_WAVE_CYCLIC) : Kind(kind) {}
    static void Callback(PVOID context, PVOID argument1, PVOID argument2);
    PVOID Key() const { return Record != nullptr ? Record->Registration : nullptr; }

    ULONG Kind;
    PSTREAMCLIENT Record = nullptr;
    std::vector<ULONG> Types;      // every record's type, in order
    std::vector<DataPiece> Pieces; // capture-data records
    std::vector<ULONG> ByteCounts; // type 1 records
    std::vector<UCHAR> Captured;   // the bytes of every capture-data record
    USHORT NextRenderSample = 0;
};

// A chain node that multiplies every sample of the per-channel buffers.
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
    ULONG Calls = 0;
};

// One stream of class T on interface `interfaceNumber` of the device, with
// the given formats (each on its alternate setting), opened and ready.
template <class T> class Audio1Rig
{
  public:
    Audio1Rig(std::unique_ptr<SimUsbDevice> device, UCHAR interfaceNumber, ULONG direction,
              const std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>>& formats);
    ~Audio1Rig();
    bool Ok() const { return m_Stream != nullptr; }
    T* Stream() const { return m_Stream; }
    PUSBSTREAMCONTROL Control() const { return m_Stream; }
    UsbAdapterRig& Adapter() { return m_Adapter; }
    SimUsbDevice* Device() { return m_Adapter.Device(); }
    NTSTATUS Register(RecordingClient* client, const WAVEFORMATEX& format, ULONG msPerUrb,
                      ULONG urbCount);
    // Open, then start at the frame OpenClient returned plus 2.
    NTSTATUS OpenAndStart(RecordingClient* client);
    void Leave(RecordingClient* client);

  private:
    UsbAdapterRig m_Adapter;
    T* m_Stream = nullptr;
};

// The reference descriptors with the capture endpoint's wMaxPacketSize replaced.
std::unique_ptr<SimUsbDevice> DeviceWithCapturePacket(SimReference which, UCHAR endpoint,
                                                      USHORT maxPacket);
