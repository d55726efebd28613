// A USB stream on a simulated device: the adapter common object over the
// emulated bus, a test-only stream class that selects its interface and runs
// the render transfer loop with a processing step that only counts, and
// doubles of the stream's clients (the wave-cyclic stream, kind 3, and the
// ASIO interface, kind 5) that record every notification and fill render
// buffers with their own byte.
#pragma once

#include <memory>
#include <vector>

#include "streaming/usb/usb_audio_stream.h"
#include "tests/driver/adapter_rig.h"

inline constexpr ULONG kStreamTestTag = POOL_TAG("TStr");

class TestUsbStream : public CUsbAudioStream
{
  public:
    TestUsbStream(ULONG interfaceNumber) : CUsbAudioStream(nullptr, interfaceNumber, 0x77) {}

    NTSTATUS ProcessBuffer(PVOID, LONG bytes) override
    {
        ++Processed;
        ProcessedBytes += (ULONGLONG)bytes;
        return STATUS_SUCCESS;
    }
    NTSTATUS ProcessBufferStage1(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage1(PVOID, ULONG, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBufferStage2(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage2(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBufferStage3(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage3(ULONG) override { return STATUS_SUCCESS; }

    NTSTATUS SelectInterface(UCHAR alternateSetting, PSTREAMCLIENT client) override;
    NTSTATUS PrepareStream(PSTREAMCLIENT client, PULONG frameNumber) override;
    NTSTATUS SendStreamUrb() override;
    NTSTATUS OnStreamUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp,
                                 PTRANSFERCONTEXT context) override;

    // ---- what the tests look at
    ULONG State() const { return (ULONG)m_StreamState; }
    LONG ErrorState() const { return m_ErrorState; }
    void SetErrorState(LONG state) { m_ErrorState = state; }
    LONG Outstanding() const { return m_OutstandingUrbs; }
    LONG Sent() const { return m_SentUrbs; }
    ULONG PacketsPerUrbFrame() const { return m_PacketsPerFrame; }
    ULONG UrbsInFlight() const { return m_UrbsInFlight; }
    ULONG BaseSamples() const { return m_BaseSamplesPerPacket; }
    ULONG StartFrame() const { return m_StartFrame; }
    BOOLEAN DeviceGone() const { return m_DeviceGone; }
    USBD_PIPE_HANDLE DataPipe() const { return DataPipeHandle(); }
    void SetDeviceGone() { m_DeviceGone = TRUE; }
    PSTREAMCLIENT Active() const { return m_ActiveClient; }
    PSTREAMCLIENT Prepared() const { return m_PreparedClient; }
    const WAVEFORMATEXTENSIBLE& CurrentFormat() const { return m_CurrentWaveFormat; }
    RenderPacing& Pacing() { return m_Pacing; }
    PKTHREAD Worker() const { return m_WorkerThread; }
    CPtrList* StageList(int i) const { return i == 2 ? m_StageList2 : m_StageList3; }
    ULONG BufferBytes() const { return RenderBufferBytes(); }
    PTRANSFERCONTEXT TakeContext() { return GetTransferContext(); }
    void GiveContext(PTRANSFERCONTEXT context) { PutTransferContext(context); }
    NTSTATUS SendOne() { return SendStreamUrb(); }
    // The wave and ASIO doubles are in the transfer context's busy list.
    ULONG BusyCount() const;

    ULONG Processed = 0;
    ULONGLONG ProcessedBytes = 0;
    bool BaseCompletion = false;              // complete through the base form
    std::vector<UCHAR> Selected;              // alternate settings selected, in order
    NTSTATUS PrepareFailure = STATUS_SUCCESS; // fails the next preparations
    ULONG PrepareFailCount = 0;
    ULONG LastPrepareFrame = 0;
};

struct SeenNotification
{
    PSTREAMCLIENT Client;
    ULONG Type;
    ULONG First;  // bytes, or milliseconds per URB with the format flag
    ULONG Second; // URB count for type 2; for type 1, nonzero when the URB was dropped
};

class ClientDouble
{
  public:
    ClientDouble(ULONG kind, UCHAR fill) : Kind(kind), Fill(fill) {}
    static void Callback(PVOID context, PVOID argument1, PVOID argument2);
    PVOID Key() const { return Record != nullptr ? Record->Registration : nullptr; }
    // Type 2 records addressed to this client.
    std::vector<SeenNotification> Starts() const;
    // The bytes of type 1 records, or of those of dropped URBs only.
    ULONGLONG BytesSeen(bool droppedOnly = false) const;

    ULONG Kind;
    UCHAR Fill;
    PSTREAMCLIENT Record = nullptr;
    std::vector<SeenNotification> Seen;
};

// Plain PCM formats the tests register.
WAVEFORMATEX PcmFormat(USHORT channels, ULONG rate, USHORT bits);
// The 40-byte record of a PCM format as the walkers add it.
WAVEFORMATEXTENSIBLE PcmRecord(USHORT channels, ULONG rate, USHORT bits);

class StreamRig
{
  public:
    // The speaker-and-microphone reference device unless one is given; the
    // stream serves its playback interface with the device's three formats.
    explicit StreamRig(std::unique_ptr<SimUsbDevice> device = nullptr, bool addFormats = true);
    ~StreamRig();
    bool Ok() const { return m_Stream != nullptr; }
    TestUsbStream* Stream() const { return m_Stream; }
    PUSBSTREAMCONTROL Control() const { return m_Stream; }
    UsbAdapterRig& Adapter() { return m_Adapter; }
    EmuUsbBus* Bus() { return m_Adapter.Bus(); }
    SimUsbDevice* Device() { return m_Adapter.Device(); }

    NTSTATUS Register(ClientDouble* client, const WAVEFORMATEX& format, ULONG msPerUrb,
                      ULONG urbCount);
    // Open, then start at the frame OpenClient returned plus 2.
    NTSTATUS OpenAndStart(ClientDouble* client);
    // Stop, close and unregister, as the clients leave.
    void Leave(ClientDouble* client);

  private:
    UsbAdapterRig m_Adapter;
    TestUsbStream* m_Stream = nullptr;
};

// The reference device's descriptors with the playback endpoint's bInterval
// replaced, as a high-speed device.
std::unique_ptr<SimUsbDevice> HighSpeedDevice(UCHAR playInterval);
