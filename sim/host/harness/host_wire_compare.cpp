#include "sim/host/harness/host_wire_compare.h"

#include <algorithm>
#include <cstring>

#include "sim/host/harness/host_interrupt.h"

namespace
{
constexpr ULONGLONG kNone = HostPlayWindow::kNone;
} // namespace

HostPlayCompare::HostPlayCompare(std::unique_ptr<HostPlaySource> file, USHORT container,
                                 HostPathChange path)
    : m_Source(std::move(file)), m_Pins(*m_Source, container), m_Path(std::move(path)),
      m_PathEver(m_Path.MayChange), m_FrameBytes(m_Pins.Format().FrameBytes()),
      m_Frames(m_Source->Frames()), m_Silence(container == 8 ? 0x80 : 0x00),
      m_SearchFrames((ULONGLONG)m_Pins.Format().Rate * kSearchMs / 1000),
      m_BackFrames(std::max<ULONGLONG>(m_SearchFrames / 2, 1)),
      m_SilentFrame(m_FrameBytes, m_Silence), m_Past((size_t)m_BackFrames * m_FrameBytes),
      m_Window(m_FrameBytes, m_Silence), m_Runs(m_FrameBytes, m_Silence, &m_Work)
{
    for (const UCHAR* frame; !Interrupted(m_FirstSound) &&
                             (frame = FileFrame(m_FirstSound)) != nullptr && IsSilence(frame);)
        ++m_FirstSound;
    m_Work += m_FirstSound;
    m_ReadAhead += m_FirstSound;
    m_Next = m_Found = m_ChangedAt = m_FirstSound;
    FillWindow(m_FirstSound, m_FirstSound);
}

void HostPlayCompare::SetPath(const HostPathChange& path)
{
    m_Path = path;
    m_PathEver = m_PathEver || path.MayChange;
}

ULONGLONG HostPlayCompare::HeldTo(ULONGLONG n) const
{
    if (m_Window.Frame(n) != nullptr)
        return m_Window.End();
    if (InPast(n))
        return std::min(m_PastEnd, n - n % m_BackFrames + m_BackFrames);
    if (n >= m_QuietFrom && n < m_QuietTo)
        return m_QuietTo;
    return m_BlockAt + m_Block.size() / m_FrameBytes;
}

void HostPlayCompare::FillWindow(ULONGLONG at, ULONGLONG from)
{
    std::vector<UCHAR> frames;
    const ULONGLONG end =
        std::min(from + m_SearchFrames + HostPlayWindow::kLongestRun - 1, m_Frames);
    frames.reserve((size_t)(end - std::min(at, end)) * m_FrameBytes);
    const UCHAR* frame = nullptr;
    // The frames held in one place are taken at once.
    for (ULONGLONG n = at; n < end && (frame = FileFrame(n)) != nullptr;)
    {
        const bool quiet =
            m_Window.Frame(n) == nullptr && !InPast(n) && n >= m_QuietFrom && n < m_QuietTo;
        const ULONGLONG count = std::min(HeldTo(n), end) - n;
        if (quiet)
            frames.resize(frames.size() + count * m_FrameBytes, m_Silence);
        else
            frames.insert(frames.end(), frame, frame + count * m_FrameBytes);
        n += count;
    }
    m_ReadAhead += m_FrameBytes != 0 ? frames.size() / m_FrameBytes : 0;
    m_Window.Hold(std::move(frames), at, from - at + m_SearchFrames, &m_Work);
}

