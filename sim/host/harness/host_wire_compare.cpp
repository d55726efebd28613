#include "sim/host/harness/host_wire_compare.h"

#include <algorithm>
#include <cstring>

namespace
{
constexpr ULONGLONG kNone = HostPlayWindow::kNone;
} // namespace

HostPlayCompare::HostPlayCompare(std::unique_ptr<HostPlaySource> file, USHORT container)
    : m_Source(std::move(file)), m_Pins(*m_Source, container),
      m_FrameBytes(m_Pins.Format().FrameBytes()), m_Frames(m_Source->Frames()),
      m_Silence(container == 8 ? 0x80 : 0x00),
      m_SearchFrames((ULONGLONG)m_Pins.Format().Rate * kSearchMs / 1000),
      m_SilentFrame(m_FrameBytes, m_Silence), m_Window(m_FrameBytes, m_Silence),
      m_KeptFrames(kKept * m_FrameBytes), m_KeptHashes(kKept), m_KeptSound(kKept)
{
    for (const UCHAR* frame; (frame = FileFrame(m_FirstSound)) != nullptr && IsSilence(frame);)
        ++m_FirstSound;
    m_Work += m_FirstSound;
    m_ReadAhead += m_FirstSound;
    m_Next = m_Found = m_ChangedAt = m_FirstSound;
    FillWindow(m_FirstSound);
}

void HostPlayCompare::FillWindow(ULONGLONG at)
{
    std::vector<UCHAR> frames;
    const ULONGLONG end = std::min(at + m_SearchFrames + HostPlayWindow::kLongestRun - 1, m_Frames);
    frames.reserve((size_t)(end - std::min(at, end)) * m_FrameBytes);
    const UCHAR* frame = nullptr;
    // The frames held in one place are taken at once.
    for (ULONGLONG n = at; n < end && (frame = FileFrame(n)) != nullptr;)
    {
        const ULONGLONG held = m_Window.Frame(n) != nullptr
                                   ? m_Window.End()
                                   : m_BlockAt + m_Block.size() / m_FrameBytes;
        const ULONGLONG count = std::min(held, end) - n;
        frames.insert(frames.end(), frame, frame + count * m_FrameBytes);
        n += count;
    }
    m_ReadAhead += m_FrameBytes != 0 ? frames.size() / m_FrameBytes : 0;
    m_Window.Hold(std::move(frames), at, m_SearchFrames, &m_Work);
}

void HostPlayCompare::Feed(const std::vector<UCHAR>& bytes)
{
    if (!m_WireSound)
    {
        const auto sound =
            std::find_if(bytes.begin(), bytes.end(), [this](UCHAR b) { return b != m_Silence; });
        m_WireLead += (ULONGLONG)(sound - bytes.begin());
        m_WireSound = sound != bytes.end();
    }
    for (size_t at = 0; m_FrameBytes != 0 && at < bytes.size();)
    {
        if (m_Frame.empty() && bytes.size() - at >= m_FrameBytes)
        {
            TakeFrame(&bytes[at]);
            at += m_FrameBytes;
            continue;
        }
        const size_t take = std::min(m_FrameBytes - m_Frame.size(), bytes.size() - at);
        m_Frame.insert(m_Frame.end(), bytes.begin() + (ptrdiff_t)at,
                       bytes.begin() + (ptrdiff_t)(at + take));
        at += take;
        if (m_Frame.size() == m_FrameBytes)
        {
            TakeFrame(m_Frame.data());
            m_Frame.clear();
        }
    }
}

