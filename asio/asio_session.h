// The ASIO session of one adapter: a client record per opened file object,
// the settings all clients share (kept in "Settings" and announced on every
// client's settings-changed event), the answers an ASIO driver asks for, the
// owner of the shared rings, and the start and stop of its streaming. The
// adapter runs every operation under its ASIO mutex.
#pragma once

#include "asio/asio_process_watch.h"
#include "asio/asio_rings.h"

// One ASIO client (non-paged, tag "USBd", zero-filled).
struct AsioClientRecord
{
    LIST_ENTRY Links;
    PFILE_OBJECT FileObject;
    PKEVENT SettingsEvent;     // referenced, or null
    PKEVENT BufferSwitchEvent; // referenced, or null
    ULONG SampleType;
    ULONG LatencyIndex;
    ULONG SampleRate;
    ULONG Mode;   // 0 PCM, 1 DSD
    ULONG Mapped; // 1 while the client's rings are mapped
};

inline constexpr ULONG ASIO_DEFAULT_SAMPLE_TYPE = 16;
inline constexpr ULONG ASIO_SAMPLE_TYPE_24_PACKED = 17;
inline constexpr ULONG ASIO_SAMPLE_TYPE_24_IN_32 = 27;
inline constexpr ULONG ASIO_DEFAULT_LATENCY_INDEX = 4; // 10 ms
inline constexpr ULONG ASIO_DEFAULT_SAMPLE_RATE = 48000;
inline constexpr ULONG ASIO_CHANNEL_COUNTS_BYTES = 16;
inline constexpr ULONG ASIO_CHANNEL_INFO_BYTES = 52;
inline constexpr ULONG ASIO_CHANNEL_NAME_BYTES = 32;
inline constexpr ULONG ASIO_LATENCY_TABLE_BYTES = 44;

class CAsioSession
{
  public:
    explicit CAsioSession(CAsioHost* adapter);
    ~CAsioSession();

    // Device configuration: the ring entries and the stored settings.
    NTSTATUS Configure(ULONG engines);
    void SetSampleTypeDefault(ULONG type) { m_SampleType = type; }

    // Closes every client left, while the device's streams still exist.
    void CloseAllClients();

    NTSTATUS OpenClient(PFILE_OBJECT fileObject);
    NTSTATUS CloseClient(PFILE_OBJECT fileObject);
    NTSTATUS GetDeviceName(PFILE_OBJECT fileObject, PVOID buffer, PULONG outputLength);
    NTSTATUS GetChannelCounts(PFILE_OBJECT fileObject, PVOID buffer, ULONG outputLength);
    NTSTATUS GetChannelInfo(PFILE_OBJECT fileObject, PVOID buffer, ULONG outputLength);
    NTSTATUS SetSettingsEvent(PFILE_OBJECT fileObject, PHANDLE userEvent);
    NTSTATUS ReleaseSettingsEvent(PFILE_OBJECT fileObject);
    NTSTATUS GetOwnerState(PFILE_OBJECT fileObject, PVOID buffer);
    NTSTATUS GetSampleTypes(PFILE_OBJECT fileObject, PVOID buffer, PULONG outputLength);
    NTSTATUS GetLatencyTable(PFILE_OBJECT fileObject, PVOID buffer, PULONG outputLength);
    NTSTATUS SetSampleType(PFILE_OBJECT fileObject, ULONG sampleType);
    NTSTATUS SetLatency(PFILE_OBJECT fileObject, ULONG latencyIndex);
    NTSTATUS GetLatencies(PFILE_OBJECT fileObject, PVOID buffer);
    NTSTATUS GetSampleRate(PFILE_OBJECT fileObject, PVOID buffer);
    NTSTATUS CanSampleRate(PFILE_OBJECT fileObject, PVOID buffer);
    NTSTATUS SetSampleRate(PFILE_OBJECT fileObject, PVOID buffer);
    NTSTATUS GetBufferSize(PFILE_OBJECT fileObject, PVOID buffer);
    NTSTATUS MapSharedBuffer(PFILE_OBJECT fileObject, PVOID input, ULONG inputLength,
                             PVOID outputArray, PULONG outputLength);
    NTSTATUS UnmapSharedBuffer(PFILE_OBJECT fileObject);
    NTSTATUS StartStreaming(PFILE_OBJECT fileObject, PHANDLE bufferSwitchEvent);
    // While the device is not started the request is held (STATUS_PENDING).
    NTSTATUS StopStreaming(PFILE_OBJECT fileObject, PIRP request);
    NTSTATUS CheckMode(PFILE_OBJECT fileObject, PVOID buffer);
    NTSTATUS SetMode(PFILE_OBJECT fileObject, PVOID buffer);
    NTSTATUS GetMode(PFILE_OBJECT fileObject, PVOID buffer);