ULONGLONG HostPlayCompare::NextSound(ULONGLONG from)
{
    ULONGLONG n = from;
    for (const UCHAR* frame;
         !Interrupted(n - from) && (frame = FileFrame(n)) != nullptr && IsSilence(frame); ++n)
        ++m_Work;
    m_ReadAhead += n > m_Window.End() ? n - std::max(from, m_Window.End()) : 0;
    // What was read on past the window, or what a new window drops, is not
    // read again.
    if (n > from)
    {
        m_QuietFrom = from;
        m_QuietTo = n;
    }
    return std::min(n, m_Frames);
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
    const bool resumed = m_After == HostWire::Lost || m_After == HostWire::Inserted ||
                         m_After == HostWire::Blanked || m_After == HostWire::Filled;
    summary->ChangedAtFrame = m_ChangedAt;
    summary->FileAtFrame = m_FileAt > m_Found ? m_FileAt - m_Found : 0;
    summary->FirstReceivedFrame = resumed && !m_LostStart ? m_Resumed : m_Found;
    summary->ResumedWireFrame = m_ResumedWire;
    summary->InsertedFrames = m_Inserted;
    summary->LeftoverFrames = m_Started ? m_Leftover : m_Sounds;
    summary->AppendedFrames = m_Appended;
    summary->DeviceFrames = m_WireFrames;
    summary->Processing = m_Path.What;
    // A fault after frames processing made is named at its own frame; the
    // processing, from the first it made.
    if (m_FixedDiffers && m_FixedAt > m_ChangedAt &&
        (m_After == HostWire::Blanked || m_After == HostWire::Other))
        summary->ChangedAtFrame = m_FixedAt;
    if (m_Processed && m_After == HostWire::Changed)
        summary->ChangedAtFrame = std::min(m_ProcessedAt, m_ChangedAt);
    if (!oneEndpoint)
        return HostWire::SeveralPaths;
    if (m_WireFrames == 0)
        return HostWire::Nothing;
    if (!sameFormat)
        return HostWire::OtherFormat;
    if (m_FirstSound == m_Frames)
        return m_Sounds == 0 ? HostWire::Silent : Unplaced();
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
        return m_Sounds < m_Window.RunFrames() ? HostWire::Partial : Unplaced();
    // Silence alone places none of the file's frames, however it begins.
    if (!m_Started)
        return HostWire::Unreached;
    if (m_Next != m_Frames)
        return HostWire::Partial;
    if (m_Appended != 0 || !m_Processed)
        return m_Appended != 0 ? HostWire::Appended : HostWire::Exact;
    summary->ChangedAtFrame = m_ProcessedAt;
    return gaps ? HostWire::Broken : HostWire::Changed;
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

bool HostPlayCompare::Interrupted(ULONGLONG scanned)
{
    if (scanned % kPollFrames != 0)
        return false;
    HostProbeInterrupt("scan");
    return HostInterrupted();
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
    if (InPast(n))
        return &m_Past[(size_t)(n % m_BackFrames) * m_FrameBytes];
    if (n >= m_QuietFrom && n < m_QuietTo)
        return m_SilentFrame.data();
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
    if (m_Path.MayChange)
    {
        m_OnFrom = m_OnTo == m_WireFrames ? m_OnFrom : m_WireFrames;
        m_OnTo = m_WireFrames + 1;
    }
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
        return EndedFrame(frame);
    case Phase::Looking:
        return LookFrame(frame);
    case Phase::Watching:
        return WatchFrame(frame);
    case Phase::Done:
        return;
    }
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
    m_Runs.Keep(m_Window, frame, x);
    m_Sounds += sound ? 1 : 0;
    if (HostPlayRuns::Outcome run; m_Runs.Following())
    {
        if (!m_Runs.Follow(m_Window, frame, x, &run) || run.Place == kNone)
            return;
        const ULONGLONG at = m_Runs.RunAt();
        StartAt(run.Place, at, run.Frames);
        // The frame that ended the run is the first compared in place.
        if (at + run.Frames == x)
            Step(frame);
        return;
    }
    // The wire's first sound that is the file's first sound starts it.
    const UCHAR* first = FileFrame(m_FirstSound);
    if (first == nullptr)
        return;
    if (x == m_HeardAt && Same(frame, first))
        return StartAt(m_FirstSound, x, 1);
    if (const ULONGLONG runAt = m_Runs.RunStart(m_Window);
        runAt != kNone && m_Runs.KeptSound(runAt))
        m_Runs.LookUp(m_Window, m_FirstSound);
}

