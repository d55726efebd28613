// What the wave miniport and stream tests stand on: a USB stream built by
// hand whose preparation and start touch no device and whose notifications a
// test sends itself (render or capture), doubles of the adapter (its engine,
// capability record and device object), of terminal controls and of an
// ASIO-kind client, and the wave subdevice installed on an adapter device so
// that the audio-engine client can open it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "streaming/wave/wave_cyclic_miniport.h"
#include "streaming/wave/wave_cyclic_stream.h"
#include "tests/streaming/usb/usb_stream_rig.h"

// A USB stream without a device: preparation and start only change its state.
class HandStream : public TestUsbStream
{
  public:
    explicit HandStream(ULONG) : TestUsbStream(3) {}
    NTSTATUS SendStreamUrb() override { return STATUS_SUCCESS; }
    NTSTATUS PrepareStream(PSTREAMCLIENT client, PULONG frameNumber) override;
    NTSTATUS StartStream(ULONG startFrame, ULONG explicitStart) override;
    NTSTATUS SetContentId(ULONG contentId, PCDRMRIGHTS rights) override;

    // A notification from the stream, as the transfer loop sends them.
    void Send(ULONG type, ULONG value1, ULONG value2 = 0, PVOID buffer = nullptr)
    {
        Notify(type, value1, value2, buffer);
    }
    PSTREAMCLIENT Active() const { return m_ActiveClient; }
    ULONG RegisteredCount() const { return m_ClientLists[0]->GetCount(); }

    ULONG StartFrame = 0;
    NTSTATUS StartFailure = STATUS_SUCCESS;
    ULONG ContentId = 0;
};
// Initialised with the given formats; one reference.
HandStream* MakeHandStream(ULONG direction, const std::vector<WAVEFORMATEXTENSIBLE>& formats);

// The adapter as the miniport sees it: the engine at index 0, a capability
// record and the adapter device.
class AdapterDouble : public FakeDeviceClass
{
  public:
    AdapterDouble(CStreamEngine* engine, PDEVICE_OBJECT device)
        : FakeDeviceClass(nullptr, FakeClass::Uac1), m_Engine(engine), m_Device(device)
    {
    }
    STDMETHODIMP GetStreamCapabilities(ULONG index, PENDPOINTCAPABILITIES caps) override;
    STDMETHODIMP GetEngine(ULONG index, CStreamEngine** engine) override;
    STDMETHODIMP_(PDEVICE_OBJECT) GetDeviceObject() override { return m_Device; }

    EndpointCapabilities Capabilities = {0x11, {}, 0x22, 0, 0x2, 0};
    std::vector<ULONG> CapabilityIndexes;

  private:
    CStreamEngine* m_Engine;
    PDEVICE_OBJECT m_Device;
};

// A terminal control of the stream's path.
class TerminalDouble : public CAudioControl, public ITerminalControl
{
  public:
    TerminalDouble(ULONG id, ULONG kind, ULONG endpointKind)
        : CAudioControl(nullptr, id, kind), EndpointKind(endpointKind)
    {
    }
    STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP GetCurrentKind(PULONG kind) override
    {
        *kind = EndpointKind;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetKindCount(PULONG count) override
    {
        *count = 1;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetKinds(PULONG kinds) override { return GetCurrentKind(kinds); }
    STDMETHODIMP SetKind(ULONG) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP GetJackCount(PULONG count) override
    {
        *count = 0;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetJackInfo(ULONG, PVOID) override { return STATUS_SUCCESS; }
    STDMETHODIMP GetEndpointCapabilities(PENDPOINTCAPABILITIES) override
    {
        return STATUS_NOT_SUPPORTED;
    }
    ULONG EndpointKind;
    bool Answers = true;
};

// The record of a PCM (or float, tag 3) format; extensible unless plain.
WAVEFORMATEXTENSIBLE WaveRecord(USHORT channels, ULONG rate, USHORT bits, USHORT tag = 1,
                                bool extensible = true);
// A data format carrying `record` as KSDATAFORMAT + wave format (104 or 82
// bytes), optionally followed by an attribute list.
std::vector<UCHAR> DataFormat(const WAVEFORMATEXTENSIBLE& record, bool extensible = true);
void AppendModeAttribute(std::vector<UCHAR>* format, const GUID& mode, ULONG size = 40);

// A miniport bound to a port with the adapter double; the stream created
// through NewStream.
class WaveRig
{
  public:
    explicit WaveRig(CStreamEngine* engine);
    ~WaveRig();
    bool Ok() const { return m_Miniport != nullptr && m_Status == STATUS_SUCCESS; }
    NTSTATUS InitStatus() const { return m_Status; }
    CWaveCyclicMiniport* Miniport() const { return m_Miniport; }
    AdapterDouble* Adapter() const { return m_Adapter; }
    PPORT Port() const { return m_Port; }

    NTSTATUS Open(const std::vector<UCHAR>& format, bool capture = false);
    void Close();
    CWaveCyclicStream* Stream() const { return m_Stream; }
    PMINIPORTWAVECYCLICSTREAM StreamInterface() const { return m_StreamInterface; }
    PDMACHANNEL Dma() const { return m_Dma; }
    ULONG Position();

  private:
    AdapterDouble* m_Adapter = nullptr;
    PPORT m_Port = nullptr;
    PUNKNOWN m_MiniportUnknown = nullptr;
    CWaveCyclicMiniport* m_Miniport = nullptr;
    NTSTATUS m_Status = STATUS_UNSUCCESSFUL;
    PMINIPORTWAVECYCLICSTREAM m_StreamInterface = nullptr;
    CWaveCyclicStream* m_Stream = nullptr;
    PDMACHANNEL m_Dma = nullptr;
    PSERVICEGROUP m_Group = nullptr;
};
