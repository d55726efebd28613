#include "sim/host/harness/host_play_runs.h"

#include <algorithm>
#include <cstring>

namespace
{
constexpr ULONGLONG kNone = HostPlayWindow::kNone;
} // namespace

HostPlayRuns::HostPlayRuns(size_t frameBytes, UCHAR silence, ULONGLONG* work)
    : m_FrameBytes(frameBytes), m_SilentFrame(frameBytes, silence), m_Work(work),
      m_KeptFrames(kKept * frameBytes), m_KeptHashes(kKept), m_KeptSound(kKept)
{
}

bool HostPlayRuns::IsSilence(const UCHAR* frame) const
{
    return memcmp(frame, m_SilentFrame.data(), m_FrameBytes) == 0;
}

bool HostPlayRuns::Same(const UCHAR* a, const UCHAR* b)
{
    ++*m_Work;
    return memcmp(a, b, m_FrameBytes) == 0;
}

void HostPlayRuns::Restart()
{
    m_Kept = m_RunHash = m_KeptSounds = 0;
    m_SoundOut = kNone;
    m_Following = false;
}

void HostPlayRuns::Keep(const HostPlayWindow& window, const UCHAR* frame, ULONGLONG wire)
{
    const ULONGLONG x = wire;
    const size_t slot = (size_t)(x % kKept);
    if (x >= kKept && m_KeptSound[slot])
        m_SoundOut = x - kKept;
    const size_t run = window.RunFrames();
    const ULONGLONG hash = HostPlayWindow::FrameHash(frame, m_FrameBytes);
    ++*m_Work;
    m_RunHash = window.Roll(m_RunHash, m_Kept >= run ? m_KeptHashes[(x - run) % kKept] : 0, hash);
    m_KeptSounds -= m_Kept >= run && m_KeptSound[(x - run) % kKept] ? 1 : 0;
    m_KeptSounds += IsSilence(frame) ? 0 : 1;
    std::copy_n(frame, m_FrameBytes, &m_KeptFrames[slot * m_FrameBytes]);
    m_KeptHashes[slot] = hash;
    m_KeptSound[slot] = !IsSilence(frame);
    ++m_Kept;
    m_LastKept = x;
}

const UCHAR* HostPlayRuns::Kept(ULONGLONG wire) const
{
    return &m_KeptFrames[(size_t)(wire % kKept) * m_FrameBytes];
}

bool HostPlayRuns::KeptSound(ULONGLONG wire) const
{
    return m_KeptSound[(size_t)(wire % kKept)];
}

ULONGLONG HostPlayRuns::SoundBefore(ULONGLONG wire, ULONGLONG since) const
{
    for (ULONGLONG y = wire; y-- > since && y + kKept > m_LastKept;)
        if (KeptSound(y))
            return y;
    return m_SoundOut != kNone && m_SoundOut >= since && m_SoundOut < wire ? m_SoundOut : since - 1;
}

ULONGLONG HostPlayRuns::RunStart(const HostPlayWindow& window) const
{
    const size_t run = window.RunFrames();
    return m_Kept >= run ? m_LastKept + 1 - run : kNone;
}

bool HostPlayRuns::LookUp(const HostPlayWindow& window, ULONGLONG from, ULONGLONG lowest)
{
    ULONGLONG found[HostPlayWindow::kMostPlaces];
    const size_t count =
        (size_t)(std::remove_if(found, found + window.Nearest(m_RunHash, from, found, m_Work),
                                [lowest](ULONGLONG place) { return place < lowest; }) -
                 found);
    if (count == 0)
        return false;
    m_Places.assign(found, found + count);
    m_Alive = (1u << count) - 1;
    m_RunAt = m_LastKept + 1 - window.RunFrames();
    m_RunSounds = m_KeptSounds;
    m_Following = true;
    return true;
}

bool HostPlayRuns::Follow(const HostPlayWindow& window, const UCHAR* frame, ULONGLONG wire,
                          Outcome* outcome)
{
    const ULONGLONG k = wire - m_RunAt;
    unsigned alive = 0;
    for (size_t i = 0; i < m_Places.size(); ++i)
        if (const UCHAR* file = window.Frame(m_Places[i] + k);
            (m_Alive >> i & 1) != 0 && file != nullptr && Same(frame, file))
            alive |= 1u << i;
    m_RunSounds += alive != 0 && !IsSilence(frame) ? 1 : 0;
    if (alive != 0 && k + 1 < HostPlayWindow::kLongestRun)
    {
        m_Alive = alive;
        return false;
    }
    // The run ended with the frame before, or is long enough: those that
    // matched all of it decide, where it holds sound enough; followed whole,
    // where chance alone would not make it.
    outcome->Whole = alive != 0;
    outcome->Frames = alive == 0 ? k : k + 1;
    const size_t needs = outcome->Whole ? window.WholeRunFrames() : window.RunFrames();
    outcome->Place = m_RunSounds >= needs ? Decide(window, alive == 0 ? m_Alive : alive) : kNone;
    m_Following = false;
    return true;
}

ULONGLONG HostPlayRuns::Settle(const HostPlayWindow& window)
{
    const bool decides = m_Following && m_RunSounds >= window.RunFrames();
    m_Following = false;
    return decides ? Decide(window, m_Alive) : kNone;
}

ULONGLONG HostPlayRuns::Decide(const HostPlayWindow& window, unsigned alive)
{
    // The run's first frames were found by their hash: checked here.
    for (size_t i = 0; i < m_Places.size(); ++i)
    {
        bool same = (alive >> i & 1) != 0;
        for (size_t j = 0; same && j < window.RunFrames(); ++j)
            same = Same(Kept(m_RunAt + j), window.Frame(m_Places[i] + j));
        if (same)
            return m_Places[i];
    }
    return kNone;
}
