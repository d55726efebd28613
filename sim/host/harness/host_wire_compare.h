// The verdicts of a run: what the device received of a play against the
// file, and a recording against what the device sent, each compared frame
// by frame as it arrives, neither held whole.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/host/harness/host_play_source.h"
#include "sim/host/harness/host_stream.h"

// The device's received frames against the file's, as they come. The
// stream starts with silence; the file starts on the wire at the first place
// in its first half second of sound that a run of the wire's first frames of
// sound is (sound before that run is left over from something else). Where
// that place is past the file's first sound, the device never received the
// frames before it, unless sound came where they belong: the file's frames,
// changed. The silence the device received before the file, less the file's
// own before the place, is the lead-in the path adds. Once a received frame
// differs from the file's, the received frames of the next half second are
// looked for by runs in the file's frames from it on, for as long and a run
// more: a run in place after silence only is the file blanked there, one at
// a later place the frames between never received, one at an earlier place
// frames inserted; sound placed nowhere, or in place after other sound, is
// the file's frames with other values; silence to the end is the file's
// frames never received.
class HostPlayCompare
{
  public:
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

  private:
    // The wire's frames of a run that place the file, at most; the file's
    // frames searched for its start, from its first sound on, and for the
    // received frames after one that differs, from it on, in milliseconds
    // (the start's read before the play, so no more than it may read ahead).
    static constexpr size_t kRunFrames = 64;
    static constexpr ULONG kSearchMs = 500;

    // The wire frame the file's first frame came in, where the file
    // started at or before it.
    ULONGLONG FileStart() const;
    bool IsSilence(const UCHAR* frame) const;
    // The file's frame `n`, from the window while it holds it, else read on;
    // null past its last.
    const UCHAR* FileFrame(ULONGLONG n);
    // The window filled from m_WindowAt for kSearchMs and a run, and its
    // places of sound sorted by their frames' bytes.
    void FillWindow();
    void TakeFrame();
    // The received frame added to the run that may place the file's frames,
    // and the file started, or its frames placed, where the run's place is
    // found.
    void Look();
    // Keeps the places whose frames go on as the run's frame `i` does.
    void Narrow(size_t i);
    // The run's first frame places nothing: it is dropped, and the places
    // of the rest looked for.
    void Shorten();
    // The file starts at the first place of the run; once the play ended,
    // at that of the wire's first sound, however short its run.
    void Start();
    // The received frame differs from the file's: the window moves to the
    // file's frame it took the place of, and the frames from it are looked for.
    void LookOn();
    // The run's place, after the received frames that differed: in place,
    // else the nearest later, else the nearest earlier.
    void Place();
    // Nothing placed the received frames within the window.
    void GiveUp();
    void Settle();
    size_t RunFrames() const { return m_FrameBytes != 0 ? m_Run.size() / m_FrameBytes : 0; }

    std::unique_ptr<HostPlaySource> m_Source;
    HostPinFrames m_Pins;
    const size_t m_FrameBytes;
    const ULONGLONG m_Frames; // the file's
    const UCHAR m_Silence;
    const ULONGLONG m_SearchFrames; // kSearchMs at the file's rate
    std::vector<UCHAR> m_Block;     // the file's frames from m_BlockAt on
    ULONGLONG m_BlockAt = 0;
    // The file's frames from m_WindowAt on, for kSearchMs and a run more:
    // from its first sound, the places its start is looked for; from a frame
    // that differs, those of the received frames after it. And the window's
    // frames of sound by their bytes.
    std::vector<UCHAR> m_Window;
    ULONGLONG m_WindowAt = 0;
    std::vector<ULONG> m_Sorted;
    std::vector<UCHAR> m_Frame;
    std::vector<UCHAR> m_Run; // the received frames that may place the file, from m_RunAt
    ULONGLONG m_RunAt = 0;
    std::vector<ULONGLONG> m_Places; // the file frames the run is, first first
    ULONGLONG m_Next = 0;            // the file frame a received one is compared with
    ULONGLONG m_FirstSound = 0;
    ULONGLONG m_Found = 0; // the file frame the file started at on the wire
    ULONGLONG m_WireFrames = 0;
    ULONGLONG m_FileAt = 0;
    ULONGLONG m_Leftover = 0;
    ULONGLONG m_LastLeftover = 0; // the wire frame of the last of them
    ULONGLONG m_WireLead = 0;     // the wire's silent bytes before its first sound
    bool m_WireSound = false;
    bool m_Started = false;
    bool m_LostStart = false;
    // What the received frames are from the first that differs from the
    // file's (m_Next's place) on: Exact while none did; Partial while only
    // silence came after it.
    HostWire m_After = HostWire::Exact;
    bool m_Looking = false;   // their place looked for
    ULONGLONG m_DiffWire = 0; // the wire frame that differed
    ULONGLONG m_Unplaced = 0; // frames of sound since, placed nowhere
    ULONGLONG m_Resumed = 0;  // the file frame the run placed starts at
    ULONGLONG m_ResumedWire = 0;
    ULONGLONG m_Inserted = 0;
};

