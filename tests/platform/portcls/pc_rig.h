// A test adapter for the port-class library: a bus driver with one physical
// device, an adapter driver that installs a trivial topology miniport and two
// trivial wave-cyclic miniports (render and capture), and the records those
// miniports keep of what the port did to them.
#pragma once

#include <functional>
#include <vector>

#include "platform/portcls/portcls_emu.h"
#include "platform/portcls/stdunk.h"

// ---- the trivial wave-cyclic miniport and stream
class TestWaveMiniport;

class TestWaveStream : public CUnknown, public IMiniportWaveCyclicStream, public IDmaChannel
{
  public:
    TestWaveStream(TestWaveMiniport* miniport, bool capture, const WAVEFORMATEX& format);
    ~TestWaveStream() override;
    DECLARE_STD_UNKNOWN()

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
    STDMETHODIMP_(ULONG) TransferCount() override { return m_Size; }
    STDMETHODIMP_(ULONG) MaximumBufferSize() override { return 65536; }
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override { return m_Size; }
    STDMETHODIMP_(ULONG) BufferSize() override { return m_Size; }
    STDMETHODIMP_(void) SetBufferSize(ULONG) override {}
    STDMETHODIMP_(PVOID) SystemAddress() override { return m_Buffer; }
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override
    {
        PHYSICAL_ADDRESS a;
        a.QuadPart = 0;
        return a;
    }
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override { return nullptr; }
    STDMETHODIMP_(void) CopyTo(PVOID destination, PVOID source, ULONG byteCount) override;
    STDMETHODIMP_(void) CopyFrom(PVOID destination, PVOID source, ULONG byteCount) override;

    PSERVICEGROUP ServiceGroup() const { return m_ServiceGroup; }
    void SetGroup(PSERVICEGROUP group) { m_ServiceGroup = group; }
    // The "hardware": every 5 ms in RUN it plays (render: copies out of the
    // buffer into Played) or records (capture: writes the next bytes of a
    // counting pattern into the buffer) 5 ms of data at the position, moves
    // the position and notifies the port.
    void Tick();

    std::vector<KSSTATE> States;      // every SetState, in order
    int FailState = -1;               // SetState to this state fails
    std::vector<KSSTATE> FormatCalls; // the state at each SetFormat
    std::vector<UCHAR> Played;
    ULONG Recorded = 0; // pattern bytes written so far
    bool NotifyEnabled = true;
    LONGLONG ReportedPosition = -1; // when set, GetPosition reports it instead
    ULONG CopiesBelowDispatch = 0;
    ULONG CopiesOutOfRange = 0;
    ULONG CallsInsideNotify = 0; // port calls made while Notify was running

  private:
    static void TimerDpc(PKDPC, PVOID context, PVOID, PVOID);
    TestWaveMiniport* m_Miniport;
    bool m_Capture;
    WAVEFORMATEX m_Format;
    KSSTATE m_State = KSSTATE_STOP;
    PUCHAR m_Buffer = nullptr;
    ULONG m_Size = 0;
    ULONG m_Position = 0;
    PSERVICEGROUP m_ServiceGroup = nullptr;
    KTIMER m_Timer;
    KDPC m_Dpc;
    bool m_InNotify = false;
};

class TestWaveMiniport : public CUnknown, public IMiniportWaveCyclic, public IPowerNotify
{
  public:
    TestWaveMiniport(PUNKNOWN outer, bool capture);
    ~TestWaveMiniport() override;
    DECLARE_STD_UNKNOWN()

    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    STDMETHODIMP DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange,
                                       PKSDATARANGE matchingDataRange, ULONG outputBufferLength,
                                       PVOID resultantFormat,
                                       PULONG resultantFormatLength) override;
    STDMETHODIMP Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList,
                      PPORTWAVECYCLIC port) override;
    STDMETHODIMP NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN outerUnknown,
                           POOL_TYPE poolType, ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat,
                           PDMACHANNEL* dmaChannel, PSERVICEGROUP* serviceGroup) override;
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE powerState) override;

    PPORTWAVECYCLIC Port() const { return m_Port; }
    bool Capture() const { return m_Capture; }

    std::vector<ULONG> IntersectionLengths; // output lengths the port passed, in order
    ULONG NewStreamCalls = 0;
    GUID LastMode = {}; // the signal-processing mode attribute of the last format, if any
    TestWaveStream* Stream = nullptr; // the open stream (no reference)
    std::vector<DEVICE_POWER_STATE> PowerNotifications;

  private:
    PPORTWAVECYCLIC m_Port = nullptr;
    bool m_Capture;
};

