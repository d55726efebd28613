// A recording's verdict: the file against what the device sent, compared
// frame by frame as both arrive, neither held whole.
#pragma once

#include <vector>

#include "sim/host/harness/host_stream.h"

// A recording against what the device sent, as both come: the recording's
// first frame of sound is found among the device's frames (its silence
// before is the path's), and from there each frame of the recording is the
// device's next. One that differs is changed; silence where the device sent
// sound, sound where it sent silence while all before was unchanged, or a
// frame the device never sent, is not the device's. Silence
// while the device's first sound is older than the path takes, or more
// frames than the device sent and the path's silence, is none of it.
class HostRecordCompare
{
  public:
    // Frames of `frameBytes` bytes, silent when every byte is `silence`;
    // `lagFrames` the most device frames the recording may trail the device
    // by before silence in it is taken for silence where it sent sound.
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
    HostPathChange m_Path;
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
