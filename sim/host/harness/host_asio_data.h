// The ASIO client's data checked both ways, as a client that cares for its
// audio would: it writes frames that never repeat in a run into the render
// rings, ahead of the driver's position, and compares what the device
// received with them; it reads the capture rings behind the driver's
// position and compares them with what the device sent. Frames are named
// as a play's verdict names them: a "frame" counts the client's frames
// from the run's first (render: written; capture: as the device sent them),
// a "wire frame" what the device received (sent) on that endpoint from the
// run's first.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "sim/clients/asio_client.h"
#include "sim/devices/sim_usb_device.h"

// One frame of the client's: frame `k` of `bytes` bytes. The first eight
// bytes (fewer in a smaller frame) are a permutation of k's low bits, so no
// two frames of a run share them; the rest is a hash of k and the byte's
// place, so every channel and sample differs.
void AsioClientFrame(ULONGLONG k, ULONG bytes, UCHAR* out);

class HostAsioData
{
  public:
    // `sampleBytes`: the rings' bytes per sample, as mapped.
    HostAsioData(AsioTestClient& client, SimUsbDevice* device, ULONG sampleBytes);

    // Before a start the client asked for: every render ring filled from its
    // first frame with the run's next frames, and the device's records
    // cleared so what it receives from here is this start's.
    void BeforeStart();
    // After the start: the driver's position must be its pre-roll past the
    // start position, every frame taken so far the device's.
    void AfterStart();
    // After a start the client did not ask for (the device back in D0): the
    // device must receive the client's frames from the first one it did not
    // receive before, each once and in order, the driver taking them from
    // that frame's place; capture goes on where it stood, nothing it holds
    // presented anew. A Run after the power-down took what the device
    // received before it.
    void Restarted();
    // Runs `ms` of emulated time, a millisecond at a time: buffer switches
    // counted, frames written ahead and read, and both sides compared.
    void Run(ULONG ms);

    // The first difference each way, in words; empty while the data agrees.
    const std::string& RenderFault() const { return m_Render.Fault; }
    const std::string& CaptureFault() const { return m_Capture.Fault; }
    // The first position each way that does not count what was moved.
    const std::string& RenderPosition() const { return m_Render.Position; }
    const std::string& CapturePosition() const { return m_Capture.Position; }
    // Where the samples differ as levels would make them, each way: the
    // driver's processing, said and not a fault; empty when none.
    const std::string& RenderProcessing() const { return m_Render.Processing; }
    const std::string& CaptureProcessing() const { return m_Capture.Processing; }
    // Frames compared each way, and whether there are rings of that way.
    ULONGLONG RenderCompared() const { return m_Render.Compared; }
    ULONGLONG CaptureCompared() const { return m_Capture.Compared; }
    bool HasRender() const { return !m_Render.Rings.empty(); }
    bool HasCapture() const { return !m_Capture.Rings.empty(); }

  private:
    struct Ring
    {
        const AsioClientRing* Client = nullptr;
        ULONG FrameBytes = 0;
        ULONG Frames = 0;
        UCHAR Endpoint = 0;     // 0 until the device's data names it
        ULONGLONG Taken = 0;    // frames the driver took or put since the start
        ULONGLONG Written = 0;  // render: reads written for; capture: frames read
        ULONGLONG Base = 0;     // render: the frame written for the start's first read
        ULONGLONG Wire = 0;     // device frames this start, compared
        ULONGLONG WireRun = 0;  // device frames before this start
        std::deque<UCHAR> Sent; // capture: device bytes not yet read
        ULONGLONG SentFrom = 0; // capture: the device frame Sent begins at
    };
    struct Side
    {
        std::vector<Ring> Rings;
        std::string Fault;
        std::string Position;
        std::string Processing;
        ULONGLONG Compared = 0;
    };

    void CaptureFromTheStart();
    void CheckStart(const Ring& ring, ULONG at, const std::string& what);
    void Step();
    // The driver's frames taken since the start, from its position.
    bool Follow(Ring& ring);
    ULONGLONG Expected(const Ring& ring, ULONGLONG read) const;
    void WriteAhead(Ring& ring);
    void NameEndpoints();
    void CompareRender(Ring& ring, const std::vector<UCHAR>& received);
    void ReadCapture(Ring& ring);
    void RenderDiffers(Ring& ring, const UCHAR* frame);
    void CaptureDiffers(Ring& ring, const UCHAR* frame, ULONGLONG at);
    static void Unplaced(Side& side, const UCHAR* frame, ULONG bytes, const std::string& silence,
                         const std::string& changed);
    static void Fail(std::string* first, const std::string& text);

    AsioTestClient& m_Client;
    SimUsbDevice* m_Device;
    ULONG m_SampleBytes;
    Side m_Render;
    Side m_Capture;
    ULONGLONG m_NextFrame = 0; // the run's next frame never written
    ULONGLONG m_CaptureRun = 0;
};
