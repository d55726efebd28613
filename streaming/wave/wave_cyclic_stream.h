// The stream of a wave filter's streaming pin. It owns the cyclic buffer the
// port shares with the audio engine (the DMA channel is emulated: the buffer
// is plain non-paged memory) and, while in RUN, is a client (kind 3) of its
// USB stream: render data go from the cyclic buffer into the USB stream's
// transfer buffers unchanged; capture data come from them through a
// sample-rate converter into the cyclic buffer. The position follows the
// bytes the USB stream reports, interpolated with the performance counter;
// every report asks the port's service group for service.
#pragma once

#include "platform/portcls/stdunk.h"
#include "streaming/conversion/dsp_interleave_src.h"
#include "streaming/usb/usb_stream_control.h"
#include "streaming/wave/wave_rate_step.h"

class CWaveCyclicMiniport;

inline constexpr ULONG WAVE_CYCLIC_BUFFER_TAG = POOL_TAG("CCST");
// The cyclic buffer holds 50 ms: a twentieth of a second's bytes.
inline constexpr ULONG WAVE_BUFFER_DIVISOR = 20;
inline constexpr ULONG WAVE_MAX_BUFFER_BYTES = 307200;
inline constexpr ULONG WAVE_NOTIFICATION_MS = 10;
// What the stream asks of its USB stream: 3 URBs of 5 ms, starting two
// frames after the frame that opening reported.
inline constexpr ULONG WAVE_MS_PER_URB = 5;
inline constexpr ULONG WAVE_URB_COUNT = 3;
inline constexpr ULONG WAVE_START_LEAD_FRAMES = 2;
// Transfers whose bytes are remembered for the position's interpolation.
inline constexpr ULONG WAVE_TRANSFER_RING = 10;
// Time stamps count 10-microsecond units.
inline constexpr ULONGLONG WAVE_TICKS_PER_SECOND = 100000;

// Holds a spin lock for a scope, raising to DISPATCH_LEVEL.
class WaveLockHolder
{
  public:
    explicit WaveLockHolder(PKSPIN_LOCK lock) : m_Lock(lock) { KeAcquireSpinLock(m_Lock, &m_Irql); }
    ~WaveLockHolder() { KeReleaseSpinLock(m_Lock, m_Irql); }
    WaveLockHolder(const WaveLockHolder&) = delete;
    WaveLockHolder& operator=(const WaveLockHolder&) = delete;

  private:
    PKSPIN_LOCK m_Lock;
    KIRQL m_Irql;
};

// How captured data reach the cyclic buffer.
enum class WaveCaptureRoute : UCHAR
{
    Convert, // through the converter
    Copy,    // the device's format is the host's: copied as they are
    Silence, // the converter refused other formats: the buffer stays silent
};

