// The user-mode side of the ASIO interface, as an ASIO driver in a
// user process drives it: it opens "\LTASIOPrivateInterface" on the adapter
// device, asks the names and channels, chooses a rate and a sample type
// every ASIO engine offers, asks the buffer sizes, maps one ring per ASIO
// engine with every channel active, starts with a buffer-switch event, plays
// a sine through the render rings and reads the capture rings while emulated
// time runs, counts the buffer switches, then stops, unmaps and closes. Every
// request goes through the I/O manager as a device-control request of its
// own process.
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

// What the driver answers to a sample-type query: the type the session
// streams in now, and those every ASIO engine offers, in the driver's order.
struct AsioSampleTypes
{
    ULONG Current = 0;
    std::vector<ULONG> Offered;
};

// A sample-type reply of `bytes` (as many as a reply may hold at most): the
// current type, the count and the types; false when the count claims more
// types than the bytes hold, or the bytes are not a reply's.
bool AsioReadSampleTypes(const ULONG* reply, ULONG_PTR bytes, AsioSampleTypes* types);
// The type to stream in: the current one where every engine offers it, else
// the first one offered; 0 when none is.
ULONG AsioChooseSampleType(const AsioSampleTypes& types);
// A type in words a person reads: "17 (24 bits in 3 bytes)".
std::string AsioSampleTypeText(ULONG type);

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
    // STATUS_UNSUCCESSFUL where not every ASIO engine has a format at `rate`.
    NTSTATUS CanSampleRate(ULONG rate);
    NTSTATUS SetSampleRate(ULONG rate);
    // Asks the current rate and, where not every engine plays it, sets the
    // first of 48000 Hz, 44100 Hz and the host's standard rates (8000 to
    // 384000 Hz) that they do; *chosen is 0 when none is played.
    NTSTATUS ChooseSampleRate(ULONG* current, ULONG* chosen);
    // STATUS_INVALID_BUFFER_SIZE for an answer whose count its bytes do not hold.
    NTSTATUS GetSampleTypes(AsioSampleTypes* types);
    NTSTATUS SetSampleType(ULONG type);
    // Asks the types and, where the current one is not offered, sets the one
    // AsioChooseSampleType names; *chosen is 0 when no type is offered.
    NTSTATUS ChooseSampleType(AsioSampleTypes* types, ULONG* chosen);
    // Minimum, maximum, preferred, granularity.
    NTSTATUS GetBufferSize(ULONG sizes[4]);
    // One ring per ASIO engine, every channel of both directions active, in
    // the sample type current when they are mapped (asked first).
    NTSTATUS MapAll(ULONG bufferFrames);
    NTSTATUS Start();
    NTSTATUS Stop();
    NTSTATUS Unmap();
    void Close();

    // Fills every render ring with a sine of sineHz in the rings' sample type,
    // at 16000 of 16 bits' full scale whatever its width (whole periods in the
    // ring when the ring holds whole milliseconds of them).
    void WriteSine(double sineHz, ULONG rate);
    // Runs emulated time in 1 ms steps, counting buffer-switch events.
    void Run(ULONG ms);

    const std::vector<AsioClientRing>& Rings() const { return m_Rings; }
    // Bytes of one sample in the rings, by their sample type; 0 for DSD.
    ULONG RingSampleBytes() const;
    ULONG EventSwitches() const { return m_EventSwitches; }
    // The switch count of the ring that signals, from its header.
    ULONG HeaderSwitches() const;

  private:
    // The first rate every engine plays, `current` asked first and no rate
    // twice; 0 when none is.
    NTSTATUS FirstPlayedRate(ULONG current, ULONG* rate);

    PDEVICE_OBJECT m_Device;
    PEPROCESS m_Process;
    PFILE_OBJECT m_File = nullptr;
    HANDLE m_Event = nullptr;
    PKEVENT m_KernelEvent = nullptr;
    bool m_Mapped = false;
    bool m_Started = false;
    std::vector<AsioClientRing> m_Rings;
    ULONG m_SampleType = 0; // last answered or set: the rings' format once mapped
    ULONG m_EventSwitches = 0;
};

// The switches a stream of URBs of msPerUrb, started `lead` frames after the
// start request, completes in ms milliseconds.
ULONG AsioExpectedSwitches(ULONG ms, ULONG msPerUrb, ULONG lead);
// The milliseconds per URB the driver gives a buffer of `frames` at `rate`.
ULONG AsioMsPerUrb(ULONG frames, ULONG rate);