void HostPlayCompare::StartAt(ULONGLONG place, ULONGLONG wire, ULONGLONG frames)
{
    m_Runs.Stop();
    m_Started = true;
    m_Found = place;
    m_FileAt = wire;
    ULONGLONG inRun = 0;
    for (ULONGLONG y = wire; y <= m_Runs.LastKept(); ++y)
        inRun += m_Runs.KeptSound(y) ? 1 : 0;
    m_Leftover = m_Sounds - inRun;
    m_Next = place + frames;
    const bool processed = place > m_FirstSound && ProcessedStart(place, wire, frames);
    // The file's frame 0 belongs at wire frame `wire` - `place`: sound that
    // came where the frames before the place belong is those frames,
    // changed; with none there, the device never received them.
    if (!processed && place > m_FirstSound && m_Leftover != 0 &&
        m_Runs.SoundBefore(wire, m_HeardAt) + place >= wire + m_FirstSound)
    {
        m_Leftover = 0;
        m_After = Unplaced();
        m_Phase = Phase::Done;
        return;
    }
    m_LostStart = !processed && place > m_FirstSound;
    m_Phase = m_LostStart || m_Leftover != 0 ? Phase::Done
              : m_Next == m_Frames           ? Phase::Ended
                                             : Phase::InPlace;
    if (m_Phase == Phase::Ended)
        EndAt(m_Frames, wire + frames);
}

bool HostPlayCompare::ProcessedStart(ULONGLONG place, ULONGLONG wire, ULONGLONG frames)
{
    const ULONGLONG lead = place - m_FirstSound, from = wire - std::min(wire, lead);
    if (wire < lead || from < m_OnFrom || from >= m_OnTo || m_OnTo >= wire + frames ||
        wire - std::min(wire, m_OnTo) > HostPlayWindow::kLongestRun)
        return false;
    // The frames after the stretch that was on, still kept, held to the
    // file's in place; before the wire's first sound, they were silence.
    for (ULONGLONG y = std::min(wire, m_OnTo); y < wire; ++y)
    {
        const UCHAR* got = m_Heard && y >= m_HeardAt ? m_Runs.Kept(y) : m_SilentFrame.data();
        NoteInPlace(Same(got, FileFrame(place - (wire - y))), place - (wire - y));
        if (m_FixedDiffers)
            return false;
    }
    m_Found = m_FirstSound;
    m_FileAt = from;
    m_Leftover = 0;
    m_Processed = true;
    m_ProcessedAt = m_FirstSound;
    return true;
}

void HostPlayCompare::NoteInPlace(bool exact, ULONGLONG file)
{
    if (exact || m_Path.MayChange || m_FixedDiffers)
        return;
    m_FixedDiffers = true;
    m_FixedAt = file;
}

void HostPlayCompare::ProcessedUntil(ULONGLONG wire)
{
    if (!m_Processed)
        m_ProcessedAt = m_ChangedAt;
    m_Processed = true;
    m_After = HostWire::Exact;
    m_Next = std::min(InPlaceOf(wire), m_Frames);
    m_Phase = Phase::InPlace;
    if (m_Next == m_Frames)
        EndAt(m_Frames, m_DiffWire + (m_Frames - m_ChangedAt));
}

void HostPlayCompare::InPlaceAgain(ULONGLONG wire)
{
    // Silence processing made (a mute), the file's sound in place after it.
    if (!Fills() && WentOff(wire))
        return ProcessedUntil(wire);
    Resumed(Fills() ? HostWire::Filled : HostWire::Blanked, m_InPlaceAt, m_InPlaceAfter);
}

void HostPlayCompare::InPlaceFrame(const UCHAR* frame)
{
    const UCHAR* file = FileFrame(m_Next);
    if (file == nullptr)
        return;
    if (!Same(frame, file))
        return Differ(frame);
    // Kept for the frames after one that differs: a repeat of them is placed
    // among them.
    if (m_PastEnd != m_Next)
        m_PastFrom = m_Next;
    std::copy_n(frame, m_FrameBytes, &m_Past[(size_t)(m_Next % m_BackFrames) * m_FrameBytes]);
    m_PastEnd = m_Next + 1;
    ++m_Work;
    if (++m_Next == m_Frames)
        EndAt(m_Frames, m_WireFrames + 1);
}

bool HostPlayCompare::InPast(ULONGLONG n) const
{
    return n < m_PastEnd && n >= m_PastFrom && n + m_BackFrames >= m_PastEnd;
}

void HostPlayCompare::EndAt(ULONGLONG file, ULONGLONG wire)
{
    m_Phase = Phase::Ended;
    m_EndFrames.clear();
    // From the frame after the file's last sound, the file's silence after
    // it received in place.
    ULONGLONG silent = 0;
    for (const UCHAR* frame; silent < std::min(file, m_BackFrames) &&
                             (frame = FileFrame(file - silent - 1)) != nullptr && IsSilence(frame);)
        ++silent;
    m_Work += silent;
    m_EndFile = file - silent;
    m_EndWire = silent < std::min(file, m_BackFrames) ? wire - silent : kNone;
}

