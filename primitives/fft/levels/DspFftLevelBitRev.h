// The bit-reversal members of processor levels 1 to 3, written once and built
// in each level's own file. They move elements of 4, 8 or 16 bytes as raw
// bits, by loads, stores and shuffles only, so every pattern (NaNs included)
// arrives unchanged.
//
// Block members read the block table (entry j = 2 rev(j) over m - 2 bits):
// the data are four rows of n/4 elements cut into chunks of four, and the
// 4 x 4 block of chunk j of the four rows goes to chunk rev(j) (entry j / 8),
// transposed, with both of its indices reversed on two bits. Pair members
// read a swap-pair list: a group is two neighbouring elements of one half,
// and group g of both halves, interleaved, goes to group rev(g).
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "primitives/fft/levels/DspFftLevelKernels.h"

namespace
{
// How a walk moves its 16-byte rows: aligned, unaligned, or unaligned loads
// with each store split into two 8-byte halves.
enum class BitRevForm
{
    kAligned,
    kUnaligned,
    kUnalignedStore8,
};

inline bool AlignedTo(const void* p, uintptr_t bytes)
{
    return (reinterpret_cast<uintptr_t>(p) & (bytes - 1)) == 0;
}

// The register of a row: single- or double-precision forms.
template <bool Dbl> struct BitRevReg
{
    using Type = __m128;
};
template <> struct BitRevReg<true>
{
    using Type = __m128d;
};

template <bool Dbl, BitRevForm F>
[[gnu::always_inline]] inline typename BitRevReg<Dbl>::Type LoadRow(const uint8_t* p)
{
    constexpr bool kAligned = F == BitRevForm::kAligned;
    if constexpr (Dbl)
    {
        const auto* d = reinterpret_cast<const double*>(p);
        return kAligned ? _mm_load_pd(d) : _mm_loadu_pd(d);
    }
    else
    {
        const auto* f = reinterpret_cast<const float*>(p);
        return kAligned ? _mm_load_ps(f) : _mm_loadu_ps(f);
    }
}

template <BitRevForm F> [[gnu::always_inline]] inline void StoreRow(uint8_t* p, __m128 v)
{
    if constexpr (F == BitRevForm::kUnalignedStore8)
    {
        _mm_storel_pi(reinterpret_cast<__m64*>(p), v);
        _mm_storeh_pi(reinterpret_cast<__m64*>(p + 8), v);
        return;
    }
    auto* f = reinterpret_cast<float*>(p);
    F == BitRevForm::kAligned ? _mm_store_ps(f, v) : _mm_storeu_ps(f, v);
}

// The 8-byte halves go through the single-precision forms: the double ones
// store through a double*, which claims an alignment the data may not have.
template <BitRevForm F> [[gnu::always_inline]] inline void StoreRow(uint8_t* p, __m128d v)
{
    if constexpr (F == BitRevForm::kUnalignedStore8)
    {
        return StoreRow<F>(p, _mm_castpd_ps(v));
    }
    auto* d = reinterpret_cast<double*>(p);
    F == BitRevForm::kAligned ? _mm_store_pd(d, v) : _mm_storeu_pd(d, v);
}

// ---- Block scheme ----------------------------------------------------------

// A 4 x 4 block of elements of 4 W bytes: each block row is W registers.
template <bool Dbl, int W> struct BitRevBlock
{
    typename BitRevReg<Dbl>::Type row[4][W];
};

template <bool Dbl, int W, BitRevForm F>
[[gnu::always_inline]] inline BitRevBlock<Dbl, W> LoadBlock(const uint8_t* p, int64_t rowBytes)
{
    BitRevBlock<Dbl, W> b;
#pragma GCC unroll 4
    for (int r = 0; r < 4; ++r)
    {
#pragma GCC unroll 4
        for (int w = 0; w < W; ++w)
        {
            b.row[r][w] = LoadRow<Dbl, F>(p + r * rowBytes + 16 * w);
        }
    }
    return b;
}

template <BitRevForm F, bool Dbl, int W>
[[gnu::always_inline]] inline void StoreBlock(uint8_t* p, int64_t rowBytes,
                                              const BitRevBlock<Dbl, W>& b)
{
#pragma GCC unroll 4
    for (int r = 0; r < 4; ++r)
    {
#pragma GCC unroll 4
        for (int w = 0; w < W; ++w)
        {
            StoreRow<F>(p + r * rowBytes + 16 * w, b.row[r][w]);
        }
    }
}

// new[rev2(c)][rev2(r)] = old[r][c]. Four-byte elements: a transposition of
// the rows taken in the order 0, 2, 1, 3 gives the columns with their lanes
// reversed; column c is new row rev2(c).
[[gnu::always_inline]] inline BitRevBlock<false, 1> Turn(const BitRevBlock<false, 1>& b)
{
    __m128 c0 = b.row[0][0];
    __m128 c1 = b.row[2][0];
    __m128 c2 = b.row[1][0];
    __m128 c3 = b.row[3][0];
    _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
    return {{{c0}, {c2}, {c1}, {c3}}};
}

[[gnu::always_inline]] inline __m128 LowPair(__m128 x, __m128 y)
{
    return _mm_movelh_ps(x, y);
}
[[gnu::always_inline]] inline __m128 HighPair(__m128 x, __m128 y)
{
    return _mm_movehl_ps(y, x);
}
[[gnu::always_inline]] inline __m128d LowPair(__m128d x, __m128d y)
{
    return _mm_unpacklo_pd(x, y);
}
[[gnu::always_inline]] inline __m128d HighPair(__m128d x, __m128d y)
{
    return _mm_unpackhi_pd(x, y);
}

// Eight-byte elements: new row d holds column rev2(d) as the pairs of rows
// (0, 2) and (1, 3); columns 0 and 1 sit in the first register of a row, 2
// and 3 in the second, the even column in the low half.
template <bool Dbl>
[[gnu::always_inline]] inline BitRevBlock<Dbl, 2> Turn(const BitRevBlock<Dbl, 2>& b)
{
    using V = typename BitRevReg<Dbl>::Type;
    BitRevBlock<Dbl, 2> t;
#pragma GCC unroll 4
    for (int d = 0; d < 4; ++d)
    {
        const int w = d & 1;
#pragma GCC unroll 4
        for (int k = 0; k < 2; ++k)
        {
            const V x = b.row[k][w];
            const V y = b.row[k + 2][w];
            t.row[d][k] = d < 2 ? LowPair(x, y) : HighPair(x, y);
        }
    }
    return t;
}

// Sixteen-byte elements: one register each, so the turn is a renaming.
[[gnu::always_inline]] inline BitRevBlock<false, 4> Turn(const BitRevBlock<false, 4>& b)
{
    BitRevBlock<false, 4> t;
#pragma GCC unroll 4
    for (int d = 0; d < 4; ++d)
    {
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k)
        {
            t.row[d][k] = b.row[kRev4[k]][kRev4[d]];
        }
    }
    return t;
}

