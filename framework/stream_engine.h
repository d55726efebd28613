// The part of every stream object that the rest of the driver sees: the
// stream's direction, endpoint kind and wave subdevice name, its supported
// formats, the controls on its path, the nodes of its processing chain with
// their work buffers, and the installation of its wave subdevice. The stream
// classes embed it and fill the processing operations.
#pragma once

#include "framework/audio_control.h"
#include "framework/interfaces.h"
#include "framework/ptr_list.h"
#include "framework/sync_mutex.h"

inline constexpr ULONG STREAM_ENGINE_POOL_TAG = POOL_TAG("Stre");

// Longest wave subdevice name, in characters without the terminator.
inline constexpr ULONG STREAM_ENGINE_NAME_CHARS = 50;
// Characters of the buffer that GetName fills.
inline constexpr ULONG STREAM_ENGINE_NAME_OUT_CHARS = 100;
// The processing chain runs in chunks of this many frames of at most eight channels.
inline constexpr ULONG STREAM_ENGINE_CHUNK_FRAMES = 512;
inline constexpr ULONG STREAM_ENGINE_MAX_CHANNELS = 8;
inline constexpr ULONG STREAM_ENGINE_WORK_BUFFER_BYTES =
    STREAM_ENGINE_CHUNK_FRAMES * STREAM_ENGINE_MAX_CHANNELS * sizeof(float);
inline constexpr ULONG STREAM_ENGINE_CHANNEL_BUFFER_BYTES =
    STREAM_ENGINE_CHUNK_FRAMES * sizeof(float);
// Longest description of one chain node's change, terminator included.
inline constexpr ULONG STREAM_ENGINE_DESCRIPTION_CHARS = 128;
// Interval between checks while the destructor waits for the client lists to drain.
inline constexpr LONGLONG STREAM_ENGINE_DRAIN_WAIT_MS = 50;

// The wave filter's pin that connects to the topology filter.
inline constexpr ULONG WAVE_BRIDGE_PIN = 1;
// What a wave miniport's Init returns when its engine offers no format the
// audio engine can open (no PCM one): that stream is left out, the device
// starts without it. Failures to allocate stay failures of the start.
inline constexpr NTSTATUS WAVE_NO_PCM_FORMAT_STATUS = STATUS_NO_MATCH;
// What the installation of a wave subdevice returns when its filter cannot
// be joined to the topology filter: no terminal of the stream's own to join
// from, or no topology pin for it. That stream is left out too.
inline constexpr NTSTATUS WAVE_NOT_CONNECTABLE_STATUS = STATUS_NOT_FOUND;

class CStreamEngine : public IUnknown, public CUnknown
{
  public:
    CStreamEngine(PUNKNOWN outerUnknown, ULONG constructionValue);
    ~CStreamEngine() override;