// ---- the trivial topology miniport: two bridge paths, a volume node and a mute node
class TestTopologyMiniport : public CUnknown, public IMiniportTopology
{
  public:
    explicit TestTopologyMiniport(PUNKNOWN outer);
    ~TestTopologyMiniport() override;
    DECLARE_STD_UNKNOWN()

    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID,
                                       PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList,
                      PPORTTOPOLOGY port) override;

    // A control changed on the device: raise the control-change event of a node.
    void RaiseChange(ULONG node);

    LONG Volume[2] = {-6 * 65536, -6 * 65536}; // 1/65536 dB per channel
    BOOL Mute = FALSE;
    ULONG EventVerbs[3] = {}; // add, remove, support
    PPORTEVENTS PortEvents() const { return m_PortEvents; }

  private:
    PPORTTOPOLOGY m_Port = nullptr;
    PPORTEVENTS m_PortEvents = nullptr;
};

// ---- the adapter object: power management
class TestAdapter : public CUnknown, public IAdapterPowerManagement
{
  public:
    explicit TestAdapter(PUNKNOWN outer) : CUnknown(outer) {}
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE newState) override
    {
        PowerChanges.push_back(newState.DeviceState);
    }
    STDMETHODIMP QueryPowerChangeState(POWER_STATE) override { return QueryStatus; }
    STDMETHODIMP QueryDeviceCapabilities(PDEVICE_CAPABILITIES) override { return STATUS_SUCCESS; }

    std::vector<DEVICE_POWER_STATE> PowerChanges;
    NTSTATUS QueryStatus = STATUS_SUCCESS;
};

// ---- the rig
struct PcRig
{
    PDRIVER_OBJECT Bus = nullptr;
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Fdo = nullptr;
    ULONG MaxObjects = 8;
    ULONG ExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE + 64;
    // What StartDevice saw and built.
    ULONG StartCalls = 0;
    ULONG ResourceEntries = ~0u;
    DWORD VersionAtStart = 0;
    TestAdapter* Adapter = nullptr;
    TestTopologyMiniport* Topology = nullptr;
    TestWaveMiniport* Render = nullptr;
    TestWaveMiniport* Capture = nullptr;
    PUNKNOWN TopologyPort = nullptr; // no reference: the registration holds it
    PUNKNOWN RenderPort = nullptr;
    PUNKNOWN CapturePort = nullptr;
    // Runs in StartDevice instead of the standard installation when set.
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP, PRESOURCELIST)> Start;

    // Loads both drivers, creates the physical device and adds the adapter.
    NTSTATUS Add();
    NTSTATUS StartDevice();
    // Removes the adapter device and unloads everything.
    void Remove();
    // The standard installation: power management, "Topo", "SPKOut00",
    // "MicIn00" and the two physical connections.
    NTSTATUS Install(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources);
    UCHAR* DriverExtension() const;
};

extern PcRig* g_Rig;

// A 16-bit stereo 48 kHz extensible format (104 bytes).
KSDATAFORMAT_WAVEFORMATEXTENSIBLE PcTestFormat(ULONG rate = 48000, USHORT channels = 2);
// An audio range wide enough for the test miniports.
KSDATARANGE_AUDIO PcTestRange(ULONG maxChannels = 2, ULONG maxRate = 48000);
