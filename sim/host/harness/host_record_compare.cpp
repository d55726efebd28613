#include "sim/host/harness/host_record_compare.h"

#include <algorithm>

HostRecordCompare::HostRecordCompare(ULONG frameBytes, UCHAR silence, ULONGLONG lagFrames,
                                     HostPathChange path)
    : m_FrameBytes(frameBytes), m_Silence(silence), m_LagFrames(lagFrames), m_Path(std::move(path))
{
}

void HostRecordCompare::Wire(const UCHAR* data, size_t bytes)
{
    WholeFrames(m_WirePart, data, bytes, [this](const UCHAR* frame) { TakeWire(frame); });
}

void HostRecordCompare::File(const UCHAR* data, size_t bytes)
{
    WholeFrames(m_FilePart, data, bytes, [this](const UCHAR* frame) { TakeFile(frame); });
}

template <typename Take>
void HostRecordCompare::WholeFrames(std::vector<UCHAR>& part, const UCHAR* data, size_t bytes,
                                    Take take)
{
    for (size_t i = 0; m_FrameBytes != 0 && i < bytes; ++i)
    {
        part.push_back(data[i]);
        if (part.size() == m_FrameBytes)
        {
            take(part.data());
            part.clear();
        }
    }
}

HostWire HostRecordCompare::Result(bool sameFormat, bool oneEndpoint, bool gaps,
                                   HostStreamSummary* summary)
{
    Resolve();
    // Trailing the device by more than the path takes, with no frame after.
    if (m_Behind && !m_NotDevice)
    {
        m_ChangedAt = m_FileFrames;
        NotDevice();
    }
    summary->ChangedAtFrame = m_ChangedAt;
    summary->FileAtFrame = m_StartWire;
    summary->WireAtFileFrame = m_StartFile;
    summary->DeviceFrames = m_WireFrames;
    summary->Processing = m_Path.What;
    summary->InsertedFrames = m_MovedFrames;
    summary->ResumedWireFrame = m_ResumedAt;
    if (!oneEndpoint)
        return HostWire::SeveralPaths;
    if (m_FileFrames == 0)
        return m_WireFrames == 0 ? HostWire::Nothing : HostWire::Unreached;
    if (!sameFormat)
        return HostWire::OtherFormat;
    if (m_Moved != HostWire::Exact)
        return m_Moved;
    if (m_NoneOfIt)
        return HostWire::Partial;
    // A lost packet shifts what follows it: that is no processing.
    if (m_NotDevice || (m_Changed && gaps))
        return HostWire::Broken;
    if (!m_Aligned)
        return HostWire::Silent;
    return m_Changed ? HostWire::Changed : HostWire::Exact;
}

bool HostRecordCompare::IsSilence(const UCHAR* frame) const
{
    return std::all_of(frame, frame + m_FrameBytes, [this](UCHAR b) { return b == m_Silence; });
}

const UCHAR* HostRecordCompare::WireFrame(ULONGLONG frame) const
{
    return frame >= m_WireKept && frame < m_WireFrames
               ? &m_Wire[m_WireHead + (size_t)(frame - m_WireKept) * m_FrameBytes]
               : nullptr;
}

void HostRecordCompare::DropWire(ULONGLONG frames)
{
    m_WireBase += frames;
    // Compared frames a repeat may come from stay: the path's delay of them.
    if (m_WireBase - m_WireKept <= m_LagFrames)
        return;
    m_WireHead += (size_t)(m_WireBase - m_LagFrames - m_WireKept) * m_FrameBytes;
    m_WireKept = m_WireBase - m_LagFrames;
    // What was dropped goes once it is half of what is kept.
    if (2 * m_WireHead >= m_Wire.size())
    {
        m_Wire.erase(m_Wire.begin(), m_Wire.begin() + (ptrdiff_t)m_WireHead);
        m_WireHead = 0;
    }
}

void HostRecordCompare::TakeWire(const UCHAR* frame)
{
    if (!m_WireSound && !IsSilence(frame))
    {
        m_WireSound = true;
        m_WireSoundAt = m_WireFrames;
    }
    ++m_WireFrames;
    // Nothing more is compared once the recording is not the device's, and
    // silence before the device's first sound is only counted.
    if (m_NotDevice || !m_WireSound)
    {
        m_WireKept = m_WireBase = m_WireFrames;
        return;
    }
    m_Wire.insert(m_Wire.end(), frame, frame + m_FrameBytes);
    if (Behind() <= m_LagFrames)
        return;
    // Sound the recording trails by more than the path takes is lost to it:
    // up to as many frames again, placed once the recording's next frames
    // come; frames held are placed with what came of them first.
    const bool place = m_Aligned && !m_Changed && Behind() <= 2 * m_LagFrames;
    if (!place)
        Resolve();
    if (m_NotDevice || Behind() <= m_LagFrames)
        return;
    if (!m_Aligned)
        return NoneOfIt();
    if (place)
    {
        m_Behind = true;
        return;
    }
    m_ChangedAt = m_Changed ? m_ChangedAt : m_FileFrames;
    NotDevice();
}

