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
                                   HostStreamSummary* summary) const
{
    summary->ChangedAtFrame = m_ChangedAt;
    summary->FileAtFrame = m_StartWire;
    summary->WireAtFileFrame = m_StartFile;
    summary->DeviceFrames = m_WireFrames;
    summary->Processing = m_Path.What;
    if (!oneEndpoint)
        return HostWire::SeveralPaths;
    if (m_FileFrames == 0)
        return m_WireFrames == 0 ? HostWire::Nothing : HostWire::Unreached;
    if (!sameFormat)
        return HostWire::OtherFormat;
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
    return frame >= m_WireBase && frame < m_WireFrames
               ? &m_Wire[m_WireHead + (size_t)(frame - m_WireBase) * m_FrameBytes]
               : nullptr;
}

void HostRecordCompare::DropWire(ULONGLONG frames)
{
    m_WireHead += (size_t)frames * m_FrameBytes;
    m_WireBase += frames;
    // What was compared goes once it is half of what is kept.
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
        m_WireBase = m_WireFrames;
        return;
    }
    m_Wire.insert(m_Wire.end(), frame, frame + m_FrameBytes);
    // Sound the recording trails by more than the path takes is lost to it.
    if (m_WireFrames - m_WireBase <= m_LagFrames)
        return;
    if (!m_Aligned)
        return NoneOfIt();
    m_ChangedAt = m_Changed ? m_ChangedAt : m_FileFrames;
    NotDevice();
}

void HostRecordCompare::TakeFile(const UCHAR* frame)
{
    const ULONGLONG at = m_FileFrames++;
    if (m_NotDevice)
        return;
    if (!m_Aligned)
    {
        if (!IsSilence(frame))
            Align(frame);
        // More frames than the device sent, and the path's silence before.
        else if (m_FileFrames > m_WireFrames + m_LagFrames)
            NoneOfIt();
        return;
    }
    const ULONGLONG wire = (ULONGLONG)((LONGLONG)at - m_Offset);
    const UCHAR* sent = WireFrame(wire);
    const bool same = sent != nullptr && std::equal(frame, frame + m_FrameBytes, sent);
    const bool first = !same && !m_Changed;
    if (first)
    {
        m_Changed = true;
        m_ChangedAt = at;
    }
    // A frame the device never sent, or silence where it sent sound; or,
    // after its sound came unchanged, sound where it sent silence, or other
    // samples where nothing on the path could change them: no level makes
    // any of them.
    if (sent == nullptr ||
        (!same &&
         (IsSilence(frame) ? !IsSilence(sent) : first && (IsSilence(sent) || !m_Path.MayChange))))
        return NotDevice();
    DropWire(1);
}

void HostRecordCompare::Align(const UCHAR* frame)
{
    const ULONGLONG at = m_FileFrames - 1;
    ULONGLONG match = m_WireBase;
    while (match < m_WireFrames && !std::equal(frame, frame + m_FrameBytes, WireFrame(match)))
        ++match;
    if (match == m_WireFrames && !m_WireSound)
    {
        // Sound the device never sent.
        m_ChangedAt = at;
        return NotDevice();
    }
    m_Aligned = true;
    if (match == m_WireFrames)
    {
        // Not among the device's frames: its first sound, changed, where
        // the path could change it.
        match = m_WireSoundAt;
        m_Changed = true;
        m_ChangedAt = at;
        if (!m_Path.MayChange)
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
    DropWire(match + 1 - m_WireBase);
}

void HostRecordCompare::NotDevice()
{
    m_NotDevice = true;
    m_Changed = true;
    m_Wire.clear();
    m_WireHead = 0;
    m_WireBase = m_WireFrames;
}

void HostRecordCompare::NoneOfIt()
{
    m_NoneOfIt = true;
    m_ChangedAt = 0;
    NotDevice();
}