HostWire HostPlayCompare::Result(bool sameFormat, bool oneEndpoint, bool gaps,
                                 HostStreamSummary* summary)
{
    Settle();
    const bool resumed =
        m_After == HostWire::Lost || m_After == HostWire::Inserted || m_After == HostWire::Blanked;
    summary->ChangedAtFrame = m_ChangedAt;
    summary->FileAtFrame = m_FileAt > m_Found ? m_FileAt - m_Found : 0;
    summary->FirstReceivedFrame = resumed && !m_LostStart ? m_Resumed : m_Found;
    summary->ResumedWireFrame = m_ResumedWire;
    summary->InsertedFrames = m_Inserted;
    summary->LeftoverFrames = m_Started ? m_Leftover : m_Sounds;
    summary->AppendedFrames = m_Appended;
    summary->DeviceFrames = m_WireFrames;
    if (!oneEndpoint)
        return HostWire::SeveralPaths;
    if (m_WireFrames == 0)
        return HostWire::Nothing;
    if (!sameFormat)
        return HostWire::OtherFormat;
    if (m_FirstSound == m_Frames)
        return m_Sounds == 0 ? HostWire::Silent : HostWire::Changed;
    // The first place that went wrong is named: before the file, what the
    // device never received of its start, or what came before it.
    if (m_LostStart)
        return HostWire::LostStart;
    if (m_Started && m_Leftover != 0)
        return HostWire::Leftover;
    // A lost packet shifts what follows it: that is no processing.
    if (m_After != HostWire::Exact && gaps)
        return HostWire::Broken;
    if (m_After != HostWire::Exact)
        return m_After;
    // Sound that never became the file is the file changed from its start;
    // too little sound to hold a run is none of it.
    if (!m_Started && m_Sounds != 0)
        return m_Sounds < m_Window.RunFrames() ? HostWire::Partial : HostWire::Changed;
    // Silence alone places none of the file's frames, however it begins.
    if (!m_Started)
        return HostWire::Unreached;
    if (m_Next != m_Frames)
        return HostWire::Partial;
    return m_Appended != 0 ? HostWire::Appended : HostWire::Exact;
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

bool HostPlayCompare::IsSilence(const UCHAR* frame) const
{
    return memcmp(frame, m_SilentFrame.data(), m_FrameBytes) == 0;
}

bool HostPlayCompare::Same(const UCHAR* a, const UCHAR* b)
{
    ++m_Work;
    return memcmp(a, b, m_FrameBytes) == 0;
}

const UCHAR* HostPlayCompare::FileFrame(ULONGLONG n)
{
    if (const UCHAR* held = m_Window.Frame(n))
        return held;
    while (m_FrameBytes != 0 && n < m_Frames && n >= m_BlockAt + m_Block.size() / m_FrameBytes)
    {
        m_BlockAt += m_Block.size() / m_FrameBytes;
        m_Block = m_Pins.Next();
        if (m_Block.empty())
            return nullptr;
    }
    return n < m_Frames && n >= m_BlockAt ? &m_Block[(size_t)(n - m_BlockAt) * m_FrameBytes]
                                          : nullptr;
}

void HostPlayCompare::TakeFrame(const UCHAR* frame)
{
    Step(frame);
    ++m_WireFrames;
}

void HostPlayCompare::Step(const UCHAR* frame)
{
    switch (m_Phase)
    {
    case Phase::Starting:
        return StartFrame(frame);
    case Phase::InPlace:
        return InPlaceFrame(frame);
    case Phase::Ended:
        m_Appended += IsSilence(frame) ? 0 : 1;
        ++m_Work;
        return;
    case Phase::Looking:
        return LookFrame(frame);
    case Phase::Watching:
        return WatchFrame(frame);
    case Phase::Done:
        return;
    }
}

void HostPlayCompare::Keep(const UCHAR* frame)
{
    const ULONGLONG x = m_WireFrames;
    const size_t slot = (size_t)(x % kKept);
    if (x >= kKept && m_KeptSound[slot])
        m_SoundOut = x - kKept;
    const size_t run = m_Window.RunFrames();
    const ULONGLONG hash = HostPlayWindow::FrameHash(frame, m_FrameBytes);
    ++m_Work;
    m_RunHash = m_Window.Roll(m_RunHash, m_Kept >= run ? m_KeptHashes[(x - run) % kKept] : 0, hash);
    m_KeptSounds -= m_Kept >= run && m_KeptSound[(x - run) % kKept] ? 1 : 0;
    m_KeptSounds += IsSilence(frame) ? 0 : 1;
    std::copy_n(frame, m_FrameBytes, &m_KeptFrames[slot * m_FrameBytes]);
    m_KeptHashes[slot] = hash;
    m_KeptSound[slot] = !IsSilence(frame);
    ++m_Kept;
    m_LastKept = x;
}

const UCHAR* HostPlayCompare::Kept(ULONGLONG wire) const
{
    return &m_KeptFrames[(size_t)(wire % kKept) * m_FrameBytes];
}

bool HostPlayCompare::KeptSound(ULONGLONG wire) const
{
    return m_KeptSound[(size_t)(wire % kKept)];
}

ULONGLONG HostPlayCompare::SoundBefore(ULONGLONG wire, ULONGLONG since) const
{
    for (ULONGLONG y = wire; y-- > since && y + kKept > m_LastKept;)
        if (KeptSound(y))
            return y;
    return m_SoundOut != kNone && m_SoundOut >= since && m_SoundOut < wire ? m_SoundOut : since - 1;
}

bool HostPlayCompare::LookUp(ULONGLONG from)
{
    ULONGLONG found[HostPlayWindow::kMostPlaces];
    const size_t count = m_Window.Nearest(m_RunHash, from, found, &m_Work);
    if (count == 0)
        return false;
    m_Places.assign(found, found + count);
    m_Alive = (1u << count) - 1;
    m_RunAt = m_WireFrames + 1 - m_Window.RunFrames();
    m_RunSounds = m_KeptSounds;
    m_Following = true;
    return true;
}

bool HostPlayCompare::Follow(const UCHAR* frame, ULONGLONG* place, ULONGLONG* frames)
{
    const ULONGLONG k = m_WireFrames - m_RunAt;
    unsigned alive = 0;
    for (size_t i = 0; i < m_Places.size(); ++i)
        if (const UCHAR* file = m_Window.Frame(m_Places[i] + k);
            (m_Alive >> i & 1) != 0 && file != nullptr && Same(frame, file))
            alive |= 1u << i;
    m_RunSounds += alive != 0 && !IsSilence(frame) ? 1 : 0;
    if (alive != 0 && k + 1 < HostPlayWindow::kLongestRun)
    {
        m_Alive = alive;
        return false;
    }
    // The run ended with the frame before, or is long enough: those that
    // matched all of it decide, where it holds sound enough.
    *frames = alive == 0 ? k : k + 1;
    *place = m_RunSounds >= m_Window.RunFrames() ? Decide(alive == 0 ? m_Alive : alive) : kNone;
    m_Following = false;
    return true;
}

ULONGLONG HostPlayCompare::Decide(unsigned alive)
{
    // The run's first frames were found by their hash: checked here.
    for (size_t i = 0; i < m_Places.size(); ++i)
    {
        bool same = (alive >> i & 1) != 0;
        for (size_t j = 0; same && j < m_Window.RunFrames(); ++j)
            same = Same(Kept(m_RunAt + j), m_Window.Frame(m_Places[i] + j));
        if (same)
            return m_Places[i];
    }
    return kNone;
}

void HostPlayCompare::StartFrame(const UCHAR* frame)
{
    const ULONGLONG x = m_WireFrames;
    const bool sound = !IsSilence(frame);
    if (!m_Heard && !sound)
        return;
    if (!m_Heard)
    {
        m_Heard = true;
        m_HeardAt = x;
    }
    Keep(frame);
    m_Sounds += sound ? 1 : 0;
    ULONGLONG place = kNone, frames = 0;
    if (m_Following)
    {
        if (!Follow(frame, &place, &frames) || place == kNone)
            return;
        StartAt(place, m_RunAt, frames);
        // The frame that ended the run is the first compared in place.
        if (m_RunAt + frames == x)
            Step(frame);
        return;
    }
    // The wire's first sound that is the file's first sound starts it.
    const UCHAR* first = FileFrame(m_FirstSound);
    if (first == nullptr)
        return;
    if (x == m_HeardAt && Same(frame, first))
        return StartAt(m_FirstSound, x, 1);
    const size_t run = m_Window.RunFrames();
    if (m_Kept >= run && KeptSound(x + 1 - run))
        LookUp(m_FirstSound);
}

void HostPlayCompare::StartAt(ULONGLONG place, ULONGLONG wire, ULONGLONG frames)
{
    m_Following = false;
    m_Started = true;
    m_Found = place;
    m_FileAt = wire;
    ULONGLONG inRun = 0;
    for (ULONGLONG y = wire; y <= m_LastKept; ++y)
        inRun += KeptSound(y) ? 1 : 0;
    m_Leftover = m_Sounds - inRun;
    m_Next = place + frames;
    // The file's frame 0 belongs at wire frame `wire` - `place`: sound that
    // came where the frames before the place belong is those frames,
    // changed; with none there, the device never received them.
    if (place > m_FirstSound && m_Leftover != 0 &&
        SoundBefore(wire, m_HeardAt) + place >= wire + m_FirstSound)
    {
        m_Leftover = 0;
        m_After = HostWire::Changed;
        m_Phase = Phase::Done;
        return;
    }
    m_LostStart = place > m_FirstSound;
    m_Phase = m_LostStart || m_Leftover != 0 ? Phase::Done
              : m_Next == m_Frames           ? Phase::Ended
                                             : Phase::InPlace;
}

void HostPlayCompare::InPlaceFrame(const UCHAR* frame)
{
    const UCHAR* file = FileFrame(m_Next);
    if (file != nullptr && Same(frame, file))
        m_Phase = ++m_Next == m_Frames ? Phase::Ended : Phase::InPlace;
    else if (file != nullptr)
        Differ(frame);
}

void HostPlayCompare::Differ(const UCHAR* frame)
{
    m_ChangedAt = m_Next;
    m_DiffWire = m_WireFrames;
    FillWindow(m_Next);
    m_Kept = m_RunHash = m_KeptSounds = 0;
    m_SoundOut = kNone;
    m_Following = false;
    m_SilentOnly = true;
    m_Late = false;
    m_LastWireSound = m_EndChecked = m_EndRunAt = kNone;
    m_Phase = Phase::Looking;
    LookFrame(frame);
}

void HostPlayCompare::LookFrame(const UCHAR* frame)
{
    const ULONGLONG x = m_WireFrames, inPlace = m_ChangedAt + (x - m_DiffWire);
    const UCHAR* file = FileFrame(inPlace);
    const bool sound = !IsSilence(frame), exact = file != nullptr && Same(frame, file);
    // Silence, then the file's sound in place: no processing turns sound to
    // silence and leaves other sound as it was.
    if (sound && exact && m_SilentOnly)
        return Blanked(x);
    // Sound past the window after silence only: no run can start in it.
    if (sound && m_SilentOnly && !m_Late && x - m_DiffWire >= m_SearchFrames)
        GoLate(x);
    m_SilentOnly = m_SilentOnly && !sound;
    if (file != nullptr && !IsSilence(file))
        m_LastFileSound = inPlace;
    Keep(frame);
    if (sound)
    {
        m_LastWireSound = x;
        m_EndRunAt = kNone;
    }
    ULONGLONG place = kNone, frames = 0;
    if (m_Following && Follow(frame, &place, &frames) && place != kNone)
        return Shifted(place, m_RunAt, m_RunAt - 1 - SoundBefore(m_RunAt, m_DiffWire));
    const size_t run = m_Window.RunFrames();
    const ULONGLONG runAt = x + 1 - run, since = m_Late ? m_LateWire : m_DiffWire;
    // A run may start no later than the window's last place. In place is
    // one of its places, tried first: the longest match decides. After
    // silence past the window, the file goes on where it stopped or later.
    if (!m_Following && m_Kept >= run && KeptSound(runAt) && runAt - since < m_SearchFrames)
        LookUp(m_Late ? m_ChangedAt : m_ChangedAt + (runAt - m_DiffWire));
    if (!sound && m_LastWireSound != kNone && x - m_LastWireSound == HostPlayWindow::kLongestRun)
        EndRun();
    if (!m_Following && x + 2 >= since + m_SearchFrames + run)
        GiveUp();
}

void HostPlayCompare::WatchFrame(const UCHAR* frame)
{
    const ULONGLONG x = m_WireFrames, inPlace = m_ChangedAt + (x - m_DiffWire);
    const UCHAR* file = FileFrame(inPlace);
    if (!IsSilence(frame))
    {
        if (file != nullptr && Same(frame, file))
            return Blanked(x);
        m_Phase = Phase::Looking;
        GoLate(x);
        return LookFrame(frame);
    }
    Keep(frame);
    if (file != nullptr && !IsSilence(file))
        m_LastFileSound = inPlace;
}

void HostPlayCompare::GoLate(ULONGLONG wire)
{
    // The file going on where it stopped, or later: placed by a run as in
    // the window, from this frame on. Other sound within the file is its
    // frames with other values; past its end, the file's frames were never
    // received.
    m_Late = true;
    m_LateWire = wire;
    m_SilentOnly = false;
    m_After = FileFrame(m_ChangedAt + (wire - m_DiffWire)) != nullptr ? HostWire::Changed
                                                                      : HostWire::Partial;
}

void HostPlayCompare::Blanked(ULONGLONG wire)
{
    m_After = HostWire::Blanked;
    m_Resumed = m_LastFileSound + 1;
    m_ResumedWire = wire;
    m_Phase = Phase::Done;
}

void HostPlayCompare::Shifted(ULONGLONG place, ULONGLONG wire, ULONGLONG silentBefore)
{
    // In place after other sound: the file's frames with other values.
    const ULONGLONG inPlace = m_ChangedAt + (wire - m_DiffWire);
    if (place == inPlace)
    {
        m_After = HostWire::Changed;
        m_Phase = Phase::Done;
        return;
    }
    // The run's place taken back over the silence both have before it.
    const ULONGLONG back = std::min(silentBefore, m_Window.SilenceBefore(place));
    m_Resumed = place - back;
    m_ResumedWire = wire - back;
    // After silence past the window, the file going on where it stopped is
    // that silence inserted; going on later, the frames between lost.
    const bool lost = m_Late ? m_Resumed > m_ChangedAt : place > inPlace;
    m_After = lost ? HostWire::Lost : HostWire::Inserted;
    m_Inserted = lost ? 0 : inPlace - place;
    m_Phase = Phase::Done;
}

void HostPlayCompare::EndRun()
{
    const ULONGLONG last = m_LastWireSound;
    if (last == kNone || last == m_EndChecked || m_Window.End() != m_Frames)
        return;
    m_EndChecked = last;
    // The wire's last sound against the file's: the silence after each is
    // the play's.
    const ULONGLONG end = m_Frames - m_Window.SilenceBefore(m_Frames);
    const ULONGLONG most = std::min<ULONGLONG>(
        {HostPlayWindow::kLongestRun - 1, last + 1 - m_DiffWire, end - m_ChangedAt});
    ULONGLONG frames = 0, sounds = 0;
    for (; frames < most && Same(Kept(last - frames), m_Window.Frame(end - 1 - frames)); ++frames)
        sounds += KeptSound(last - frames) ? 1 : 0;
    while (frames != 0 && !KeptSound(last + 1 - frames))
        --frames;
    const ULONGLONG at = last + 1 - frames;
    if (sounds < m_Window.OnePlaceRunFrames() ||
        at - (m_Late ? m_LateWire : m_DiffWire) >= m_SearchFrames)
        return;
    m_EndRunAt = at;
    m_EndRunPlace = end - frames;
    m_EndRunSilent = at - 1 - SoundBefore(at, m_DiffWire);
}

void HostPlayCompare::GiveUp()
{
    if (m_LastWireSound != m_WireFrames)
        EndRun();
    if (m_EndRunAt != kNone)
        return Shifted(m_EndRunPlace, m_EndRunAt, m_EndRunSilent);
    // Silence alone may yet be the file's frames never received; sound no
    // run placed after it is as Watching found it.
    if (!m_Late)
        m_After = m_SilentOnly ? HostWire::Partial : HostWire::Changed;
    m_Phase = m_SilentOnly ? Phase::Watching : Phase::Done;
}

void HostPlayCompare::Settle()
{
    ULONGLONG place = kNone;
    if (m_Following && m_RunSounds >= m_Window.RunFrames() && (place = Decide(m_Alive)) != kNone)
    {
        if (m_Phase == Phase::Starting)
            StartAt(place, m_RunAt, m_WireFrames - m_RunAt);
        else
            Shifted(place, m_RunAt, m_RunAt - 1 - SoundBefore(m_RunAt, m_DiffWire));
    }
    m_Following = false;
    if (m_Phase == Phase::Looking)
        GiveUp();
    if (m_Phase == Phase::InPlace)
        m_ChangedAt = m_Next;
}
