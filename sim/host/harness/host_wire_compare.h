// A play's verdict: what the device received against the file, compared
// frame by frame as it arrives, neither held whole.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/host/harness/host_play_runs.h"
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
// placed among the file's frames from a quarter second before it (those
// received in place: a repeat places there) to half a second and a run
// after it. Silence only, then the file's sound in place for a run at one place
// (HostPlayWindow::OnePlaceRunFrames), is the file blanked there, up to its
// last frame of sound before: no level turns sound to silence and leaves
// other sound as it was. A mute does: where every frame not the file's in
// place came while something was on, which went off before the file's
// sound came in place again, the silence is that processing, and the frames
// after it are compared in place again (a start placed past the file's
// first sound, likewise). Other frames are placed by runs, received frames
// that the file holds in a row (HostPlayRuns): a run at a later place is the
// frames between never received, one at an earlier place frames inserted,
// one in place after other sound the file's frames with other values; and
// so is sound that no run places within the half second, where the path
// could make it (Unplaced). A run that ends short of its longest places
// frames only until a later run places the file at an earlier place, which
// then decides: what the short run matched was frames inserted. Silence to
// the end is the file's frames never received. Where the first sound other
// than the file's in place comes where the file is silent, it is no
// processing: after the file's sound, sound after its last sound, frames
// inserted, lost, or sound in place of its silence once its sound goes on
// in place; after silence, the file's frames never received. Sound after
// silence longer than the half second has a half second of its own: placed
// where the file stopped, the silence was inserted; later, the frames
// between were never received. Sound after the file's last frame received
// in place is counted, or, where it is the file's last frames again from in
// place of the frame after them, is those frames inserted (whole periods of
// a sine repeated show only there); sound that never became the file, too
// short for a run, is none of it.
class HostPlayCompare
{
  public:
    // The compare's work, in frames compared or hashed and places tried, is
    // at most kWorkPerFrame for each frame received or read ahead (the file's
    // silence before its first sound, its silence scanned past a window, and
    // three windows at most, and as many again each time frames processing
    // made came in place among the file's), however the file repeats: a received frame is
    // compared in place and kept, or hashed, compared in place for a blank, followed at
    // the places of the run it is in (HostPlayWindow::kMostPlaces) and, where
    // no run goes on with it, its own run looked for
    // (HostPlayWindow::kPlacesTried); a run that decides has its first frames
    // checked at each of its places, no more than the frames it was followed
    // for; and a run's frames are compared with the file's last once a run's
    // longest of silence followed them (HostPlayWindow::kLongestRun), a frame
    // for each of those. A frame read ahead is hashed, its place indexed
    // twice at most, and compared in finding the passages held twice. Sound
    // after the file's last is compared once with its last frames, over
    // their silence before it.
    static constexpr ULONGLONG kWorkPerFrame = 96;
    static_assert(6 + 2 * HostPlayWindow::kMostPlaces + HostPlayWindow::kPlacesTried <=
                      kWorkPerFrame &&
                  6 + HostPlayWindow::kTwiceWork <= kWorkPerFrame);

    // `file` is a reader of its own over the play's file, whose frames are
    // compared in the pin's container; `path` what could change samples.
    HostPlayCompare(std::unique_ptr<HostPlaySource> file, USHORT container,
                    HostPathChange path = {});
    // What could change samples on the path now (or did, for frames still on
    // their way): a difference is weighed against what could when it came.
    void SetPath(const HostPathChange& path);
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

    enum class Phase
    {
        Starting, // the file's start looked for
        InPlace,  // each received frame the file's next
        Ended,    // past the file's last sound: sound counted
        Looking,  // the frames after one that differed placed
        Watching, // silence past the window: the file's frames never received, so far
        Done,
    };

