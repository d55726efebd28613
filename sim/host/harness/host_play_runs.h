// The received frames of a play kept while they are placed among the file's
// frames a window holds: the last few hundred of them, each hashed into the
// run of the window's run frames that ends with it, and the one run being
// followed at its nearest places.
#pragma once

#include <vector>

#include "sim/host/harness/host_play_window.h"

class HostPlayRuns
{
  public:
    // How a run followed ended: the place that decides (kNone where none
    // does), the frames it matched there, and whether it was followed whole,
    // to HostPlayWindow::kLongestRun frames.
    struct Outcome
    {
        ULONGLONG Place = HostPlayWindow::kNone;
        ULONGLONG Frames = 0;
        bool Whole = false;
    };

    // Frames of `frameBytes` bytes, silent when every byte is `silence`;
    // each frame compared or hashed adds one to *work.
    HostPlayRuns(size_t frameBytes, UCHAR silence, ULONGLONG* work);

    // Forgets the frames kept so far for runs, and the run followed: the
    // runs looked up next start with the frames kept from now on.
    void Restart();
    // Keeps received frame `wire`, the one after the last kept, hashed into
    // the run of the window's run frames that ends with it.
    void Keep(const HostPlayWindow& window, const UCHAR* frame, ULONGLONG wire);
    const UCHAR* Kept(ULONGLONG wire) const;
    ULONGLONG LastKept() const { return m_LastKept; }
    bool KeptSound(ULONGLONG wire) const;
    // The last received frame of sound before `wire` from `since` on, or
    // `since` less one.
    ULONGLONG SoundBefore(ULONGLONG wire, ULONGLONG since) const;

    // The wire frame the run that ends with the last frame kept starts at,
    // once the frames kept since Restart hold it; kNone before.
    ULONGLONG RunStart(const HostPlayWindow& window) const;
    // That run looked up, its places nearest `from` first, none before
    // `lowest`; true when places were found, and then followed.
    bool LookUp(const HostPlayWindow& window, ULONGLONG from, ULONGLONG lowest = 0);
    bool Following() const { return m_Following; }
    ULONGLONG RunAt() const { return m_RunAt; }
    void Stop() { m_Following = false; }
    // The run's places kept where received frame `wire` goes on as the file
    // does; true once the run ended, at its HostPlayWindow::kLongestRun-th
    // frame or where no place went on, and then *outcome says how. A place
    // decides where the run holds frames of sound enough to place frames
    // (HostPlayWindow::RunFrames), or, followed whole, the fewer chance alone
    // asks (HostPlayWindow::WholeRunFrames): a run needs no more sound than
    // its longest holds.
    bool Follow(const HostPlayWindow& window, const UCHAR* frame, ULONGLONG wire, Outcome* outcome);
    // The place the run followed so far decides where the frames received
    // end before it did, and it holds sound enough; kNone if none.
    ULONGLONG Settle(const HostPlayWindow& window);

  private:
    // The received frames kept: a run's longest, and as many before it.
    static constexpr size_t kKept = 2 * HostPlayWindow::kLongestRun;

    bool IsSilence(const UCHAR* frame) const;
    bool Same(const UCHAR* a, const UCHAR* b);
    // The nearest of the places in `alive` (a bit each) whose run's frames
    // match; kNone if none.
    ULONGLONG Decide(const HostPlayWindow& window, unsigned alive);

    const size_t m_FrameBytes;
    const std::vector<UCHAR> m_SilentFrame;
    ULONGLONG* const m_Work;
    // The last kKept received frames, their hashes and whether each is
    // sound; the hash of the run of the window's run frames that ends with
    // the last, once m_Kept (the frames kept since Restart) holds it.
    std::vector<UCHAR> m_KeptFrames;
    std::vector<ULONGLONG> m_KeptHashes;
    std::vector<bool> m_KeptSound;
    ULONGLONG m_Kept = 0, m_RunHash = 0;
    ULONGLONG m_KeptSounds = 0;                   // of the run that ends with the last
    ULONGLONG m_LastKept = 0;                     // the wire frame kept last
    ULONGLONG m_SoundOut = HostPlayWindow::kNone; // the last frame of sound no longer kept
    // The places of the run from m_RunAt being followed, nearest first, and
    // those still matching.
    std::vector<ULONGLONG> m_Places;
    unsigned m_Alive = 0;
    ULONGLONG m_RunAt = 0;
    ULONGLONG m_RunSounds = 0; // its frames of sound matched so far
    bool m_Following = false;
};
