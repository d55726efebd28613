// A stream engine that answers the stream-client interface by recording
// every client operation in a shared log ("capture open", "render start 205",
// ...) and can fail its opens and starts; its formats are a list of records
// and its notifications are sent by the test.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "framework/stream_engine.h"
#include "streaming/usb/usb_stream_control.h"

std::vector<std::string>& ControlLog();

class StreamControlDouble : public CStreamEngine, public IUsbStreamControl
{
  public:
    StreamControlDouble(const char* name, ULONG direction, ULONG frame);
    ~StreamControlDouble() override;

    STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    ULONG GetDirection() override { return m_Direction; }
    ULONG GetFormatCount() override { return (ULONG)Formats.size(); }
    NTSTATUS GetFormatAt(ULONG index, PWAVEFORMATEXTENSIBLE record) override;
    NTSTATUS ProcessBuffer(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBufferStage1(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage1(PVOID, ULONG, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBufferStage2(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage2(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBufferStage3(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage3(ULONG) override { return STATUS_SUCCESS; }

    STDMETHODIMP RegisterClient(ULONG kind, PWAVEFORMATEX format, ULONG msPerUrb, ULONG urbCount,
                                PCALLBACK_FUNCTION callback, PVOID context,
                                PSTREAMCLIENT* client) override;
    STDMETHODIMP UnregisterClient(PVOID key) override;
    STDMETHODIMP StartClient(PVOID key, ULONG startFrame, PULONG msPerUrb,
                             PCHAINNODE node) override;
    STDMETHODIMP StopClient(PVOID key, PCHAINNODE node) override;
    STDMETHODIMP OpenClient(PVOID key, PULONG msPerUrb, PULONG startFrame) override;
    STDMETHODIMP CloseClient(PVOID key) override;

    // Sends a notification of the type to the registered callback, with the
    // client as the stream's active one; `dropped` marks a URB the device
    // did not take.
    void Notify(ULONG type, PVOID buffer = nullptr, ULONG bytes = 0, ULONG dropped = 0);
    PSTREAMCLIENT Client() const { return m_Client; }

    std::vector<WAVEFORMATEXTENSIBLE> Formats;
    NTSTATUS OpenStatus = STATUS_SUCCESS;
    NTSTATUS StartStatus = STATUS_SUCCESS;
    // Runs inside StopClient, as the stream waits for its URBs.
    std::function<void()> OnStop;

  private:
    void Log(const std::string& what);

    std::string m_Name;
    ULONG m_Direction;
    ULONG m_Frame;
    PSTREAMCLIENT m_Client = nullptr;
    PCALLBACK_FUNCTION m_Callback = nullptr;
    PVOID m_Context = nullptr;
};