// Elements of E bytes in 16-byte registers, double-precision forms when Dbl.
template <int E, bool Dbl> struct BitRevBlocks
{
    static constexpr int kRegs = E / 4;
    // Copies above this count read gathered and write in sequence.
    static constexpr int64_t kScatterUpTo = E == 4 ? 131072 : 65536;

    template <BitRevForm F>
    [[gnu::always_inline]] static void Move(const uint8_t* from, uint8_t* to, int64_t rowBytes)
    {
        StoreBlock<F>(to, rowBytes, Turn(LoadBlock<Dbl, kRegs, F>(from, rowBytes)));
    }

    // Each pair of chunks once, from the top down, when the walk reaches the
    // smaller index; both blocks are read before either is written.
    template <BitRevForm F> static void SwapWalk(uint8_t* d, int64_t n, const uint32_t* table)
    {
        const int64_t rowBytes = n / 4 * E;
        for (int64_t j = n / 16 - 1; j >= 0; --j)
        {
            const int64_t p = table[j] / 8;
            if (p < j)
            {
                continue;
            }
            uint8_t* own = d + 4 * E * j;
            const auto a = LoadBlock<Dbl, kRegs, F>(own, rowBytes);
            if (p == j)
            {
                StoreBlock<F>(own, rowBytes, Turn(a));
                continue;
            }
            uint8_t* partner = d + 4 * E * p;
            const auto b = LoadBlock<Dbl, kRegs, F>(partner, rowBytes);
            StoreBlock<F>(own, rowBytes, Turn(b));
            StoreBlock<F>(partner, rowBytes, Turn(a));
        }
    }

    // Up to the threshold the reads run in sequence and the writes scatter;
    // above it the writes run in sequence and the reads gather, the next
    // entry read ahead of the stores (for 16-byte elements from the top).
    template <BitRevForm F>
    static void CopyWalk(const uint8_t* s, uint8_t* d, int64_t n, const uint32_t* table)
    {
        const int64_t rowBytes = n / 4 * E;
        const int64_t chunks = n / 16;
        if (n <= kScatterUpTo || E == 16)
        {
            const bool scatter = n <= kScatterUpTo;
            for (int64_t j = chunks - 1; j >= 0; --j)
            {
                const int64_t p = table[j] / 8;
                scatter ? Move<F>(s + 4 * E * j, d + 4 * E * p, rowBytes)
                        : Move<F>(s + 4 * E * p, d + 4 * E * j, rowBytes);
            }
            return;
        }
        int64_t p = 0;
        for (int64_t j = 0; j < chunks; ++j)
        {
            const auto b = LoadBlock<Dbl, kRegs, F>(s + 4 * E * p, rowBytes);
            p = table[j + 1] / 8;
            StoreBlock<F>(d + 4 * E * j, rowBytes, Turn(b));
        }
    }

    static void InPlace(float* data, int64_t n, const uint32_t* table)
    {
        auto* d = reinterpret_cast<uint8_t*>(data);
        if (n == 8)
        {
            static constexpr int kPairs[2][2] = {{1, 4}, {3, 6}};
            for (const auto& pair : kPairs)
            {
                uint8_t held[E];
                memcpy(held, d + pair[0] * E, E);
                memcpy(d + pair[0] * E, d + pair[1] * E, E);
                memcpy(d + pair[1] * E, held, E);
            }
            return;
        }
        AlignedTo(d, 16) ? SwapWalk<BitRevForm::kAligned>(d, n, table)
                         : SwapWalk<BitRevForm::kUnaligned>(d, n, table);
    }

    template <BitRevForm Unaligned>
    static void Copy(const float* src, float* dst, int64_t n, const uint32_t* table)
    {
        const auto* s = reinterpret_cast<const uint8_t*>(src);
        auto* d = reinterpret_cast<uint8_t*>(dst);
        if (n == 8)
        {
            static constexpr int kFrom[8] = {0, 4, 2, 6, 1, 5, 3, 7};
            for (int i = 0; i < 8; ++i)
            {
                memcpy(d + i * E, s + kFrom[i] * E, E);
            }
            return;
        }
        AlignedTo(s, 16) && AlignedTo(d, 16) ? CopyWalk<BitRevForm::kAligned>(s, d, n, table)
                                             : CopyWalk<Unaligned>(s, d, n, table);
    }
};

