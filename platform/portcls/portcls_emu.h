// Controls of the emulated port-class library for tests, the audio-engine
// client and the host program: what an adapter device registered, the library
// version it reports, what the ports and pins did, and the client side of the
// wave-cyclic pins' data queues.
#pragma once

#include <string>
#include <vector>

#include "platform/portcls/portcls.h"

// ----------------------------------------------------------------------------
// Adapter devices
struct EmuPcSubdeviceInfo
{
    std::u16string Name;
    PUNKNOWN Port; // no reference
    bool WaveCyclic;
    const PCFILTER_DESCRIPTOR* Descriptor;
};
struct EmuPcConnectionInfo
{
    std::u16string FromName; // empty when the port is not a registered subdevice
    ULONG FromPin;
    std::u16string ToName;
    ULONG ToPin;
};
bool EmuPcIsAdapterDevice(PDEVICE_OBJECT deviceObject);
std::vector<EmuPcSubdeviceInfo> EmuPcSubdevices(PDEVICE_OBJECT deviceObject);
std::vector<EmuPcConnectionInfo> EmuPcPhysicalConnections(PDEVICE_OBJECT deviceObject);
// The device power state port-class last passed on (D0 after start).
DEVICE_POWER_STATE EmuPcPowerState(PDEVICE_OBJECT deviceObject);
bool EmuPcHasPowerManagement(PDEVICE_OBJECT deviceObject);
ULONG EmuPcMaxSubdevices(PDEVICE_OBJECT deviceObject);

// ----------------------------------------------------------------------------
// The version IPortClsVersion reports (kVersionWinServer2003_UAAQFE unless set;
// it is not reset with the kernel, so a test that changes it restores it).
void EmuPcSetVersion(DWORD version);
DWORD EmuPcGetVersion();

// ----------------------------------------------------------------------------
// Ports
struct PcEventRecord
{
    bool Generated; // false: AddEventToEventList
    GUID Set;
    ULONG EventId;
    BOOL PinEvent;
    ULONG PinId;
    BOOL NodeEvent;
    ULONG NodeId;
    ULONG Signalled; // enabled events the generation matched
};
// The AddEventToEventList and GenerateEventList calls on a port, in order:
// the first kEmuPcEventLogMost of them, kept in room the port took when it
// was made (the real service allocates nothing there, under a spin lock);
// the calls after them are counted only.
inline constexpr size_t kEmuPcEventLogMost = 64;
std::vector<PcEventRecord> EmuPcEventLog(PUNKNOWN port);
size_t EmuPcEventsUnlogged(PUNKNOWN port);
// IPortWaveCyclic::Notify calls on a port.
ULONG EmuPcNotifyCount(PUNKNOWN port);

struct PcDrmForwardRecord
{
    ULONG ContentId;
    DRMFORWARD Forward;
};
std::vector<PcDrmForwardRecord> EmuPcDrmForwards();
void EmuPcClearDrmForwards();

// ----------------------------------------------------------------------------
// Wave-cyclic pins (file objects of open pins)
struct PcPinStatistics
{
    KSSTATE State;
    ULONG BufferSize;       // the DMA channel's buffer size
    ULONG Position;         // last position the stream reported
    ULONGLONG Consumed;     // bytes the position moved over
    ULONGLONG Written;      // render: bytes written ahead of the position (data and silence)
    ULONGLONG DataBytes;    // render: client bytes written; capture: bytes read out
    ULONGLONG SilenceBytes; // render: silence written for want of client data
    ULONGLONG DroppedBytes; // capture: bytes lost because the client queue was full
    ULONG Overruns;         // times the position overtook what was written (render) or
                            // went round the buffer between two services (both)
    ULONG Services;         // service requests that reached the pin
    ULONG FramingSize;      // what SetNotificationFreq returned
};
// Render: queues client data for the port to copy into the cyclic buffer.
NTSTATUS EmuPcPinWrite(PFILE_OBJECT pin, const void* data, ULONG bytes, ULONG* accepted);
// Capture: takes data the port copied out of the cyclic buffer.
NTSTATUS EmuPcPinRead(PFILE_OBJECT pin, void* data, ULONG bytes, ULONG* read);
NTSTATUS EmuPcPinQueued(PFILE_OBJECT pin, ULONG* bytes);
// The bytes the pin's client queue keeps in memory: those queued and those
// the port copied out and has not let go yet.
NTSTATUS EmuPcPinHeld(PFILE_OBJECT pin, ULONGLONG* bytes);
NTSTATUS EmuPcPinSetQueueLimit(PFILE_OBJECT pin, ULONG bytes);
NTSTATUS EmuPcPinStatistics(PFILE_OBJECT pin, PcPinStatistics* statistics);
// Serves the pin at DISPATCH_LEVEL now, as a service request would.
NTSTATUS EmuPcPinService(PFILE_OBJECT pin);
// The miniport's stream behind a pin (no reference); null for other files.
PMINIPORTWAVECYCLICSTREAM EmuPcPinStream(PFILE_OBJECT pin);
