// The user-mode side of the ASIO interface, as an ASIO driver in a
// user process drives it: it opens "\LTASIOPrivateInterface" on the adapter
// device, asks the names, channels, rate and buffer sizes, maps one ring per
// ASIO engine with every channel active, starts with a buffer-switch event,
// plays a sine through the render rings and reads the capture rings while
// emulated time runs, counts the buffer switches, then stops, unmaps and
// closes. Every request goes through the I/O manager as a device-control
// request of its own process.
#pragma once

#include <string>
#include <vector>

#include "platform/io/io_emu.h"

struct AsioClientRing
{
    PUCHAR Base; // the header; the data follows its 40 bytes
    bool IsInput;
    ULONG Channels;
    ULONG DataBytes;
};

class AsioTestClient
{
  public:
    // A 64-bit process of its own, attached while the client lives.
    explicit AsioTestClient(PDEVICE_OBJECT adapterDevice);
    // Stops, unmaps and closes whatever is still open, then leaves its process.
    ~AsioTestClient();
    AsioTestClient(const AsioTestClient&) = delete;
    AsioTestClient& operator=(const AsioTestClient&) = delete;

    NTSTATUS Open();
    NTSTATUS Control(ULONG code, const void* input, ULONG inputLength, void* output,
                     ULONG outputLength, ULONG_PTR* information = nullptr);
    NTSTATUS GetDeviceName(std::string* name);
    // ASIO engines, input channels, output channels.
    NTSTATUS GetChannelCounts(ULONG counts[4]);
    NTSTATUS GetSampleRate(ULONG* rate);
    NTSTATUS GetSampleTypes(std::vector<ULONG>* types);
    // Minimum, maximum, preferred, granularity.
    NTSTATUS GetBufferSize(ULONG sizes[4]);
    // One ring per ASIO engine, every channel of both directions active.
    NTSTATUS MapAll(ULONG bufferFrames);
    NTSTATUS Start();
    NTSTATUS Stop();
    NTSTATUS Unmap();
    void Close();

    // Fills every render ring with a sine of sineHz (16-bit samples; whole
    // periods in the ring when the ring holds whole milliseconds of them).
    void WriteSine(double sineHz, ULONG rate);
    // Runs emulated time in 1 ms steps, counting buffer-switch events.
    void Run(ULONG ms);

    const std::vector<AsioClientRing>& Rings() const { return m_Rings; }
    ULONG EventSwitches() const { return m_EventSwitches; }
    // The switch count of the ring that signals, from its header.
    ULONG HeaderSwitches() const;
    // The largest absolute 16-bit sample in the capture rings.
    LONG CapturePeak() const;

  private:
    PDEVICE_OBJECT m_Device;
    PEPROCESS m_Process;
    PFILE_OBJECT m_File = nullptr;
    HANDLE m_Event = nullptr;
    PKEVENT m_KernelEvent = nullptr;
    bool m_Mapped = false;
    bool m_Started = false;
    std::vector<AsioClientRing> m_Rings;
    ULONG m_EventSwitches = 0;
};

// The switches a stream of URBs of msPerUrb, started `lead` frames after the
// start request, completes in ms milliseconds.
ULONG AsioExpectedSwitches(ULONG ms, ULONG msPerUrb, ULONG lead);
// The milliseconds per URB the driver gives a buffer of `frames` at `rate`.
ULONG AsioMsPerUrb(ULONG frames, ULONG rate);
