// The data side of a simulated audio device: isochronous OUT endpoints that
// record every byte received per packet and frame, isochronous IN endpoints
// that produce a known pattern at the stream's current rate, an explicit
// feedback endpoint (marked feedback, or an IN endpoint without a
// class-specific descriptor) that reports the device clock, and an interrupt
// endpoint that sends the status messages a test posts.
#pragma once

#include <deque>
#include <map>
#include <vector>

#include "platform/usb/emu_usb_function.h"
#include "sim/devices/sim_audio_control.h"

struct SimPacketRecord
{
    ULONG Frame = 0;
    ULONG Microframe = 0;
    ULONG Offset = 0; // into the endpoint's recorded data
    ULONG Length = 0;
};

struct SimOutRecord
{
    std::vector<UCHAR> Data;              // every byte received, in order
    std::vector<SimPacketRecord> Packets; // one per packet received (errors excluded)
    // The first packet slot the bus gave the endpoint since the record was
    // cleared, whether or not its packet failed: where the stream starts.
    bool Tried = false;
    ULONG FirstFrame = 0;
    ULONG FirstMicroframe = 0;
};
// What an IN endpoint sent, kept as an OUT endpoint's record keeps what it
// received: every byte in order and one entry a packet sent (empty ones
// included, errors excluded).
using SimInRecord = SimOutRecord;

enum class SimInPattern
{
    // Sample k of the endpoint (counting every channel of every frame) is
    // the integer k, little-endian in the subslot, truncated to its size.
    Counter,
    // A full-scale-times-amplitude sine of the given frequency, the same in
    // every channel, left-justified in the subslot to the bit resolution,
    // offset by half the subslot's range for an unsigned (PCM8) format.
    Sine,
    // The sine with the lowest bits of its resolution (one bit in eight)
    // replaced by a hash of the frame's number, the same in every channel: no
    // run of a few frames comes twice, whole periods apart or not, so a frame
    // lost or repeated on its way is told by the frames around it.
    MarkedSine,
    // Every sample its own: a hash of k (counting every channel of every
    // frame) at full scale, justified and offset as the sine is, so no two
    // frames of a run are alike and the bits below the resolution are zero.
    Noise
};

enum class SimPacketShape
{
    Normal,
    Short, // one sample frame fewer than the clock gives
    Empty  // no data at all
};

class SimStreaming
{
  public:
    // `control` says the rate each stream runs at.
    void Build(const SimDescriptorSet* descriptors, SimAudioControl* control, EmuUsbSpeed speed);
    void OnAlternateSetting(UCHAR interfaceNumber, UCHAR alternateSetting);
    void OnBusReset();

    USBD_STATUS IsochOut(UCHAR endpoint, ULONG frame, ULONG microframe, const UCHAR* data,
                         ULONG length);
    USBD_STATUS IsochIn(UCHAR endpoint, ULONG frame, ULONG microframe, UCHAR* data, ULONG capacity,
                        ULONG* length);
    USBD_STATUS InterruptIn(UCHAR endpoint, UCHAR* data, ULONG capacity, ULONG* length);

