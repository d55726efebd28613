// The frames a stream received against the frames due, in order, where every
// frame due is its own and a received one is known by its samples: it is
// the due stream's frame n (placed), or found nowhere (silence, or other
// samples). A frame placed later than due leaves the frames between never
// received, unless they come later, out of order; one placed earlier is
// received again or out of order. Frames found nowhere, then a frame placed,
// stood in place of the frames due (silence: blanked; other samples: the
// frames changed; either, where processing on the path could change them:
// what it made of them) as far as the placed one goes on from there, and
// past that were inserted. Every fault is named and the compare goes on, so
// one fault hides no other: the first of each kind is kept.
#pragma once

#include <array>
#include <deque>
#include <optional>
#include <vector>

#include "platform/kernel/nt_types.h"

enum class HostOrderKind
{
    Lost,     // frames never received
    Again,    // a frame received again or out of order
    Inserted, // frames received that were not due, before the next one due
    Blanked,  // silence in place of frames due
    Other,    // other samples in place of frames due
    Changed,  // silence or other samples in place of frames due, processing on
};
inline constexpr size_t kHostOrderKinds = 6;

// A fault, in the due stream's frame numbers and the received frames' count
// (At). Lost: First to Last never received, at At frame Due came. Again:
// frame First received at At, in place of frame Due. Inserted: Count frames
// from At on, before frame Due. Blanked, Other and Changed: First to Last,
// from At on.
struct HostOrderFault
{
    HostOrderKind Kind;
    ULONGLONG At;
    ULONGLONG First = 0, Last = 0, Due = 0, Count = 0;
};

class HostFrameOrder
{
  public:
    // A frame later than due may yet come, out of order, while it is fewer
    // than this many frames behind the one due; after that its frames are
    // never received for good.
    static constexpr ULONGLONG kLateFrames = 1ull << 16;

    // From here the next frame due is `due`, as at a start: what was pending
    // ends where it stands, and frames never received stay so.
    void Restart(ULONGLONG due);
    // The next frame received is frame `n` of the due stream.
    void Placed(ULONGLONG n);
    // The next frame received is found nowhere; `silence` when all its
    // samples are, `processed` when processing on the path could have
    // changed it. Of the frames that stood in place of frames due, those
    // processing could have changed are what it made of them, and the
    // others, before or after them, are blanked or changed all the same.
    void Unplaced(bool silence, bool processed);

    // The first fault of each kind, in the order received, taking what is
    // pending as it stands now.
    std::vector<HostOrderFault> Faults() const;
    ULONGLONG InOrder() const { return m_InOrder; }
    // The frame due next, or where frames found nowhere began.
    ULONGLONG Due() const { return m_Due; }
    // The frame due the next frame received would stand in place of, were
    // it found nowhere: past the frames found nowhere so far.
    ULONGLONG Next() const { return m_Stretch ? m_Stretch->Due + m_Stretch->Count : m_Due; }
    ULONGLONG Received() const { return m_At; }

  private:
    struct Gap
    {
        ULONGLONG First, Last, At, Next; // at At, frame Next came
    };
    // Frames of a stretch from its Offset-th on, up to the next part's,
    // processing could (or could not) have changed.
    struct Part
    {
        ULONGLONG Offset;
        bool Processed, Silent;
    };
    // Frames found nowhere from At on, while the frame due was Due.
    struct Stretch
    {
        ULONGLONG Due, At, Count;
        std::vector<Part> Parts;
    };

    // The first fault of each kind.
    using Firsts = std::array<std::optional<HostOrderFault>, kHostOrderKinds>;

    static void Keep(Firsts& first, const HostOrderFault& fault);
    static ULONGLONG InPlace(const Stretch& s, std::optional<ULONGLONG> n);
    // The stretch ended by frame `n`; with none placed, in place of the frames due.
    void EndStretch(std::optional<ULONGLONG> n);
    static void StretchFaults(const Stretch& s, std::optional<ULONGLONG> n, Firsts& first);
    // A frame earlier than due: out of the gap it falls in, if any.
    void Fill(ULONGLONG n);
    void Expire(ULONGLONG before);
    static HostOrderFault LostFault(const Gap& gap);

    ULONGLONG m_Due = 0;
    ULONGLONG m_At = 0;
    ULONGLONG m_InOrder = 0;
    std::deque<Gap> m_Gaps; // in the due stream's order
    std::optional<Stretch> m_Stretch;
    Firsts m_First;
};
