#include "sim/host/harness/host_wire_compare.h"

#include <algorithm>
#include <cstring>

HostPlayCompare::HostPlayCompare(std::unique_ptr<HostPlaySource> file, USHORT container)
    : m_Source(std::move(file)), m_Pins(*m_Source, container),
      m_FrameBytes(m_Pins.Format().FrameBytes()), m_Frames(m_Source->Frames()),
      m_Silence(container == 8 ? 0x80 : 0x00),
      m_SearchFrames((ULONGLONG)m_Pins.Format().Rate * kSearchMs / 1000)
{
    while (FileFrame(m_FirstSound) != nullptr && IsSilence(FileFrame(m_FirstSound)))
        ++m_FirstSound;
    m_Next = m_Found = m_WindowAt = m_FirstSound;
    FillWindow();
}

void HostPlayCompare::FillWindow()
{
    const size_t kept = m_FrameBytes != 0 ? m_Window.size() / m_FrameBytes : 0;
    const UCHAR* frame = nullptr;
    for (ULONGLONG n = m_WindowAt + kept;
         n < m_WindowAt + m_SearchFrames + kRunFrames - 1 && (frame = FileFrame(n)) != nullptr; ++n)
        m_Window.insert(m_Window.end(), frame, frame + m_FrameBytes);
    const size_t held = m_FrameBytes != 0 ? m_Window.size() / m_FrameBytes : 0;
    m_Sorted.clear();
    for (ULONG at = 0; at < std::min<ULONGLONG>(held, m_SearchFrames); ++at)
        if (!IsSilence(&m_Window[at * m_FrameBytes]))
            m_Sorted.push_back(at);
    // Equal frames by their place, first first.
    std::sort(m_Sorted.begin(), m_Sorted.end(),
              [this](ULONG a, ULONG b)
              {
                  const int order = memcmp(&m_Window[a * m_FrameBytes], &m_Window[b * m_FrameBytes],
                                           m_FrameBytes);
                  return order != 0 ? order < 0 : a < b;
              });
}

void HostPlayCompare::Feed(const std::vector<UCHAR>& bytes)
{
    for (UCHAR b : bytes)
    {
        m_WireSound = m_WireSound || b != m_Silence;
        m_WireLead += m_WireSound ? 0 : 1;
        m_Frame.push_back(b);
        if (m_Frame.size() == m_FrameBytes)
            TakeFrame();
    }
}

HostWire HostPlayCompare::Result(bool sameFormat, bool oneEndpoint, bool gaps,
                                 HostStreamSummary* summary)
{
    Settle();
    const bool resumed =
        m_After == HostWire::Lost || m_After == HostWire::Inserted || m_After == HostWire::Blanked;
    summary->ChangedAtFrame = m_Next;
    summary->FileAtFrame = FileStart();
    summary->FirstReceivedFrame = resumed ? m_Resumed : m_Found;
    summary->ResumedWireFrame = m_ResumedWire;
    summary->InsertedFrames = m_Inserted;
    summary->LeftoverFrames = m_Leftover;
    summary->DeviceFrames = m_WireFrames;
    if (!oneEndpoint)
        return HostWire::SeveralPaths;
    if (m_WireFrames == 0)
        return HostWire::Nothing;
    if (!sameFormat)
        return HostWire::OtherFormat;
    if (m_FirstSound == m_Frames)
        return m_Leftover == 0 ? HostWire::Silent : HostWire::Changed;
    // What the device received of the file comes after what it never did.
    if (m_LostStart)
        return HostWire::LostStart;
    // A lost packet shifts what follows it: that is no processing.
    if (m_After != HostWire::Exact && gaps)
        return HostWire::Broken;
    if (m_After != HostWire::Exact)
        return m_After;
    // Sound that never became the file is the file changed from its start.
    if (!m_Started && m_Leftover != 0)
        return HostWire::Changed;
    // Silence alone places none of the file's frames, however it begins.
    if (!m_Started)
        return HostWire::Unreached;
    if (m_Next != m_Frames)
        return HostWire::Partial;
    return m_Leftover != 0 ? HostWire::Leftover : HostWire::Exact;
}