    // A scan of the file's silence (an hour of it, say) asks after a signal
    // every so many frames, so that one ends the run within a second; true
    // once one came, the scan then cut short where it is.
    static constexpr ULONGLONG kPollFrames = 1 << 16;
    bool Interrupted(ULONGLONG scanned);
    bool IsSilence(const UCHAR* frame) const;
    bool Same(const UCHAR* a, const UCHAR* b);
    // The file's frame `n`, from the window while it holds it, else read on;
    // null past its last.
    const UCHAR* FileFrame(ULONGLONG n);
    // The window holds the file's frames from `at` on, to kSearchMs and a
    // run past `from`.
    void FillWindow(ULONGLONG at, ULONGLONG from);
    // One past the last of the file's frames held in a row from `n` on.
    ULONGLONG HeldTo(ULONGLONG n) const;
    // The frames received in place keep the file's frame `n`.
    bool InPast(ULONGLONG n) const;
    // The file's first frame of sound from `from` on (the frames read on
    // past the window to find it known silent), or the file's frames.
    ULONGLONG NextSound(ULONGLONG from);
    void TakeFrame(const UCHAR* frame);
    // The received frame taken as the phase takes it.
    void Step(const UCHAR* frame);
    void StartFrame(const UCHAR* frame);
    void InPlaceFrame(const UCHAR* frame);
    // Past the file's last sound from file frame `file` on, in place from
    // wire frame `wire` on.
    void EndAt(ULONGLONG file, ULONGLONG wire);
    void EndedFrame(const UCHAR* frame);
    // The sound after the file's last, where it is the file's last frames
    // received again: those frames inserted.
    void EndRepeat();
    void LookFrame(const UCHAR* frame);
    void WatchFrame(const UCHAR* frame);
    // The file frame in place of received frame `wire` after the one that
    // differed.
    ULONGLONG InPlaceOf(ULONGLONG wire) const { return m_ChangedAt + (wire - m_DiffWire); }
    // The file started at `place`, received from wire frame `wire` on, the
    // first `frames` of it matched.
    void StartAt(ULONGLONG place, ULONGLONG wire, ULONGLONG frames);
    // A received frame differs from the file's.
    void Differ(const UCHAR* frame);
    // The received frames from one on matched in place, once silence alone
    // came since the difference, or after sound where the file is silent:
    // true once they decide it. `exact` whether the frame is the file's in
    // place (silence past its end).
    bool InPlaceRun(bool sound, bool exact);
    void InPlaceCut();
    // A run followed ended at a place; true once the frames are decided.
    bool Placed(const HostPlayRuns::Outcome& outcome);
    // The frames after it decided: blanked, or sound in place of the file's
    // silence (`what`), up to file frame `replaced`, the file's sound in
    // place again from wire frame `wire`; received from file frame `place`
    // on from wire frame `wire`, after `silentBefore` frames of silence.
    void Resumed(HostWire what, ULONGLONG wire, ULONGLONG replaced);
    void Shifted(ULONGLONG place, ULONGLONG wire, ULONGLONG silentBefore);
    // Sound where the file is silent, past its last sound: counted as sound
    // after it.
    void AfterLastSound();
    // The wire's last sound against the file's last frames, once silence
    // followed it.
    void EndRun();
    // Sound at wire frame `wire` after silence past the window.
    void GoLate(ULONGLONG wire);
    // Nothing placed the frames after the one that differed within the window.
    void GiveUp();
    // The same, where the frame that differed was sound where the file is
    // silent: the file's sound after it looked for.
    void StrayUnplaced();
    // What frames no run places are: the driver's processing where the path
    // could change samples and the difference began where it could, and no
    // frame the driver took while nothing was on differed in place; else
    // other samples than the file's, a fault.
    HostWire Unplaced() const;
    // A received frame, in place of file frame `file`, that is the file's
    // or not: one that is not, taken while nothing was on, is no processing.
    void NoteInPlace(bool exact, ULONGLONG file);
    // The file placed at `place` from wire frame `wire` on, for `frames`,
    // past its first sound: the frames before it are the file's from its
    // first sound, changed by processing, where every one that differs in
    // place came while something was on, from where that sound belongs on,
    // and that went off before the run's last frame.
    bool ProcessedStart(ULONGLONG place, ULONGLONG wire, ULONGLONG frames);
    // Every frame since the one that differed that is not the file's in
    // place came while something was on, which went off before wire frame
    // `wire`: a level on all along leaves no sound as it was.
    bool WentOff(ULONGLONG wire) const { return m_PathAtDiff && !m_FixedDiffers && m_OnTo < wire; }
    // The frames since the one that differed were processing's, the file's
    // in place again from wire frame `wire` on: compared in place on.
    void ProcessedUntil(ULONGLONG wire);
    // The frames after the one that differed matched in place from
    // m_InPlaceAt, compared up to wire frame `wire`: processing's, where
    // it made them, else the file blanked or its silence filled.
    void InPlaceAgain(ULONGLONG wire);
    // Sound where the file is silent came first, after its sound came
    // unchanged: sound in place of its silence, until the file's is placed.
    bool Fills() const { return m_Stray && !m_SilentStart; }
    void Settle();

