// The owner's shared rings: one block per ASIO engine, mapped into the
// owner's process and registered as the kind-5 client of the engine's USB
// stream, whose notifications move data between the ring and the URBs and
// count the buffer switches. User mode reads and writes the block freely, so
// the header is only a mirror: every field the kernel acts on is kept here.
#pragma once

#include "asio/asio_tables.h"
#include "streaming/usb/usb_stream_control.h"

class CAsioHost;
class CStreamEngine;

inline constexpr ULONG ASIO_RING_HEADER_BYTES = 40;
// Milliseconds of audio a ring holds.
inline constexpr ULONG ASIO_RING_MS = 40;
// Frames between the last OpenClient's frame and the start.
inline constexpr ULONG ASIO_START_LEAD_FRAMES = 5;

// The shared block's header, as user mode sees it.
struct AsioRingHeader
{
    ULONG Active;
    ULONG IsInput;
    ULONG Channels;
    ULONG FirstChannel;
    ULONG DataBytes;
    ULONG DriverPosition;
    ULONG StartPosition;
    ULONG PrerollBytes;
    ULONG Signal;
    ULONG SwitchCount;
};
static_assert(sizeof(AsioRingHeader) == ASIO_RING_HEADER_BYTES, "the shared header's size");

// Where a ring stood before a start, to stand there again if it fails.
struct AsioRingMarks
{
    ULONG Position;
    ULONG Played;
    ULONG SwitchCount;
    ULONG StartPosition;
    ULONG PrerollBytes;
};

// One ring: the block and its mapping, the stream client, and the kernel's
// own copy of every header field.
struct AsioRingEntry
{
    PUCHAR Block;
    PVOID UserAddress;
    PMDL Mdl;
    PSTREAMCLIENT Registration;
    PUSBSTREAMCONTROL Control; // referenced while registered
    PEPROCESS Process;         // the mapping's process, referenced
    ULONG Engine;
    ULONG Active;
    ULONG IsInput;
    ULONG Channels;
    ULONG FirstChannel;
    ULONG DataBytes;
    ULONG Position; // where the next URB's data is taken or put
    // Render: where the first byte the device has not received lies. URBs
    // take their data as they are built; only a URB the device took moves
    // it, to that URB's end, behind what the URBs still out took.
    ULONG Played;
    ULONG InFlight;      // render: bytes taken by URBs not back yet
    ULONG StartPosition; // where the last start took its first URB's data
    ULONG PrerollBytes;  // what that start's URBs took before the first came back
    ULONG Prerolling;    // 1 from a start until its first URB comes back
    ULONG Signal;
    ULONG SwitchCount;
    AsioRingMarks Kept; // before the start under way
};

// The request a mapping carries: n {is-input, channel} pairs.
struct AsioMapRequest
{
    ULONG Unused;
    ULONG PairCount;
    ULONG BufferFrames;
};
inline constexpr ULONG ASIO_MAP_PAIR_BYTES = 8;

// What the rings need of the settings when they are built and reset.
struct AsioRingSettings
{
    ULONG Mode;
    ULONG Rate;
    ULONG SampleType;
};

class CAsioRings
{
  public:
    explicit CAsioRings(CAsioHost* adapter);
    ~CAsioRings();

    // One entry per stream engine of the device, made at device configuration.
    NTSTATUS Allocate(ULONG engines);
    void Free();
    ULONG GetCount() const { return m_Count; }
    const AsioRingEntry* GetEntry(ULONG index) const
    {
        return index < m_Count ? &m_Entries[index] : nullptr;
    }
    const AsioRingEntry* GetEntries() const { return m_Entries; }
    bool IsMapped() const { return m_Mapped; }
    ULONG GetBufferFrames() const { return m_BufferFrames; }
    ULONG GetBytesPerSample() const { return m_BytesPerSample; }
    // The settings the rings were mapped with.
    const AsioRingSettings& GetSettings() const { return m_Settings; }