void HostPlayCompare::EndedFrame(const UCHAR* frame)
{
    const bool sound = !IsSilence(frame);
    m_Appended += sound ? 1 : 0;
    ++m_Work;
    // The sound after the file's last, kept while it may be the file's last
    // frames again.
    if (m_EndWire == kNone || !sound)
        return;
    const ULONGLONG k = m_WireFrames - m_EndWire;
    if (k >= m_BackFrames)
    {
        m_EndWire = kNone;
        return;
    }
    m_EndFrames.resize((size_t)k * m_FrameBytes, m_Silence);
    m_EndFrames.insert(m_EndFrames.end(), frame, frame + m_FrameBytes);
}

void HostPlayCompare::EndRepeat()
{
    // Sound after the file's last sound that is its last frames again, from
    // in place of the frame after them: those frames received twice, a
    // repeat that shows only here (whole periods of a sine).
    const ULONGLONG n = m_EndFrames.size() / m_FrameBytes;
    if (m_Phase != Phase::Ended || m_EndWire == kNone || n == 0 || n > m_EndFile)
        return;
    for (ULONGLONG k = 0; k < n; ++k)
    {
        const UCHAR* file = FileFrame(m_EndFile - n + k);
        if (file == nullptr || !Same(&m_EndFrames[(size_t)k * m_FrameBytes], file))
            return;
    }
    m_After = HostWire::Inserted;
    m_ChangedAt = m_EndFile;
    m_Inserted = n;
    m_Resumed = m_EndFile - n;
    m_ResumedWire = m_EndWire;
    m_Appended = 0;
    m_Phase = Phase::Done;
}

void HostPlayCompare::Differ(const UCHAR* frame)
{
    m_ChangedAt = m_Next;
    m_DiffWire = m_WireFrames;
    m_Differed = true;
    m_PathAtDiff = m_Path.MayChange;
    m_FixedDiffers = false;
    // The window reaches back over the frames received in place before it,
    // where frames repeated come from.
    ULONGLONG held = m_PastEnd == m_Next && m_PastFrom < m_Next
                         ? std::max(m_PastFrom, m_Next - std::min(m_Next, m_BackFrames))
                         : m_Next;
    held = held >= m_Window.At() && held <= m_Window.End() ? m_Window.At() : held;
    FillWindow(std::max(held, m_Next - std::min(m_Next, m_BackFrames)), m_Next);
    m_Runs.Restart();
    m_SilentOnly = true;
    m_SilentStart = IsSilence(frame);
    m_Stray = false;
    m_SoundsAfter = 0;
    m_LastOther = kNone;
    m_Late = false;
    m_LastWireSound = m_EndChecked = m_EndRunAt = m_ShortPlace = m_InPlaceAt = m_FallbackAt = kNone;
    m_Phase = Phase::Looking;
    // Sound where the file holds nothing but silence to its end.
    if (!m_SilentStart && IsSilence(FileFrame(m_Next)) && m_Window.End() == m_Frames &&
        m_Window.SilenceBefore(m_Frames) >= m_Frames - m_ChangedAt)
        return AfterLastSound(), EndAt(m_ChangedAt, m_DiffWire), Step(frame);
    LookFrame(frame);
}

void HostPlayCompare::AfterLastSound()
{
    m_After = HostWire::Exact;
    m_Next = m_Frames;
    m_Appended = m_SoundsAfter;
    m_Phase = Phase::Ended;
}

bool HostPlayCompare::InPlaceRun(bool sound, bool exact)
{
    const ULONGLONG x = m_WireFrames;
    if (m_InPlaceAt != kNone && !exact)
        InPlaceCut();
    else if (m_InPlaceAt == kNone && sound && exact && (m_SilentOnly || m_Stray))
    {
        m_InPlaceAt = x;
        m_InPlaceSounds = 0;
        m_InPlaceAfter = Fills() ? InPlaceOf(m_LastOther) : m_LastFileSound;
    }
    if (m_InPlaceAt == kNone)
        return false;
    m_InPlaceSounds += sound ? 1 : 0;
    // A frame or two may be the file's by chance: a run at one place is not.
    const bool whole = x + 1 - m_InPlaceAt == HostPlayWindow::kLongestRun;
    if (m_InPlaceSounds < (whole ? m_Window.WholeOnePlaceFrames() : m_Window.OnePlaceRunFrames()))
    {
        if (whole)
            InPlaceCut();
        return false;
    }
    // In place is a place like any: a run cut short at an earlier one stands.
    if (m_ShortPlace != kNone && InPlaceOf(m_InPlaceAt) >= m_ShortPlace)
        Shifted(m_ShortPlace, m_ShortWire, m_ShortSilent);
    else
        InPlaceAgain(x + 1);
    return true;
}