    // Slots 1 to 3: the delegating unknown.
    STDMETHODIMP QueryInterface(REFIID interfaceId, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(interfaceId, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }

    // Slots 4 to 27, in this order.
    virtual ULONG GetDirection();
    virtual ULONG GetEndpointKind();
    virtual NTSTATUS SetName(PCWSTR name);
    // name: room for STREAM_ENGINE_NAME_OUT_CHARS characters.
    virtual NTSTATUS GetName(PWSTR name);
    virtual ULONG GetFormatCount();
    virtual NTSTATUS GetFormatAt(ULONG index, PWAVEFORMATEXTENSIBLE record);
    virtual ULONG GetControlCount();
    // The control without a reference.
    virtual NTSTATUS GetControlAt(ULONG index, CAudioControl** control);
    virtual NTSTATUS SetMiniportFactory(PENGINE_MINIPORT_FACTORY factory, REFCLSID classId);
    virtual NTSTATUS SetPortTopology(PUNKNOWN topologyPort, PUNKNOWN topologyMiniport);
    virtual NTSTATUS InstallMiniport(PDEVICE_OBJECT deviceObject, PIRP irp,
                                     PUNKNOWN adapterUnknown);
    virtual NTSTATUS RemoveMiniport(PDEVICE_OBJECT deviceObject);
    // Completes a plain format from the matching record, or checks that an
    // extensible one is supported as it stands.
    virtual NTSTATUS FindFormat(PWAVEFORMATEX format);
    virtual NTSTATUS RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context,
                                      PVOID* registration);
    virtual NTSTATUS UnregisterCallback(PVOID registration);
    virtual NTSTATUS PowerChangeState(ULONG newState);
    // The processing chain over one transfer buffer, in place, at
    // DISPATCH_LEVEL under the engine's spin lock. PCM runs in chunks of
    // STREAM_ENGINE_CHUNK_FRAMES through the per-channel float buffers and
    // the three node lists; other formats run the first list on the caller's
    // interleaved buffer. Only the nodes that change samples now run, and a
    // chunk none of them changes is left exactly as it is; where a node
    // runs, each PCM sample's bits below its valid bits are cleared before
    // it becomes a float. Returns the last node's status, 0 when none ran.
    virtual NTSTATUS ProcessBuffer(PVOID buffer, LONG bytes);
    // As ProcessBuffer with one node list only (first, second, third).
    virtual NTSTATUS ProcessBufferStage1(PVOID buffer, LONG bytes);
    // The first list's Process over the per-channel buffers (mode
    // WAVE_FORMAT_PCM) or over `buffer` (any other mode, the format tag).
    virtual NTSTATUS RunStage1(PVOID buffer, ULONG frames, ULONG mode);
    virtual NTSTATUS ProcessBufferStage2(PVOID buffer, LONG bytes);
    // The second list's Process over the per-channel buffers.
    virtual NTSTATUS RunStage2(ULONG frames);
    virtual NTSTATUS ProcessBufferStage3(PVOID buffer, LONG bytes);
    // The third list's Flush over the per-channel buffers.
    virtual NTSTATUS RunStage3(ULONG frames);
    // Initialisation, once, by the stream after construction.
    virtual NTSTATUS OpenStreamEngineCallback(ULONG direction);

