#include "sim/host/harness/host_play_window.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <utility>

namespace
{
// A run's frames keep the chance that the window holds them somewhere else
// by chance below one in 2 to this power, over every run a play looks for
// and every place it looks at.
constexpr double kChanceBits = 20;
// The buckets frames of sound are counted in: so many that frames in one
// bucket are mostly alike, which only makes runs longer where they are not.
constexpr unsigned kAlikeBits = 14;

size_t FramesFor(double bitsNeeded, double bitsAFrame)
{
    if (bitsAFrame <= 0)
        return HostPlayWindow::kLongestRun;
    return std::clamp<size_t>((size_t)std::ceil(bitsNeeded / bitsAFrame), 1,
                              HostPlayWindow::kLongestRun);
}
} // namespace

HostPlayWindow::HostPlayWindow(size_t frameBytes, UCHAR silence)
    : m_FrameBytes(frameBytes), m_SilentFrame(frameBytes, silence), m_Alike((size_t)1 << kAlikeBits)
{
}

ULONGLONG HostPlayWindow::FrameHash(const UCHAR* frame, size_t bytes)
{
    ULONGLONG h = 0xCBF29CE484222325ull;
    for (size_t i = 0; i < bytes; ++i)
        h = (h ^ frame[i]) * 0x100000001B3ull;
    // Its low bits mix poorly on their own.
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 33);
}

ULONGLONG HostPlayWindow::Bucket(ULONGLONG run) const
{
    return (run * 0xD6E8FEB86659FD93ull) >> m_Shift;
}

bool HostPlayWindow::IsSilence(const UCHAR* frame) const
{
    return memcmp(frame, m_SilentFrame.data(), m_FrameBytes) == 0;
}

const UCHAR* HostPlayWindow::Frame(ULONGLONG n) const
{
    return n >= m_At && n < End() ? &m_Frames[(size_t)(n - m_At) * m_FrameBytes] : nullptr;
}

void HostPlayWindow::Hold(std::vector<UCHAR> frames, ULONGLONG at, ULONGLONG places,
                          ULONGLONG* work)
{
    m_Frames = std::move(frames);
    m_At = at;
    m_Held = m_FrameBytes != 0 ? m_Frames.size() / m_FrameBytes : 0;
    std::vector<ULONGLONG> hashes(m_Held);
    m_Silence.assign(m_Held + 1, 0);
    for (size_t j = 0; j < m_Held; ++j)
    {
        const UCHAR* frame = &m_Frames[j * m_FrameBytes];
        hashes[j] = FrameHash(frame, m_FrameBytes);
        m_Silence[j + 1] = IsSilence(frame) ? m_Silence[j] + 1 : 0;
    }
    *work += m_Held;
    SetRunFrames(hashes, std::min<ULONGLONG>(places, m_Held));
    places = std::min<ULONGLONG>(places, 1ull << kPlaceBits);
    IndexRuns(hashes, places, work);
    // A passage the window holds twice takes a run longer than it to place;
    // the runs are indexed again at that length.
    const size_t twice = LongestTwice(kTwiceWork * (m_Held + 1), work);
    if (twice < m_Twice + 1)
        return;
    m_Twice = twice;
    const size_t run = m_RunFrames;
    SetRunFrames({}, 0);
    if (m_RunFrames != run)
        IndexRuns(hashes, places, work);
}

void HostPlayWindow::IndexRuns(const std::vector<ULONGLONG>& hashes, ULONGLONG places,
                               ULONGLONG* work)
{
    const size_t count =
        m_Held >= m_RunFrames ? (size_t)std::min<ULONGLONG>(places, m_Held - m_RunFrames + 1) : 0;
    m_Oldest = 1;
    for (size_t j = 1; j < m_RunFrames; ++j)
        m_Oldest *= kBase;
    // Each place's run hash, from its frames' hashes.
    std::vector<ULONGLONG> runs(count);
    ULONGLONG run = 0;
    for (size_t j = 0; j < std::min(m_RunFrames, m_Held); ++j)
        run = run * kBase + hashes[j];
    for (size_t p = 0; p < count; ++p)
    {
        runs[p] = run;
        if (p + m_RunFrames < m_Held)
            run = Roll(run, hashes[p], hashes[p + m_RunFrames]);
    }
    Index(runs, count);
    *work += 2 * count;
}

void HostPlayWindow::Index(const std::vector<ULONGLONG>& runs, size_t count)
{
    unsigned bits = 1;
    while ((1ull << bits) < count)
        ++bits;
    m_Shift = 64 - bits;
    m_Groups.assign(((size_t)1 << bits) + 1, 0);
    m_Runs.resize(count);
    for (size_t p = 0; p < count; ++p)
    {
        m_Groups[Bucket(runs[p]) + 1] += m_Silence[p + 1] == 0 ? 1 : 0;
        m_Runs[p] = (ULONG)runs[p];
    }
    std::partial_sum(m_Groups.begin(), m_Groups.end(), m_Groups.begin());
    m_Places.resize(m_Groups.back());
    for (size_t p = 0; p < count; ++p)
        if (m_Silence[p + 1] == 0)
            m_Places[m_Groups[Bucket(runs[p])]++] = (ULONG)p;
    std::copy_backward(m_Groups.begin(), m_Groups.end() - 1, m_Groups.end());
    m_Groups[0] = 0;
    // Only runs whose hashes fall in one bucket share it.
    const auto other = [this](ULONG a, ULONG b) { return m_Runs[a] != m_Runs[b]; };
    for (size_t b = 0; b + 1 < m_Groups.size(); ++b)
    {
        const auto first = m_Places.begin() + m_Groups[b];
        const auto last = m_Places.begin() + m_Groups[b + 1];
        if (std::adjacent_find(first, last, other) != last)
            std::stable_sort(first, last,
                             [this](ULONG a, ULONG c) { return m_Runs[a] < m_Runs[c]; });
    }
}

