// One ASIO ring's data compared one way, frame by frame as it comes: render,
// what the device received against the client's frames, numbered from the
// run's first; capture, what the client read from the ring against what the
// device sent, numbered from its first. A frame is placed by its samples
// alone (every frame of the client's is its own; the device's are kept for a
// while), so a fault is named and the compare goes on from the frames after
// it (HostFrameOrder), the first fault of each kind named. Frames found
// nowhere that the driver took while the path's processing was on are what
// it made of them; all others are faults, and frames lost, repeated or
// inserted are named wherever they are placed.
// Frames are named as a play's verdict names them: render, a "frame" is the
// client's, a "wire frame" what the device received; capture, a "frame" is
// one the client read, from the run's first, a "wire frame" one the device
// sent.
#pragma once

#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/host/harness/host_frame_order.h"

// One frame of the client's: frame `k` of `bytes` bytes. The first eight
// bytes (fewer in a smaller frame) are a permutation of k's low bits, so no
// two frames of a run share them; the rest is a hash of k and the byte's
// place, so every channel and sample differs.
void AsioClientFrame(ULONGLONG k, ULONG bytes, UCHAR* out);
// The number of the client's frame whose first bytes `frame` holds: the
// permutation undone, its low bits taken nearest to `near`. False where that
// would be below 0. The rest of the frame is not looked at.
bool AsioClientFrameNumber(const UCHAR* frame, ULONG bytes, ULONGLONG near, ULONGLONG* k);

// What one way's compare says: a line a fault, the first of each kind in the
// order received; and where the processing on the path changed frames, the
// line that names it, from the first frame it changed.
struct HostAsioSaid
{
    std::vector<std::string> Faults;
    std::string Processing;
};

// What faults say, each the first of its kind, in the order received: a
// line a fault, but frames changed where processing was on, which the
// processing line names as `processing`.
HostAsioSaid HostAsioSay(bool capture, const std::vector<HostOrderFault>& faults,
                         const std::string& processing);

class HostAsioCompare
{
  public:
    // The device's frames kept to place a frame read by, the last sent and
    // those not yet read among them.
    static constexpr ULONGLONG kSentKept = 1ull << 15;

    HostAsioCompare(bool capture, ULONG frameBytes);

    // Render: the client has written its frames before `next`, and no later
    // one can have reached the device.
    void Written(ULONGLONG next) { m_Written = next; }
    // Capture: frames the device sent, whole, numbered on from its first.
    void Sent(const UCHAR* data, size_t bytes);
    ULONGLONG SentFrames() const { return m_SentFrom + m_Sent.size() / m_FrameBytes; }
    // A start: the next frame due is `first` (render: the client's; capture:
    // the device's).
    void Start(ULONGLONG first) { m_Order.Restart(first); }
    // Frames the device received (render) or the client read (capture), whole.
    void Received(const UCHAR* data, size_t bytes);
    // The driver took frames `from` to before `to` while processing on the
    // ring's path was on: render, the client's frames; capture, the frames
    // the client read, from the run's first. Only those may be what it made
    // of them. Given before the frames come.
    void Processed(ULONGLONG from, ULONGLONG to);

    // `processing`: what was on the ring's path over the run, in the
    // driver's words.
    HostAsioSaid Said(const std::string& processing) const;
    // Frames received each the one due, in order; frames received.
    ULONGLONG Compared() const { return m_Order.InOrder(); }
    // The frame due next (render: the client's).
    ULONGLONG Due() const { return m_Order.Due(); }
    ULONGLONG ReceivedFrames() const { return m_Order.Received(); }

  private:
    using SentAt = std::deque<UCHAR>::const_iterator;

    // The client's frame (render) or the device's (capture) the frame is.
    bool PlaceClients(const UCHAR* frame, ULONGLONG* n);
    bool PlaceSent(const UCHAR* frame, ULONGLONG* n);
    // Whether the next frame received, found nowhere, is one processing made.
    bool Processed() const;
    void Index();
    bool SentIs(ULONGLONG n, const UCHAR* frame) const;
    SentAt SentFrame(ULONGLONG n) const;
    template <typename Bytes> ULONGLONG Hash(Bytes bytes) const;

    const bool m_Capture;
    const ULONG m_FrameBytes;
    HostFrameOrder m_Order;
    std::vector<UCHAR> m_Scratch;
    ULONGLONG m_Written = 0;
    // The frames taken while processing was on, as spans [first, end), in
    // order, none touching the next.
    std::vector<std::pair<ULONGLONG, ULONGLONG>> m_Processed;
    // Capture: the device's frames from m_SentFrom on, and where each is,
    // by its samples (the latest where frames repeat).
    std::deque<UCHAR> m_Sent;
    ULONGLONG m_SentFrom = 0;
    std::unordered_map<ULONGLONG, ULONGLONG> m_Where;
    bool m_Indexed = false;
};
