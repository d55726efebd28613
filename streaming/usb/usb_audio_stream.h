// The base of every isochronous stream of one AudioStreaming interface: the
// stream's states (closed, prepared, running), its clients and the choice of
// the active one, the notifications to them, the worker thread that
// resubmits and recovers, the formats with the alternate setting that carries
// each, and the transfer loop the stream classes share (transfer contexts,
// render URBs with their pacing, the completion protocol, recovery). The
// stream classes supply interface selection, preparation and their own forms
// of sending and completing; the base is never used alone.
#pragma once

#include "framework/adapter_interfaces.h"
#include "framework/sync_mutex.h"
#include "framework/stream_engine.h"
#include "platform/usb/usbdi.h"
#include "streaming/usb/iso_pacing.h"
#include "streaming/usb/usb_stream_control.h"

inline constexpr ULONG USB_STREAM_URB_POOL_TAG = POOL_TAG("URB ");
inline constexpr ULONG USB_STREAM_UAC1_RING_TAG = POOL_TAG("US10");
inline constexpr ULONG USB_STREAM_UAC2_RING_TAG = POOL_TAG("US20");

// Stream states.
inline constexpr LONG USB_STREAM_CLOSED = 0;
inline constexpr LONG USB_STREAM_PREPARED = 1;
inline constexpr LONG USB_STREAM_RUNNING = 2;

// Transfer error states: a completion claims the resubmission (1) for an
// instant; a failed transfer (2) holds every resubmission until recovery.
inline constexpr LONG USB_STREAM_NO_ERROR = 0;
inline constexpr LONG USB_STREAM_RESUBMIT = 1;
inline constexpr LONG USB_STREAM_RECOVERING = 2;

// Bytes of an isochronous URB as the stream allocates and sends it.
inline constexpr ULONG UsbStreamUrbBytes(ULONG packets)
{
    return 152 + 12 * packets;
}
// Packets one URB can carry: its length is a 16-bit field.
inline constexpr ULONG USB_STREAM_MAX_URB_PACKETS = (0xFFFF - UsbStreamUrbBytes(0)) / 12;
// Packets the USB stack takes in one isochronous URB of a high-speed endpoint.
inline constexpr ULONG USB_STREAM_MAX_HIGH_SPEED_URB_PACKETS = 1024;
// Milliseconds per URB of a stream before its first preparation.
inline constexpr ULONG USB_STREAM_DEFAULT_MS_PER_URB = 10;
// Packets per 1 ms frame of a high-speed endpoint polled every microframe.
inline constexpr ULONG USB_STREAM_MICROFRAMES = 8;
// Delay before the interface is deselected during recovery.
inline constexpr LONGLONG USB_STREAM_RECOVERY_DELAY_MS = 100;
// Frames between "now" and the first URB of a (re)started stream.
inline constexpr ULONG USB_STREAM_START_LEAD_FRAMES = 2;
inline constexpr ULONG USB_STREAM_SWITCH_LEAD_FRAMES = 5;

class CUsbAudioStream;

// One URB in flight: its IRP, URB and data buffer, reused after every completion.
struct TransferContext
{
    PIRP Irp;
    PURB Urb;
    CUsbAudioStream* Stream;
    ULONG Bytes; // the transfer length as built
    PUCHAR Buffer;
    ULONG Index; // the fixed slot, 0 to USB_STREAM_MAX_URBS - 1
};
typedef TransferContext* PTRANSFERCONTEXT;

// The lookaside lists one set of transfer contexts takes its pieces from:
// URBs of one packet count, data buffers of one size, and the contexts.
struct TransferContextLists
{
    NPAGED_LOOKASIDE_LIST Urbs;
    NPAGED_LOOKASIDE_LIST Contexts;
    NPAGED_LOOKASIDE_LIST Buffers;
    BOOLEAN Ready;
};

// How a device codes its samples on the wire. Its PCM is two's complement
// at every size; its PCM8 is unsigned, as the audio engine's 8-bit PCM is.
enum class WireSampleSign : UCHAR
{
    TwosComplement = 0,
    Unsigned = 1
};

