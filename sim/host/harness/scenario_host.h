// The driver's whole life on a simulated device, as the reliability scenarios
// walk it with a fault injected somewhere and the fuzz targets with a device
// or requests of random bytes: load, plug, add and start; a render
// pin run with control changes made on the topology filter while it plays; a
// capture pin run; an ASIO client run; removal. Every step goes on after a
// failure of the one before (a device that is gone fails them all), so a
// fault injected anywhere still reaches the teardown, which the scenario then
// checks for anything left behind.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/clients/asio_client.h"
#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/host_harness.h"

// What one run of a pin or of the ASIO client did.
struct ScenarioRun
{
    NTSTATUS Open = STATUS_PENDING; // the pin create, or the ASIO open
    NTSTATUS Run = STATUS_PENDING;  // the walk to RUN, or the ASIO start
    ULONG Packets = 0;              // data packets the device moved while it ran
    ULONG Switches = 0;             // ASIO buffer switches signalled
    ULONGLONG Bytes = 0;            // bytes the pin's position moved
    bool Ran() const { return NT_SUCCESS(Open) && NT_SUCCESS(Run); }
};

// What the whole life did.
struct ScenarioLife
{
    NTSTATUS Start = STATUS_PENDING;
    ScenarioRun Render;
    ScenarioRun Capture;
    ScenarioRun Asio;
    ULONG ControlChanges = 0; // node values the topology filter took
};

// What the teardown found.
struct ScenarioEnd
{
    size_t PendingAtBus = 0; // requests the bus still held after removal
    std::string Left;        // what the kernel's leak check reported
    ULONGLONG Ms = 0;        // virtual time the whole scenario took
};

class ScenarioHost
{
  public:
    // Loads the driver and plugs the reference device by name, or the device
    // `plug` plugs into the harness; with selective suspend on, the device's
    // "SelectiveSuspendEnabled" is set before the add.
    explicit ScenarioHost(const std::string& device, bool selectiveSuspend = false);
    explicit ScenarioHost(const std::function<NTSTATUS(HostHarness&)>& plug,
                          bool selectiveSuspend = false);
    ~ScenarioHost();
    ScenarioHost(const ScenarioHost&) = delete;
    ScenarioHost& operator=(const ScenarioHost&) = delete;

    bool Plugged() const { return m_Plugged; }
    HostHarness& Host() { return m_Host; }
    SimUsbDevice* Device() const { return m_Host.Device(); }
    EmuUsbBus* Bus() const { return m_Host.Bus(); }

    NTSTATUS Start();
    // The pin of the first wave filter that moves data in `flow`, opened with
    // the format the driver picks for any rate and depth it offers.
    NTSTATUS OpenWave(KSPIN_DATAFLOW flow, PFILE_OBJECT* pin);
    NTSTATUS RunPin(PFILE_OBJECT pin);
    NTSTATUS StopPin(PFILE_OBJECT pin);
    void ClosePin(PFILE_OBJECT pin);
    // Runs emulated time, a render pin playing silence or a capture pin's
    // queue drained.
    void Play(PFILE_OBJECT pin, ULONG ms, bool capture);
    // Data packets of the device's endpoints of one direction so far.
    ULONG DataPackets(bool in) const;
    // Sets the volume and mute nodes of the topology filter; how many took it.
    ULONG ChangeControls();

    // A pin opened, run for `ms`, stopped and closed.
    ScenarioRun WaveRun(KSPIN_DATAFLOW flow, ULONG ms);
    // The ASIO client when the device offers it: open, map, start, run for
    // `ms`, stop, unmap, close. Open is STATUS_NOT_FOUND without the interface.
    ScenarioRun AsioRun(ULONG ms);
    bool HasAsio() const;

    // Start, render, control changes, capture, ASIO.
    ScenarioLife Live(ULONG runMs);
    // Tells the driver its device is gone, as the system does at once, with
    // whatever files and streams are still open.
    NTSTATUS SurpriseRemoval();
    // Closes every file, then removes the adapter device (after a surprise
    // removal when the device is gone and none was sent).
    NTSTATUS Remove();
    // Removes the device if it is still there, unplugs it and unloads the
    // driver.
    ScenarioEnd Teardown();

    AudioEngineClient& Client();

  private:
    HostHarness m_Host;
    std::unique_ptr<AudioEngineClient> m_Client;
    ULONGLONG m_Began = 0;
    bool m_Plugged = false;
    bool m_SurpriseSent = false;
    bool m_TornDown = false;
};

// The devices the scenarios run on (names the harness plugs): the reference
// devices, the chip models and the timed chips.
inline const char* const kScenarioDevices[] = {
    "Uac1SpeakerMic", "Uac1Surround71", "Uac2HighSpeed", "Uac2Spdif",      "ChipModelA",
    "ChipModelB",     "ChipModelC",     "TimedChip",     "TimedChipListed"};