    // ---- for tests
    // Queues a status message on the interrupt endpoint: 2 bytes for audio
    // class 1.0, 6 bytes for 2.0; false when it cannot be sent.
    bool PostInterrupt(const std::vector<UCHAR>& message);
    // Queues any bytes as one status packet, whatever their length: a short
    // message, or one longer than the endpoint's packet (babble).
    void PostRawInterrupt(const std::vector<UCHAR>& bytes) { m_Interrupts.push_back(bytes); }
    size_t PendingInterrupts() const { return m_Interrupts.size(); }
    // Bulk IN endpoints answer from their own queue (status messages go to
    // interrupt endpoints only); a read finds the next packet or waits.
    void PostBulkIn(const std::vector<UCHAR>& bytes) { m_BulkIn.push_back(bytes); }
    size_t PendingBulkIn() const { return m_BulkIn.size(); }
    ULONG BulkInServed() const { return m_BulkServed; }
    const SimOutRecord& OutRecord(UCHAR endpoint) { return m_Out[endpoint]; }
    // What a data endpoint the driver reads sent (a feedback endpoint's
    // values are not kept).
    const SimInRecord& InRecord(UCHAR endpoint) { return m_In[endpoint]; }
    void ClearRecords()
    {
        m_Out.clear();
        m_In.clear();
    }
    ULONG PacketCount(UCHAR endpoint) const;
    // Channels and subslot bytes of the endpoint's selected setting; false
    // while no setting with a format is selected.
    bool SelectedFormat(UCHAR endpoint, UCHAR* channels, UCHAR* subslotBytes) const;
    // Whether the endpoint's selected setting codes its samples unsigned
    // (PCM8); PCM is two's complement.
    bool SelectedUnsigned(UCHAR endpoint) const;
    void SetInPattern(UCHAR endpoint, SimInPattern pattern, ULONG sineHz = 1000,
                      double amplitude = 0.5);
    // The next `count` packets of the endpoint from its packet number
    // `ordinal` on (counted from 0 since the device was built) fail with
    // `status`: nothing is received or sent.
    void InjectPacketError(UCHAR endpoint, ULONG ordinal, USBD_STATUS status, ULONG count = 1);
    void InjectInPacketShape(UCHAR endpoint, ULONG ordinal, SimPacketShape shape);
    // Device clock deviation from the nominal rate, in parts per million.
    void SetClockDriftPpm(LONG ppm) { m_DriftPpm = ppm; }
    LONG ClockDriftPpm() const { return m_DriftPpm; }
    // The feedback value the device reports now for a stream running at
    // rate: 10.14 samples per frame at full speed, 16.16 samples per
    // microframe at high speed.
    ULONG FeedbackValue(ULONG rate) const;

  private:
    struct EndpointState
    {
        const SimEndpointInfo* Info = nullptr;
        UCHAR InterfaceNumber = 0;
        UCHAR Channels = 0;
        UCHAR SubslotBytes = 0;
        UCHAR Resolution = 0;
        bool Unsigned = false;
        ULONGLONG Accumulator = 0;
        ULONGLONG Samples = 0;
        SimInPattern Pattern = SimInPattern::Counter;
        ULONG SineHz = 1000;
        double Amplitude = 0.5;
    };
    struct PacketFault
    {
        ULONG From = 0;
        ULONG Count = 0;
        USBD_STATUS Status = USBD_STATUS_SUCCESS;
    };
    EndpointState* Active(UCHAR endpoint);
    USBD_STATUS FaultFor(UCHAR endpoint, ULONG ordinal);
    ULONG PacketsPerSecond(const SimEndpointInfo& ep) const;
    // Notes the slot in `record` when it is the first since it was cleared.
    static void NoteTried(SimOutRecord& record, ULONG frame, ULONG microframe);
    // Adds a packet of `length` bytes at `data` to `record`.
    static void Keep(SimOutRecord& record, ULONG frame, ULONG microframe, const UCHAR* data,
                     ULONG length);

    const SimDescriptorSet* m_Descriptors = nullptr;
    SimAudioControl* m_Control = nullptr;
    EmuUsbSpeed m_Speed = EmuUsbSpeed::Full;
    bool m_Uac2 = false;
    std::map<UCHAR, UCHAR> m_Alt;
    std::map<UCHAR, EndpointState> m_Endpoints; // by address, for the selected settings
    std::map<UCHAR, SimInPattern> m_Patterns;
    std::map<UCHAR, std::pair<ULONG, double>> m_Sine;
    std::map<UCHAR, ULONG> m_PacketCounts; // survives setting changes
    std::map<UCHAR, SimOutRecord> m_Out;
    std::map<UCHAR, SimInRecord> m_In;
    std::multimap<UCHAR, PacketFault> m_Faults;
    std::map<std::pair<UCHAR, ULONG>, SimPacketShape> m_Shapes;
    std::deque<std::vector<UCHAR>> m_Interrupts;
    std::deque<std::vector<UCHAR>> m_BulkIn;
    ULONG m_BulkServed = 0;
    LONG m_DriftPpm = 0;
};