    std::unique_ptr<HostPlaySource> m_Source;
    HostPinFrames m_Pins;
    HostPathChange m_Path;
    bool m_PathEver;           // something could change samples at some time of the play
    bool m_PathAtDiff = false; // ... when the first difference came
    // The last stretch of received frames the driver took while something
    // was on: [m_OnFrom, m_OnTo).
    ULONGLONG m_OnFrom = 0, m_OnTo = 0;
    // A frame not the file's in place, taken while nothing was on, since the
    // difference (or before the start placed), and the file frame it is in
    // place of.
    bool m_FixedDiffers = false;
    ULONGLONG m_FixedAt = 0;
    // Frames processing changed that came in place among the file's: from
    // file frame m_ProcessedAt on.
    bool m_Processed = false;
    ULONGLONG m_ProcessedAt = 0;
    bool m_Differed = false;
    const size_t m_FrameBytes;
    const ULONGLONG m_Frames; // the file's
    const UCHAR m_Silence;
    const ULONGLONG m_SearchFrames; // kSearchMs at the file's rate
    // Half as many: how far back the frames after one that differs are
    // placed, where they repeat frames received before it.
    const ULONGLONG m_BackFrames;
    const std::vector<UCHAR> m_SilentFrame;
    // The last m_BackFrames of the file's frames received in place, each
    // frame `n` at n % m_BackFrames: frames m_PastFrom to m_PastEnd were.
    std::vector<UCHAR> m_Past;
    ULONGLONG m_PastFrom = 0, m_PastEnd = 0;
    std::vector<UCHAR> m_Block; // the file's frames from m_BlockAt on
    ULONGLONG m_BlockAt = 0;
    ULONGLONG m_QuietFrom = 0, m_QuietTo = 0; // frames read past, known silent
    HostPlayWindow m_Window;
    std::vector<UCHAR> m_Frame; // a received frame's bytes while it arrives
    Phase m_Phase = Phase::Starting;
    ULONGLONG m_Work = 0;
    ULONGLONG m_ReadAhead = 0;
    HostPlayRuns m_Runs;
    ULONGLONG m_WireFrames = 0;
    ULONGLONG m_WireLead = 0; // the wire's silent bytes before its first sound
    bool m_WireSound = false;

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
    ULONGLONG m_ChangedAt = 0;  // the file frame that differed
    ULONGLONG m_DiffWire = 0;   // and the wire frame
    bool m_SilentOnly = false;  // only silence received since
    bool m_SilentStart = false; // it was silence
    // The first sound since that is not the file's in place came where the
    // file is silent: no level made it.
    bool m_Stray = false;
    ULONGLONG m_SoundsAfter = 0;   // the frames of sound received since
    ULONGLONG m_LastOther = 0;     // the last of them not the file's in place (kNone: none)
    bool m_Late = false;           // sound came after silence past the window
    ULONGLONG m_LateWire = 0;      // the wire frame it came at
    ULONGLONG m_LastFileSound = 0; // the file's last frame of sound in place since
    ULONGLONG m_LastWireSound = HostPlayWindow::kNone;
    ULONGLONG m_EndChecked = HostPlayWindow::kNone;
    ULONGLONG m_EndRunAt = HostPlayWindow::kNone; // a run that reached the file's end
    ULONGLONG m_EndRunPlace = 0, m_EndRunSilent = 0;
    // A run that ended short of its longest at a place other than in place:
    // where, from which wire frame, after how much silence.
    ULONGLONG m_ShortPlace = HostPlayWindow::kNone;
    ULONGLONG m_ShortWire = 0, m_ShortSilent = 0;
    // The frames matched in place from wire frame m_InPlaceAt on, its frames
    // of sound, and the file frame the frames before it replaced up to: the
    // file's last sound in place (blanked), or the one in place of the last
    // other sound received (its silence filled).
    ULONGLONG m_InPlaceAt = HostPlayWindow::kNone;
    ULONGLONG m_InPlaceSounds = 0, m_InPlaceAfter = 0;
    // The first such frames cut short: where no run places the frames, they
    // decide all the same, no level making silence of sound and then the
    // file's sound again.
    ULONGLONG m_FallbackAt = HostPlayWindow::kNone, m_FallbackAfter = 0;
    ULONGLONG m_Resumed = 0; // the file frame the frames after it resumed at
    ULONGLONG m_ResumedWire = 0;
    ULONGLONG m_Inserted = 0;
    // Past the file's last sound: the file frame in place of wire frame
    // m_EndWire (kNone: the sound after it is not kept), and the frames from
    // that wire frame to its last sound.
    ULONGLONG m_EndFile = 0, m_EndWire = HostPlayWindow::kNone;
    std::vector<UCHAR> m_EndFrames;
};
