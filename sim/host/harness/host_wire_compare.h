// A play's verdict: what the device received against the file, compared
// frame by frame as it arrives, neither held whole.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/host/harness/host_play_source.h"
#include "sim/host/harness/host_play_window.h"
#include "sim/host/harness/host_stream.h"

// The device's received frames against the file's, as they come. The
// stream starts with silence; the file starts on the wire at its first frame
// of sound, where the wire's first sound is that frame, else at the first
// place in its first half second of sound that a run of the wire's frames
// places (sound before that run is left over from something else). Where
// that place is past the file's first sound, the device never received the
// frames before it, unless sound came where they belong: the file's frames,
// changed. The silence the device received before the file, less the file's
// own before the place, is the lead-in the path adds.
//
// Once a received frame differs from the file's, the frames after it are
// placed among the file's frames from it on, for half a second and a run
// more, the first placed deciding. Silence only, then a frame of the file's
// sound in place, is the file blanked there, up to its last frame of sound
// before: no level turns sound to silence and leaves other sound as it was.
// Other frames are placed by runs, received frames that the file holds in a
// row (HostPlayWindow): a run at a later place is the frames between never
// received, one at an earlier place frames inserted, one in place after
// other sound the file's frames with other values; and so is sound that no
// run places within the half second. Silence to the end is the file's
// frames never received. A run places frames once it holds frames of sound
// enough (HostPlayWindow::RunFrames), or fewer where it reaches the file's
// last sound with only silence after it; it is followed at its nearest
// places, in place among them, until it has HostPlayWindow::kLongestRun
// frames or ends, and the place it matched longest decides, in place first,
// then the nearest later, then the nearest earlier. Sound after silence
// longer than the half second has a half second of its own: placed where
// the file stopped, the silence was inserted; later, the frames between
// were never received. Sound after the file's last frame received in place
// is counted; sound that never became the file, too short for a run, is
// none of it.
class HostPlayCompare
{
  public:
    // The compare's work, in frames compared or hashed and places tried, is
    // at most kWorkPerFrame for each frame received or read ahead (the file's
    // silence before its first sound, and two windows at most), however the
    // file repeats, and kDecideWork more for each of the two places a play
    // decides at most (hashes that collide aside): a received frame is
    // compared in place, hashed, followed at the places of the run it is in
    // (HostPlayWindow::kMostPlaces) and, where no run goes on with it, its
    // own run looked for (HostPlayWindow::kPlacesTried); and a run's frames
    // are compared with the file's last once a run's longest of silence
    // followed them (HostPlayWindow::kLongestRun), a frame for each of those.
    // A frame read ahead is hashed, its place indexed twice at most, and
    // compared in finding the passages held twice.
    static constexpr ULONGLONG kWorkPerFrame = 96;
    static constexpr ULONGLONG kDecideWork =
        HostPlayWindow::kMostPlaces * HostPlayWindow::kLongestRun;
    static_assert(3 + HostPlayWindow::kMostPlaces + HostPlayWindow::kPlacesTried <= kWorkPerFrame &&
                  6 + HostPlayWindow::kTwiceWork <= kWorkPerFrame);

    // `file` is a reader of its own over the play's file, whose frames are
    // compared in the pin's container.
    HostPlayCompare(std::unique_ptr<HostPlaySource> file, USHORT container);
    // What the device received, in the pin's format.
    void Feed(const std::vector<UCHAR>& bytes);
    // The verdict once the play ended: given whether the device took the
    // file's own format on one endpoint, and whether packets were late or
    // missing.
    HostWire Result(bool sameFormat, bool oneEndpoint, bool gaps, HostStreamSummary* summary);
    // The lead-in in milliseconds; false while the device received no
    // sound to place the file's frames by.
    bool LeadInMs(ULONG deviceFrameBytes, ULONG rate, double* ms);
    // What failed in reading the file; empty when nothing.
    const std::string& Error() const { return m_Pins.Error(); }
    // The work done so far, and the frames read ahead: the file's silence
    // before its first sound, and the windows.
    ULONGLONG Work() const { return m_Work; }
    ULONGLONG ReadAhead() const { return m_ReadAhead; }

  private:
    // The file's frames searched for its start, from its first sound on, and
    // for the received frames after one that differs, from it on, in
    // milliseconds (the start's read before the play, so no more than it may
    // read ahead).
    static constexpr ULONG kSearchMs = 500;
    // The received frames kept: a run's longest, and as many before it.
    static constexpr size_t kKept = 2 * HostPlayWindow::kLongestRun;

    enum class Phase
    {
        Starting, // the file's start looked for
        InPlace,  // each received frame the file's next
        Ended,    // past the file's last frame
        Looking,  // the frames after one that differed placed
        Watching, // silence past the window: the file's frames never received, so far
        Done,
    };

