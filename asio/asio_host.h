// The adapter as the ASIO session reaches it: the device's engines and I/O,
// its identity and device-table record, and the start and stop of the
// owner's streaming that the adapter shares with its power changes. The
// adapter holds the session, so the session sees the adapter only through
// this.
#pragma once

#include "framework/interfaces.h"
#include "platform/usb/usbdi.h"
#include "usbaudio/table/device_table.h"

class CStreamEngine;

class CAsioHost
{
  public:
    virtual NTSTATUS GetEngine(ULONG index, CStreamEngine** engine) = 0;
    virtual ULONG GetEngineCount() = 0;
    virtual NTSTATUS GetStreamCapabilities(ULONG streamIndex,
                                           PENDPOINTCAPABILITIES capabilities) = 0;
    virtual PDEVICE_OBJECT GetDeviceObject() = 0;
    virtual ULONG GetPowerState() const = 0;

    virtual NTSTATUS SubmitUrbSync(PURB urb) = 0;
    // TRUE when the device is gone; FALSE also when the check could not be
    // sent, which says nothing about the device.
    virtual BOOLEAN ResetPortIfNeeded() = 0;

    virtual const DeviceRecord& GetDeviceRecord() const = 0;
    virtual UCHAR GetProductIndex() const = 0;

    // Each runs under the adapter's ASIO mutex, held by the caller.
    virtual NTSTATUS AsioStart() = 0;
    virtual NTSTATUS AsioStop() = 0;
    virtual void ResetAsioRings(PKEVENT bufferSwitchEvent) = 0;
    virtual NTSTATUS HoldAsioStopRequest(PIRP request) = 0;

    // The process-exit notification, at PASSIVE_LEVEL; takes the ASIO mutex.
    virtual void AsioProcessExit(HANDLE processId) = 0;

  protected:
    ~CAsioHost() = default;
};
