// The file's frames that a play's received frames are looked for in: from a
// place on, for so many places and a run of frames more, each place indexed
// by the hash of the run that starts there, so that a run of received frames
// finds its nearest places in a few steps however often the file repeats.
#pragma once

#include <algorithm>
#include <vector>

#include "platform/kernel/nt_types.h"

class HostPlayWindow
{
  public:
    static constexpr ULONGLONG kNone = ~0ull;
    // The longest run a place is decided by: a run of received frames is
    // followed at its places until it has this many frames or ends. A value
    // held for many frames tells no more than one frame: a run must span
    // several of them.
    static constexpr size_t kLongestRun = 256;
    // The places a window indexes at most (half a second at 2 MHz), the
    // places Nearest gives at most, and those it tries: the steps of its
    // three searches by halving, by hash and by place, and those it gives.
    static constexpr size_t kPlaceBits = 20;
    static constexpr size_t kMostPlaces = 8;
    static constexpr size_t kPlacesTried = 3 * (kPlaceBits + 1) + kMostPlaces;
    // The frames compared for each held in finding the passages it holds
    // twice, at most.
    static constexpr ULONGLONG kTwiceWork = 16;

    // Frames of `frameBytes` bytes, silent when every byte is `silence`.
    HostPlayWindow(size_t frameBytes, UCHAR silence);

    // Holds `frames` (whole frames of the file from its frame `at` on) and
    // indexes the first `places` places whose run the frames hold; adds the
    // work to *work, a unit a frame hashed or a place indexed.
    void Hold(std::vector<UCHAR> frames, ULONGLONG at, ULONGLONG places, ULONGLONG* work);
    ULONGLONG At() const { return m_At; }
    // One past the last frame held.
    ULONGLONG End() const { return m_At + m_Held; }
    // The file's frame `n`; null when the window does not hold it.
    const UCHAR* Frame(ULONGLONG n) const;
    // The frames of sound a run holds once it places received frames: as
    // many as make it unlikely that the window holds them elsewhere by
    // chance, at most kLongestRun. Fewer, the more the file's frames of
    // sound differ from each other and from the frame before (those of every
    // window held so far count); and at least twice as many as the longest
    // passage the windows were seen to hold twice, where a processed frame
    // may match on by chance. A run is looked up by as many frames.
    // And the fewer that place frames at one given place.
    size_t RunFrames() const { return m_RunFrames; }
    size_t OnePlaceRunFrames() const { return m_OnePlaceRunFrames; }
    // The frames of sound a run followed whole, to kLongestRun frames, holds
    // to place frames, anywhere or at one given place: chance alone sets
    // them, the passages held twice having ended within it. However much
    // silence the file holds, a run need hold no more sound than that.
    size_t WholeRunFrames() const { return std::min(m_ChanceRun, m_RunFrames); }
    size_t WholeOnePlaceFrames() const { return std::min(m_ChanceOnePlace, m_OnePlaceRunFrames); }

    static ULONGLONG FrameHash(const UCHAR* frame, size_t bytes);
    // A run's hash, from that of the run one frame earlier, the hash of the
    // frame it lost and that of the frame it took.
    ULONGLONG Roll(ULONGLONG run, ULONGLONG lost, ULONGLONG taken) const
    {
        return (run - lost * m_Oldest) * kBase + taken;
    }
    // The places whose runs hash to `run`, at most kMostPlaces of them into
    // `places`, nearest to `from` first, the later of two as near; how many.
    size_t Nearest(ULONGLONG run, ULONGLONG from, ULONGLONG* places, ULONGLONG* work) const;
    // The file's silent frames the window holds right before place `p`.
    ULONGLONG SilenceBefore(ULONGLONG p) const
    {
        return p > m_At && p - m_At <= m_Held ? m_Silence[(size_t)(p - m_At)] : 0;
    }

  private:
    static constexpr ULONGLONG kBase = 0x9E3779B97F4A7C15ull;
    static constexpr ULONG kKey = ~0u; // stands for the run looked for

    ULONGLONG Bucket(ULONGLONG run) const;
    // The first `count` places by their runs' hashes: those whose run starts
    // with sound grouped by bucket in order of place, each keeping the part
    // of its hash that tells the runs of a bucket apart; a bucket of more
    // than one run ordered by it, so that a run's places are found by
    // halving however many others share the bucket.
    void Index(const std::vector<ULONGLONG>& runs, size_t count);
    // The frames of sound of every window held so far counted by the
    // bucket of their hash: the chance that two of them are alike, which
    // sets the run's frames. Silence is left out: it comes in passages, and
    // tells little.
    void SetRunFrames(const std::vector<ULONGLONG>& hashes, ULONGLONG places);
    // Hashes the runs of up to `places` places from the frames' hashes and
    // indexes them; adds the work.
    void IndexRuns(const std::vector<ULONGLONG>& hashes, ULONGLONG places, ULONGLONG* work);
    // The longest passage, in frames of sound, that two places the index
    // groups together both start and that ends within a run's longest (a
    // sine at a nearby phase, a value held): each place against the next
    // whose run hashes alike, the frames known to match on from the place
    // before not compared again, `most` frames compared at most; adds the
    // work.
    size_t LongestTwice(ULONGLONG most, ULONGLONG* work) const;
    bool IsSilence(const UCHAR* frame) const;

    const size_t m_FrameBytes;
    const std::vector<UCHAR> m_SilentFrame;
    std::vector<UCHAR> m_Frames;
    ULONGLONG m_At = 0, m_Held = 0;
    size_t m_RunFrames = kLongestRun, m_OnePlaceRunFrames = kLongestRun;
    ULONGLONG m_Oldest = 1; // kBase to the power of the run's frames less one
    unsigned m_Shift = 63;  // 64 less the bucket bits
    // Each place's run hash, the low half; the places grouped by the bucket
    // of their hash, each group in order, and where each group starts.
    std::vector<ULONG> m_Runs, m_Places, m_Groups;
    std::vector<ULONG> m_Silence; // the silent frames right before each place
    std::vector<ULONG> m_Alike;
    // Of the frames of sound: pairs alike among those that differ from the
    // frame before, those, and all.
    double m_AlikePairs = 0, m_ChangedFrames = 0, m_SoundFrames = 0;
    size_t m_Twice = 0; // the longest passage seen twice, in frames of sound
    size_t m_ChanceRun = 0, m_ChanceOnePlace = 0; // the runs chance alone needs
};