    // Streaming of the owner's rings, shared with the power changes.
    NTSTATUS Start();
    NTSTATUS Stop();
    void ResetRings(PKEVENT bufferSwitchEvent);
    // Leaving D0: streaming stops and is marked for the return to D0.
    void PowerDown();
    // Back in D0: streaming marked by the power-down goes on where it
    // stopped; a restart that fails sets the owner's settings event.
    void PowerUp();
    // On the process-exit watch while the adapter is whole.
    void JoinProcessWatch() { AsioProcessWatchJoin(&m_Watch, m_Adapter); }
    void LeaveProcessWatch() { AsioProcessWatchLeave(&m_Watch); }
    // A process ends: rings mapped into it go, their streams first, and the
    // owner with them (its file may live on in another process).
    void OnProcessExit(HANDLE processId);
    // The failed restart's status, once, when the request is the owner's;
    // success otherwise.
    NTSTATUS TakeRestartStatus(PFILE_OBJECT fileObject);

    ULONG GetSampleType() const { return m_SampleType; }
    ULONG GetLatencyIndex() const { return m_LatencyIndex; }
    ULONG GetSampleRate() const { return m_SampleRate; }
    AsioClientRecord* GetOwner() const { return m_Owner; }
    void SetOwner(AsioClientRecord* owner) { m_Owner = owner; }
    bool IsRunning() const { return m_Running; }
    void SetRunning(bool running) { m_Running = running; }
    bool IsPowerDownMarked() const { return m_PowerDownMark; }
    void SetPowerDownMark(bool mark) { m_PowerDownMark = mark; }
    CAsioRings& Rings() { return m_Rings; }
    const CAsioRings& Rings() const { return m_Rings; }

  private:
    AsioClientRecord* FindClient(PFILE_OBJECT fileObject);
    void SignalClients();
    void WriteSetting(PVOID value, PCWSTR name);
    NTSTATUS StoreSetting(PFILE_OBJECT fileObject, bool valid, ULONG AsioClientRecord::*clientField,
                          ULONG* adapterField, ULONG value, PCWSTR name);
    AsioRingSettings RingSettings() const;
    // Every ASIO engine has a format of the mode at the rate.
    bool EnginesPlay(ULONG mode, ULONG rate);
    ULONG AsioEngineCount();
    NTSTATUS ReadProductName(PSTR name, ULONG room, ULONG* length);
    void ReleaseEvent(PKEVENT* event);
    // Starts the owner's rings from their first frames, or, to resume, from
    // where the power-down stopped them; a start that ran hands the rings
    // the event.
    NTSTATUS StartRings(PKEVENT bufferSwitchEvent, bool resume);
    // Stops the owner's streaming, and unmaps and frees its rings.
    void ReleaseRings(AsioClientRecord* record);
    // The owner's stop, and a power-down's: every ring is left where it
    // stands, all at once, before the streams stop one after the other.
    void StopOwnerStreams();

    CAsioHost* m_Adapter;
    CAsioRings m_Rings;
    LIST_ENTRY m_Clients;
    ULONG m_SampleType = ASIO_DEFAULT_SAMPLE_TYPE;
    ULONG m_LatencyIndex = ASIO_DEFAULT_LATENCY_INDEX;
    ULONG m_SampleRate = ASIO_DEFAULT_SAMPLE_RATE;
    AsioClientRecord* m_Owner = nullptr;
    bool m_Running = false;
    bool m_PowerDownMark = false;
    NTSTATUS m_RestartStatus = STATUS_SUCCESS;
    AsioProcessWatchLink m_Watch = {};
};
