// A small audio engine: finds the filters and physical connections an adapter
// registered, opens filters and pins through create requests (data-range
// intersection first, then the pin create that makes the miniport's stream),
// walks a pin's states, feeds render data and collects capture data as the
// port moves them through the cyclic buffer, gets and sets node properties
// and enables control-change events. It speaks kernel streaming through the
// I/O manager as a kernel-mode client, so everything the driver sees arrives
// as real requests.
#pragma once

#include <string>
#include <vector>

#include "platform/portcls/portcls_emu.h"

// An enabled event: the record the port keeps a pointer to, and the kernel
// event it signals. It must stay where it is until disabled.
struct AudioEngineEvent
{
    KEVENT Event;
    KSEVENTDATA Data;
    PFILE_OBJECT File;
    bool Enabled;
};

// The data range a client asks an intersection with: samples of `subFormat`
// in up to `channels` channels, between the given depths and rates.
KSDATARANGE_AUDIO AudioClientRange(const GUID& subFormat, ULONG channels, ULONG minBits,
                                   ULONG maxBits, ULONG minRate, ULONG maxRate);

class AudioEngineClient
{
  public:
    // adapterDevice: the adapter device or the physical device below it.
    explicit AudioEngineClient(PDEVICE_OBJECT adapterDevice);
    // Closes every file the client still has open (pins first).
    ~AudioEngineClient();
    AudioEngineClient(const AudioEngineClient&) = delete;
    AudioEngineClient& operator=(const AudioEngineClient&) = delete;

    // ---- enumeration
    std::vector<EmuPcSubdeviceInfo> Subdevices() const;
    std::vector<EmuPcConnectionInfo> PhysicalConnections() const;

    // ---- files
    NTSTATUS OpenFilter(const std::u16string& name, PFILE_OBJECT* filter);
    // Creates a pin from a connection request: KSPIN_CONNECT for `pinId`
    // followed by the format bytes as given (attributes included).
    NTSTATUS OpenPin(PFILE_OBJECT filter, ULONG pinId, const void* format, ULONG formatLength,
                     PFILE_OBJECT* pin);
    // The file name of that pin create: "{KSNAME_Pin}\", the connection
    // request, then the format bytes.
    static std::vector<UCHAR> PinCreateName(ULONG pinId, const void* format, ULONG formatLength);
    // Intersects `wanted` with the pin's ranges, then creates the pin with the
    // format the miniport chose; *format receives it.
    NTSTATUS OpenPinWithRange(PFILE_OBJECT filter, ULONG pinId, const KSDATARANGE* wanted,
                              PFILE_OBJECT* pin, std::vector<UCHAR>* format = nullptr);
    NTSTATUS Close(PFILE_OBJECT file);

    // ---- kernel-streaming requests
    NTSTATUS Property(PFILE_OBJECT file, const void* request, ULONG requestLength, void* value,
                      ULONG valueLength, ULONG* returned);
    NTSTATUS GetPinCount(PFILE_OBJECT filter, ULONG* count);
    NTSTATUS GetPinDataRanges(PFILE_OBJECT filter, ULONG pinId, std::vector<UCHAR>* ranges);
    NTSTATUS GetNodeTypes(PFILE_OBJECT filter, std::vector<GUID>* nodes);
    NTSTATUS GetConnections(PFILE_OBJECT filter, std::vector<KSTOPOLOGY_CONNECTION>* connections);
    // KSPROPERTY_PIN_DATAINTERSECTION with one client range: the size first
    // (zero-length reply), then the format.
    NTSTATUS Intersect(PFILE_OBJECT filter, ULONG pinId, const KSDATARANGE* wanted,
                       std::vector<UCHAR>* format);

    // Node properties: the instance is the channel (KSNODEPROPERTY_AUDIO_CHANNEL).
    NTSTATUS GetNodeValue(PFILE_OBJECT file, ULONG node, const GUID& set, ULONG id, LONG channel,
                          void* value, ULONG valueLength, ULONG* returned);
    NTSTATUS SetNodeValue(PFILE_OBJECT file, ULONG node, const GUID& set, ULONG id, LONG channel,
                          const void* value, ULONG valueLength);
    NTSTATUS NodeBasicSupport(PFILE_OBJECT file, ULONG node, const GUID& set, ULONG id, void* value,
                              ULONG valueLength, ULONG* returned);

    // Events on a node (KSEVENTF_EVENT_OBJECT).
    NTSTATUS EnableNodeEvent(PFILE_OBJECT file, ULONG node, const GUID& set, ULONG id,
                             AudioEngineEvent* event);
    NTSTATUS DisableEvent(AudioEngineEvent* event);
    // Whether a node supports an event (KSEVENT_TYPE_BASICSUPPORT).
    NTSTATUS NodeEventSupport(PFILE_OBJECT file, ULONG node, const GUID& set, ULONG id);
    // Whether the event was signalled since the last call (and clears it).
    static bool TakeSignal(AudioEngineEvent* event);

    // ---- streaming
    NTSTATUS SetState(PFILE_OBJECT pin, KSSTATE state);
    NTSTATUS GetState(PFILE_OBJECT pin, KSSTATE* state);
    NTSTATUS SetFormat(PFILE_OBJECT pin, const void* format, ULONG formatLength);
    // Queues render data; returns the bytes accepted.
    ULONG Write(PFILE_OBJECT pin, const void* data, ULONG bytes);
    // Takes captured data; returns the bytes read.
    ULONG Read(PFILE_OBJECT pin, void* data, ULONG bytes);
    PcPinStatistics Statistics(PFILE_OBJECT pin);
    // Runs the machine for `ms` of emulated time in steps of `stepMs`, keeping
    // the render queue of `pin` topped up from `source` (bytes consumed from
    // the front; null plays silence) or draining its capture queue into `sink`.
    void Run(PFILE_OBJECT pin, ULONG ms, std::vector<UCHAR>* source, std::vector<UCHAR>* sink,
             ULONG stepMs = 1);

  private:
    PDEVICE_OBJECT m_Device;
    std::vector<PFILE_OBJECT> m_Filters;
    std::vector<PFILE_OBJECT> m_Pins;
};