bool HostPlayCompare::LeadInMs(ULONG deviceFrameBytes, ULONG rate, double* ms)
{
    Settle();
    if (rate == 0 || deviceFrameBytes == 0 || !m_WireSound)
        return false;
    // From the file frame found on the wire; a file that never started
    // (another format): the wire's silence before its first sound, less the
    // file's own.
    const double frames = m_Started
                              ? (double)m_FileAt - (double)m_Found
                              : (double)(m_WireLead / deviceFrameBytes) - (double)m_FirstSound;
    *ms = frames * 1000.0 / rate;
    return true;
}

ULONGLONG HostPlayCompare::FileStart() const
{
    return m_FileAt > m_Found ? m_FileAt - m_Found : 0;
}

bool HostPlayCompare::IsSilence(const UCHAR* frame) const
{
    return std::all_of(frame, frame + m_FrameBytes, [this](UCHAR b) { return b == m_Silence; });
}

const UCHAR* HostPlayCompare::FileFrame(ULONGLONG n)
{
    if (n >= m_WindowAt && (n - m_WindowAt) * m_FrameBytes < m_Window.size())
        return &m_Window[(size_t)(n - m_WindowAt) * m_FrameBytes];
    while (m_FrameBytes != 0 && n < m_Frames && (n - m_BlockAt) * m_FrameBytes >= m_Block.size())
    {
        m_BlockAt += m_Block.size() / m_FrameBytes;
        m_Block = m_Pins.Next();
        if (m_Block.empty())
            return nullptr;
    }
    return n < m_Frames ? &m_Block[(size_t)(n - m_BlockAt) * m_FrameBytes] : nullptr;
}

void HostPlayCompare::TakeFrame()
{
    if (!m_Started || m_Looking)
        Look();
    else if (m_After == HostWire::Exact)
    {
        if (const UCHAR* file = FileFrame(m_Next);
            file != nullptr && std::equal(m_Frame.begin(), m_Frame.end(), file))
            ++m_Next;
        else if (file != nullptr)
            LookOn();
    }
    // Sound after the silence that took the file's place past the window:
    // the file's frames, with other values, or a loss the window missed.
    else if (m_After == HostWire::Partial && !IsSilence(m_Frame.data()))
        m_After = HostWire::Changed;
    ++m_WireFrames;
    // A run may start no later than the window's last place.
    if (m_Looking && (m_Run.empty() ? m_WireFrames : m_RunAt) - m_DiffWire >= m_SearchFrames)
        GiveUp();
    m_Frame.clear();
}

void HostPlayCompare::Look()
{
    if (m_Run.empty() && IsSilence(m_Frame.data()))
        return;
    if (m_Run.empty())
        m_RunAt = m_WireFrames;
    m_Run.insert(m_Run.end(), m_Frame.begin(), m_Frame.end());
    Narrow(RunFrames() - 1);
    while (m_Places.empty() && !m_Run.empty())
        Shorten();
    if (m_Places.empty())
        return;
    // The file starts at the first place once its run is whole, or reaches
    // the file's end; the frames after one that differed are placed once
    // their run is whole, or the last place's reaches the file's end.
    if (!m_Started && (RunFrames() == kRunFrames || m_Places.front() + RunFrames() == m_Frames))
        Start();
    else if (m_Started && (RunFrames() == kRunFrames || m_Places.back() + RunFrames() == m_Frames))
        Place();
}

void HostPlayCompare::Narrow(size_t i)
{
    const UCHAR* frame = &m_Run[i * m_FrameBytes];
    const auto bytes = [this](ULONGLONG at) { return &m_Window[(size_t)at * m_FrameBytes]; };
    if (i == 0)
    {
        const auto before = [&](ULONG at) { return memcmp(bytes(at), frame, m_FrameBytes) < 0; };
        const auto same = [&](ULONG at) { return memcmp(bytes(at), frame, m_FrameBytes) == 0; };
        const auto from = std::partition_point(m_Sorted.begin(), m_Sorted.end(), before);
        const auto to = std::partition_point(from, m_Sorted.end(), same);
        m_Places.clear();
        for (auto at = from; at != to; ++at)
            m_Places.push_back(m_WindowAt + *at);
        return;
    }
    std::erase_if(m_Places,
                  [&](ULONGLONG place)
                  {
                      const ULONGLONG at = place + i - m_WindowAt;
                      return (at + 1) * m_FrameBytes > m_Window.size() ||
                             memcmp(bytes(at), frame, m_FrameBytes) != 0;
                  });
}