void HostPlayCompare::InPlaceCut()
{
    // Cut short, or of too little sound, it decides only where no run places
    // the frames.
    if (m_FallbackAt == kNone)
    {
        m_FallbackAt = m_InPlaceAt;
        m_FallbackAfter = m_InPlaceAfter;
    }
    m_InPlaceAt = kNone;
}

void HostPlayCompare::LookFrame(const UCHAR* frame)
{
    const ULONGLONG x = m_WireFrames, inPlace = InPlaceOf(x);
    const UCHAR* file = FileFrame(inPlace);
    const bool sound = !IsSilence(frame);
    // Silence, then the file's sound in place: no processing turns sound to
    // silence and leaves other sound as it was.
    const bool exact = file != nullptr ? Same(frame, file) : !sound;
    NoteInPlace(exact, inPlace);
    if (InPlaceRun(sound, exact))
        return;
    // The first sound other than the file's in place tells whether the
    // path's processing could have made what came.
    if (sound && !exact && m_LastOther == kNone)
        m_Stray = file == nullptr || IsSilence(file);
    m_LastOther = sound && !exact ? x : m_LastOther;
    // Sound past the window after silence only: no run can start in it.
    if (sound && m_SilentOnly && !m_Late && x - m_DiffWire >= m_SearchFrames)
        GoLate(x);
    m_SilentOnly = m_SilentOnly && !sound;
    if (file != nullptr && !IsSilence(file))
        m_LastFileSound = inPlace;
    m_Runs.Keep(m_Window, frame, x);
    if (sound)
    {
        m_LastWireSound = x;
        m_EndRunAt = kNone;
        ++m_SoundsAfter;
    }
    // The frame that ended a run in place after processing is compared in
    // place.
    if (HostPlayRuns::Outcome run; m_Runs.Following() && m_Runs.Follow(m_Window, frame, x, &run) &&
                                   run.Place != kNone && Placed(run))
        return m_Phase != Phase::Done && m_Runs.RunAt() + run.Frames == x ? Step(frame) : void();
    const size_t runFrames = m_Window.RunFrames();
    const ULONGLONG runAt = m_Runs.RunStart(m_Window), since = m_Late ? m_LateWire : m_DiffWire;
    // A run may start no later than the window's last place. In place is
    // one of its places: the longest match decides, the nearest to in place
    // first. After silence past the window, the file goes on where it
    // stopped or later; after sound where it is silent, anywhere.
    if (!m_Runs.Following() && runAt != kNone && m_Runs.KeptSound(runAt) &&
        runAt - since < m_SearchFrames)
        m_Late && !Fills() ? m_Runs.LookUp(m_Window, m_ChangedAt, m_ChangedAt)
                           : m_Runs.LookUp(m_Window, InPlaceOf(runAt));
    if (!sound && m_LastWireSound != kNone && x - m_LastWireSound == HostPlayWindow::kLongestRun)
        EndRun();
    if (!m_Runs.Following() && m_InPlaceAt == kNone && x + 2 >= since + m_SearchFrames + runFrames)
        GiveUp();
}