void HostPlayWindow::SetRunFrames(const std::vector<ULONGLONG>& hashes, ULONGLONG places)
{
    // A frame alike the one before tells nothing new: only those that differ
    // from it count as values, each telling as much as such frames differ
    // from each other. Frames in one bucket count as alike: that only makes
    // the runs longer.
    for (size_t j = 0; j < hashes.size(); ++j)
        if (m_Silence[j + 1] == 0)
        {
            ++m_SoundFrames;
            if (j != 0 && hashes[j] == hashes[j - 1])
                continue;
            ULONG& alike = m_Alike[hashes[j] >> (64 - kAlikeBits)];
            m_AlikePairs += 2.0 * alike + 1;
            ++alike;
            ++m_ChangedFrames;
        }
    if (!hashes.empty())
    {
        const double bitsAValue =
            m_ChangedFrames != 0 ? -std::log2(m_AlikePairs / (m_ChangedFrames * m_ChangedFrames))
                                 : 0;
        const double bitsAFrame =
            m_SoundFrames != 0 ? bitsAValue * m_ChangedFrames / m_SoundFrames : 0;
        // Every run of the half second's received frames, at every place.
        m_ChanceRun =
            FramesFor(2 * std::log2(std::max<double>((double)places, 2)) + kChanceBits, bitsAFrame);
        m_ChanceOnePlace = FramesFor(kChanceBits, bitsAFrame);
    }
    const size_t twice = std::min(2 * (m_Twice + 1), kLongestRun);
    m_RunFrames = std::max(m_ChanceRun, twice);
    m_OnePlaceRunFrames = std::min(m_RunFrames, std::max(m_ChanceOnePlace, twice));
}

size_t HostPlayWindow::LongestTwice(ULONGLONG most, ULONGLONG* work) const
{
    // Each indexed place's next place whose run hashes alike.
    std::vector<ULONG> next(m_Runs.size(), kKey);
    for (size_t b = 0; b + 1 < m_Groups.size(); ++b)
        for (size_t i = m_Groups[b]; i + 1 < m_Groups[b + 1]; ++i)
            if (m_Runs[m_Places[i]] == m_Runs[m_Places[i + 1]])
                next[m_Places[i]] = m_Places[i + 1];
    const auto sound = [this](size_t j) { return m_Silence[j + 1] == 0 ? 1u : 0u; };
    ULONGLONG compared = next.size();
    size_t longest = 0, matched = 0, sounds = 0;
    for (size_t p = 0; p < next.size() && compared < most; ++p)
    {
        const ULONG q = next[p];
        // The place before matched its next one frame further on.
        const bool on = p != 0 && q != kKey && next[p - 1] + 1 == q && matched != 0;
        sounds = on ? sounds - sound(p - 1) : 0;
        matched = on ? matched - 1 : 0;
        for (; q != kKey && matched < kLongestRun && q + matched < m_Held; ++matched, ++compared)
            if (compared >= most ||
                memcmp(Frame(m_At + p + matched), Frame(m_At + q + matched), m_FrameBytes) != 0)
                break;
            else
                sounds += sound(p + matched);
        // Frames of sound count: silence tells little. A passage the longest
        // run follows is the file repeating, where the nearest place decides.
        longest = std::max(longest, matched < kLongestRun ? sounds : 0);
    }
    *work += compared;
    return longest;
}

size_t HostPlayWindow::Nearest(ULONGLONG run, ULONGLONG from, ULONGLONG* places,
                               ULONGLONG* work) const
{
    if (m_Places.empty())
        return 0;
    const ULONGLONG bucket = Bucket(run);
    size_t tried = 1;
    const auto byRun = [&](ULONG a, ULONG b)
    {
        ++tried;
        return (a == kKey ? (ULONG)run : m_Runs[a]) < (b == kKey ? (ULONG)run : m_Runs[b]);
    };
    const auto [first, last] = std::equal_range(
        m_Places.data() + m_Groups[bucket], m_Places.data() + m_Groups[bucket + 1], kKey, byRun);
    const ULONG start = (ULONG)std::min<ULONGLONG>(from > m_At ? from - m_At : 0, kKey - 1);
    const ULONG* at = std::lower_bound(first, last, start,
                                       [&tried](ULONG place, ULONG value)
                                       {
                                           ++tried;
                                           return place < value;
                                       });
    // Nearest first either way, the later first where two are as near.
    size_t found = 0;
    for (const ULONG *later = at, *earlier = at; found < kMostPlaces;)
    {
        const bool hasLater = later != last, hasEarlier = earlier != first;
        if (!hasLater && !hasEarlier)
            break;
        const bool takeLater =
            hasLater && (!hasEarlier || *later - start <= start - *(earlier - 1));
        places[found++] = m_At + (takeLater ? *later++ : *--earlier);
    }
    *work += tried + found;
    return found;
}