// ---- Pair scheme -----------------------------------------------------------

// One word of an element: a 4- or 8-byte integer, or a 16-byte register.
template <class T> struct BitRevWord
{
    using Type = T;
    static T Load(const uint8_t* p)
    {
        T v;
        memcpy(&v, p, sizeof v);
        return v;
    }
    static void Store(uint8_t* p, T v) { memcpy(p, &v, sizeof v); }
};
template <BitRevForm F> struct BitRevRegWord
{
    using Type = __m128;
    static __m128 Load(const uint8_t* p) { return LoadRow<false, F>(p); }
    static void Store(uint8_t* p, __m128 v) { StoreRow<F>(p, v); }
};

// Groups moved element by element, each element as words of Wd.
template <int E, class Wd> struct ElementGroups
{
    using T = typename Wd::Type;
    static constexpr int kWords = E / static_cast<int>(sizeof(T));
    struct Element
    {
        T w[kWords];
    };
    struct Group
    {
        Element e[2];
    };
    static Element LoadElement(const uint8_t* p)
    {
        Element x;
#pragma GCC unroll 4
        for (int k = 0; k < kWords; ++k)
        {
            x.w[k] = Wd::Load(p + k * sizeof(T));
        }
        return x;
    }
    static void StoreElement(uint8_t* p, const Element& x)
    {
#pragma GCC unroll 4
        for (int k = 0; k < kWords; ++k)
        {
            Wd::Store(p + k * sizeof(T), x.w[k]);
        }
    }
    static Group Load(const uint8_t* p)
    {
        return {{LoadElement(p), LoadElement(p + E)}};
    }
    // lo gets the first elements of l and h, hi their second elements.
    static void Put(uint8_t* lo, uint8_t* hi, const Group& l, const Group& h)
    {
        StoreElement(lo, l.e[0]);
        StoreElement(lo + E, h.e[0]);
        StoreElement(hi, l.e[1]);
        StoreElement(hi + E, h.e[1]);
    }
    static void Exchange(uint8_t* a, uint8_t* b)
    {
        const Element x = LoadElement(a);
        const Element y = LoadElement(b);
        StoreElement(a, y);
        StoreElement(b, x);
    }
};