    bool IsSilence(const UCHAR* frame) const;
    bool Same(const UCHAR* a, const UCHAR* b);
    // The file's frame `n`, from the window while it holds it, else read on;
    // null past its last.
    const UCHAR* FileFrame(ULONGLONG n);
    // The window holds the file's frames from `at` on.
    void FillWindow(ULONGLONG at);
    void TakeFrame(const UCHAR* frame);
    // The received frame taken as the phase takes it.
    void Step(const UCHAR* frame);
    void StartFrame(const UCHAR* frame);
    void InPlaceFrame(const UCHAR* frame);
    void LookFrame(const UCHAR* frame);
    void WatchFrame(const UCHAR* frame);
    // The received frame kept, hashed into the run that ends with it.
    void Keep(const UCHAR* frame);
    const UCHAR* Kept(ULONGLONG wire) const;
    bool KeptSound(ULONGLONG wire) const;
    // The last received frame of sound before `wire` from `since` on, or
    // `since` less one.
    ULONGLONG SoundBefore(ULONGLONG wire, ULONGLONG since) const;
    // The run that ends with the received frame looked for, from `from` on;
    // true when places were found, and then followed.
    bool LookUp(ULONGLONG from);
    // The run's places kept where the received frame goes on as the file
    // does; true once one is decided (at *place, its frames matched in
    // *frames), or none is left.
    bool Follow(const UCHAR* frame, ULONGLONG* place, ULONGLONG* frames);
    // The nearest of the places in `alive` (a bit each) whose run's frames
    // match; kNone if none.
    ULONGLONG Decide(unsigned alive);
    // The file started at `place`, received from wire frame `wire` on, the
    // first `frames` of it matched.
    void StartAt(ULONGLONG place, ULONGLONG wire, ULONGLONG frames);
    // A received frame differs from the file's.
    void Differ(const UCHAR* frame);
    // The frames after it decided: blanked, the file's sound in place again
    // from wire frame `wire`; received from file frame `place` on from wire
    // frame `wire`, after `silentBefore` frames of silence.
    void Blanked(ULONGLONG wire);
    void Shifted(ULONGLONG place, ULONGLONG wire, ULONGLONG silentBefore);
    // The wire's last sound against the file's last frames, once silence
    // followed it.
    void EndRun();
    // Sound at wire frame `wire` after silence past the window.
    void GoLate(ULONGLONG wire);
    // Nothing placed the frames after the one that differed within the window.
    void GiveUp();
    void Settle();

    std::unique_ptr<HostPlaySource> m_Source;
    HostPinFrames m_Pins;
    const size_t m_FrameBytes;
    const ULONGLONG m_Frames; // the file's
    const UCHAR m_Silence;
    const ULONGLONG m_SearchFrames; // kSearchMs at the file's rate
    const std::vector<UCHAR> m_SilentFrame;
    std::vector<UCHAR> m_Block; // the file's frames from m_BlockAt on
    ULONGLONG m_BlockAt = 0;
    HostPlayWindow m_Window;
    std::vector<UCHAR> m_Frame; // a received frame's bytes while it arrives
    Phase m_Phase = Phase::Starting;
    ULONGLONG m_Work = 0;
    ULONGLONG m_ReadAhead = 0;
    ULONGLONG m_WireFrames = 0;
    ULONGLONG m_WireLead = 0; // the wire's silent bytes before its first sound
    bool m_WireSound = false;

    // The last kKept received frames, their hashes and whether each is
    // sound; the hash of the run of the window's run frames that ends with
    // the last, once m_Kept (the frames kept since the search began) holds it.
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

    ULONGLONG m_FirstSound = 0; // the file's
    ULONGLONG m_HeardAt = 0;    // the wire's first frame of sound
    ULONGLONG m_Sounds = 0;     // the wire's frames of sound before the file started
    bool m_Heard = false;
    bool m_Started = false;
    bool m_LostStart = false;
    ULONGLONG m_Found = 0;  // the file frame the file started at on the wire
    ULONGLONG m_FileAt = 0; // and the wire frame it came in
    ULONGLONG m_Leftover = 0;
    ULONGLONG m_Next = 0; // the file frame a received one is compared with
    ULONGLONG m_Appended = 0;

    // What the received frames are from the first that differs from the
    // file's on: Exact while none did; Partial while only silence came after
    // it.
    HostWire m_After = HostWire::Exact;
    ULONGLONG m_ChangedAt = 0;     // the file frame that differed
    ULONGLONG m_DiffWire = 0;      // and the wire frame
    bool m_SilentOnly = false;     // only silence received since
    bool m_Late = false;           // sound came after silence past the window
    ULONGLONG m_LateWire = 0;      // the wire frame it came at
    ULONGLONG m_LastFileSound = 0; // the file's last frame of sound in place since
    ULONGLONG m_LastWireSound = HostPlayWindow::kNone;
    ULONGLONG m_EndChecked = HostPlayWindow::kNone;
    ULONGLONG m_EndRunAt = HostPlayWindow::kNone; // a run that reached the file's end
    ULONGLONG m_EndRunPlace = 0, m_EndRunSilent = 0;
    ULONGLONG m_Resumed = 0; // the file frame the frames after it resumed at
    ULONGLONG m_ResumedWire = 0;
    ULONGLONG m_Inserted = 0;
};