// A recording against what the device sent, as both come: the recording's
// first frame of sound is found among the device's frames (its silence
// before is the path's), and from there each frame of the recording is the
// device's next. One that differs is changed; silence where the device sent
// sound, or a frame the device never sent, is not the device's. Silence
// while the device's first sound is older than the path takes, or more
// frames than the device sent and the path's silence, is none of it.
class HostRecordCompare
{
  public:
    // Frames of `frameBytes` bytes, silent when every byte is `silence`;
    // `lagFrames` the most device frames the recording may trail the device
    // by before silence in it is taken for silence where it sent sound.
    HostRecordCompare(ULONG frameBytes, UCHAR silence, ULONGLONG lagFrames);
    // What the device sent, in the recording's format: given before the
    // recording's frames that came with it.
    void Wire(const UCHAR* data, size_t bytes);
    // The recording.
    void File(const UCHAR* data, size_t bytes);
    // The verdict once the recording ended: given whether the device sent
    // the recording's own format (or nothing) on one endpoint, and whether
    // packets were late or missing.
    HostWire Result(bool sameFormat, bool oneEndpoint, bool gaps, HostStreamSummary* summary) const;

  private:
    bool IsSilence(const UCHAR* frame) const;
    // Hands `take` each whole frame of the bytes, keeping in `part` the start
    // of one until the rest comes.
    template <typename Take>
    void WholeFrames(std::vector<UCHAR>& part, const UCHAR* data, size_t bytes, Take take);
    void TakeWire(const UCHAR* frame);
    void TakeFile(const UCHAR* frame);
    // Places the recording's first frame of sound among the device's.
    void Align(const UCHAR* frame);
    // The recording's frames are not the device's from m_ChangedAt on; or
    // none of them are, the device's first sound or frame never placed.
    void NotDevice();
    void NoneOfIt();
    // The device's frames compared, or before the recording's first sound.
    void DropWire(ULONGLONG frames);
    const UCHAR* WireFrame(ULONGLONG frame) const;

    const size_t m_FrameBytes;
    const UCHAR m_Silence;
    const ULONGLONG m_LagFrames;
    std::vector<UCHAR> m_WirePart, m_FilePart; // a frame's bytes while it arrives
    std::vector<UCHAR> m_Wire; // device frames from m_WireBase on, at m_WireHead, not yet compared
    size_t m_WireHead = 0;
    ULONGLONG m_WireBase = 0;
    ULONGLONG m_WireFrames = 0;
    ULONGLONG m_WireSoundAt = 0; // the device's first frame of sound
    bool m_WireSound = false;
    ULONGLONG m_FileFrames = 0;
    bool m_Aligned = false;
    LONGLONG m_Offset = 0; // a recording frame less the device frame it holds
    ULONGLONG m_StartWire = 0, m_StartFile = 0;
    bool m_Changed = false;
    bool m_NotDevice = false;
    bool m_NoneOfIt = false;
    ULONGLONG m_ChangedAt = 0;
};