ULONGLONG HostRecordCompare::Behind() const
{
    const ULONGLONG ahead = m_WireFrames - m_WireBase, held = m_Aligned ? Held() : 0;
    return ahead > held ? ahead - held : 0;
}

void HostRecordCompare::TakeFile(const UCHAR* frame)
{
    const ULONGLONG at = m_FileFrames++;
    Step(frame, at, m_Path.MayChange);
}

void HostRecordCompare::Step(const UCHAR* frame, ULONGLONG at, bool mayChange)
{
    if (m_NotDevice)
        return;
    if (!m_Aligned && m_Held.empty())
    {
        // The path's silence, or more frames than the device sent and the
        // path's silence before.
        if (IsSilence(frame))
        {
            m_ProcessedSilence = mayChange ? m_ProcessedSilence + 1 : 0;
            if (m_FileFrames > m_WireFrames + m_LagFrames)
                NoneOfIt();
            return;
        }
        m_HeldAt = at;
    }
    else if (m_Aligned && m_Held.empty())
    {
        // Once processing changed a frame, no frame holds where it came from.
        if (m_Changed || (!m_Behind && !Differs(frame, at)))
            return Judge(frame, at, mayChange);
        m_HeldAt = at;
    }
    m_Held.insert(m_Held.end(), frame, frame + m_FrameBytes);
    m_HeldMayChange.push_back(mayChange);
    if (Held() == kPlaceFrames)
        Resolve();
}

bool HostRecordCompare::Differs(const UCHAR* frame, ULONGLONG at) const
{
    const UCHAR* sent = WireFrame((ULONGLONG)((LONGLONG)at - m_Offset));
    return sent == nullptr || !std::equal(frame, frame + m_FrameBytes, sent);
}

void HostRecordCompare::Judge(const UCHAR* frame, ULONGLONG at, bool mayChange)
{
    const UCHAR* sent = WireFrame((ULONGLONG)((LONGLONG)at - m_Offset));
    const bool same = sent != nullptr && std::equal(frame, frame + m_FrameBytes, sent);
    const bool first = !same && !m_Changed;
    if (first)
    {
        m_Changed = true;
        m_ChangedAt = at;
    }
    // A frame the device never sent; other samples than the device's,
    // silence where it sent sound among them, in a frame the driver took
    // while nothing on the path could change it; or, after its sound came
    // unchanged, sound where it sent silence: no level makes any of them.
    // Silence a mute made is the device's frame, changed. The verdict names
    // that frame.
    if (sent == nullptr ||
        (!same && (!mayChange || (!IsSilence(frame) && first && IsSilence(sent)))))
    {
        m_ChangedAt = at;
        return NotDevice();
    }
    DropWire(1);
}

ULONGLONG HostRecordCompare::Longest(ULONGLONG from, ULONGLONG near, size_t* most,
                                     size_t skip) const
{
    const size_t held = Held() - skip;
    const UCHAR* frames = &m_Held[skip * m_FrameBytes];
    const auto distance = [near](ULONGLONG q) { return q > near ? q - near : near - q; };
    ULONGLONG best = from;
    *most = 0;
    for (ULONGLONG p = from; p < m_WireFrames; ++p)
    {
        size_t n = 0;
        for (const UCHAR* sent; n < held && (sent = WireFrame(p + n)) != nullptr &&
                                std::equal(sent, sent + m_FrameBytes, &frames[n * m_FrameBytes]);)
            ++n;
        if (n > *most || (n == *most && n != 0 && distance(p) <= distance(best)))
        {
            *most = n;
            best = p;
        }
    }
    return best;
}

void HostRecordCompare::Resolve()
{
    if (m_Held.empty() || m_NotDevice)
        return;
    if (m_Aligned)
        return Place();
    Align();
}

