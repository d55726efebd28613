#include "sim/host/harness/host_frame_order.h"

#include <algorithm>

void HostFrameOrder::Restart(ULONGLONG due)
{
    EndStretch(std::nullopt);
    Expire(~0ull);
    m_Due = due;
}

void HostFrameOrder::Placed(ULONGLONG n)
{
    EndStretch(n);
    if (n == m_Due)
    {
        ++m_Due;
        ++m_InOrder;
    }
    else if (n > m_Due)
    {
        m_Gaps.push_back({m_Due, n - 1, m_At, n});
        m_Due = n + 1;
        Expire(m_Due - std::min(m_Due, kLateFrames));
    }
    else
    {
        Fill(n);
        Keep(m_First, {.Kind = HostOrderKind::Again, .At = m_At, .First = n, .Due = m_Due});
    }
    ++m_At;
}

void HostFrameOrder::Unplaced(bool silence, bool processed)
{
    if (!m_Stretch)
        m_Stretch = Stretch{m_Due, m_At, 0, {}};
    // A fault next to what processing made is no less a fault.
    std::vector<Part>& parts = m_Stretch->Parts;
    if (parts.empty() || parts.back().Processed != processed)
        parts.push_back({m_Stretch->Count, processed, true});
    parts.back().Silent = parts.back().Silent && silence;
    ++m_Stretch->Count;
    ++m_At;
}

std::vector<HostOrderFault> HostFrameOrder::Faults() const
{
    auto first = m_First;
    if (m_Stretch)
        StretchFaults(*m_Stretch, std::nullopt, first);
    if (!m_Gaps.empty())
        Keep(first, LostFault(m_Gaps.front()));
    std::vector<HostOrderFault> faults;
    for (const auto& f : first)
        if (f)
            faults.push_back(*f);
    std::stable_sort(faults.begin(), faults.end(),
                     [](const HostOrderFault& a, const HostOrderFault& b) { return a.At < b.At; });
    return faults;
}

void HostFrameOrder::Keep(Firsts& first, const HostOrderFault& fault)
{
    std::optional<HostOrderFault>& kept = first[(size_t)fault.Kind];
    if (!kept || fault.At < kept->At)
        kept = fault;
}

// In place as far as the frame placed after the stretch goes on from there;
// with none placed yet, all of it.
ULONGLONG HostFrameOrder::InPlace(const Stretch& s, std::optional<ULONGLONG> n)
{
    if (!n)
        return s.Count;
    return *n >= s.Due ? std::min(*n - s.Due, s.Count) : 0;
}

void HostFrameOrder::EndStretch(std::optional<ULONGLONG> n)
{
    if (!m_Stretch)
        return;
    StretchFaults(*m_Stretch, n, m_First);
    // The frames it stood in place of are taken.
    m_Due = m_Stretch->Due + InPlace(*m_Stretch, n);
    m_Stretch.reset();
}

void HostFrameOrder::StretchFaults(const Stretch& s, std::optional<ULONGLONG> n, Firsts& first)
{
    const ULONGLONG inPlace = InPlace(s, n);
    for (size_t i = 0; i < s.Parts.size(); ++i)
    {
        const Part& part = s.Parts[i];
        const ULONGLONG end =
            std::min(inPlace, i + 1 < s.Parts.size() ? s.Parts[i + 1].Offset : s.Count);
        if (part.Offset < end)
            Keep(first, {.Kind = part.Processed ? HostOrderKind::Changed
                                 : part.Silent  ? HostOrderKind::Blanked
                                                : HostOrderKind::Other,
                         .At = s.At + part.Offset,
                         .First = s.Due + part.Offset,
                         .Last = s.Due + end - 1});
    }
    if (inPlace < s.Count)
        Keep(first, {.Kind = HostOrderKind::Inserted,
                     .At = s.At + inPlace,
                     .Due = s.Due + inPlace,
                     .Count = s.Count - inPlace});
}

void HostFrameOrder::Fill(ULONGLONG n)
{
    auto gap = std::upper_bound(m_Gaps.begin(), m_Gaps.end(), n,
                                [](ULONGLONG v, const Gap& g) { return v < g.First; });
    if (gap == m_Gaps.begin() || (--gap)->Last < n)
        return;
    const Gap was = *gap;
    if (was.First == n && was.Last == n)
        m_Gaps.erase(gap);
    else if (was.First == n)
        gap->First = n + 1;
    else if (was.Last == n)
        gap->Last = n - 1;
    else
    {
        gap->Last = n - 1;
        m_Gaps.insert(gap + 1, Gap{n + 1, was.Last, was.At, was.Next});
    }
}

void HostFrameOrder::Expire(ULONGLONG before)
{
    while (!m_Gaps.empty() && m_Gaps.front().Last < before)
    {
        Keep(m_First, LostFault(m_Gaps.front()));
        m_Gaps.pop_front();
    }
}

HostOrderFault HostFrameOrder::LostFault(const Gap& gap)
{
    return {.Kind = HostOrderKind::Lost,
            .At = gap.At,
            .First = gap.First,
            .Last = gap.Last,
            .Due = gap.Next};
}
