// A recording's verdict: the file against what the device sent, compared
// frame by frame as both arrive, neither held whole.
#pragma once

#include <vector>

#include "sim/host/harness/host_stream.h"

// A recording against what the device sent, as both come: the recording's
// first frame of sound is found among the device's frames (its silence
// before is the path's; sound the device sent before it was lost, but where
// that silence came through a mute), and from there each frame of the
// recording is the device's next. At the first that differs, the frames
// from it are looked for among those the device sent, those already
// compared included: found later, the device's frames between were lost;
// found earlier, frames were repeated. Found nowhere, the frame is changed;
// a change in a frame the driver took while nothing on the path was on
// (silence where the device sent sound among them: in one taken while
// something was on, a mute's), silence after which the device's frames go
// on elsewhere than in place, sound where it sent silence while all before
// was unchanged, or a frame the device never sent, is not the device's.
// Silence while the device's first sound is older than the path takes, or
// more frames than the device sent and the path's silence, is none of it.
class HostRecordCompare
{
  public:
    // Frames of `frameBytes` bytes, silent when every byte is `silence`;
    // `lagFrames` the path's delay: the most device frames the recording may
    // trail the device by, and how far back frames repeated are looked for.
    // Trailing further, by up to as many again, frames were lost, placed by
    // the recording's next frames; else the device's sound is lost to it.
    HostRecordCompare(ULONG frameBytes, UCHAR silence, ULONGLONG lagFrames,
                      HostPathChange path = {});
    // What could change samples on the path now (or did, for frames still on
    // their way): the first difference is weighed against what could when it
    // came.
    void SetPath(const HostPathChange& path) { m_Path = path; }
    // What the device sent, in the recording's format: given before the
    // recording's frames that came with it.
    void Wire(const UCHAR* data, size_t bytes);
    // The recording.
    void File(const UCHAR* data, size_t bytes);
    // The verdict once the recording ended: given whether the device sent
    // the recording's own format (or nothing) on one endpoint, and whether
    // packets were late or missing. Lost and Inserted (frames repeated) name
    // the file frame in ChangedAtFrame, how many in InsertedFrames and the
    // device's frame it holds from there in ResumedWireFrame.
    HostWire Result(bool sameFormat, bool oneEndpoint, bool gaps, HostStreamSummary* summary);

  private:
    // Frames of the recording from the first that differs that place it
    // among the device's, and the fewest of them in a row that do (fewer
    // match elsewhere by chance).
    static constexpr size_t kPlaceFrames = 64, kFewestPlaceFrames = 16;

    bool IsSilence(const UCHAR* frame) const;
    // Hands `take` each whole frame of the bytes, keeping in `part` the start
    // of one until the rest comes.
    template <typename Take>
    void WholeFrames(std::vector<UCHAR>& part, const UCHAR* data, size_t bytes, Take take);
    void TakeWire(const UCHAR* frame);
    void TakeFile(const UCHAR* frame);
    // The recording's frame `at`, after those before it; `mayChange`,
    // whether the driver took it while something on the path was on.
    void Step(const UCHAR* frame, ULONGLONG at, bool mayChange);
    // Whether the frame differs from the device's it is compared with.
    bool Differs(const UCHAR* frame, ULONGLONG at) const;
    // Weighs a frame that holds the device's it is compared with, or not.
    void Judge(const UCHAR* frame, ULONGLONG at, bool mayChange);
    // Places the recording's first frame of sound among the device's: where
    // most of the frames held from it follow in a row, the earliest.
    void Align();
    // Places the frames held from the first that differs among the device's,
    // else judges them one by one; Resolve, the frames held from the first
    // of sound or from the first that differs, whichever they are.
    void Place();
    void Resolve();
    // The device's frame at or after `from` (nearest `near`, then the later)
    // from which the most of the frames held (past the first `skip`) follow
    // in a row, and how many.
    ULONGLONG Longest(ULONGLONG from, ULONGLONG near, size_t* most, size_t skip = 0) const;
    // The frames held start with silence, and those after it are the
    // device's from elsewhere than in place of them (due at the device's
    // frame `due`).
    bool SilenceShifts(ULONGLONG due) const;
    size_t Held() const { return m_Held.size() / m_FrameBytes; }
    // The device's frames the recording trails by: those not compared, but
    // for the recording's frames held (before its first sound is placed, all).
    ULONGLONG Behind() const;
    // Ends the compare at the first fault: `count` frames lost or repeated at
    // the file frame `at`, the device's frame `resumed` on from there.
    void Moved(HostWire kind, ULONGLONG at, ULONGLONG resumed, ULONGLONG count);
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
    HostPathChange m_Path;
    std::vector<UCHAR> m_WirePart, m_FilePart; // a frame's bytes while it arrives
    // Device frames from m_WireKept on, at m_WireHead: the last m_LagFrames
    // compared (frames repeated are looked for there), then those from
    // m_WireBase on, not yet.
    std::vector<UCHAR> m_Wire;
    size_t m_WireHead = 0;
    ULONGLONG m_WireKept = 0;
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
    std::vector<UCHAR> m_Held;         // the recording's frames from the first that differs
    std::vector<bool> m_HeldMayChange; // ... and whether processing was on as each came
    // Silent frames before the recording's first sound, the last of them
    // taken while processing was on.
    ULONGLONG m_ProcessedSilence = 0;
    // Lost, Inserted: the device's frame the recording holds from
    // m_ChangedAt on; HostWire::Exact while none.
    HostWire m_Moved = HostWire::Exact;
    ULONGLONG m_ResumedAt = 0, m_MovedFrames = 0;
    ULONGLONG m_HeldAt = 0; // the file frame of m_Held's first
    bool m_Behind = false;  // the recording trails the device by more than the path takes
};