class CWaveCyclicStream : public IMiniportWaveCyclicStream,
                          public IDmaChannel,
                          public IDrmAudioStream,
                          public CUnknown
{
  public:
    explicit CWaveCyclicStream(PUNKNOWN outerUnknown);
    ~CWaveCyclicStream() override;
    DECLARE_STD_UNKNOWN()

    NTSTATUS Init(CWaveCyclicMiniport* miniport, ULONG pin, BOOLEAN capture,
                  PKSDATAFORMAT dataFormat, CStreamEngine* engine, PSERVICEGROUP* serviceGroup);

    // IMiniportWaveCyclicStream
    STDMETHODIMP SetFormat(PKSDATAFORMAT dataFormat) override;
    STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG interval, PULONG framingSize) override;
    STDMETHODIMP SetState(KSSTATE state) override;
    STDMETHODIMP GetPosition(PULONG position) override;
    STDMETHODIMP NormalizePhysicalPosition(PLONGLONG physicalPosition) override;
    STDMETHODIMP_(void) Silence(PVOID buffer, ULONG byteCount) override;

    // IDmaChannel
    STDMETHODIMP AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS constraint) override;
    STDMETHODIMP_(void) FreeBuffer() override;
    STDMETHODIMP_(ULONG) TransferCount() override;
    STDMETHODIMP_(ULONG) MaximumBufferSize() override;
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override;
    STDMETHODIMP_(ULONG) BufferSize() override;
    STDMETHODIMP_(void) SetBufferSize(ULONG bufferSize) override;
    STDMETHODIMP_(PVOID) SystemAddress() override;
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override;
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override;
    STDMETHODIMP_(void) CopyTo(PVOID destination, PVOID source, ULONG byteCount) override;
    STDMETHODIMP_(void) CopyFrom(PVOID destination, PVOID source, ULONG byteCount) override;

    // IDrmAudioStream
    STDMETHODIMP SetContentId(ULONG contentId, PCDRMRIGHTS drmRights) override;

    // The callback registered with the USB stream; context is the stream.
    static void OnStreamNotify(PVOID context, PVOID argument1, PVOID argument2);

    // ---- read by tests
    WaveCaptureRoute CaptureRoute() const { return m_CaptureRoute; }
    ULONG CopyOffset() const { return m_CopyOffset; }
    const WAVEFORMATEXTENSIBLE& DeviceFormat() const { return m_DeviceFormat; }
    const WAVEFORMATEXTENSIBLE& HostFormat() const { return m_HostFormat; }
    // Capture: frames the device sent that never reached the buffer.
    ULONGLONG DroppedFrames() const { return m_DroppedFrames; }

  private:
    void HandleNotification(const StreamNotification* record);
    // Each with the spin lock held.
    void OnStart(const StreamNotification* record);
    void UpdateTiming(ULONG msPerUrb, ULONG urbCount, const WAVEFORMATEXTENSIBLE& client);
    void CopyToUrbBuffer(PUCHAR buffer, ULONG bytes, const WAVEFORMATEXTENSIBLE& client,
                         bool copyData);
    void CopyFromUrbBuffer(const UCHAR* data, ULONG bytes);
    void DropCapture(ULONG bytes);
    void AdvancePosition(ULONG bytes, const WAVEFORMATEXTENSIBLE& client);
    void RecordTransfer(ULONG hostBytes);
    void TakeTransfer();
    void ResetPositions();
    ULONG RenderPosition(ULONG played, ULONG size) const;
    void ConfigureCapture();
    ULONG RenderPreRoll(ULONG msPerUrb, ULONG urbCount) const;
    bool RatesDiffer(const WAVEFORMATEXTENSIBLE& client) const;
    // The buffer size in force: positions and offsets wrap at it.
    ULONG CyclicSize() const;
    bool InBuffer(const void* at, ULONG bytes, ULONG limit) const;

    NTSTATUS EnterRun(PUSBSTREAMCONTROL control);
    NTSTATUS LeaveRun(PUSBSTREAMCONTROL control);
    void ForgetClient();
    void HoldPosition();
    static ULONGLONG Now();

    CWaveCyclicMiniport* m_Miniport; // not referenced
    CStreamEngine* m_Engine;         // referenced
    ULONG m_Pin;
    KSSTATE m_State;
    ULONG m_NotificationInterval;
    ULONG m_MsPerUrb;
    ULONG m_UrbCount;
    PVOID m_ClientKey;
    PSTREAMCLIENT m_Client;
    PSERVICEGROUP m_ServiceGroup;
    WAVEFORMATEXTENSIBLE m_HostFormat;
    PUCHAR m_Buffer;
    ULONG m_AllocatedSize;
    ULONG m_Position;
    ULONG m_BufferSize;
    ULONG m_LastPosition;
    ULONG m_CopyOffset;
    // Render bytes still to go out as silence before the copy offset reaches
    // the data of position 0.
    ULONG m_PreRollSilence;
    // Render, counted since the positions were last reset: the bytes of the
    // buffer handed to the transfers, and those of the transfers that came
    // back (the position, from its origin).
    ULONGLONG m_SentBytes;
    ULONGLONG m_PlayedBytes;
    // The buffer offset a start put the position at, and the one the next
    // start puts it at: where a paused pin held.
    ULONG m_Origin;
    ULONG m_StartAt;
    ULONG m_PendingBytes;
    ULONGLONG m_TimeStamp;
    KSPIN_LOCK m_Lock;
    BOOLEAN m_Capture;
    BOOLEAN m_RegisteredWithMiniport;
    ULONG m_Ring[WAVE_TRANSFER_RING];
    ULONG m_RingRead;
    ULONG m_RingWrite;
    ULONG m_RingHeld; // transfers recorded and not yet back
    // The rate steps of the bytes sent (the transfer ring, which the render
    // position follows) and of the bytes reported (the capture position):
    // each path carries its own fractions.
    WaveRateStep m_TransferRate;
    WaveRateStep m_PositionRate;
    CDspInterleaveSrc* m_Converter;
    WaveCaptureRoute m_CaptureRoute;
    WAVEFORMATEXTENSIBLE m_DeviceFormat;
    ULONGLONG m_DroppedFrames;
};