void HostPlayCompare::Shorten()
{
    if (!IsSilence(m_Run.data()))
    {
        ++(m_Started ? m_Unplaced : m_Leftover);
        m_LastLeftover = m_RunAt;
    }
    // A run starts with sound.
    do
    {
        m_Run.erase(m_Run.begin(), m_Run.begin() + (ptrdiff_t)m_FrameBytes);
        ++m_RunAt;
    } while (!m_Run.empty() && IsSilence(m_Run.data()));
    for (size_t i = 0; i < RunFrames() && (i == 0 || !m_Places.empty()); ++i)
        Narrow(i);
}

void HostPlayCompare::Start()
{
    const ULONGLONG place = m_Places.front();
    m_Started = true;
    m_FileAt = m_RunAt;
    m_Found = place;
    m_Next = place + RunFrames();
    // The file's frame 0 belongs at wire frame m_RunAt - place: sound that
    // came where the frames before the place belong is those frames,
    // changed; with none there, the device never received them.
    if (place > m_FirstSound && m_Leftover != 0 && m_LastLeftover + place >= m_RunAt + m_FirstSound)
    {
        m_After = HostWire::Changed;
        m_Next = m_FirstSound;
    }
    else
        m_LostStart = place > m_FirstSound;
    m_Run.clear();
    m_Places.clear();
    m_Sorted.clear();
}

void HostPlayCompare::LookOn()
{
    m_Looking = true;
    m_DiffWire = m_WireFrames;
    // What the window holds from the frame on is kept (it never holds
    // frames before m_WindowAt), and the rest read on.
    const size_t from =
        std::min<size_t>((size_t)(m_Next - m_WindowAt) * m_FrameBytes, m_Window.size());
    m_Window.erase(m_Window.begin(), m_Window.begin() + (ptrdiff_t)from);
    m_WindowAt = m_Next;
    FillWindow();
    Look();
}

void HostPlayCompare::Place()
{
    // A repeating file (a sine) has the run at many places: in place is no
    // shift, else the nearest later place, else the nearest earlier one.
    const ULONGLONG inPlace = m_Next + (m_RunAt - m_DiffWire);
    const auto later = std::lower_bound(m_Places.begin(), m_Places.end(), inPlace);
    m_Resumed = later != m_Places.end() ? *later : m_Places.back();
    m_ResumedWire = m_RunAt;
    m_Looking = false;
    if (m_Resumed > inPlace)
        m_After = HostWire::Lost;
    else if (m_Resumed < inPlace)
    {
        m_After = HostWire::Inserted;
        m_Inserted = inPlace - m_Resumed;
    }
    // Back in place after sound placed nowhere: those frames came with
    // other values.
    else if (m_Unplaced != 0)
        m_After = HostWire::Changed;
    else
    {
        // After silence only, which took the file's sound from the frame
        // that differed (sound) to its last sound before the place.
        m_After = HostWire::Blanked;
        while (IsSilence(FileFrame(m_Resumed - 1)))
            --m_Resumed;
    }
    m_Run.clear();
    m_Places.clear();
}

void HostPlayCompare::GiveUp()
{
    m_Looking = false;
    // Silence alone may yet be the file's frames never received.
    m_After = m_Unplaced != 0 || !m_Run.empty() ? HostWire::Changed : HostWire::Partial;
    m_Run.clear();
    m_Places.clear();
}

void HostPlayCompare::Settle()
{
    // Only the wire's first sound is so short a run: after other sound, a
    // few frames of it are anywhere in the file.
    if (!m_Started && !m_Places.empty() && m_Leftover == 0)
        Start();
    if (m_Looking)
        GiveUp();
}

HostRecordCompare::HostRecordCompare(ULONG frameBytes, UCHAR silence, ULONGLONG lagFrames)
    : m_FrameBytes(frameBytes), m_Silence(silence), m_LagFrames(lagFrames)
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
    if (!same && !m_Changed)
    {
        m_Changed = true;
        m_ChangedAt = at;
    }
    // A frame the device never sent, or silence where it sent sound.
    if (sent == nullptr || (!same && IsSilence(frame) && !IsSilence(sent)))
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
        // Not among the device's frames: its first sound, changed.
        match = m_WireSoundAt;
        m_Changed = true;
        m_ChangedAt = at;
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