// Groups of two 4-byte elements in one 8-byte load, recombined by one
// interleave.
struct Pair32Groups
{
    static __m128 Load(const uint8_t* p)
    {
        return _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p));
    }
    static void Put(uint8_t* lo, uint8_t* hi, __m128 l, __m128 h)
    {
        const __m128 u = _mm_unpacklo_ps(l, h);
        _mm_storel_pi(reinterpret_cast<__m64*>(lo), u);
        _mm_storeh_pi(reinterpret_cast<__m64*>(hi), u);
    }
};

// Groups of two 8-byte elements in one register.
template <BitRevForm F> struct Pair64Groups
{
    static __m128 Load(const uint8_t* p) { return LoadRow<false, F>(p); }
    static void Put(uint8_t* lo, uint8_t* hi, __m128 l, __m128 h)
    {
        StoreRow<F>(lo, _mm_movelh_ps(l, h));
        StoreRow<F>(hi, _mm_movehl_ps(h, l));
    }
};

// Self-paired group at byte offset at of both halves: by the group moves of
// P (which also serve a copy), or in place by exchanging the second element
// of the lower half with the first of the upper one.
template <class P> struct SelfByGroups
{
    static void Move(const uint8_t* s, uint8_t* d, int64_t at, int64_t half)
    {
        P::Put(d + at, d + half + at, P::Load(s + at), P::Load(s + half + at));
    }
};
template <int E, class Wd> struct SelfByExchange
{
    static void Move(const uint8_t*, uint8_t* d, int64_t at, int64_t half)
    {
        ElementGroups<E, Wd>::Exchange(d + at + E, d + half + at);
    }
};

// The swap-pair walk: pairs until the first 0, then the self-paired groups
// from group 0 (that 0) to the closing 0. An entry is twice an element
// index. In place when s is d: all four groups of a pair are read first.
template <int E, class P, class Self>
void PairWalk(const uint8_t* s, uint8_t* d, int64_t n, const uint32_t* list)
{
    const int64_t half = n / 2 * E;
    const int64_t unit = E / 2;
    const uint32_t* at = list;
    for (; at[0] != 0; at += 2)
    {
        const int64_t g = at[0] * unit;
        const int64_t r = at[1] * unit;
        const auto lowG = P::Load(s + g);
        const auto highG = P::Load(s + half + g);
        const auto lowR = P::Load(s + r);
        const auto highR = P::Load(s + half + r);
        P::Put(d + r, d + half + r, lowG, highG);
        P::Put(d + g, d + half + g, lowR, highR);
    }
    uint32_t entry = 0;
    do
    {
        Self::Move(s, d, entry * unit, half);
        entry = *++at;
    } while (entry != 0);
}

// Below four elements the data stay as they are and no list is read.
template <int E, class P, class Self> void PairInPlace(float* data, int64_t n, const uint32_t* list)
{
    auto* d = reinterpret_cast<uint8_t*>(data);
    if (n >= 4)
    {
        PairWalk<E, P, Self>(d, d, n, list);
    }
}

using Word32 = BitRevWord<uint32_t>;
using Word64 = BitRevWord<uint64_t>;

template <int E, class Wd> void PairWords(float* data, int64_t n, const uint32_t* list)
{
    PairInPlace<E, ElementGroups<E, Wd>, SelfByExchange<E, Wd>>(data, n, list);
}

void BitRevSwap32(float* data, int64_t n, const uint32_t* list)
{
    AlignedTo(data, 8) ? PairInPlace<4, Pair32Groups, SelfByExchange<4, Word32>>(data, n, list)
                       : PairWords<4, Word32>(data, n, list);
}

void BitRevSwap64Scalar(float* data, int64_t n, const uint32_t* list)
{
    AlignedTo(data, 8) ? PairWords<8, Word64>(data, n, list) : PairWords<8, Word32>(data, n, list);
}

void BitRevSwap64Vec(float* data, int64_t n, const uint32_t* list)
{
    using Self = SelfByExchange<8, Word64>;
    AlignedTo(data, 16)
        ? PairInPlace<8, Pair64Groups<BitRevForm::kAligned>, Self>(data, n, list)
        : PairInPlace<8, Pair64Groups<BitRevForm::kUnalignedStore8>, Self>(data, n, list);
}

void BitRevTileSwap64(float* data, int64_t n, const uint32_t* list)
{
    using Vec = Pair64Groups<BitRevForm::kAligned>;
    if (AlignedTo(data, 16))
    {
        PairInPlace<8, Vec, SelfByGroups<Vec>>(data, n, list);
        return;
    }
    AlignedTo(data, 8) ? PairWords<8, Word64>(data, n, list) : PairWords<8, Word32>(data, n, list);
}