// A format of the stream and the alternate setting that carries it (paged).
#pragma pack(push, 1)
struct AltSettingFormat
{
    LIST_ENTRY Links;
    UCHAR AlternateSetting;
    WAVEFORMATEXTENSIBLE Format;
    WireSampleSign Sign;
};
#pragma pack(pop)

class CUsbAudioStream : public IUsbStreamControl, public IDrmAudioStream, public CStreamEngine
{
  public:
    CUsbAudioStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalLink);
    ~CUsbAudioStream() override;

    STDMETHODIMP QueryInterface(REFIID interfaceId, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(interfaceId, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }
    NTSTATUS NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object) override;

    // IUsbStreamControl
    STDMETHODIMP RegisterClient(ULONG kind, PWAVEFORMATEX format, ULONG msPerUrb, ULONG urbCount,
                                PCALLBACK_FUNCTION callback, PVOID callbackContext,
                                PSTREAMCLIENT* client) override;
    STDMETHODIMP UnregisterClient(PVOID key) override;
    STDMETHODIMP StartClient(PVOID key, ULONG startFrame, PULONG msPerUrb,
                             PCHAINNODE node) override;
    STDMETHODIMP StopClient(PVOID key, PCHAINNODE node) override;
    STDMETHODIMP OpenClient(PVOID key, PULONG msPerUrb, PULONG startFrame) override;
    STDMETHODIMP CloseClient(PVOID key) override;

    // The stream operations, in this order after the client operations.
    // In the base SelectInterface and SendStreamUrb do nothing and
    // PrepareStream fails: the stream classes provide them.
    virtual NTSTATUS SelectInterface(UCHAR alternateSetting, PSTREAMCLIENT client);
    virtual void FreeTransferContexts();
    virtual NTSTATUS AbortPipe();
    virtual NTSTATUS RecoverFromError();
    virtual NTSTATUS DeselectInterface();
    virtual NTSTATUS StartTransfers();
    virtual NTSTATUS SendStreamUrb();
    // Returns STATUS_MORE_PROCESSING_REQUIRED: the IRP stays the stream's.
    virtual NTSTATUS OnStreamUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp,
                                         PTRANSFERCONTEXT context);
    virtual void StreamWorker();
    virtual NTSTATUS PrepareStream(PSTREAMCLIENT client, PULONG frameNumber);
    virtual NTSTATUS UnprepareStream();
    virtual NTSTATUS StartStream(ULONG startFrame, ULONG explicitStart);
    virtual NTSTATUS StopStream();
    virtual BOOLEAN IsAlternateSettingValid(UCHAR alternateSetting);

    // IDrmAudioStream
    STDMETHODIMP SetContentId(ULONG contentId, PCDRMRIGHTS drmRights) override;

    // Set-up by the AudioStreaming walkers.
    NTSTATUS InitStream(ULONG direction, PUNKNOWN owner);
    NTSTATUS AddStreamFormat(const WAVEFORMATEXTENSIBLE* format, UCHAR alternateSetting,
                             WireSampleSign sign = WireSampleSign::TwosComplement);
    NTSTATUS FindAlternateSetting(const WAVEFORMATEX* format, PUCHAR alternateSetting);
    // Packets per 1 ms frame of the setting's data endpoint; 0 for a
    // high-speed endpoint whose interval the stream cannot pace (0 or above 4).
    ULONG PacketsPerFrame(UCHAR alternateSetting);
    // Whether a packet of the format at its nominal rate fits the setting's
    // data endpoint: *needed and *carried are the bytes of that packet and
    // of the endpoint's. An interval the stream cannot pace is not judged
    // here (its preparation refuses it): true, with *needed 0.
    bool CarriesNominalPacket(UCHAR alternateSetting, const WAVEFORMATEX& format, PULONG needed,
                              PULONG carried);
    ULONG QueryCurrentFrameNumber();
    NTSTATUS FindObjectById(ULONG id, CAudioControl** object);
    // The stream's record of a format: the first that matches it; null when none.
    const AltSettingFormat* FindFormatRecord(const WAVEFORMATEX* format) const;

    ULONG GetTerminalLink() const { return m_TerminalLink; }
    NTSTATUS GetStreamTerminal(PULONG controlId) override;
    // The device object InitStream was given: the IAdapterCommon of a CAudioHal.
    PUNKNOWN GetOwner() const { return m_Owner; }
    LONG GetStreamState() const { return m_StreamState; }
    // The USB I/O interface of the stream's device, referenced; null without one.
    PUSBDEVICEIO QueryUsbIo();

  protected:
    void ReportNotInstalled(PCSTR why) override;

    // Ends the worker, then stops and unprepares the stream for clients that
    // never left. A class whose transfers or interface differ from the base
    // calls it from its own destructor, while its operations are still its
    // own; the base destructor calls it again, when nothing is left to do.
    void ShutDownStream();

    // ---- transfer loop helpers for the stream classes
    // Takes the prepared client's milliseconds per URB and URB count, finds
    // its alternate setting and packets per frame and resets the pacing.
    NTSTATUS LoadClientSettings(PSTREAMCLIENT client, PUCHAR alternateSetting);
    // The data buffer of a render URB: room for the largest packets the
    // pacing may build.
    ULONG RenderBufferBytes() const;
    // Initialises the data contexts' lookaside lists and builds the ten contexts.
    NTSTATUS BuildTransferContexts(ULONG bufferBytes);
    // Returns the contexts and deletes the lookaside lists.
    void ReleaseTransferLoop();
    // Lists for URBs of `packets` packets and buffers of `bufferBytes`;
    // STATUS_INVALID_PARAMETER for an empty size or lists already made.
    static NTSTATUS InitContextLists(TransferContextLists* lists, ULONG packets, ULONG bufferBytes);
    static void DeleteContextLists(TransferContextLists* lists);
    NTSTATUS AllocTransferContext(TransferContextLists* lists, PTRANSFERCONTEXT* context);
    // Ten context slots under one lock: a free context is taken into its
    // busy slot (among the first `limit`), and given back to its free slot.
    static PTRANSFERCONTEXT TakeContextSlot(PKSPIN_LOCK lock, PTRANSFERCONTEXT volatile* busy,
                                            PTRANSFERCONTEXT* free, ULONG limit);
    static void ReturnContextSlot(PKSPIN_LOCK lock, PTRANSFERCONTEXT volatile* busy,
                                  PTRANSFERCONTEXT* free, PTRANSFERCONTEXT context);
    // A new context from `lists` in every free slot, numbered by its slot,
    // and every busy slot empty; stops at the first that cannot be had
    // (those made stay).
    NTSTATUS FillContextSlots(TransferContextLists* lists, PTRANSFERCONTEXT volatile* busy,
                              PTRANSFERCONTEXT* free);
    // Frees every context in the free slots back to `lists`.
    void FreeContextSlots(TransferContextLists* lists, PKSPIN_LOCK lock, PTRANSFERCONTEXT* free);
    void FreeTransferContext(TransferContextLists* lists, PTRANSFERCONTEXT context);
    PTRANSFERCONTEXT GetTransferContext();
    void PutTransferContext(PTRANSFERCONTEXT context);
    // Leaves closed for prepared (another preparation owns a stream that is
    // not closed: nothing is undone then), builds the contexts with data
    // buffers of `bufferBytes` and a capture ring of `ringBytes`, and selects
    // the setting for the client. A later failure undoes all of it.
    NTSTATUS BuildPreparedStream(PSTREAMCLIENT client, UCHAR alternateSetting, ULONG bufferBytes,
                                 ULONG ringBytes, PULONG frameNumber);
    // The capture ring for a format and the data buffer of one URB: 40 ms of
    // the format and always more than one URB's data plus one frame (a full
    // ring must not read as empty), in whole frames so that its split falls
    // between frames; 0 when it cannot be represented.
    static ULONG CaptureRingBytes(const WAVEFORMATEX& format, ULONG urbBufferBytes);
    // ---- interface selection
    // Selects the setting of the stream's interface and keeps a copy of the
    // returned interface information; the data pipe is the pipe of the
    // setting's data endpoint (FindAudioDataEndpoint). A non-zero setting
    // without one, or whose data endpoint runs against the stream, is
    // deselected again and refused. The adapter's count of active stream
    // interfaces follows: raised by a selected non-zero setting, lowered by
    // setting 0 or a failure.
    NTSTATUS SelectDataInterface(UCHAR alternateSetting);
    NTSTATUS SubmitDataInterface(PUSBDEVICEIO io, UCHAR alternateSetting);
    NTSTATUS KeepInterfaceInformation(PUSBD_INTERFACE_INFORMATION answer, UCHAR alternateSetting,
                                      UCHAR dataEndpoint);
    // Raised once when a non-zero setting is selected, lowered once when
    // setting 0 follows, however often either is selected.
    void CountInterfaceActive(UCHAR alternateSetting);
    // The audio class 1.0 sampling-frequency request to the data endpoint.
    NTSTATUS SetEndpointSamplingFrequency(ULONG rate);
    // The audio class 1.0 form of SelectInterface: the setting, then for a
    // non-zero one the client's rate as the endpoint's sampling frequency,
    // whose failure is ignored (a device that refuses it still streams).
    NTSTATUS SelectAudio1Interface(UCHAR alternateSetting, PSTREAMCLIENT client);
    // Bytes one packet of the setting's data endpoint can carry; 0 when it has none.
    ULONG DataEndpointPacketBytes(UCHAR alternateSetting);
    // Bytes one sample frame of the format takes on the wire.
    virtual ULONG WireFrameBytes(const WAVEFORMATEX& format) const { return format.nBlockAlign; }
    // ---- sending
    // Under the send lock: a free context while the stream runs on a present
    // device; STATUS_BUFFER_TOO_SMALL when every context is busy, success
    // without a context when nothing is to be sent.
    NTSTATUS TakeSendContext(PUSBDEVICEIO io, PTRANSFERCONTEXT* context);
    // Zeroes the context's URB for `packets` packets and fills its header.
    void BuildIsochUrb(PTRANSFERCONTEXT context, ULONG packets, ULONG transferFlags);
    // Names the start frame, sets up the IRP, counts the URB outstanding and
    // passes it down.
    NTSTATUS SubmitIsochUrb(PUSBDEVICEIO io, PTRANSFERCONTEXT context);
    // Sets up the IRP with `completion`, counts the URB outstanding and
    // passes it down.
    NTSTATUS PassUrbDown(PUSBDEVICEIO io, PTRANSFERCONTEXT context,
                         PIO_COMPLETION_ROUTINE completion);
    // The audio engine's 8-bit samples are unsigned: on a device whose 8-bit
    // samples are two's complement the top bit of every byte flips, both
    // ways. Silence is the engine's in its buffers and the device's on the wire.
    void SetWireSign(const WAVEFORMATEX& format, WireSampleSign sign);
    void FlipWireSign(PUCHAR data, ULONG bytes) const;
    UCHAR EngineSilence() const { return m_EngineSilence; }
    UCHAR WireSilence() const { return (UCHAR)(m_EngineSilence ^ m_WireSignFlip); }
    // The render form of SendStreamUrb and of the completion, paced by `pacing`.
    NTSTATUS SendRenderUrb(RenderPacing* pacing);
    NTSTATUS CompleteRenderUrb(PIRP irp, PTRANSFERCONTEXT context);
    // A render stream whose device takes another layout than its client's
    // rewrites a processed URB here, before it is submitted (buffer, packet
    // offsets and lengths, transfer length, context bytes), and tells the
    // client, on completion, the bytes of its own format that URB stood for.
    virtual void AdaptRenderUrb(PTRANSFERCONTEXT) {}
    virtual ULONG ClientBytesOf(PTRANSFERCONTEXT context) const { return context->Bytes; }
    // The end of a completion: the context goes back, a running stream
    // resubmits or, after a failed transfer, recovers; the URB is counted
    // back. Returns STATUS_MORE_PROCESSING_REQUIRED.
    NTSTATUS ReturnTransfer(PTRANSFERCONTEXT context, bool running, NTSTATUS status,
                            USBD_STATUS urbStatus);
    // Completion bookkeeping shared by every form.
    void ClaimResubmission();
    void EnterRecovery();
    void UrbReturned();
    static BOOLEAN IsDeviceGoneStatus(NTSTATUS status);
    // The first failing packet's status, else the URB's.
    static USBD_STATUS UrbResultStatus(PURB urb);
    // The device took the URB: the request and the URB both succeeded.
    static bool UrbDelivered(NTSTATUS status, USBD_STATUS urbStatus)
    {
        return NT_SUCCESS(status) && USBD_SUCCESS(urbStatus);
    }
    static NTSTATUS StreamUrbCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

    void Notify(ULONG type, ULONG value1, ULONG value2, PVOID buffer);
    void NotifyStart(PSTREAMCLIENT client, BOOLEAN formatChanged);
    USBD_PIPE_HANDLE DataPipeHandle() const;
    void WaitForUrbs();
    NTSTATUS SendInitialUrbs();
    // URBs sent since construction; the resubmit loop ends when a send adds none.
    LONG SentUrbCount() const { return m_SentUrbs; }

    volatile LONG m_StreamState;
    CSyncMutex m_StreamLock;
    PUCHAR m_CaptureRing;
    ULONG m_CaptureRingSize;
    ULONG m_CaptureRingRead;
    ULONG m_CaptureRingWrite;
    ULONG m_CaptureRingTag;
    PUNKNOWN m_Owner;
    ULONG m_TerminalLink;
    LIST_ENTRY m_AltSettingList;
    ULONG m_PacketsPerFrame;
    ULONG m_MsPerUrb;
    ULONG m_UrbsInFlight;
    ULONG m_BaseSamplesPerPacket;
    volatile BOOLEAN m_DeviceGone;
    PUSBD_INTERFACE_INFORMATION m_InterfaceInfo;
    ULONG m_DataPipeIndex;
    ULONG m_StartFrame;
    ULONG m_ExplicitStart;
    KSPIN_LOCK m_SendLock;
    volatile LONG m_OutstandingUrbs;
    volatile LONG m_ErrorState;
    KEVENT m_AllUrbsReturned;
    KEVENT m_StopEvent;
    KEVENT m_WorkerDone;
    KEVENT m_WorkEvent;
    PSTREAMCLIENT m_ActiveClient;
    PSTREAMCLIENT m_PreparedClient;
    KSPIN_LOCK m_ContextLock;
    PTRANSFERCONTEXT volatile m_BusyContexts[USB_STREAM_MAX_URBS];
    PTRANSFERCONTEXT m_FreeContexts[USB_STREAM_MAX_URBS];
    TransferContextLists m_DataLists;
    PKTHREAD m_WorkerThread;
    PCALLBACK_OBJECT m_CyclicControl;
    RenderPacing m_Pacing;
    volatile LONG m_SentUrbs;
    BOOLEAN m_InterfaceCounted; // the interface is counted as an active stream
    UCHAR m_WireSignFlip;       // 0x80 for a two's-complement 8-bit format, else 0
    UCHAR m_EngineSilence;      // 0x80 for an 8-bit format, else 0

  private:
    static void WorkerThreadStart(PVOID context);
    void RunWorkerPass(BOOLEAN workSignalled);
    void RestartAfterFailedSwitch(PSTREAMCLIENT previous);
    NTSTATUS SwitchActiveClient(PSTREAMCLIENT client, ULONG startFrame, BOOLEAN frameFromPrepare);
    NTSTATUS Reprepare(PSTREAMCLIENT client, PULONG frameNumber);
    NTSTATUS RestartHeadIfStarted();
    NTSTATUS NewNodeEntry(PSTREAMCLIENT client, PCHAINNODE node, POSITION* entry);
    void AddNode(PSTREAMCLIENT client, POSITION entry);
    NTSTATUS RemoveNode(PSTREAMCLIENT client, PCHAINNODE node);
    CPtrList* NodeListFor(PSTREAMCLIENT client);
    PSTREAMCLIENT FindClient(ULONG list, PVOID key, POSITION* position);
    BOOLEAN PlaceByKind(ULONG list, ULONGLONG kind, POSITION* before);
    PSTREAMCLIENT ListHead(ULONG list);
    BOOLEAN MoveClient(ULONG from, ULONG to, PVOID key, PSTREAMCLIENT* client);
    BOOLEAN LinkStarted(PSTREAMCLIENT client);
    void UnlinkClient(ULONG list, POSITION position);
    void FreeClient(PSTREAMCLIENT client);
    void FreeClients();
    void FreeFormats();
    void WalkStartNodes();
    NTSTATUS WalkFlushNodes();
};
