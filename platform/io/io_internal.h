// State shared between the emulated I/O manager's own source files.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu_hooks.h"

inline constexpr ULONG IRP_MAGIC = 0x21707249; // "Irp!"

// How the I/O manager finishes an IRP once its last completion routine ran.
enum IoIrpKind : ULONG
{
    IoIrpDriver = 0,    // a driver's own IRP: it must stop the walk with MORE_PROCESSING_REQUIRED
    IoIrpThreaded = 1,  // IoBuildDeviceIoControlRequest: status block, event, freed here
    IoIrpEmuRequest = 2 // an EmuIoRequest
};

struct IoDeviceInfo
{
    std::u16string Name;
    bool Pdo = false;
    std::u16string InstancePath;
    ULONG DriverKeyIndex = 0;
    std::map<ULONG, std::vector<UCHAR>> Properties;
    DEVICE_POWER_STATE DevicePower = PowerDeviceD0;
    SYSTEM_POWER_STATE SystemPower = PowerSystemWorking;
    bool Deleted = false;
};

// The IRPs drivers build (IoAllocateIrp, IoBuildDeviceIoControlRequest for
// an internal device control) and the failures injected into them.
struct IoDriverIrps
{
    unsigned long long Built = 0;
    ULONG InjectCode = 0; // 0: any
    EmuInjectedFailure Inject;
};

struct IoState
{
    std::map<PDEVICE_OBJECT, IoDeviceInfo> Devices;
    std::map<std::u16string, PDEVICE_OBJECT> DeviceNames; // upper case
    std::vector<EmuDeviceInterface> Interfaces;
    std::vector<EmuUserMapping> Mappings;
    std::set<EmuIoRequest*> Requests; // sent, not completed
    ULONG TimerRequests = 0;
    ULONG TimerUnmatched = 0;
    ULONG TimerDesired = 0;
    std::string SystemRoot;
    ULONG NextAutoName = 1;
    ULONG NextInstance = 1;
    ULONG NextDriverKey = 0;
    KSPIN_LOCK CancelLock = 0;
    IoDriverIrps DriverIrps;
};

IoState& Io();

std::u16string IoUpper(const std::u16string& s);
std::u16string IoFromUnicode(PCUNICODE_STRING s);
std::string IoNarrow(const std::u16string& s);
bool IoValidUnicode(PCUNICODE_STRING s);
bool IoIsDevice(const void* p);
IoDeviceInfo* IoInfo(PDEVICE_OBJECT device);

// Internal IRP helpers
// An IRP from the pool, not counted as the drivers' and out of reach of their
// injected failures; an injected pool failure still reaches it, so the I/O
// manager's own callers (files, PnP, power) allocate under EmuPoolUnfailing.
PIRP IoAllocateSystemIrp(CCHAR stackSize, BOOLEAN chargeQuota);
void IoFreeIrpInternal(PIRP irp);
// Sends an IRP built with one spare stack location and that location taken
// (IoAllocateSyncIrp) to top and waits for it at most maxMs.
NTSTATUS IoSendAndWait(PDEVICE_OBJECT top, PIRP irp, ULONGLONG maxMs, ULONG_PTR* information);
PIRP IoAllocateSyncIrp(PDEVICE_OBJECT top);

// Registry internals for the device keys
NTSTATUS IoRegistryOpenPath(const std::u16string& path, bool create, ACCESS_MASK access,
                            PHANDLE handle);