bool HostPlayCompare::Placed(const HostPlayRuns::Outcome& run)
{
    const ULONGLONG wire = m_Runs.RunAt(), silent = wire - 1 - m_Runs.SoundBefore(wire, m_DiffWire);
    // A repeat of frames before the one that differed places the frames once
    // the file's sound goes on in it from that frame: copies of others are
    // frames inserted, the file's going on after them placed by a run of its
    // own.
    const ULONGLONG end = run.Place + run.Frames;
    if (run.Place < m_ChangedAt &&
        (end <= m_ChangedAt || m_Window.SilenceBefore(end) >= end - m_ChangedAt))
        return false;
    // A run cut short may be frames inserted that the file holds further on
    // too: the file placed at an earlier place by a later run decides.
    if (m_ShortPlace == kNone && !run.Whole && run.Place != InPlaceOf(wire))
    {
        m_ShortPlace = run.Place;
        m_ShortWire = wire;
        m_ShortSilent = silent;
        return false;
    }
    // In place again after frames processing made.
    if (m_ShortPlace == kNone && run.Place == InPlaceOf(wire) && !Fills() &&
        WentOff(wire + run.Frames))
        return ProcessedUntil(wire + run.Frames), true;
    // A repeat of frames before the one that differed is a fault of its own.
    if (m_ShortPlace != kNone && (run.Place >= m_ShortPlace || run.Place < m_ChangedAt))
        Shifted(m_ShortPlace, m_ShortWire, m_ShortSilent);
    else
        Shifted(run.Place, wire, silent);
    return true;
}

void HostPlayCompare::WatchFrame(const UCHAR* frame)
{
    const ULONGLONG x = m_WireFrames, inPlace = InPlaceOf(x);
    const UCHAR* file = FileFrame(inPlace);
    if (!IsSilence(frame))
    {
        m_Phase = Phase::Looking;
        // After sound where the file is silent, the file's sound is looked
        // for from here; after silence alone, sound starts a window of its
        // own in LookFrame.
        if (Fills())
            GoLate(x);
        return LookFrame(frame);
    }
    NoteInPlace(file == nullptr || IsSilence(file), inPlace);
    m_Runs.Keep(m_Window, frame, x);
    if (file != nullptr && !IsSilence(file))
        m_LastFileSound = inPlace;
}

void HostPlayCompare::GoLate(ULONGLONG wire)
{
    // The file going on where it stopped, or later: placed by a run as in
    // the window, from this frame on. Other sound within the file's sound is
    // its frames with other values; where it is silent or past its end, the
    // file's frames were never received.
    m_Late = true;
    m_LateWire = wire;
    m_SilentOnly = false;
    if (Fills())
        return;
    const UCHAR* file = FileFrame(InPlaceOf(wire));
    m_After = file != nullptr && !IsSilence(file) ? Unplaced() : HostWire::Partial;
}

void HostPlayCompare::Resumed(HostWire what, ULONGLONG wire, ULONGLONG replaced)
{
    m_After = what;
    m_Resumed = replaced + 1;
    m_ResumedWire = wire;
    m_Phase = Phase::Done;
}

void HostPlayCompare::Shifted(ULONGLONG place, ULONGLONG wire, ULONGLONG silentBefore)
{
    // In place after other sound: the file's frames with other values.
    const ULONGLONG inPlace = InPlaceOf(wire);
    if (place == inPlace)
    {
        if (Fills())
            return Resumed(HostWire::Filled, wire, InPlaceOf(m_LastOther));
        // Silence, then only the file's sound in place, or sound where it
        // is silent: blanked.
        if (m_LastOther == kNone && m_FallbackAt != kNone)
            return Resumed(HostWire::Blanked, m_FallbackAt, m_FallbackAfter);
        if (m_Stray)
            return Resumed(HostWire::Blanked, wire, inPlace - 1);
        m_After = Unplaced();
        m_Phase = Phase::Done;
        return;
    }
    // A repeat going on into the frame that differed: the file received again
    // from that frame, the frames before it inserted.
    if (place < m_ChangedAt)
    {
        m_After = HostWire::Inserted;
        m_Inserted = inPlace - place;
        m_Resumed = m_ChangedAt;
        m_ResumedWire = wire + (m_ChangedAt - place);
        m_Phase = Phase::Done;
        return;
    }
    // The run's place taken back over the silence both have before it, no
    // further than the frame that differed.
    const ULONGLONG back =
        std::min({silentBefore, m_Window.SilenceBefore(place),
                  place - std::max(m_ChangedAt, std::min(place, m_Window.At()))});
    m_Resumed = place - back;
    m_ResumedWire = wire - back;
    // After silence past the window, the file going on where it stopped is
    // that silence inserted; going on later, the frames between lost.
    const bool lost = m_Late && !Fills() ? m_Resumed > m_ChangedAt : place > inPlace;
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
    const ULONGLONG most =
        std::min<ULONGLONG>({HostPlayWindow::kLongestRun - 1, last + 1 - m_DiffWire,
                             end - std::max(m_ChangedAt, m_Window.At())});
    ULONGLONG frames = 0, sounds = 0;
    for (; frames < most && Same(m_Runs.Kept(last - frames), m_Window.Frame(end - 1 - frames));
         ++frames)
        sounds += m_Runs.KeptSound(last - frames) ? 1 : 0;
    // Followed whole, it needs only the sound chance alone asks.
    const size_t needs = frames == HostPlayWindow::kLongestRun - 1 ? m_Window.WholeOnePlaceFrames()
                                                                   : m_Window.OnePlaceRunFrames();
    while (frames != 0 && !m_Runs.KeptSound(last + 1 - frames))
        --frames;
    const ULONGLONG at = last + 1 - frames;
    if (sounds < needs || at - (m_Late ? m_LateWire : m_DiffWire) >= m_SearchFrames)
        return;
    m_EndRunAt = at;
    m_EndRunPlace = end - frames;
    m_EndRunSilent = at - 1 - m_Runs.SoundBefore(at, m_DiffWire);
}