    NTSTATUS NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object) override;

    // What the processing chain changes in the current format now: the
    // description of every node of the three lists that changes samples,
    // joined by "; " ("mute on control 5; the channel swap of eight-channel
    // PCM"), a node without the activity interface as "a node a client
    // handed in"; empty when no node changes any. Takes the engine's spin
    // lock, so `text` must be non-paged. STATUS_BUFFER_OVERFLOW when `size`
    // bytes cut it short (still terminated), STATUS_INVALID_PARAMETER
    // without room.
    NTSTATUS DescribeProcessing(PSTR text, ULONG size);

    // Set-up by the descriptor walkers.
    NTSTATUS AddFormatRecord(const WAVEFORMATEXTENSIBLE* record);
    NTSTATUS AddPathControl(CAudioControl* control);
    NTSTATUS AddProcessingNode(PCHAINNODE node);
    NTSTATUS AllocateStreamBuffers();

    // The id of the control of the terminal that the stream's AudioStreaming
    // interface links to: the end of the stream the topology filter joins.
    // STATUS_NOT_FOUND for an engine that names none.
    virtual NTSTATUS GetStreamTerminal(PULONG controlId)
    {
        UNREFERENCED_PARAMETER(controlId);
        return STATUS_NOT_FOUND;
    }

    // True while a terminal of the stream reports a connected jack (or has
    // no jack records).
    BOOLEAN IsJackConnected();
    BOOLEAN IsMiniportInstalled() const { return m_WavePort != nullptr; }
    // The device is going: from now on InstallMiniport registers nothing
    // (the topology filter it would join may already be torn down), while
    // RemoveMiniport still takes the subdevice away.
    void CloseInstallation() { m_InstallationClosed = TRUE; }
    ULONG GetConstructionValue() const { return m_ConstructionValue; }
    ULONG GetTopologyPin() const { return m_TopologyPin; }

    // What the stream's terminals (of its direction, other than the USB
    // streaming terminal) say of its jacks, weakest first: Unread when a
    // terminal's records could not be read and none reads as connected.
    enum class JackState
    {
        NoTerminal,
        Unplugged,
        Unread,
        Connected
    };
    JackState ReadJackState();

    friend NTSTATUS InstallEngineSubdevice(CStreamEngine* engine, PDEVICE_OBJECT deviceObject,
                                           PIRP irp, REFCLSID portClassId, REFCLSID miniportClassId,
                                           PENGINE_MINIPORT_FACTORY factory,
                                           PUNKNOWN adapterUnknown, PUNKNOWN* wavePort);

  protected:
    // Says why the stream installs no wave subdevice; the stream classes,
    // which know their interface, name it.
    virtual void ReportNotInstalled(PCSTR why) { UNREFERENCED_PARAMETER(why); }

    // Node lists a processing pass runs, as bits.
    enum : ULONG
    {
        STAGE_LIST_1 = 1,
        STAGE_LIST_2 = 2,
        STAGE_LIST_3 = 4,
        STAGE_LISTS_ALL = 7
    };
    NTSTATUS ProcessStages(PVOID buffer, LONG bytes, ULONG stages);
    NTSTATUS ProcessChunks(PUCHAR buffer, ULONG frames, USHORT tag, ULONG stages);
    NTSTATUS ProcessPcmChunk(PUCHAR buffer, ULONG frames, ULONG stages);
    // Runs the nodes of a list that change samples now, in order.
    NTSTATUS WalkNodes(CPtrList* list, BOOLEAN flush, PVOID buffer, ULONG frames);
    // What the node's activity interface says of the current format; a node
    // without it changes samples.
    BOOLEAN NodeChangesSamples(PCHAINNODE node);
    BOOLEAN AnyNodeChanges(ULONG stages);
    // Calls `visit` (PCHAINNODE) -> bool on the nodes of the lists in
    // `stages`, in order, until it returns false.
    template <typename Visit> void VisitNodes(ULONG stages, Visit visit);
    CPtrList* StageList(ULONG stage) const;
    // The lists among `stages` that a buffer of format tag `tag` runs.
    ULONG ListsFor(USHORT tag, ULONG stages) const;
    NTSTATUS AppendDescription(PCHAINNODE node, PSTR text, ULONG size);
    // Bits of each sample below its valid bits (an extensible format's
    // wValidBitsPerSample short of its container); 0 for none.
    USHORT PaddingBits() const;
    // True when the current PCM format fits the work buffers and converters.
    BOOLEAN CanConvertPcm() const;
    void ConvertPcmToFloat(const UCHAR* source, ULONG frames);
    void ConvertFloatToPcm(PUCHAR destination, ULONG frames);
    USHORT CurrentFormatTag() const;

    CPtrList* CurrentFormatList();
    void FreeFormatList(CPtrList* list);
    void ReleaseNodeList(CPtrList* list);
    void FreeResources();

    ULONG m_ConstructionValue;
    ULONG m_Direction;
    PWSTR m_Name;
    PUNKNOWN m_WavePort;
    GUID m_PortClassId;
    PENGINE_MINIPORT_FACTORY m_MiniportFactory;
    PUNKNOWN m_TopologyPort;
    PMINIPORTIDENTITY m_TopologyLink; // no reference: the topology port keeps the miniport
    ULONG m_TopologyPin;
    // Why the last installation could not join the filter to the topology
    // filter; null when nothing said it could not.
    PCSTR m_NotConnectable = nullptr;
    volatile BOOLEAN m_InstallationClosed = FALSE;
    JackState m_LastJackAnswer = JackState::Connected; // the last read that said something
    CPtrList* m_ProcessingList;
    CPtrList* m_ControlList;
    CPtrList* m_FormatList;
    // Registered, opened and started clients of the stream.
    CPtrList* m_ClientLists[3];
    CPtrList* m_StageList2;
    CPtrList* m_StageList3;
    CPtrList* m_TwoChannelFormatList;
    float* m_WorkBuffer;
    float** m_ChannelBuffers;
    CSyncMutex m_Lock;
    KSPIN_LOCK m_SpinLock;
    PCALLBACK_OBJECT m_CallbackObject;
    WAVEFORMATEXTENSIBLE m_CurrentWaveFormat;
};
typedef CStreamEngine* PSTREAMENGINE;

// Creates the engine's wave port and miniport, binds them, maps the stream's
// terminal to the topology pin and registers the subdevice under the
// miniport's name. On success *wavePort holds a referenced IUnknown of the port.
NTSTATUS InstallEngineSubdevice(CStreamEngine* engine, PDEVICE_OBJECT deviceObject, PIRP irp,
                                REFCLSID portClassId, REFCLSID miniportClassId,
                                PENGINE_MINIPORT_FACTORY factory, PUNKNOWN adapterUnknown,
                                PUNKNOWN* wavePort);
