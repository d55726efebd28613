// The part every port shares: miniport binding, the filter's kernel-streaming
// face (pin and topology properties answered from the descriptor, everything
// else routed through the miniport's automation tables), the event list,
// unregistration and the library version.
#pragma once

#include <array>
#include <vector>

#include "platform/portcls/pc_internal.h"

class CPortBase : public CUnknown,
                  public IPortEvents,
                  public IUnregisterSubdevice,
                  public IUnregisterPhysicalConnection,
                  public IPortClsVersion,
                  public IPcPortInternal
{
  public:
    explicit CPortBase(PUNKNOWN outerUnknown);
    ~CPortBase() override;

    // IPortEvents
    STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY eventEntry) override;
    STDMETHODIMP_(void)
    GenerateEventList(GUID* set, ULONG eventId, BOOL pinEvent, ULONG pinId, BOOL nodeEvent,
                      ULONG nodeId) override;
    // IUnregisterSubdevice, IUnregisterPhysicalConnection
    STDMETHODIMP UnregisterSubdevice(PDEVICE_OBJECT deviceObject, PUNKNOWN unknown) override;
    STDMETHODIMP UnregisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown,
                                              ULONG fromPin, PUNKNOWN toUnknown,
                                              ULONG toPin) override;
    // IPortClsVersion
    STDMETHODIMP_(DWORD) GetVersion() override { return g_PcVersion; }
    // IPcPortInternal
    STDMETHODIMP_(CPortBase*) GetPortObject() override { return this; }

    virtual bool IsWaveCyclic() const = 0;
    PMINIPORT Miniport() const { return m_Miniport; }
    PDEVICE_OBJECT DeviceObject() const { return m_DeviceObject; }
    // The miniport's filter descriptor (null before Init).
    const PCFILTER_DESCRIPTOR* Descriptor() const { return m_Descriptor; }
    // Drops the miniport, which breaks the port-miniport reference cycle; with
    // pins open, when the last of them closes.
    void ReleaseChildren();
    void PinOpened();
    void PinClosed();

    // Requests on the filter and pin file objects.
    NTSTATUS FilterDeviceControl(PcFileContext* filter, PIRP irp);
    virtual NTSTATUS CreatePin(PcFileContext* filter, PcFileContext* pin, const UCHAR* data,
                               ULONG length);
    virtual NTSTATUS PinDeviceControl(PcFileContext* pin, PIRP irp);
    virtual void ClosePin(PcFileContext* pin);
    // Disables (through the miniport's handler) every event enabled on a file object.
    void DisableEventsOf(PFILE_OBJECT fileObject, PUNKNOWN minorTarget);

    // EmuPcEventLog's records: the real service allocates nothing under
    // the list's spin lock, at any IRQL up to DISPATCH_LEVEL, and neither
    // does the record of it.
    std::array<PcEventRecord, kEmuPcEventLogMost> EventLog = {};
    size_t EventsLogged = 0;
    size_t EventsUnlogged = 0;

  protected:
    // The IPort operations the concrete ports forward to.
    NTSTATUS InitCommon(PDEVICE_OBJECT deviceObject, PUNKNOWN miniport);
    NTSTATUS DevicePropertyCommon(DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                                  PVOID propertyBuffer, PULONG resultLength);
    NTSTATUS NewRegistryKeyCommon(PREGISTRYKEY* outRegistryKey, PUNKNOWN outerUnknown,
                                  ULONG registryKeyType, ACCESS_MASK desiredAccess,
                                  POBJECT_ATTRIBUTES objectAttributes, ULONG createOptions,
                                  PULONG disposition);
    NTSTATUS QueryCommon(REFIID interfaceId, PVOID* object);

    // Properties and events with a given descriptor (the filter's, or a pin's
    // view of it) on behalf of a file object.
    NTSTATUS RouteProperty(const PCFILTER_DESCRIPTOR* descriptor, PUNKNOWN minorTarget, PIRP irp);
    NTSTATUS EnableEvent(const PCFILTER_DESCRIPTOR* descriptor, PUNKNOWN minorTarget,
                         PFILE_OBJECT fileObject, ULONG pinId, PIRP irp);
    NTSTATUS DisableEvent(const PCFILTER_DESCRIPTOR* descriptor, PUNKNOWN minorTarget,
                          PFILE_OBJECT fileObject, PIRP irp);

    PDEVICE_OBJECT m_DeviceObject;
    PMINIPORT m_Miniport;
    PPCFILTER_DESCRIPTOR m_Descriptor;
    KSPIN_LOCK m_EventLock;
    LIST_ENTRY m_Events;
    ULONG m_OpenPins = 0;
    bool m_ReleasePending = false;

  private:
    NTSTATUS FilterOwnProperty(PcFileContext* filter, const KSPROPERTY* property, ULONG inputLength,
                               PVOID output, ULONG outputLength, ULONG* returned, bool* handled);
    // Called under m_EventLock.
    void LogEvent(const PcEventRecord& record);
    NTSTATUS Intersect(ULONG pinId, const UCHAR* ranges, ULONG rangesLength, PVOID output,
                       ULONG outputLength, ULONG* returned);
};

// Reads a METHOD_NEITHER device control's buffers.
struct PcIoctl
{
    ULONG Code;
    const void* Input;
    ULONG InputLength;
    void* Output;
    ULONG OutputLength;
};
PcIoctl PcGetIoctl(PIRP irp);

// Size protocol of a reply of `needed` bytes into `length` bytes.
NTSTATUS PcReplySize(ULONG needed, ULONG length, ULONG* returned);
