// The adapter common object on a simulated USB device, registered with the
// port-class library for its power management, for the power and idle tests.
// Between the adapter and the USB stack sits a filter that a test can script
// for the idle-notification request (pass it on, keep it, answer it at once);
// the filter also takes device-control requests on files opened on it and
// hands them to the adapter's ASIO stop, as the dispatcher would. The ASIO
// streaming that the power changes stop and restart is recorded by the link
// the adapter's session is given.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/adapter_common.h"
#include "tests/driver/adapter_rig.h"

// What the ASIO side of the adapter double saw, in order: "asio start",
// "asio stop", "reset rings", "stop held", "stop refused", "stop streaming".
std::vector<std::string>& PowerLog();

class PowerTestAdapter;

// The adapter's ASIO link with the streaming recorded: start and stop set and
// clear the session's running flag, the rings reset nothing.
class PowerAsioHost final : public CAdapterAsioHost
{
  public:
    explicit PowerAsioHost(PowerTestAdapter* adapter);

    NTSTATUS AsioStart() override;
    NTSTATUS AsioStop() override;
    void ResetAsioRings(PKEVENT bufferSwitchEvent) override;

  private:
    PowerTestAdapter* m_Adapter;
};

// Built before the adapter and gone after it, as the adapter asks of the link
// it is given.
struct PowerAsioHostHolder
{
    explicit PowerAsioHostHolder(PowerTestAdapter* adapter) : AsioHost(adapter) {}
    PowerAsioHost AsioHost;
};

// The adapter with its session on the recording link; the stop operation
// keeps its request while the device is not in D0 and otherwise stops
// streaming as the ASIO code does.
class PowerTestAdapter : private PowerAsioHostHolder, public CAdapterCommon
{
  public:
    PowerTestAdapter();
    ~PowerTestAdapter() override;

    STDMETHODIMP AsioStopStreaming(PFILE_OBJECT fileObject, PIRP request) override;

    // Streaming runs for an owner with this buffer-switch event.
    void StartStreaming(AsioClientRecord* owner);
    // The link the ASIO session stops and starts the streaming through.
    PowerAsioHost& RecordedAsio() { return AsioHost; }
    bool IsAsioRunning() const { return GetAsioRunning() != 0; }
    bool IsPowerDownMarked() const { return GetAsioPowerDownMark() != 0; }
    // The event the session's rings set on a buffer switch.
    PKEVENT LastRingEvent() { return GetAsioSession().Rings().GetBufferSwitchEvent(); }

    // A start that takes this long (the streams are slow to come back).
    ULONG StartDelayMs = 0;
    NTSTATUS StopStatus = STATUS_SUCCESS;
};

// How the filter answers the idle-notification request.
enum class IdleAnswer
{
    PassOn,   // to the USB stack, which calls back when it is ready to suspend
    Keep,     // kept with a cancel routine; see CancelDelayMs
    KeepDeaf, // kept without one: a cancel does nothing
    Refuse,   // completed at once with RefuseStatus
};

struct IdleScript
{
    IdleAnswer Answer = IdleAnswer::PassOn;
    // A kept request that is cancelled completes this much later, from a
    // DPC; 0: at once, in the canceller's thread.
    ULONG CancelDelayMs = 0;
    NTSTATUS RefuseStatus = STATUS_NOT_SUPPORTED;
    ULONG Requests = 0;                     // idle requests seen
    ULONG InputLength = 0;                  // of the last one
    PUSB_IDLE_CALLBACK_INFO Info = nullptr; // of the last one
    PIRP Kept = nullptr;
};

class PowerRig
{
  public:
    explicit PowerRig(bool selectiveSuspend = true);
    ~PowerRig();
    bool Ok() const { return m_Adapter != nullptr && NT_SUCCESS(m_InitStatus); }
    NTSTATUS InitStatus() const { return m_InitStatus; }

    PowerTestAdapter* Adapter() const { return m_Adapter; }
    UsbAdapterRig& Base() { return *m_Base; }
    EmuUsbBus* Bus() const { return m_Base->Bus(); }
    IdleScript& Idle();
    PDEVICE_OBJECT Filter() const { return m_Filter.Device(); }

    // The power state the port-class library holds for the device.
    DEVICE_POWER_STATE LibraryPowerState() const;
    // A device power request as the power manager sends it.
    NTSTATUS SetDevicePower(DEVICE_POWER_STATE state);
    // Completes the kept idle request with the status, at DISPATCH_LEVEL when
    // asked.
    void CompleteKeptIdle(NTSTATUS status, bool atDispatch);
    // Calls the kept request's idle callback, as the USB stack does when it is
    // ready to suspend the device.
    void RunKeptIdleCallback();

    // A file on the filter whose device-control requests reach the ASIO stop.
    // Files still open when the rig goes are closed after the adapter is gone.
    PFILE_OBJECT OpenFile();
    void CloseFile(PFILE_OBJECT file);

  private:
    std::unique_ptr<UsbAdapterRig> m_Base;
    LowerDevice m_Filter;
    PowerTestAdapter* m_Adapter = nullptr;
    NTSTATUS m_InitStatus = STATUS_UNSUCCESSFUL;
    std::vector<PFILE_OBJECT> m_Files;
};

// The idle request's steps as the test clock sees them.
inline constexpr ULONG IDLE_FIRST_CHECK_MS = 5000;
