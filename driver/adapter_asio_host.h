// The adapter's side of the ASIO session's link: every call goes to the
// adapter that holds both.
#pragma once

#include "asio/asio_host.h"

class CAdapterCommon;

class CAdapterAsioHost : public CAsioHost
{
  public:
    explicit CAdapterAsioHost(CAdapterCommon* adapter) : m_Adapter(adapter) {}

    NTSTATUS GetEngine(ULONG index, CStreamEngine** engine) override;
    ULONG GetEngineCount() override;
    NTSTATUS GetStreamCapabilities(ULONG streamIndex, PENDPOINTCAPABILITIES capabilities) override;
    PDEVICE_OBJECT GetDeviceObject() override;
    ULONG GetPowerState() const override;
    NTSTATUS SubmitUrbSync(PURB urb) override;
    BOOLEAN ResetPortIfNeeded() override;
    const DeviceRecord& GetDeviceRecord() const override;
    UCHAR GetProductIndex() const override;
    NTSTATUS AsioStart() override;
    NTSTATUS AsioStop() override;
    void ResetAsioRings(PKEVENT bufferSwitchEvent) override;
    NTSTATUS HoldAsioStopRequest(PIRP request) override;
    void AsioProcessExit(HANDLE processId) override;

  private:
    CAdapterCommon* m_Adapter;
};
