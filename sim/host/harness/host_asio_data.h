// The ASIO client's data checked both ways, as a client that cares for its
// audio would: it writes frames that never repeat in a run into the render
// rings, ahead of the driver's position, and compares what the device
// received with them; it reads the capture rings behind the driver's
// position and compares them with what the device sent (HostAsioCompare,
// one a ring). At every step it reads what the processing on each ring's
// path could change (HostPathProcessing): every frame that is not the one
// due fails the run, but frames found nowhere that the driver took from the
// ring (render) or put in it (capture) while something was on, to within
// the step at which it changed, which are what it made of them, and the
// line names it.
#pragma once

#include <string>
#include <vector>

#include "sim/clients/asio_client.h"
#include "sim/host/harness/host_asio_compare.h"
#include "sim/host/harness/host_harness.h"
#include "sim/host/harness/host_path_processing.h"

// What a test puts between the device and the compare, as a faulty device,
// cable or client would. `ring` is the ring's index in the client's rings.
class HostAsioTap
{
  public:
    // After a start, before it is checked: the headers as the driver wrote them.
    virtual void Started(const std::vector<AsioClientRing>& rings) { (void)rings; }
    // The bytes the device received on a render ring's endpoint in a step.
    virtual void Received(size_t ring, std::vector<UCHAR>* bytes) { (void)ring, (void)bytes; }
    // The bytes the device sent on a capture ring's endpoint in a step, as
    // the compare takes them.
    virtual void Sent(size_t ring, const std::vector<UCHAR>& bytes) { (void)ring, (void)bytes; }
    // The frames read from a capture ring in a step.
    virtual void Read(size_t ring, std::vector<UCHAR>* frames) { (void)ring, (void)frames; }

  protected:
    ~HostAsioTap() = default;
};

// One way's verdict over the run so far.
struct HostAsioWay
{
    bool Has = false; // whether there are rings of that way
    // A line a fault, the first of each kind of each ring; the processing
    // that changed frames, in the driver's words, where it did.
    std::vector<std::string> Faults;
    std::string Processing;
    // The first position that does not count what was moved.
    std::string Position;
    ULONGLONG Compared = 0; // frames each the one due, in order
    ULONGLONG Received = 0; // frames the device received (render), read (capture)
};

class HostAsioData
{
  public:
    // `sampleBytes`: the rings' bytes per sample, as mapped.
    HostAsioData(AsioTestClient& client, const HostHarness& host, ULONG sampleBytes,
                 HostAsioTap* tap = nullptr);

    // Before a start the client asked for: every render ring filled from its
    // first frame with the run's next frames, and the device's records
    // cleared so what it receives from here is this start's.
    void BeforeStart();
    // After the start: the driver's position must be its pre-roll past the
    // start position, every frame taken so far the device's.
    void AfterStart();
    // Before the device leaves D0 while streaming: until it is back, the
    // render endpoints may receive silence as the streams stop one after
    // the other, which is no frame of the client's, neither due nor
    // inserted.
    void PoweringDown() { m_PoweringDown = true; }
    // After a start the client did not ask for (the device back in D0): the
    // device must receive the client's frames from the first one it did not
    // receive before (by their numbers, whatever silence came between),
    // each once and in order, the driver taking them from that frame's
    // place; capture goes on where it stood, nothing it holds presented
    // anew.
    void Restarted();
    // Runs `ms` of emulated time, a millisecond at a time: buffer switches
    // counted, frames written ahead and read, both ways compared, and the
    // processing on each path read.
    void Run(ULONG ms);

    HostAsioWay Render() const { return Verdict(m_Render); }
    HostAsioWay Capture() const { return Verdict(m_Capture); }

  private:
    struct Ring
    {
        size_t Index; // in the client's rings
        const AsioClientRing* Client;
        ULONG FrameBytes;
        ULONG Frames;
        HostAsioCompare Compare;
        HostPathProcessing Path;
        UCHAR Endpoint = 0;    // 0 until the device's data names it
        bool On = false;       // processing on the path was on at the last read
        bool Changes = false;  // ... at the last read or the one before it
        ULONGLONG Taken = 0;   // frames the driver took or put since the start
        ULONGLONG Written = 0; // render: reads written for; capture: frames read
        ULONGLONG Base = 0;    // render: the frame written for the start's first read
        ULONGLONG Wire = 0;    // capture: frames the device sent since the start
    };
    struct Side
    {
        std::vector<Ring> Rings;
        std::string Position;
    };

    HostAsioWay Verdict(const Side& side) const;
    void CaptureFromTheStart();
    void CheckStart(const Ring& ring, ULONG at, const std::string& what);
    void Step();
    // The device's records since the last step, into the compares.
    void TakeRecords();
    // The step's frames but silence, which is no frame of the client's.
    void DropSilence(const Ring& ring);
    // Whether processing on the ring's path is on now: the frames the driver
    // took (put) since the last read were its to change if it was on at
    // either read.
    void ReadPath(Ring& ring);
    // The same for every ring, before the driver runs on.
    void LookAtPaths();
    // The driver's frames taken (put) since the start, from its position.
    bool Follow(Ring& ring);
    // Render: Follow, the frames taken since marked as processing's where
    // they were its to change.
    void TakeRender(Ring& ring);
    void WriteAhead(Ring& ring);
    void NameEndpoints(bool started);
    void ReadCapture(Ring& ring);
    void Fail(const Ring& ring, const std::string& text);

    AsioTestClient& m_Client;
    SimUsbDevice* m_Device;
    HostAsioTap* m_Tap;
    ULONG m_SampleBytes;
    Side m_Render;
    Side m_Capture;
    ULONGLONG m_NextFrame = 0;   // the run's next frame never written
    bool m_PoweringDown = false; // from PoweringDown to Restarted
    std::vector<UCHAR> m_Frames; // a step's bytes on their way to a compare
};
