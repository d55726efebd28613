// The wave-cyclic and topology ports. The wave-cyclic port drives a stream as
// the audio engine would: states one step at a time, formats only outside
// RUN, and, whenever the stream's service group is served, copies render data
// into the cyclic buffer ahead of the position (silence when the client has
// none) or capture data out of it behind the position, checking that the
// position never overtakes what was written. A pause leaves the buffer as it
// stands, and the run after it goes on from there.
#pragma once

#include <vector>

#include "platform/portcls/pc_port.h"

class CPortWaveCyclic : public CPortBase, public IPortWaveCyclic
{
  public:
    explicit CPortWaveCyclic(PUNKNOWN outerUnknown) : CPortBase(outerUnknown) {}
    DECLARE_STD_UNKNOWN()

    STDMETHODIMP Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
                      PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) override;
    STDMETHODIMP GetDeviceProperty(DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                                   PVOID propertyBuffer, PULONG resultLength) override
    {
        return DevicePropertyCommon(deviceProperty, bufferLength, propertyBuffer, resultLength);
    }
    STDMETHODIMP NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN outerUnknown,
                                ULONG registryKeyType, ACCESS_MASK desiredAccess,
                                POBJECT_ATTRIBUTES objectAttributes, ULONG createOptions,
                                PULONG disposition) override
    {
        return NewRegistryKeyCommon(outRegistryKey, outerUnknown, registryKeyType, desiredAccess,
                                    objectAttributes, createOptions, disposition);
    }
    STDMETHODIMP_(void) Notify(PSERVICEGROUP serviceGroup) override;

    bool IsWaveCyclic() const override { return true; }
    NTSTATUS CreatePin(PcFileContext* filter, PcFileContext* pin, const UCHAR* data,
                       ULONG length) override;
    NTSTATUS PinDeviceControl(PcFileContext* pin, PIRP irp) override;
    void ClosePin(PcFileContext* pin) override;

    ULONG NotifyCount = 0;

  private:
    PMINIPORTWAVECYCLIC m_WaveMiniport = nullptr; // not referenced: m_Miniport holds it
};

class CPortTopology : public CPortBase, public IPortTopology
{
  public:
    explicit CPortTopology(PUNKNOWN outerUnknown) : CPortBase(outerUnknown) {}
    DECLARE_STD_UNKNOWN()

    STDMETHODIMP Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
                      PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) override;
    STDMETHODIMP GetDeviceProperty(DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                                   PVOID propertyBuffer, PULONG resultLength) override
    {
        return DevicePropertyCommon(deviceProperty, bufferLength, propertyBuffer, resultLength);
    }
    STDMETHODIMP NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN outerUnknown,
                                ULONG registryKeyType, ACCESS_MASK desiredAccess,
                                POBJECT_ATTRIBUTES objectAttributes, ULONG createOptions,
                                PULONG disposition) override
    {
        return NewRegistryKeyCommon(outRegistryKey, outerUnknown, registryKeyType, desiredAccess,
                                    objectAttributes, createOptions, disposition);
    }
    bool IsWaveCyclic() const override { return false; }
};

// One open wave-cyclic pin: the stream, its DMA channel and service group, and
// the client's queues.
class CPortPinWaveCyclic : public CUnknown, public IServiceSink
{
  public:
    CPortPinWaveCyclic(CPortWaveCyclic* port, ULONG pinId, bool capture);
    ~CPortPinWaveCyclic() override;
    DECLARE_STD_UNKNOWN()

    STDMETHODIMP_(void) RequestService() override;

    NTSTATUS Open(PMINIPORTWAVECYCLIC miniport, const UCHAR* format, ULONG formatLength);
    void Close();
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS SetFormat(const UCHAR* format, ULONG formatLength);
    KSSTATE State() const { return m_State; }
    PMINIPORTWAVECYCLICSTREAM Stream() const { return m_Stream; }
    ULONG PinId() const { return m_PinId; }

    // Client side (PASSIVE_LEVEL).
    ULONG Write(const void* data, ULONG bytes);
    ULONG Read(void* data, ULONG bytes);
    ULONG QueuedBytes();
    // What the queue keeps in memory: the queued bytes and those the port
    // copied out but has not let go yet.
    ULONGLONG HeldBytes();
    void SetQueueLimit(ULONG bytes);
    PcPinStatistics Statistics();
    // Serves the pin at DISPATCH_LEVEL as a service request would.
    void Service();

  private:
    bool ReadPosition(ULONG size, ULONG* position);
    bool EnterRun();
    void ServiceLocked();
    void CatchUp(ULONG size, ULONG position, ULONGLONG elapsed);
    void Fill(ULONG bytes);
    void Drain(ULONG bytes);

    CPortWaveCyclic* m_Port; // referenced
    ULONG m_PinId;
    bool m_Capture;
    KSSTATE m_State = KSSTATE_STOP;
    PMINIPORTWAVECYCLICSTREAM m_Stream = nullptr;
    PDMACHANNEL m_Dma = nullptr;
    PSERVICEGROUP m_ServiceGroup = nullptr;
    bool m_Member = false;
    UCHAR* m_Format = nullptr; // pool copy of the current format (and its attributes)
    KSPIN_LOCK m_Lock;
    std::vector<UCHAR> m_Queue; // client data, render pending or capture ready
    size_t m_QueueHead = 0;
    ULONG m_QueueLimit = 1u << 20;
    ULONG m_WriteOffset = 0;     // render: next byte to write; capture: next to read
    LONGLONG m_Lead = 0;         // render: written minus consumed
    ULONGLONG m_LastService = 0; // interrupt time of the last service in RUN
    // Paused from RUN: the buffer and the offsets stand for the next RUN,
    // which looks at the stream as a service would at the time it left RUN.
    bool m_Resumable = false;
    ULONGLONG m_LeftRun = 0;
    ULONG m_BytesPerSecond = 0;
    PcPinStatistics m_Stats = {};
};