void BitRevSwap128(float* data, int64_t n, const uint32_t* list)
{
    AlignedTo(data, 16) ? PairWords<16, BitRevRegWord<BitRevForm::kAligned>>(data, n, list)
                        : PairWords<16, BitRevRegWord<BitRevForm::kUnaligned>>(data, n, list);
}

// Copies by 4-byte moves; below eight elements fixed moves, no list.
template <int E> void BitRevSwapCopy(const float* src, float* dst, int64_t n, const uint32_t* list)
{
    using Groups = ElementGroups<E, Word32>;
    const auto* s = reinterpret_cast<const uint8_t*>(src);
    auto* d = reinterpret_cast<uint8_t*>(dst);
    if (n >= 8)
    {
        PairWalk<E, Groups, SelfByGroups<Groups>>(s, d, n, list);
        return;
    }
    auto move = [&](int64_t i, int64_t k)
    { Groups::StoreElement(d + i * E, Groups::LoadElement(s + k * E)); };
    move(0, 0);
    move(n - 1, n - 1);
    if (n >= 4)
    {
        move(1, 2);
        move(2, 1);
    }
}

// The members the FFT entries and drivers call.
void BitRevInPlace64(float* data, int64_t n, const uint32_t* table)
{
    BitRevBlocks<8, false>::InPlace(data, n, table);
}
void BitRevCopy64(const float* src, float* dst, int64_t n, const uint32_t* table)
{
    BitRevBlocks<8, false>::Copy<BitRevForm::kUnalignedStore8>(src, dst, n, table);
}
} // namespace

// The level's bit-reversal members, Sfx its name suffix; the copies of the
// three levels are one code.
#define DSP_BITREV_DEFINE_IN_PLACE(Name, Sfx, Body)                                                \
    void DspBitRev##Name##_##Sfx(float* data, int64_t n, const uint32_t* table)                    \
    {                                                                                              \
        Body(data, n, table);                                                                      \
    }
#define DSP_BITREV_DEFINE_COPY(Name, Sfx, Body)                                                    \
    void DspBitRev##Name##_##Sfx(const float* src, float* dst, int64_t n, const uint32_t* table)   \
    {                                                                                              \
        Body(src, dst, n, table);                                                                  \
    }
#define DSP_FFT_DEFINE_BITREV(Sfx)                                                                 \
    DSP_BITREV_DEFINE_IN_PLACE(Swap32, Sfx, BitRevSwap32)                                          \
    DSP_BITREV_DEFINE_IN_PLACE(Swap32Dup, Sfx, BitRevSwap32)                                       \
    DSP_BITREV_DEFINE_IN_PLACE(Swap64Scalar, Sfx, BitRevSwap64Scalar)                              \
    DSP_BITREV_DEFINE_IN_PLACE(Swap64Vec, Sfx, BitRevSwap64Vec)                                    \
    DSP_BITREV_DEFINE_IN_PLACE(TileSwap64, Sfx, BitRevTileSwap64)                                  \
    DSP_BITREV_DEFINE_IN_PLACE(Swap128, Sfx, BitRevSwap128)                                        \
    DSP_BITREV_DEFINE_COPY(SwapCopy32, Sfx, BitRevSwapCopy<4>)                                     \
    DSP_BITREV_DEFINE_COPY(SwapCopy64, Sfx, BitRevSwapCopy<8>)                                     \
    DSP_BITREV_DEFINE_IN_PLACE(InPlace32, Sfx, (BitRevBlocks<4, false>::InPlace))                  \
    DSP_BITREV_DEFINE_IN_PLACE(InPlace64, Sfx, BitRevInPlace64)                                    \
    DSP_BITREV_DEFINE_IN_PLACE(InPlace64d, Sfx, (BitRevBlocks<8, true>::InPlace))                  \
    DSP_BITREV_DEFINE_IN_PLACE(InPlace128, Sfx, (BitRevBlocks<16, false>::InPlace))                \
    DSP_BITREV_DEFINE_COPY(Copy32, Sfx, (BitRevBlocks<4, false>::Copy<BitRevForm::kUnaligned>))    \
    DSP_BITREV_DEFINE_COPY(Copy64, Sfx, BitRevCopy64)                                              \
    DSP_BITREV_DEFINE_COPY(Copy64d, Sfx,                                                           \
                           (BitRevBlocks<8, true>::Copy<BitRevForm::kUnalignedStore8>))            \
    DSP_BITREV_DEFINE_COPY(Copy128, Sfx, (BitRevBlocks<16, false>::Copy<BitRevForm::kUnaligned>))