void HostPlayCompare::GiveUp()
{
    if (m_LastWireSound != m_WireFrames)
        EndRun();
    if (m_EndRunAt != kNone && (m_ShortPlace == kNone || m_EndRunPlace < m_ShortPlace))
        return Shifted(m_EndRunPlace, m_EndRunAt, m_EndRunSilent);
    if (m_ShortPlace != kNone)
        return Shifted(m_ShortPlace, m_ShortWire, m_ShortSilent);
    if (m_FallbackAt != kNone)
        return Resumed(Fills() ? HostWire::Filled : HostWire::Blanked, m_FallbackAt,
                       m_FallbackAfter);
    if (Fills() && !m_Late)
        return StrayUnplaced();
    // Silence alone may yet be the file's frames never received; sound no
    // run placed after it is as Watching found it.
    if (!m_Late)
        m_After = m_SilentOnly ? HostWire::Partial : Unplaced();
    m_Phase = m_SilentOnly ? Phase::Watching : Phase::Done;
}

void HostPlayCompare::StrayUnplaced()
{
    // Past the file's last sound, all sound received is after it.
    if (NextSound(m_ChangedAt) == m_Frames)
        return AfterLastSound();
    // Else the file's sound is looked for once the received sound stops:
    // from the file's first sound in place of the silence after it on.
    m_After = HostWire::Other;
    m_Phase = Phase::Done;
    if (m_LastWireSound == m_WireFrames)
        return;
    const ULONGLONG resume = NextSound(InPlaceOf(m_LastWireSound + 1));
    if (resume == m_Frames)
        return;
    FillWindow(resume, resume);
    m_Runs.Restart();
    m_Phase = Phase::Watching;
}

HostWire HostPlayCompare::Unplaced() const
{
    // The one place the path's processing is weighed: sound where the file
    // is silent, after its sound came unchanged, is no level's doing.
    if (m_Stray)
        return m_SilentStart ? HostWire::Partial : HostWire::Other;
    // Frames that came with other values are weighed against what could
    // change them when they came; a start never found, against the play.
    // Frames the driver took while nothing was on are held to the file's.
    return (m_Differed ? m_PathAtDiff : m_PathEver) && !m_FixedDiffers ? HostWire::Changed
                                                                       : HostWire::Other;
}

void HostPlayCompare::Settle()
{
    EndRepeat();
    if (const ULONGLONG place = m_Runs.Settle(m_Window); place != kNone)
    {
        const ULONGLONG wire = m_Runs.RunAt();
        if (m_Phase == Phase::Starting)
            StartAt(place, wire, m_WireFrames - wire);
        else if (m_Phase == Phase::Looking)
            Placed({place, m_WireFrames - wire, true});
    }
    // What matched in place to the end decides as a run would.
    if ((m_Phase == Phase::Looking || m_Phase == Phase::Watching) && m_InPlaceAt != kNone)
        InPlaceAgain(m_WireFrames);
    if (m_Phase == Phase::Looking)
        GiveUp();
    if (m_Phase == Phase::Watching)
        m_Phase = Phase::Done;
    if (m_Phase == Phase::InPlace)
        m_ChangedAt = m_Next;
}