void HostRecordCompare::Place()
{
    const ULONGLONG at = m_HeldAt, due = (ULONGLONG)((LONGLONG)at - m_Offset);
    size_t most = 0;
    const ULONGLONG from = Longest(m_WireKept, due, &most);
    if (most >= kFewestPlaceFrames && from != due)
        return Moved(from > due ? HostWire::Lost : HostWire::Inserted, at, from,
                     from > due ? from - due : due - from);
    // The recording trails the device by more than the path takes, its
    // frames in place or none of the device's: the frames between are lost
    // to it. Silence that the device's frames follow elsewhere than in
    // place is no mute's: those frames shifted.
    if (m_Behind || SilenceShifts(due))
    {
        m_Changed = true;
        m_ChangedAt = at;
        return NotDevice();
    }
    // Found nowhere: each frame held is weighed as it came.
    const std::vector<UCHAR> held = std::move(m_Held);
    const std::vector<bool> mayChange = std::move(m_HeldMayChange);
    m_Held.clear();
    m_HeldMayChange.clear();
    for (size_t i = 0; i * m_FrameBytes < held.size() && !m_NotDevice; ++i)
        Judge(&held[i * m_FrameBytes], at + i, mayChange[i]);
}

bool HostRecordCompare::SilenceShifts(ULONGLONG due) const
{
    size_t silent = 0, most = 0;
    while (silent < Held() && IsSilence(&m_Held[silent * m_FrameBytes]))
        ++silent;
    if (silent == 0 || silent == Held())
        return false;
    const ULONGLONG from = Longest(m_WireKept, due + silent, &most, silent);
    return most >= kFewestPlaceFrames && from != due + silent;
}

void HostRecordCompare::Moved(HostWire kind, ULONGLONG at, ULONGLONG resumed, ULONGLONG count)
{
    m_Moved = kind;
    m_ChangedAt = at;
    m_ResumedAt = resumed;
    m_MovedFrames = count;
    m_Changed = true;
    NotDevice();
}

void HostRecordCompare::Align()
{
    const ULONGLONG at = m_HeldAt;
    size_t most = 0;
    ULONGLONG match = Longest(m_WireBase, m_WireBase, &most);
    // Fewer frames in a row than place them by more than chance: the
    // device's first frame alike, the earliest, as the recording starts with
    // what the device sent first.
    for (ULONGLONG p = m_WireBase; most < kFewestPlaceFrames && p < match; ++p)
        if (std::equal(m_Held.begin(), m_Held.begin() + (ptrdiff_t)m_FrameBytes, WireFrame(p)))
        {
            match = p;
            break;
        }
    const bool found = most != 0;
    if (!found && !m_WireSound)
    {
        // Sound the device never sent.
        m_ChangedAt = at;
        return NotDevice();
    }
    m_Aligned = true;
    if (!found)
    {
        // Not among the device's frames: its first sound, changed, where
        // the path could change it.
        match = m_WireSoundAt;
        m_Changed = true;
        m_ChangedAt = at;
        if (!m_HeldMayChange.front())
            return NotDevice();
    }
    // The silence both had before, from where the device's frames start:
    // all the device sent before its first sound was silence.
    ULONGLONG back = 0;
    while (back < at && match - back > m_WireSoundAt && IsSilence(WireFrame(match - back - 1)))
        ++back;
    if (match - back == m_WireSoundAt)
        back += std::min(at - back, m_WireSoundAt);
    m_StartWire = match - back;
    m_StartFile = at - back;
    m_Offset = (LONGLONG)at - (LONGLONG)match;
    // Sound the device sent before the recording's first frame of it was
    // lost, where a run places that frame; unless the recording's silence
    // just before came through processing that could make it (a mute): the
    // device's frames, changed.
    const ULONGLONG before = m_StartWire > m_WireSoundAt ? m_StartWire - m_WireSoundAt : 0;
    if (found && most >= kFewestPlaceFrames && before != 0)
    {
        if (m_StartFile < before || m_ProcessedSilence < at - m_StartFile + before)
            return Moved(HostWire::Lost, m_StartFile, m_StartWire, before);
        m_StartWire = m_WireSoundAt;
        m_StartFile -= before;
        m_Changed = true;
        m_ChangedAt = m_StartFile;
    }
    // The first frame, changed, is compared.
    DropWire(match - m_WireBase + (found ? 0 : 1));
    const std::vector<UCHAR> held = std::move(m_Held);
    const std::vector<bool> mayChange = std::move(m_HeldMayChange);
    m_Held.clear();
    m_HeldMayChange.clear();
    for (size_t i = found ? 0 : 1; i * m_FrameBytes < held.size() && !m_NotDevice; ++i)
        Step(&held[i * m_FrameBytes], at + i, mayChange[i]);
}

void HostRecordCompare::NotDevice()
{
    m_NotDevice = true;
    m_Changed = true;
    m_Held.clear();
    m_HeldMayChange.clear();
    m_Wire.clear();
    m_WireHead = 0;
    m_WireKept = m_WireBase = m_WireFrames;
}

void HostRecordCompare::NoneOfIt()
{
    m_NoneOfIt = true;
    m_ChangedAt = 0;
    NotDevice();
}