    // Builds, maps and registers the rings; the user address of each ASIO
    // ring goes into addresses (room for `slots`). Leaves nothing behind on
    // failure. inputLength bounds every read of the request.
    NTSTATUS Map(const AsioRingSettings& settings, const UCHAR* input, ULONG inputLength,
                 ULONGLONG* addresses, ULONG slots, ULONG* written);
    // Unregisters, unmaps and frees; the ring entries are cleared under the
    // ring lock first, so a notification never touches a freed block.
    void Unmap();
    // Every mapping belongs to the calling process (user mappings can only
    // be undone there).
    bool InOwningProcess() const;
    // Some ring is mapped into the process.
    bool IsMappedIn(HANDLE processId) const;

    NTSTATUS Register(const AsioRingSettings& settings);
    NTSTATUS Unregister();
    // Positions and counts back to the rings' first frames, for a start the
    // owner asks for.
    void Reset(const AsioRingSettings& settings, PKEVENT bufferSwitchEvent);
    // For a start that goes on with the stream the power-down stopped: each
    // render ring from the first frame the device did not receive, capture
    // rings where they stood, the switch counts as they were.
    void Resume();
    // Notes where every ring stands, and puts them back there: a start that
    // fails undoes its reset with them.
    void KeepMarks();
    void RestoreMarks();
    // Sets or clears the event the buffer switches set (under the ring lock).
    void SetBufferSwitchEvent(PKEVENT event);
    PKEVENT GetBufferSwitchEvent() const { return m_BufferSwitchEvent; }
    // Fills the data of every active ring (zeros at stop).
    void Silence();
    // From the owner's stop or a power-down until the next start no ring is
    // read or written, all at once: the streams then stop one after the
    // other, each waiting for its URBs, and those still running would send
    // the device the ring again past the owner's last write.
    void Halt();

    // *opened: the clients were opened (and stay so until Stop).
    NTSTATUS Start(const AsioRingSettings& settings, bool* opened);
    NTSTATUS Stop();

    // An ASIO engine's channels in the mode and its direction; false for
    // other engines.
    bool DescribeEngine(ULONG index, ULONG mode, ULONG* channels, ULONG* isInput);
    // Every ASIO engine has a PCM format of the type, or a format of the mode.
    bool EnginesOfferType(ULONG type);
    bool EnginesOfferMode(ULONG mode);

    // The stream's notification, at DISPATCH_LEVEL.
    static void OnAsioStreamNotify(PVOID context, PVOID argument1, PVOID argument2);

    // The engine's stream format for a ring; the adapter's bytes per sample
    // follow it.
    NTSTATUS AsioSelectStreamFormat(ULONG index, const AsioRingSettings& settings,
                                    WAVEFORMATEXTENSIBLE* format);

  private:
    bool IsAsioEngine(ULONG index);
    CStreamEngine* Engine(ULONG index);
    NTSTATUS BuildRing(AsioRingEntry* entry, const AsioRingSettings& settings);
    void FreeRing(AsioRingEntry* entry);
    void UnmapInOwner(AsioRingEntry* entry);
    PUSBSTREAMCONTROL QueryControl(ULONG engine);
    void CloseClients(bool activeOnly);
    void SendVendorRequest(USHORT value);
    AsioRingEntry* FindEntry(PSTREAMCLIENT client);
    void CopyRing(AsioRingEntry* entry, PUCHAR urb, ULONG bytes, bool toUrb);
    void UrbReturned(AsioRingEntry* entry, const StreamNotification& note, bool started);
    // The start's marks: its first place, pre-roll counted from nothing.
    static void BeginStart(AsioRingEntry* entry, AsioRingHeader* header, ULONG position);
    // Runs `action` (entry, header) on every ring with a block, under the ring lock.
    template <typename Action> void ForEachRing(Action action);

    CAsioHost* m_Adapter;
    AsioRingEntry* m_Entries = nullptr;
    ULONG m_Count = 0;
    KSPIN_LOCK m_Lock;
    PKEVENT m_BufferSwitchEvent = nullptr;
    ULONG m_BufferFrames = 0;
    ULONG m_BytesPerSample = 2;
    AsioRingSettings m_Settings = {};
    bool m_Mapped = false;
    bool m_Halted = false; // under the ring lock
};
