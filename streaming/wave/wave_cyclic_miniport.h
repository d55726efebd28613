// The wave-cyclic miniport of one USB stream: a filter with one streaming pin,
// one bridge pin to the topology filter and one node (DAC for render, ADC for
// capture), data ranges built from the stream engine's formats, data-range
// intersection, and at most one stream at a time.
//
//   render:   [pin 0 streaming] -> (DAC) -> [pin 1 bridge] -> topology filter
//   capture:  topology filter -> [pin 1 bridge] -> (ADC) -> [pin 0 streaming]
//
// The driver frame installs it per stream engine through the factory
// CreateMiniportWaveCyclic (CStreamEngine::SetMiniportFactory with
// CLSID_PortWaveCyclic, then CStreamEngine::InstallMiniport).
#pragma once

#include "framework/interfaces.h"
#include "framework/stream_engine.h"
#include "platform/portcls/stdunk.h"

inline constexpr ULONG WAVE_CYCLIC_POOL_TAG = POOL_TAG("WAVC");
// The filter name: the engine's name and "Wave", terminator included.
inline constexpr ULONG WAVE_FILTER_NAME_CHARS = 51;
inline constexpr ULONG WAVE_STREAMING_PIN = 0;
// Bytes of an intersection result: KSDATAFORMAT and WAVEFORMATEXTENSIBLE.
inline constexpr ULONG WAVE_INTERSECTION_BYTES = 104;
// The private capability property of the filter: KSPROPSETID_DevicePrivate, id 1.
inline constexpr ULONG WAVE_PROPERTY_CAPABILITIES = 1;

// Creates the wave miniport of the adapter's engine with the given index;
// *unknown receives its non-delegating unknown with one reference.
NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outerUnknown,
                                  POOL_TYPE poolType, ULONG engineIndex);

class CWaveCyclicMiniport : public IMiniportWaveCyclic,
                            public IMiniportAudioSignalProcessing,
                            public IMiniportIdentity,
                            public IPowerNotify,
                            public CUnknown
{
  public:
    CWaveCyclicMiniport(PUNKNOWN outerUnknown, ULONG engineIndex);
    ~CWaveCyclicMiniport() override;
    DECLARE_STD_UNKNOWN()

    // IMiniport
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    STDMETHODIMP DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange,
                                       PKSDATARANGE matchingDataRange, ULONG outputBufferLength,
                                       PVOID resultantFormat,
                                       PULONG resultantFormatLength) override;
    // IMiniportWaveCyclic
    STDMETHODIMP Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList,
                      PPORTWAVECYCLIC port) override;
    STDMETHODIMP NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN outerUnknown,
                           POOL_TYPE poolType, ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat,
                           PDMACHANNEL* dmaChannel, PSERVICEGROUP* serviceGroup) override;
    // IMiniportAudioSignalProcessing
    STDMETHODIMP GetModes(ULONG pin, GUID* signalProcessingModes, PULONG modeCount) override;
    // IMiniportIdentity
    STDMETHODIMP GetConnectionId(PULONG connectionId) override;
    STDMETHODIMP GetFilterName(PWSTR* filterName) override;
    // IPowerNotify
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE powerState) override;

    // The stream's Init and destructor count it in and out.
    void StreamCreated();
    void StreamDestroyed();
    BOOLEAN IsStreamOpen() const { return m_StreamOpen != 0; }
    ULONG GetDevicePowerState() const { return m_DevicePowerState; }
    PPORTWAVECYCLIC GetPort() const { return m_Port; }

    // The private capability property (get): the engine's endpoint record.
    static NTSTATUS PropertyCapabilities(PPCPROPERTY_REQUEST request);

  private:
    NTSTATUS BuildDataRanges();
    NTSTATUS BuildDescriptors();
    NTSTATUS BuildName();
    void FreeAll();
    NTSTATUS FindEngineRecord(const WAVEFORMATEXTENSIBLE& wanted, WAVEFORMATEXTENSIBLE* record);
    NTSTATUS BestRecordInside(const KSDATARANGE* clientRange, const KSDATARANGE_AUDIO& own,
                              const GUID& subFormat, WAVEFORMATEXTENSIBLE* record);
    BOOLEAN EngineHasSubFormat(const GUID& subFormat);

    PPCFILTER_DESCRIPTOR m_FilterDescriptor;
    PPCPIN_DESCRIPTOR m_PinDescriptors;
    PPCNODE_DESCRIPTOR m_NodeDescriptor;
    PPCCONNECTION_DESCRIPTOR m_Connections;
    PPORTWAVECYCLIC m_Port;
    PWSTR m_Name;
    PADAPTERCOMMON m_Adapter;
    CStreamEngine* m_Engine;
    ULONG m_EngineIndex;
    ULONG m_StreamOpen;
    ULONG m_DevicePowerState;
    KEVENT m_NoStreamEvent;
    volatile LONG m_ActiveStreams;
    PKSDATARANGE_AUDIO m_DataRanges;
    PKSDATARANGE* m_DataRangePointers;
    ULONG m_DataRangeEntries;
};
